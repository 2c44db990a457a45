// A simulated serial line between two endpoints, for the interop tests: each
// direction carries bytes paced at a bit rate (or instantly) and can flip or
// drop bytes, at random with a fixed seed or on a script, so that a run is
// the same every time. Time is passed in by the caller in milliseconds; the
// pipe never reads a clock. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace zok2tools {

using Bytes = std::vector<uint8_t>;

struct LineChannelCounters {
    uint64_t written = 0;    // bytes handed to the line
    uint64_t delivered = 0;  // bytes read at the far end
    uint64_t flipped = 0;    // bytes delivered with one bit inverted
    uint64_t dropped = 0;    // bytes lost on the line
};

// One direction of the line.
class LineChannel {
public:
    // bitRate 0 delivers every byte at the time it is written; otherwise a
    // byte takes bitsPerChar bits on the line and bytes queue behind each other.
    explicit LineChannel(uint32_t bitRate = 0, uint32_t bitsPerChar = 10, uint32_t seed = 1);

    void Write(const uint8_t* data, size_t len, uint64_t nowMs);
    void Write(const Bytes& data, uint64_t nowMs) { Write(data.data(), data.size(), nowMs); }
    // Bytes that have fully arrived by nowMs, in order.
    Bytes Read(uint64_t nowMs);
    size_t InFlight() const { return line.size(); }

    // Random faults per byte written; probabilities from 0 to 1.
    void SetFaults(double flipProbability, double dropProbability);
    // Scripted faults on the next bytes written, after any already scripted.
    void DropNext(size_t count);
    void FlipNext(size_t count, uint8_t mask = 0x01);

    const LineChannelCounters& Counters() const { return counters; }

private:
    struct InFlightByte {
        uint8_t value;
        uint64_t arrivesUs;
    };
    enum class Script : uint8_t { Drop, Flip };
    struct ScriptedFault {
        Script kind;
        uint8_t mask;
    };

    const uint32_t bitRate;
    const uint32_t bitsPerChar;
    std::mt19937 rng;
    double flipP = 0.0;
    double dropP = 0.0;
    std::deque<ScriptedFault> script;
    std::deque<InFlightByte> line;
    uint64_t lineFreeUs = 0;  // when the last byte written finishes arriving
    LineChannelCounters counters;
};

// Both directions: a writes into aToB and reads from bToA, and the reverse.
struct LinePipe {
    explicit LinePipe(uint32_t bitRate = 0, uint32_t seed = 1)
        : aToB(bitRate, 10, seed), bToA(bitRate, 10, seed + 1)
    {}
    LineChannel aToB;
    LineChannel bToA;
};

}  // namespace zok2tools
