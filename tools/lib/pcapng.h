// A pcapng file writer for captures of the board's edges: one section, an
// interface description per interface (added at any time, before its first
// packet), and enhanced packet blocks with nanosecond timestamps and the
// direction flag. By default every block goes to the file with one write as
// it is made, so a capture of a process killed mid-run is readable up to
// the last packet; a busy writer may batch blocks and flush at its own
// pace instead. Thread safe: blocks from several threads never interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace capture {

// Link types of our interfaces. The user types are the ones Wireshark leaves
// to local dissectors: tools/wireshark/zok2.lua claims them.
constexpr uint16_t LINKTYPE_ZOK2_HOSTLINK = 147;  // LINKTYPE_USER0: host-link units
constexpr uint16_t LINKTYPE_ZOK2_BACM = 148;      // LINKTYPE_USER1: BAC-M packets
constexpr uint16_t LINKTYPE_ZOK2_RAWOS = 149;     // LINKTYPE_USER2: RAWoS runs
constexpr uint16_t LINKTYPE_IPV4 = 228;           // raw IPv4 packets

// Seen from the board: into the board is inbound, out of it outbound.
enum class Direction : uint8_t { Inbound, Outbound };

class PcapngWriter {
public:
    PcapngWriter() = default;
    ~PcapngWriter();
    PcapngWriter(const PcapngWriter&) = delete;
    PcapngWriter& operator=(const PcapngWriter&) = delete;

    // Creates (truncates) the file, or with `append` adds a new section to
    // it, and writes the section header; false with the reason in *error.
    // `application` names the writer in the file.
    bool open(const std::string& path, const std::string& application, std::string* error,
              bool append = false);
    // On: blocks wait in memory until flush() or until MAX_BATCH bytes are
    // waiting. Off (the default): each block is written as it is made.
    void setBatching(bool on);
    void flush();
    bool isOpen() const { return fd_ >= 0; }
    // Timestamps are nanoseconds from a clock of the caller's; this many
    // seconds since the epoch are added on display (the clock's zero).
    void setEpochOffset(int64_t seconds) { epochOffset_ = seconds; }
    // Adds an interface; returns its id for writePacket, -1 when closed.
    int addInterface(const std::string& name, uint16_t linkType, const std::string& description);
    // One packet; `comment` (may be null) is shown beside it. False once a
    // write failed (the disk is full): later packets are dropped.
    bool writePacket(int interface, uint64_t timestampNs, Direction dir, const uint8_t* data,
                     size_t len, const char* comment = nullptr);
    void close();

private:
    static constexpr size_t MAX_BATCH = 65536;
    bool writeBlock(const std::vector<uint8_t>& block);
    bool writeOut(const uint8_t* data, size_t len);

    std::mutex mutex_;
    int fd_ = -1;
    int interfaces_ = 0;
    int64_t epochOffset_ = 0;
    bool failed_ = false;
    bool batching_ = false;
    std::vector<uint8_t> batch_;
};

}  // namespace capture
