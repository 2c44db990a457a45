// A UDP peer for tests, benchmarks and the zok2udp program: sends datagrams
// carrying a sequence number and a send time, receives and accounts them
// (loss, reordering, duplicates), echoes them back, or measures round trips
// against an echo (pingpong). One peer runs on the calling thread; a stop
// flag ends it from outside (a signal handler, another thread).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zok2tools {

// Payload: magic, 32-bit sequence number, 64-bit send time in nanoseconds of
// the monotonic clock (all big-endian), then a filler pattern.
constexpr size_t UDP_PEER_HEADER_SIZE = 16;
constexpr size_t UDP_PEER_MAX_SIZE = 65507;  // largest IPv4 UDP payload

void EncodeUdpPayload(uint32_t seq, uint64_t sendNs, uint8_t* buf, size_t size);
// False when the datagram is not one of ours (too short or another magic).
bool DecodeUdpPayload(const uint8_t* buf, size_t len, uint32_t& seq, uint64_t& sendNs);

// Accounting of arriving sequence numbers (the sender counts from 0).
class SeqAccount {
public:
    void Add(uint32_t seq);
    uint64_t received() const { return received_; }
    uint64_t unique() const { return unique_; }
    uint64_t duplicates() const { return duplicates_; }
    // Arrived after a higher number had already arrived.
    uint64_t reordered() const { return reordered_; }
    // Numbers beyond the tracking limit (a foreign or broken sender).
    uint64_t untracked() const { return untracked_; }
    // Missing from 0 up to the highest number seen, or up to expected - 1
    // when the sender's count is known (0 = unknown).
    uint64_t Lost(uint64_t expected = 0) const;

private:
    static constexpr uint32_t MAX_TRACKED = 1u << 26;  // 8 MB of flags at most
    std::vector<bool> seen_;
    uint64_t received_ = 0;
    uint64_t unique_ = 0;
    uint64_t duplicates_ = 0;
    uint64_t reordered_ = 0;
    uint64_t untracked_ = 0;
    int64_t highest_ = -1;
};

// Round-trip times: minimum, percentiles and maximum in microseconds.
struct LatencySummary {
    bool valid = false;
    double minUs = 0, p50Us = 0, p99Us = 0, maxUs = 0;
};
LatencySummary SummariseLatency(std::vector<uint64_t> samplesNs);

enum class UdpPeerMode { Send, Recv, Echo, Pingpong };

struct UdpPeerOptions {
    UdpPeerMode mode = UdpPeerMode::Recv;
    uint32_t toAddr = 0;       // network order; send and pingpong
    uint16_t toPort = 0;       // host order
    uint32_t bindAddr = 0;     // network order; 0 = any
    uint16_t bindPort = 0;     // host order; 0 = any free port
    double rate = 0;           // datagrams per second; 0 = as fast as the socket takes them
    size_t size = 64;          // payload bytes, UDP_PEER_HEADER_SIZE at least
    uint64_t count = 0;        // send: datagrams to send; recv/echo: stop after so many; 0 = no limit
    double durationS = 0;      // stop after this long; 0 = no limit
    double timeoutS = 0;       // recv/echo: stop after so long without a datagram; pingpong:
                               // wait so long for the last answers (0 = 1 s)
    std::vector<uint32_t> joins;  // multicast groups to join, network order
};

struct UdpPeerReport {
    uint64_t sent = 0;
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
    uint64_t foreign = 0;      // datagrams that were not ours (recv, pingpong)
    SeqAccount seq;            // recv and pingpong
    std::vector<uint64_t> rttNs;  // pingpong
    double elapsedS = 0;
};

class UdpPeer {
public:
    UdpPeer() = default;
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    // Socket, bind and multicast joins; false with a reason.
    bool Open(const UdpPeerOptions& options, std::string& err);
    // The bound port (host order), once open.
    uint16_t LocalPort() const;
    // Runs the mode until its count, duration or time-out, or until *stop.
    bool Run(UdpPeerReport& report, std::string& err, const std::atomic<bool>* stop = nullptr);

private:
    bool RunSender(UdpPeerReport& report, std::string& err, const std::atomic<bool>* stop);
    bool RunReceiver(UdpPeerReport& report, std::string& err, const std::atomic<bool>* stop);

    UdpPeerOptions options_;
    int fd_ = -1;
};

// One summary line for the mode, without a newline.
std::string FormatUdpSummary(UdpPeerMode mode, const UdpPeerReport& report);
// "A.B.C.D:PORT" or "PORT" (address left as is); false on bad text.
bool ParseUdpEndpoint(const std::string& text, uint32_t& addr, uint16_t& port);

}  // namespace zok2tools
