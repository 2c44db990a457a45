// A BAC-M link end (master or slave, any address) built from the wire format
// alone, for the tests and the zok2line program. It shares nothing with the
// firmware: its own CRC (bit by bit), its own frame parser and turn logic, so
// that an interop test catches faults a shared codec would hide.
// Single-threaded and passive: the caller feeds line bytes, calls Poll with
// the current time in milliseconds and takes the bytes to send; nothing here
// sleeps or reads a clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace zok2tools {

using Bytes = std::vector<uint8_t>;

struct BacmPeerConfig {
    bool master = true;
    uint8_t address = 0x01;        // the link's address; a slave sends it with bit 7 set
    uint32_t recvTimeoutMs = 100;  // silence after a packet before it is repeated
    uint32_t ackWindowMs = 20;     // how long the turn is kept waiting for a message
    uint32_t maxRepeats = 2;       // repeats of one packet before the link counts as down
    size_t queueLimit = 16;        // messages waiting for a turn
};

struct BacmPeerCounters {
    uint64_t infoSent = 0;      // INFO frames sent, repeats included
    uint64_t infoRepeated = 0;  // INFO frames sent again
    uint64_t ackSent = 0;
    uint64_t nakSent = 0;
    uint64_t infoReceived = 0;  // valid INFO frames delivered
    uint64_t ackReceived = 0;
    uint64_t nakReceived = 0;
    uint64_t crcErrors = 0;
    uint64_t formatErrors = 0;  // over-long texts and bad escapes
    uint64_t emptyFrames = 0;   // INFO with an empty text and a good CRC
    uint64_t timeouts = 0;      // answers awaited in vain
    uint64_t linkDowns = 0;
};

// Frame layer: what one packet looks like on the line.
namespace bacmwire {
constexpr uint8_t DLE = 0x10;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t SLAVE_BIT = 0x80;
constexpr size_t MAX_TEXT = 248;

// CRC-16, polynomial 0x1021, MSB first, no final XOR; computed bit by bit.
uint16_t Crc16(uint16_t crc, const uint8_t* data, size_t len);
Bytes EncodeInfo(uint8_t addrByte, const Bytes& text);
Bytes EncodeAck(uint8_t addrByte);
Bytes EncodeNak(uint8_t addrByte);
}  // namespace bacmwire

// Receive side: cuts a byte stream addressed to `address` into packets.
class BacmFrameParser {
public:
    enum class Event : uint8_t {
        None,
        Ack,
        Nak,
        Info,
        CrcError,
        TooLong,
        Empty,
        BadEscape,  // DLE followed by a byte that has no place in a text
        Restart,    // DLE STX inside a text: the frame cut short, a new one begun
    };

    explicit BacmFrameParser(uint8_t address) : addr(address) {}
    // Consumes one byte; returns the packet it completed, if any. A bad
    // escape may also carry an ACK or NAK (secondEvent) that ended the frame.
    Event Feed(uint8_t byte);
    Event SecondEvent() const { return second; }
    // Text of the last Info event.
    const Bytes& Text() const { return text; }

private:
    enum class Step : uint8_t { Hunt, Address, Type, Text, Escape, CrcHigh, CrcLow };
    Event TypeByte(uint8_t byte);

    const uint8_t addr;
    Step step = Step::Hunt;
    Bytes stuffed;  // text as it came over the line, for the CRC
    Bytes text;     // text without the doubled DLE
    uint16_t crcOnLine = 0;
    Event second = Event::None;
};

class BacmPeer {
public:
    explicit BacmPeer(const BacmPeerConfig& config, uint64_t nowMs = 0);

    // Queues a message for a later turn. False when empty, longer than 248
    // bytes or the queue is full; messages may be queued while the link is down.
    bool Send(const Bytes& message);
    // Bytes heard on the line; valid INFO texts are delivered at once.
    void Receive(const uint8_t* data, size_t len, uint64_t nowMs);
    // Acts on what was received and on the time: answers, repeats, link state.
    void Poll(uint64_t nowMs);
    // Bytes to put on the line since the last call.
    Bytes TakeOutput();
    // Messages received since the last call, in order.
    std::vector<Bytes> TakeReceived();

    bool LinkUp() const { return linkUp; }
    bool HoldsTurn() const { return phase == Phase::HoldingTurn; }
    size_t Queued() const { return queue.size(); }
    const BacmPeerCounters& Counters() const { return counters; }
    const BacmPeerConfig& Config() const { return cfg; }
    uint8_t TxAddress() const;  // the address byte this end sends

private:
    enum class Phase : uint8_t { Idle, Waiting, HoldingTurn };
    enum class Sent : uint8_t { Nothing, Ack, Nak, Info };
    enum class Pending : uint8_t { None, Turn, Nak, BadFrame };

    void OnEvent(BacmFrameParser::Event ev, uint64_t nowMs);
    void Emit(const Bytes& packet, Sent what, uint64_t nowMs);
    void SendAck(uint64_t nowMs);
    void SendNak(uint64_t nowMs);
    void SendNextInfo(uint64_t nowMs);
    void Repeat(uint64_t nowMs);

    const BacmPeerConfig cfg;
    BacmFrameParser parser;
    Phase phase = Phase::Idle;
    Pending pending = Pending::None;
    Sent lastSent = Sent::Nothing;
    bool linkUp = false;
    bool ackedSinceDown = false;  // the first turn after a link-down is passed with an ACK
    bool startPending = false;    // a master opens (and reopens) the link with an ACK
    uint32_t repeats = 0;
    uint64_t sentAtMs = 0;
    uint64_t turnSinceMs = 0;
    Bytes lastInfo;
    std::deque<Bytes> queue;
    Bytes output;
    std::vector<Bytes> received;
    BacmPeerCounters counters;
};

}  // namespace zok2tools
