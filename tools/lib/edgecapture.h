// One capture of the board's edges: a pcapng file with an interface per
// host link, serial line and Ethernet interface, each direction of a byte
// stream cut into units by its own cutter (capturecut.h), datagrams written
// as IPv4/UDP packets. Used by zok2host (one host link) and by the runner.
// Times are nanoseconds of the caller's clock; setEpochOffset places its
// zero in calendar time. Not thread safe: one caller at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capturecut.h"
#include "pcapng.h"

namespace capture {

enum class SerialProtocol : uint8_t { Bacm, Rawos };

class EdgeCapture {
public:
    EdgeCapture();
    ~EdgeCapture();
    EdgeCapture(const EdgeCapture&) = delete;
    EdgeCapture& operator=(const EdgeCapture&) = delete;

    // See PcapngWriter: append adds a section, batching holds blocks until flush.
    bool open(const std::string& path, const std::string& application, std::string* error,
              bool append = false);
    void setEpochOffset(int64_t seconds) { writer_.setEpochOffset(seconds); }
    void setBatching(bool on) { writer_.setBatching(on); }
    void flush() { writer_.flush(); }

    // Each returns the edge's handle for the calls below.
    int addHostLink(const std::string& name);
    // gapNs: a silence that ends a RAWoS run or breaks off a BAC-M packet.
    int addSerialLine(const std::string& name, SerialProtocol protocol, uint64_t gapNs);
    int addEthernet(const std::string& name);

    void hostLinkBytes(int edge, Direction dir, const uint8_t* bytes, size_t len, uint64_t timeNs);
    // `count` times the same byte, as the idle fill of a link comes.
    void hostLinkRun(int edge, Direction dir, uint8_t byte, uint32_t count, uint64_t timeNs);
    void serialByte(int edge, Direction dir, uint8_t byte, uint64_t timeNs);
    // Addresses and ports in host order.
    void datagram(int edge, Direction dir, uint32_t sourceAddr, uint16_t sourcePort,
                  uint32_t destAddr, uint16_t destPort, const uint8_t* payload, size_t len,
                  uint64_t timeNs);
    // Shown every unit as it is written, with its edge's handle.
    using UnitObserver = std::function<void(int edge, Direction, const std::vector<uint8_t>&)>;
    void setUnitObserver(UnitObserver observer) { observer_ = std::move(observer); }
    // Ends the serial units that a silence has ended by now.
    void poll(uint64_t nowNs);
    // Hands on what is pending and closes the file.
    void close();
    uint64_t units() const { return units_; }

private:
    struct Edge;
    void write(const Edge& edge, Direction dir, const std::vector<uint8_t>& unit, uint64_t timeNs);
    Edge* find(int edge);

    PcapngWriter writer_;
    std::vector<std::unique_ptr<Edge>> edges_;
    UnitObserver observer_;
    uint64_t units_ = 0;
    uint16_t ipIdent_ = 0;
};

}  // namespace capture
