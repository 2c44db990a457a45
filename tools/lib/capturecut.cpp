// Capture-side unit cutters: see capturecut.h.
#include "capturecut.h"

#include <algorithm>

namespace capture {

namespace {

constexpr uint8_t DLE = 0x10;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t FILL = 0x16;
constexpr uint8_t IPV4_VERSION_IHL = 0x45;  // version 4, 20-byte header
constexpr uint8_t IPV4_TTL = 64;
constexpr uint8_t IPPROTO_UDP_NUMBER = 17;
constexpr uint16_t IPV4_DONT_FRAGMENT = 0x4000;
constexpr size_t LEN_IPV4_HEADER = 20;
constexpr size_t LEN_UDP_HEADER = 8;

void putBe16(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

void putBe32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    putBe16(b, at, v >> 16);
    putBe16(b, at + 2, v & 0xFFFF);
}

// One's-complement sum of 16-bit big-endian words, not yet folded.
uint32_t sumWords(const uint8_t* p, size_t len, uint32_t sum)
{
    for (size_t i = 0; i + 1 < len; i += 2) sum += (uint32_t(p[i]) << 8) | p[i + 1];
    if (len % 2 != 0) sum += uint32_t(p[len - 1]) << 8;
    return sum;
}

uint16_t fold(uint32_t sum)
{
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

void HostLinkCutter::emit(std::vector<uint8_t>& unit)
{
    if (unit.empty()) return;
    sink_(unit, lastNs_);
    unit.clear();
}

void HostLinkCutter::feed(const uint8_t* bytes, size_t len, uint64_t timeNs)
{
    lastNs_ = timeNs;
    for (size_t i = 0; i < len; ++i) {
        const uint8_t b = bytes[i];
        switch (state_) {
        case State::Idle:
            if (b == DLE) {
                emit(stray_);
                unit_.push_back(b);
                state_ = State::Dle;
            } else if (b == FILL) {
                emit(stray_);
            } else {
                stray_.push_back(b);
                if (stray_.size() >= MAX_UNIT) emit(stray_);
            }
            continue;
        case State::Dle:
            unit_.push_back(b);
            if (b == STX) {
                state_ = State::Text;
            } else if (b != DLE) {
                // A connection packet, or a DLE followed by nothing we know.
                emit(unit_);
                state_ = State::Idle;
            }
            continue;
        case State::Text:
            unit_.push_back(b);
            if (b == DLE) state_ = State::TextDle;
            break;
        case State::TextDle:
            if (b == STX || b == ACK) {
                // The receiver drops the frame so far and takes what starts
                // here: show both as they are.
                unit_.pop_back();
                emit(unit_);
                unit_ = {DLE, b};
                if (b == ACK) {
                    emit(unit_);
                    state_ = State::Idle;
                } else {
                    state_ = State::Text;
                }
                continue;
            }
            unit_.push_back(b);
            if (b == DLE) {
                state_ = State::Text;
            } else if (b == ETX) {
                state_ = State::Crc;
            } else {
                emit(unit_);  // a broken escape ends the frame
                state_ = State::Idle;
            }
            continue;
        case State::Crc:
            unit_.push_back(b);
            emit(unit_);
            state_ = State::Idle;
            continue;
        }
        if (unit_.size() >= MAX_UNIT) {
            emit(unit_);
            state_ = State::Idle;
        }
    }
}

void HostLinkCutter::feedRun(uint8_t byte, uint32_t count, uint64_t timeNs)
{
    if (byte == FILL && state_ == State::Idle) count = count != 0 ? 1 : 0;
    for (uint32_t i = 0; i < count; ++i) feed(&byte, 1, timeNs);
}

void HostLinkCutter::flush()
{
    emit(stray_);
    emit(unit_);
    state_ = State::Idle;
}

void BacmCutter::emit(std::vector<uint8_t>& unit)
{
    if (unit.empty()) return;
    sink_(unit, lastNs_);
    unit.clear();
}

void BacmCutter::poll(uint64_t nowNs)
{
    if (nowNs - lastNs_ > gapNs_) flush();
}

void BacmCutter::flush()
{
    emit(stray_);
    emit(unit_);
    state_ = State::Idle;
}

void BacmCutter::feed(uint8_t b, uint64_t timeNs)
{
    if (!unit_.empty() || !stray_.empty()) poll(timeNs);
    lastNs_ = timeNs;
    switch (state_) {
    case State::Idle:
        unit_.push_back(b);
        state_ = State::Address;
        return;
    case State::Address:
        if (b == DLE) {
            unit_.push_back(b);
            state_ = State::Dle;
        } else {
            // The byte before was no packet's address.
            stray_.insert(stray_.end(), unit_.begin(), unit_.end());
            unit_ = {b};
            if (stray_.size() >= MAX_UNIT) emit(stray_);
        }
        return;
    case State::Dle:
        emit(stray_);
        unit_.push_back(b);
        if (b == STX) {
            state_ = State::Text;
        } else if (b != DLE) {
            emit(unit_);  // ACK, NACK, or a type byte we do not know
            state_ = State::Idle;
        }
        return;
    case State::Text:
        unit_.push_back(b);
        if (b == DLE) state_ = State::TextDle;
        break;
    case State::TextDle:
        if (b == STX || b == ACK || b == NAK) {
            // The receiver drops the text so far and takes a packet whose
            // address is the byte before the DLE: show both as they are.
            const uint8_t address = unit_[unit_.size() - 2];
            unit_.resize(unit_.size() - 2);
            emit(unit_);
            unit_ = {address, DLE, b};
            if (b == STX) {
                state_ = State::Text;
            } else {
                emit(unit_);
                state_ = State::Idle;
            }
            return;
        }
        unit_.push_back(b);
        if (b == DLE) {
            state_ = State::Text;
        } else if (b == ETX) {
            state_ = State::CrcHi;
        } else {
            emit(unit_);  // a broken escape ends the frame
            state_ = State::Idle;
        }
        return;
    case State::CrcHi:
        unit_.push_back(b);
        state_ = State::CrcLo;
        return;
    case State::CrcLo:
        unit_.push_back(b);
        emit(unit_);
        state_ = State::Idle;
        return;
    }
    if (unit_.size() >= MAX_UNIT) {
        emit(unit_);
        state_ = State::Idle;
    }
}

void RawosCutter::feed(uint8_t byte, uint64_t timeNs)
{
    if (!run_.empty()) poll(timeNs);
    run_.push_back(byte);
    lastNs_ = timeNs;
    if (run_.size() >= MAX_UNIT) flush();
}

void RawosCutter::poll(uint64_t nowNs)
{
    if (nowNs - lastNs_ > gapNs_) flush();
}

void RawosCutter::flush()
{
    if (run_.empty()) return;
    sink_(run_, lastNs_);
    run_.clear();
}

std::vector<uint8_t> ipv4Udp(uint32_t sourceAddr, uint16_t sourcePort, uint32_t destAddr,
                             uint16_t destPort, const uint8_t* payload, size_t len, uint16_t ident)
{
    const size_t udpLen = LEN_UDP_HEADER + len;
    std::vector<uint8_t> p(LEN_IPV4_HEADER + udpLen, 0);
    p[0] = IPV4_VERSION_IHL;
    putBe16(p, 2, static_cast<uint32_t>(p.size()));
    putBe16(p, 4, ident);
    putBe16(p, 6, IPV4_DONT_FRAGMENT);
    p[8] = IPV4_TTL;
    p[9] = IPPROTO_UDP_NUMBER;
    putBe32(p, 12, sourceAddr);
    putBe32(p, 16, destAddr);
    putBe16(p, 10, fold(sumWords(p.data(), LEN_IPV4_HEADER, 0)));
    uint8_t* udp = p.data() + LEN_IPV4_HEADER;
    putBe16(p, LEN_IPV4_HEADER, sourcePort);
    putBe16(p, LEN_IPV4_HEADER + 2, destPort);
    putBe16(p, LEN_IPV4_HEADER + 4, static_cast<uint32_t>(udpLen));
    std::copy(payload, payload + len, udp + LEN_UDP_HEADER);
    // Pseudo-header: both addresses, the protocol and the UDP length.
    uint32_t sum = sumWords(p.data() + 12, 8, 0) + IPPROTO_UDP_NUMBER + udpLen;
    uint16_t check = fold(sumWords(udp, udpLen, sum));
    if (check == 0) check = 0xFFFF;  // 0 would mean "no checksum"
    putBe16(p, LEN_IPV4_HEADER + 6, check);
    return p;
}

}  // namespace capture
