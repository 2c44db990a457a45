// A RAWoS line end for the tests and the zok2line program, written from the
// line format alone: messages go out as raw bytes, and received bytes are
// cut into messages by silence longer than the inter-character gap, or when
// a message reaches its largest length.
// Single-threaded and passive: the caller feeds bytes with the time in
// milliseconds, calls Poll to let silence end a message, and takes output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zok2tools {

using Bytes = std::vector<uint8_t>;

struct RawosPeerConfig {
    uint32_t interCharGapMs = 20;   // silence longer than this ends a message
    size_t maxMessage = 1468;       // a message ends on reaching this length
    uint32_t recvTimeoutMs = 1000;  // link counts as down after this long without a message
};

struct RawosPeerCounters {
    uint64_t messagesSent = 0;
    uint64_t bytesSent = 0;
    uint64_t messagesReceived = 0;
    uint64_t endedBySilence = 0;
    uint64_t endedByLength = 0;
    uint64_t bytesReceived = 0;
};

class RawosPeer {
public:
    explicit RawosPeer(const RawosPeerConfig& config);

    // Puts a message on the output. False when empty or too long.
    bool Send(const Bytes& message);
    // Bytes heard on the line at nowMs; a message that reaches the largest
    // length ends at once.
    void Receive(const uint8_t* data, size_t len, uint64_t nowMs);
    // Ends the message being received if the line has been silent too long.
    void Poll(uint64_t nowMs);
    Bytes TakeOutput();
    std::vector<Bytes> TakeReceived();

    // Up while messages keep arriving within the receive time-out.
    bool LinkUp(uint64_t nowMs) const;
    size_t Partial() const { return current.size(); }
    const RawosPeerCounters& Counters() const { return counters; }

private:
    void EndMessage(uint64_t nowMs);

    const RawosPeerConfig cfg;
    Bytes current;
    uint64_t lastByteMs = 0;
    bool everReceived = false;
    uint64_t lastMessageMs = 0;
    Bytes output;
    std::vector<Bytes> received;
    RawosPeerCounters counters;
};

}  // namespace zok2tools
