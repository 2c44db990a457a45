// Host-link wire format, host side: see hostlink_codec.h.
#include "hostlink_codec.h"

#include <cctype>
#include <cstdio>

namespace hostlink {

namespace {

constexpr uint8_t kCrcPolyReflected = 0x8C;

void putBe16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void putBe32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

uint32_t getBe(const std::vector<uint8_t>& in, size_t pos, size_t len)
{
    uint32_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        v = (v << 8) | in[pos + i];
    }
    return v;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool Message::operator==(const Message& other) const
{
    return destPort == other.destPort && destAddr == other.destAddr &&
           sourcePort == other.sourcePort && sourceAddr == other.sourceAddr &&
           payload == other.payload;
}

uint8_t crc8Update(uint8_t crc, uint8_t byte)
{
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
        crc = (crc & 1u) ? static_cast<uint8_t>((crc >> 1) ^ kCrcPolyReflected)
                         : static_cast<uint8_t>(crc >> 1);
    }
    return crc;
}

std::vector<uint8_t> encodeText(const std::vector<uint8_t>& text)
{
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2 + 5);
    out.push_back(kDle);
    out.push_back(kStx);
    // The CRC runs over the text exactly as it goes on the wire, so both
    // bytes of a doubled DLE count, and then over the closing DLE ETX.
    uint8_t crc = kCrcStart;
    auto put = [&](uint8_t b) {
        out.push_back(b);
        crc = crc8Update(crc, b);
    };
    for (uint8_t b : text) {
        put(b);
        if (b == kDle) {
            put(kDle);
        }
    }
    put(kDle);
    put(kEtx);
    out.push_back(crc);  // never stuffed, even when it is 0x10
    return out;
}

std::vector<uint8_t> encodeFrame(const Message& msg)
{
    std::vector<uint8_t> text;
    text.reserve(kHeaderLen + msg.payload.size());
    putBe16(text, msg.destPort);
    putBe32(text, msg.destAddr);
    putBe16(text, msg.sourcePort);
    putBe32(text, msg.sourceAddr);
    text.insert(text.end(), msg.payload.begin(), msg.payload.end());
    return encodeText(text);
}

std::vector<uint8_t> connectionPacket() { return {kDle, kAck}; }

void Decoder::startFrame()
{
    text_.clear();
    crc_ = kCrcStart;
    state_ = State::Text;
}

Decoder::Event Decoder::finishFrame(uint8_t crcByte)
{
    state_ = State::Idle;
    if (crcByte != crc_) {
        return Event::CrcError;
    }
    if (text_.size() < kHeaderLen) {
        return Event::ShortText;
    }
    msg_.destPort = static_cast<uint16_t>(getBe(text_, 0, 2));
    msg_.destAddr = getBe(text_, 2, 4);
    msg_.sourcePort = static_cast<uint16_t>(getBe(text_, 6, 2));
    msg_.sourceAddr = getBe(text_, 8, 4);
    msg_.payload.assign(text_.begin() + kHeaderLen, text_.end());
    return Event::Frame;
}

Decoder::Event Decoder::feed(uint8_t byte)
{
    switch (state_) {
    case State::Idle:
        if (byte == kDle) {
            state_ = State::AfterDle;
        }
        return Event::None;
    case State::AfterDle:
        if (byte == kStx) {
            startFrame();
        } else if (byte == kAck) {
            state_ = State::Idle;
            return Event::Connection;
        } else if (byte != kDle) {
            state_ = State::Idle;
        }
        return Event::None;
    case State::Text:
        crc_ = crc8Update(crc_, byte);
        if (byte == kDle) {
            state_ = State::TextDle;
            return Event::None;
        }
        if (text_.size() >= kMaxText) {
            state_ = State::Idle;
            return Event::FormatError;
        }
        text_.push_back(byte);
        return Event::None;
    case State::TextDle:
        if (byte == kDle) {
            crc_ = crc8Update(crc_, byte);
            if (text_.size() >= kMaxText) {
                state_ = State::Idle;
                return Event::FormatError;
            }
            text_.push_back(kDle);
            state_ = State::Text;
            return Event::None;
        }
        if (byte == kEtx) {
            crc_ = crc8Update(crc_, byte);
            state_ = State::Crc;
            return Event::None;
        }
        // Any other escape ends the frame; a new opening starts the next one.
        if (byte == kStx) {
            startFrame();
        } else {
            state_ = State::Idle;
        }
        return Event::FormatError;
    case State::Crc:
        return finishFrame(byte);
    }
    return Event::None;
}

std::string formatAddr(uint32_t addr)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (addr >> 24) & 0xFFu, (addr >> 16) & 0xFFu,
                  (addr >> 8) & 0xFFu, addr & 0xFFu);
    return buf;
}

bool parseAddr(const std::string& text, uint32_t& addr)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 ||
        b > 255 || c > 255 || d > 255) {
        return false;
    }
    addr = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

bool parseHex(const std::string& text, std::vector<uint8_t>& out)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) || c == ':' || c == ',' || c == '-') {
            if (high >= 0) {
                return false;  // a lone digit before a separator
            }
            continue;
        }
        const int v = hexDigit(c);
        if (v < 0) {
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>((high << 4) | v));
            high = -1;
        }
    }
    return high < 0;
}

std::string toHex(const std::vector<uint8_t>& bytes)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
        s += buf;
    }
    return s;
}

}  // namespace hostlink
