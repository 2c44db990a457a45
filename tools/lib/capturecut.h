// Capture-side decoders that cut the byte streams crossing the board's
// edges into units, written from the wire formats alone and independent of
// both the firmware's decoders and the peers' codecs: a unit is what crossed
// the edge, byte for byte, whether or not the receiver would accept it (a
// bad CRC, a broken escape, stray bytes between units all show as units of
// their own). Each unit is handed to a sink with the time of its last byte.
// Pure code: no I/O, the caller's clock, not thread safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace capture {

// A unit and the time (ns, the caller's clock) of its last byte.
using UnitSink = std::function<void(const std::vector<uint8_t>& unit, uint64_t timeNs)>;

// Far above any unit the protocols allow (a stuffed host-link frame is at
// most 2965 bytes): a stream that never closes a unit is cut here.
constexpr size_t MAX_UNIT = 16384;

// One direction of a host link: info frames (10 02 ... 10 03 CRC) and
// connection packets (10 06). The idle fill 0x16 between units is dropped;
// any other byte between units forms a stray unit.
class HostLinkCutter {
public:
    explicit HostLinkCutter(UnitSink sink) : sink_(std::move(sink)) {}
    void feed(const uint8_t* bytes, size_t len, uint64_t timeNs);
    // `count` times the same byte: a run of idle fill between units costs
    // no more than one.
    void feedRun(uint8_t byte, uint32_t count, uint64_t timeNs);
    // Hands on what is pending (a unit cut short at the end of a capture).
    void flush();

private:
    enum class State : uint8_t { Idle, Dle, Text, TextDle, Crc };
    void emit(std::vector<uint8_t>& unit);

    UnitSink sink_;
    State state_ = State::Idle;
    std::vector<uint8_t> unit_;
    std::vector<uint8_t> stray_;
    uint64_t lastNs_ = 0;
};

// One direction of a BAC-M line: INFO (A 10 02 ... 10 03 CRC CRC), ACK
// (A 10 06) and NACK (A 10 15), A being any address byte. A unit broken off
// by a silence longer than the gap is handed on as it stands.
class BacmCutter {
public:
    BacmCutter(UnitSink sink, uint64_t gapNs) : sink_(std::move(sink)), gapNs_(gapNs) {}
    void feed(uint8_t byte, uint64_t timeNs);
    // Hands on a pending unit once the line has been silent for the gap.
    void poll(uint64_t nowNs);
    void flush();

private:
    enum class State : uint8_t { Idle, Address, Dle, Text, TextDle, CrcHi, CrcLo };
    void emit(std::vector<uint8_t>& unit);

    UnitSink sink_;
    uint64_t gapNs_;
    State state_ = State::Idle;
    std::vector<uint8_t> unit_;
    std::vector<uint8_t> stray_;
    uint64_t lastNs_ = 0;
};

// One direction of a RAWoS line: runs of bytes ended by a silence longer
// than the gap.
class RawosCutter {
public:
    RawosCutter(UnitSink sink, uint64_t gapNs) : sink_(std::move(sink)), gapNs_(gapNs) {}
    void feed(uint8_t byte, uint64_t timeNs);
    void poll(uint64_t nowNs);
    void flush();

private:
    UnitSink sink_;
    uint64_t gapNs_;
    std::vector<uint8_t> run_;
    uint64_t lastNs_ = 0;
};

// A UDP datagram as the IPv4 packet that carried it: addresses and ports in
// host order (10.80.0.1 is 0x0A500001), header and UDP checksums computed.
std::vector<uint8_t> ipv4Udp(uint32_t sourceAddr, uint16_t sourcePort, uint32_t destAddr,
                             uint16_t destPort, const uint8_t* payload, size_t len, uint16_t ident);

}  // namespace capture
