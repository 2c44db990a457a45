// BAC-M link end for tests and zok2line: frame layer, parser and turn logic.
// Written from the wire format; see bacmpeer.h for the calling pattern.
#include "bacmpeer.h"

namespace zok2tools {

namespace bacmwire {

uint16_t Crc16(uint16_t crc, const uint8_t* data, size_t len)
{
    constexpr uint16_t POLY = 0x1021;
    for (size_t i = 0; i < len; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ POLY)
                                 : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

Bytes EncodeInfo(uint8_t addrByte, const Bytes& text)
{
    Bytes frame{addrByte, DLE, STX};
    Bytes covered;  // everything the CRC runs over: stuffed text and the end mark
    for (uint8_t b : text) {
        covered.push_back(b);
        if (b == DLE) {
            covered.push_back(DLE);
        }
    }
    covered.push_back(DLE);
    covered.push_back(ETX);
    const uint16_t crc = Crc16(0, covered.data(), covered.size());
    frame.insert(frame.end(), covered.begin(), covered.end());
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    return frame;
}

Bytes EncodeAck(uint8_t addrByte) { return Bytes{addrByte, DLE, ACK}; }
Bytes EncodeNak(uint8_t addrByte) { return Bytes{addrByte, DLE, NAK}; }

}  // namespace bacmwire

using namespace bacmwire;
using Event = BacmFrameParser::Event;

Event BacmFrameParser::TypeByte(uint8_t byte)
{
    if (byte == ACK) {
        return Event::Ack;
    }
    if (byte == NAK) {
        return Event::Nak;
    }
    return Event::None;
}

Event BacmFrameParser::Feed(uint8_t byte)
{
    second = Event::None;
    switch (step) {
    case Step::Hunt:
        if (byte == addr) {
            step = Step::Address;
        }
        return Event::None;
    case Step::Address:
        // A repeated address byte still announces the same packet.
        if (byte == DLE) {
            step = Step::Type;
        } else if (byte != addr) {
            step = Step::Hunt;
        }
        return Event::None;
    case Step::Type:
        if (byte == DLE) {
            return Event::None;
        }
        if (byte == STX) {
            stuffed.clear();
            text.clear();
            step = Step::Text;
            return Event::None;
        }
        step = Step::Hunt;
        return TypeByte(byte);
    case Step::Text:
        if (byte == DLE) {
            step = Step::Escape;
            return Event::None;
        }
        if (text.size() >= MAX_TEXT) {
            step = Step::Hunt;
            return Event::TooLong;
        }
        stuffed.push_back(byte);
        text.push_back(byte);
        return Event::None;
    case Step::Escape:
        if (byte == DLE) {
            if (text.size() >= MAX_TEXT) {
                step = Step::Hunt;
                return Event::TooLong;
            }
            stuffed.push_back(DLE);
            stuffed.push_back(DLE);
            text.push_back(DLE);
            step = Step::Text;
            return Event::None;
        }
        if (byte == ETX) {
            step = Step::CrcHigh;
            return Event::None;
        }
        if (byte == STX) {
            // The frame was cut short and a new one begins here.
            stuffed.clear();
            text.clear();
            step = Step::Text;
            return Event::Restart;
        }
        // Likely a frame cut short followed by an ACK or NAK packet.
        step = Step::Hunt;
        second = TypeByte(byte);
        return Event::BadEscape;
    case Step::CrcHigh:
        crcOnLine = static_cast<uint16_t>(byte << 8);
        step = Step::CrcLow;
        return Event::None;
    case Step::CrcLow: {
        crcOnLine = static_cast<uint16_t>(crcOnLine | byte);
        step = Step::Hunt;
        Bytes covered = stuffed;
        covered.push_back(DLE);
        covered.push_back(ETX);
        if (Crc16(0, covered.data(), covered.size()) != crcOnLine) {
            return Event::CrcError;
        }
        return text.empty() ? Event::Empty : Event::Info;
    }
    }
    return Event::None;
}

BacmPeer::BacmPeer(const BacmPeerConfig& config, uint64_t nowMs)
    : cfg(config),
      parser(config.master ? static_cast<uint8_t>(config.address | SLAVE_BIT) : config.address),
      startPending(config.master),
      sentAtMs(nowMs),
      turnSinceMs(nowMs)
{}

uint8_t BacmPeer::TxAddress() const
{
    return cfg.master ? cfg.address : static_cast<uint8_t>(cfg.address | SLAVE_BIT);
}

bool BacmPeer::Send(const Bytes& message)
{
    if (message.empty() || message.size() > MAX_TEXT || queue.size() >= cfg.queueLimit) {
        return false;
    }
    queue.push_back(message);
    return true;
}

void BacmPeer::OnEvent(Event ev, uint64_t nowMs)
{
    switch (ev) {
    case Event::None:
        return;
    case Event::Ack:
        ++counters.ackReceived;
        pending = Pending::Turn;
        turnSinceMs = nowMs;
        return;
    case Event::Info:
        ++counters.infoReceived;
        received.push_back(parser.Text());
        pending = Pending::Turn;
        turnSinceMs = nowMs;
        return;
    case Event::Nak:
        ++counters.nakReceived;
        pending = Pending::Nak;
        return;
    case Event::CrcError:
        ++counters.crcErrors;
        pending = Pending::BadFrame;
        return;
    case Event::TooLong:
        ++counters.formatErrors;
        pending = Pending::BadFrame;
        return;
    case Event::Empty:
        ++counters.emptyFrames;
        pending = Pending::BadFrame;
        return;
    case Event::BadEscape:
        // Answered like a CRC error: without the NAK nothing would repeat
        // the frame, since the sender takes the next packet it hears (the
        // NAK or ACK that ended the frame, or a repeat of the other side)
        // for the answer. An ACK or NAK that ended the frame follows as the
        // second event and keeps its meaning.
        ++counters.formatErrors;
        pending = Pending::BadFrame;
        return;
    case Event::Restart:
        // The new frame will be answered on its own.
        ++counters.formatErrors;
        return;
    }
}

void BacmPeer::Receive(const uint8_t* data, size_t len, uint64_t nowMs)
{
    for (size_t i = 0; i < len; ++i) {
        OnEvent(parser.Feed(data[i]), nowMs);
        OnEvent(parser.SecondEvent(), nowMs);
    }
}

void BacmPeer::Emit(const Bytes& packet, Sent what, uint64_t nowMs)
{
    output.insert(output.end(), packet.begin(), packet.end());
    lastSent = what;
    sentAtMs = nowMs;
    phase = Phase::Waiting;
}

void BacmPeer::SendAck(uint64_t nowMs)
{
    Emit(EncodeAck(TxAddress()), Sent::Ack, nowMs);
    ++counters.ackSent;
    ackedSinceDown = true;
}

void BacmPeer::SendNak(uint64_t nowMs)
{
    Emit(EncodeNak(TxAddress()), Sent::Nak, nowMs);
    ++counters.nakSent;
}

void BacmPeer::SendNextInfo(uint64_t nowMs)
{
    lastInfo = queue.front();
    queue.pop_front();
    Emit(EncodeInfo(TxAddress(), lastInfo), Sent::Info, nowMs);
    ++counters.infoSent;
}

void BacmPeer::Repeat(uint64_t nowMs)
{
    if (repeats >= cfg.maxRepeats) {
        // Given up: the packet in flight is dropped, queued messages wait.
        ++counters.linkDowns;
        linkUp = false;
        ackedSinceDown = false;
        repeats = 0;
        lastSent = Sent::Nothing;
        phase = Phase::Idle;
        startPending = cfg.master;
        sentAtMs = nowMs;
        return;
    }
    ++repeats;
    switch (lastSent) {
    case Sent::Nothing:
        sentAtMs = nowMs;
        break;
    case Sent::Ack:
        SendAck(nowMs);
        break;
    case Sent::Nak:
        SendNak(nowMs);
        break;
    case Sent::Info:
        Emit(EncodeInfo(TxAddress(), lastInfo), Sent::Info, nowMs);
        ++counters.infoSent;
        ++counters.infoRepeated;
        break;
    }
}

void BacmPeer::Poll(uint64_t nowMs)
{
    const Pending what = pending;
    pending = Pending::None;
    switch (what) {
    case Pending::None:
        break;
    case Pending::Turn:
        linkUp = true;
        repeats = 0;
        startPending = false;
        phase = Phase::HoldingTurn;
        break;
    case Pending::Nak:
        Repeat(nowMs);
        if (phase == Phase::HoldingTurn) {
            phase = Phase::Waiting;
        }
        break;
    case Pending::BadFrame:
        repeats = 0;
        SendNak(nowMs);
        return;
    }

    switch (phase) {
    case Phase::Idle:
        if (startPending) {
            startPending = false;
            SendAck(nowMs);
        }
        break;
    case Phase::Waiting:
        if (nowMs - sentAtMs > cfg.recvTimeoutMs) {
            ++counters.timeouts;
            Repeat(nowMs);
        }
        break;
    case Phase::HoldingTurn:
        if (!ackedSinceDown) {
            SendAck(nowMs);
        } else if (!queue.empty()) {
            SendNextInfo(nowMs);
        } else if (nowMs - turnSinceMs > cfg.ackWindowMs) {
            SendAck(nowMs);
        }
        break;
    }
}

Bytes BacmPeer::TakeOutput()
{
    Bytes out;
    out.swap(output);
    return out;
}

std::vector<Bytes> BacmPeer::TakeReceived()
{
    std::vector<Bytes> out;
    out.swap(received);
    return out;
}

}  // namespace zok2tools
