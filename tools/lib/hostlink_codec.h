// Host side of the host-link wire format: info frames with their 12-byte
// addressing header and CRC-8, and the two-byte connection packet.
// Written from the wire format alone, independently of the firmware's own
// encoder and decoder, so that interop tests catch faults a shared codec
// would hide. Pure code: no threads, no time, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hostlink {

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kFill = 0x16;  // what an idle end clocks out
constexpr uint8_t kCrcStart = 0xFF;
constexpr size_t kHeaderLen = 12;
constexpr size_t kMaxPayload = 1468;  // the board's largest message
constexpr size_t kMaxText = kHeaderLen + kMaxPayload;

// One addressed message. Ports and addresses are plain host-order numbers
// here (10.80.0.1 is 0x0A500001); the wire carries them most significant
// byte first.
struct Message {
    uint16_t destPort = 0;
    uint32_t destAddr = 0;
    uint16_t sourcePort = 0;
    uint32_t sourceAddr = 0;
    std::vector<uint8_t> payload;

    bool operator==(const Message& other) const;
};

// CRC-8 of the link: reflected polynomial 0x8C, computed bit by bit.
uint8_t crc8Update(uint8_t crc, uint8_t byte);

// The frame for a message, ready to clock out. Payloads above kMaxPayload
// are encoded as given: the caller decides whether to test the board with them.
std::vector<uint8_t> encodeFrame(const Message& msg);
// A frame around an arbitrary text (header included), for malformed frames.
std::vector<uint8_t> encodeText(const std::vector<uint8_t>& text);
std::vector<uint8_t> connectionPacket();

// Byte-by-byte receiver of what the board clocks out.
class Decoder {
public:
    enum class Event : uint8_t {
        None,
        Frame,        // a valid frame: see message()
        Connection,   // 10 06
        CrcError,     // frame closed with a wrong CRC
        ShortText,    // correct CRC, text shorter than the header
        FormatError,  // text too long or an escape that is not 10 10 / 10 03
    };

    // Feeds one byte; returns what it completed, if anything.
    Event feed(uint8_t byte);
    // The message of the last Event::Frame.
    const Message& message() const { return msg_; }

private:
    enum class State : uint8_t { Idle, AfterDle, Text, TextDle, Crc };

    void startFrame();
    Event finishFrame(uint8_t crcByte);

    State state_ = State::Idle;
    uint8_t crc_ = kCrcStart;
    std::vector<uint8_t> text_;
    Message msg_;
};

// Helpers for the command line and the tests.
std::string formatAddr(uint32_t addr);
bool parseAddr(const std::string& text, uint32_t& addr);
// Hex bytes, with or without separators ("0a 50", "0A50", "0a:50").
bool parseHex(const std::string& text, std::vector<uint8_t>& out);
std::string toHex(const std::vector<uint8_t>& bytes);

}  // namespace hostlink
