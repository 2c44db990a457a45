// The UDP peer: payload codec, sequence accounting, latency summary, and the
// send, receive, echo and pingpong loops on one blocking-free socket.
#include "udppeer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zok2tools {

namespace {

constexpr uint8_t MAGIC[4] = {'Z', 'U', 'D', 'P'};
constexpr size_t SEQ_OFFSET = 4;
constexpr size_t TIME_OFFSET = 8;
constexpr uint64_t NS_PER_S = 1000000000ull;
constexpr double NS_PER_US = 1000.0;
constexpr int MAX_POLL_MS = 100;  // how soon a stop flag or deadline is seen
constexpr double DEFAULT_PINGPONG_WAIT_S = 1.0;
constexpr double P50 = 0.50;
constexpr double P99 = 0.99;
constexpr int BITS_PER_BYTE = 8;
constexpr uint64_t NS_PER_MS = 1000000ull;

uint64_t nowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * NS_PER_S + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t secondsToNs(double s) { return s <= 0 ? 0 : static_cast<uint64_t>(s * NS_PER_S); }

void putBe(uint8_t* p, uint64_t v, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i) {
        p[i] = static_cast<uint8_t>(v >> (BITS_PER_BYTE * (bytes - 1 - i)));
    }
}

uint64_t getBe(const uint8_t* p, size_t bytes)
{
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) {
        v = v << BITS_PER_BYTE | p[i];
    }
    return v;
}

bool stopped(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

int pollMs(uint64_t waitNs)
{
    const uint64_t ms = (waitNs + NS_PER_MS - 1) / NS_PER_MS;
    return static_cast<int>(std::min<uint64_t>(ms, MAX_POLL_MS));
}

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

void EncodeUdpPayload(uint32_t seq, uint64_t sendNs, uint8_t* buf, size_t size)
{
    std::memcpy(buf, MAGIC, sizeof(MAGIC));
    putBe(buf + SEQ_OFFSET, seq, sizeof(uint32_t));
    putBe(buf + TIME_OFFSET, sendNs, sizeof(uint64_t));
    for (size_t i = UDP_PEER_HEADER_SIZE; i < size; ++i) {
        buf[i] = static_cast<uint8_t>(i);  // a recognisable filler for captures
    }
}

bool DecodeUdpPayload(const uint8_t* buf, size_t len, uint32_t& seq, uint64_t& sendNs)
{
    if (len < UDP_PEER_HEADER_SIZE || std::memcmp(buf, MAGIC, sizeof(MAGIC)) != 0) {
        return false;
    }
    seq = static_cast<uint32_t>(getBe(buf + SEQ_OFFSET, sizeof(uint32_t)));
    sendNs = getBe(buf + TIME_OFFSET, sizeof(uint64_t));
    return true;
}

void SeqAccount::Add(uint32_t seq)
{
    ++received_;
    if (seq >= MAX_TRACKED) {
        ++untracked_;
        return;
    }
    if (seq >= seen_.size()) {
        seen_.resize(static_cast<size_t>(seq) + 1, false);
    }
    if (seen_[seq]) {
        ++duplicates_;
        return;
    }
    seen_[seq] = true;
    ++unique_;
    if (static_cast<int64_t>(seq) < highest_) {
        ++reordered_;
    } else {
        highest_ = seq;
    }
}

uint64_t SeqAccount::Lost(uint64_t expected) const
{
    const uint64_t span = expected != 0 ? expected : static_cast<uint64_t>(highest_ + 1);
    uint64_t have = 0;
    for (uint64_t s = 0; s < span && s < seen_.size(); ++s) {
        have += seen_[s] ? 1 : 0;
    }
    return span - have;
}

LatencySummary SummariseLatency(std::vector<uint64_t> samplesNs)
{
    LatencySummary s;
    if (samplesNs.empty()) {
        return s;
    }
    std::sort(samplesNs.begin(), samplesNs.end());
    // Nearest-rank percentile: the smallest sample with at least p of all at or below it.
    auto rank = [&](double p) {
        const size_t r = static_cast<size_t>(std::ceil(p * static_cast<double>(samplesNs.size())));
        return static_cast<double>(samplesNs[r == 0 ? 0 : r - 1]) / NS_PER_US;
    };
    s.valid = true;
    s.minUs = static_cast<double>(samplesNs.front()) / NS_PER_US;
    s.p50Us = rank(P50);
    s.p99Us = rank(P99);
    s.maxUs = static_cast<double>(samplesNs.back()) / NS_PER_US;
    return s;
}

UdpPeer::~UdpPeer()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool UdpPeer::Open(const UdpPeerOptions& options, std::string& err)
{
    options_ = options;
    if (options.size < UDP_PEER_HEADER_SIZE || options.size > UDP_PEER_MAX_SIZE) {
        err = "size must be from " + std::to_string(UDP_PEER_HEADER_SIZE) + " to " +
              std::to_string(UDP_PEER_MAX_SIZE) + " bytes";
        return false;
    }
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        err = errnoText("socket");
        return false;
    }
    const int on = 1;
    (void)::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));  // several receivers of a group
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = options.bindAddr;
    local.sin_port = htons(options.bindPort);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        err = errnoText("bind");
        return false;
    }
    for (uint32_t group : options.joins) {
        ip_mreq m{};
        m.imr_multiaddr.s_addr = group;
        m.imr_interface.s_addr = options.bindAddr == group ? INADDR_ANY : options.bindAddr;
        if (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m)) != 0) {
            err = errnoText("join");
            return false;
        }
    }
    return true;
}

uint16_t UdpPeer::LocalPort() const
{
    sockaddr_in local{};
    socklen_t len = sizeof(local);
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

bool UdpPeer::Run(UdpPeerReport& report, std::string& err, const std::atomic<bool>* stop)
{
    if (fd_ < 0) {
        err = "not open";
        return false;
    }
    const uint64_t start = nowNs();
    const bool ok = options_.mode == UdpPeerMode::Send || options_.mode == UdpPeerMode::Pingpong
                        ? RunSender(report, err, stop)
                        : RunReceiver(report, err, stop);
    report.elapsedS = static_cast<double>(nowNs() - start) / NS_PER_S;
    return ok;
}

// Send and pingpong: datagrams on a schedule of rate per second (pingpong
// without a rate: the next one when the answer came or the wait ran out);
// pingpong takes the answers in between.
bool UdpPeer::RunSender(UdpPeerReport& report, std::string& err, const std::atomic<bool>* stop)
{
    const bool pingpong = options_.mode == UdpPeerMode::Pingpong;
    const uint64_t waitNs =
        secondsToNs(options_.timeoutS > 0 ? options_.timeoutS : DEFAULT_PINGPONG_WAIT_S);
    const uint64_t durationNs = secondsToNs(options_.durationS);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = options_.toAddr;
    to.sin_port = htons(options_.toPort);
    std::vector<uint8_t> buf(std::max(options_.size, UDP_PEER_MAX_SIZE));
    const uint64_t start = nowNs();
    uint64_t lastSend = start;
    uint64_t doneAt = 0;
    bool done = false;
    for (;;) {
        if (stopped(stop)) {
            return true;
        }
        uint64_t now = nowNs();
        if (!done && ((options_.count != 0 && report.sent >= options_.count) ||
                      (durationNs != 0 && now - start >= durationNs))) {
            done = true;
            doneAt = now;
        }
        if (done && (!pingpong || report.seq.unique() >= report.sent || now - doneAt >= waitNs)) {
            return true;
        }
        uint64_t due = now;
        if (options_.rate > 0) {
            due = start + static_cast<uint64_t>(static_cast<double>(report.sent) * NS_PER_S /
                                                options_.rate);
        } else if (pingpong && report.sent > report.seq.unique()) {
            due = lastSend + waitNs;
        }
        if (!done && due <= now) {
            EncodeUdpPayload(static_cast<uint32_t>(report.sent), now, buf.data(), options_.size);
            const ssize_t n = ::sendto(fd_, buf.data(), options_.size, 0,
                                       reinterpret_cast<sockaddr*>(&to), sizeof(to));
            if (n < 0 && errno != EAGAIN && errno != ENOBUFS && errno != EINTR) {
                err = errnoText("send");
                return false;
            }
            if (n >= 0) {
                ++report.sent;
                report.bytesSent += static_cast<uint64_t>(n);
                lastSend = now;
                continue;
            }
            // A full socket buffer: wait until it drains a little.
            due = now + NS_PER_MS;
        }
        const uint64_t until = done ? doneAt + waitNs : due;
        pollfd p{fd_, static_cast<short>(pingpong ? POLLIN : 0), 0};
        (void)::poll(&p, 1, until > now ? pollMs(until - now) : 0);
        while (pingpong) {
            const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n < 0) {
                break;
            }
            report.bytesReceived += static_cast<uint64_t>(n);
            uint32_t seq = 0;
            uint64_t sentNs = 0;
            if (!DecodeUdpPayload(buf.data(), static_cast<size_t>(n), seq, sentNs)) {
                ++report.foreign;
                continue;
            }
            const uint64_t before = report.seq.unique();
            report.seq.Add(seq);
            if (report.seq.unique() != before) {
                report.rttNs.push_back(nowNs() - sentNs);
            }
        }
    }
}

// Recv and echo: until the count, the duration, the idle time-out or a stop.
bool UdpPeer::RunReceiver(UdpPeerReport& report, std::string& err, const std::atomic<bool>* stop)
{
    const bool echo = options_.mode == UdpPeerMode::Echo;
    const uint64_t durationNs = secondsToNs(options_.durationS);
    const uint64_t idleNs = secondsToNs(options_.timeoutS);
    std::vector<uint8_t> buf(UDP_PEER_MAX_SIZE);
    const uint64_t start = nowNs();
    uint64_t lastHeard = start;
    uint64_t handled = 0;
    for (;;) {
        const uint64_t now = nowNs();
        if (stopped(stop) || (options_.count != 0 && handled >= options_.count) ||
            (durationNs != 0 && now - start >= durationNs) ||
            (idleNs != 0 && now - lastHeard >= idleNs)) {
            return true;
        }
        sockaddr_in from{};
        socklen_t fromLen = sizeof(from);
        const ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                err = errnoText("receive");
                return false;
            }
            uint64_t wait = MAX_POLL_MS * NS_PER_MS;
            if (durationNs != 0) {
                wait = std::min(wait, start + durationNs - now);
            }
            if (idleNs != 0) {
                wait = std::min(wait, lastHeard + idleNs - now);
            }
            pollfd p{fd_, POLLIN, 0};
            (void)::poll(&p, 1, pollMs(wait));
            continue;
        }
        lastHeard = now;
        ++handled;
        report.bytesReceived += static_cast<uint64_t>(n);
        if (echo) {
            // The answer goes back unchanged, so the sender reads its own time stamp.
            if (::sendto(fd_, buf.data(), static_cast<size_t>(n), 0,
                         reinterpret_cast<sockaddr*>(&from), fromLen) == n) {
                ++report.sent;
                report.bytesSent += static_cast<uint64_t>(n);
            }
            continue;
        }
        uint32_t seq = 0;
        uint64_t sentNs = 0;
        if (DecodeUdpPayload(buf.data(), static_cast<size_t>(n), seq, sentNs)) {
            report.seq.Add(seq);
        } else {
            ++report.foreign;
        }
    }
}

std::string FormatUdpSummary(UdpPeerMode mode, const UdpPeerReport& r)
{
    char line[320];
    const double secs = r.elapsedS > 0 ? r.elapsedS : 1;
    switch (mode) {
    case UdpPeerMode::Send:
        std::snprintf(line, sizeof(line), "sent %llu datagrams (%llu bytes) in %.3f s, %.1f/s",
                      static_cast<unsigned long long>(r.sent),
                      static_cast<unsigned long long>(r.bytesSent), r.elapsedS,
                      static_cast<double>(r.sent) / secs);
        break;
    case UdpPeerMode::Echo:
        std::snprintf(line, sizeof(line), "echoed %llu datagrams (%llu bytes) in %.3f s",
                      static_cast<unsigned long long>(r.sent),
                      static_cast<unsigned long long>(r.bytesSent), r.elapsedS);
        break;
    case UdpPeerMode::Recv:
        std::snprintf(line, sizeof(line),
                      "received %llu (%llu bytes) in %.3f s: lost %llu, reordered %llu, "
                      "duplicates %llu, foreign %llu",
                      static_cast<unsigned long long>(r.seq.received()),
                      static_cast<unsigned long long>(r.bytesReceived), r.elapsedS,
                      static_cast<unsigned long long>(r.seq.Lost()),
                      static_cast<unsigned long long>(r.seq.reordered()),
                      static_cast<unsigned long long>(r.seq.duplicates()),
                      static_cast<unsigned long long>(r.foreign + r.seq.untracked()));
        break;
    case UdpPeerMode::Pingpong: {
        const LatencySummary l = SummariseLatency(r.rttNs);
        const int n = std::snprintf(
            line, sizeof(line),
            "sent %llu, received %llu in %.3f s: lost %llu, reordered %llu, duplicates %llu",
            static_cast<unsigned long long>(r.sent),
            static_cast<unsigned long long>(r.seq.received()), r.elapsedS,
            static_cast<unsigned long long>(r.seq.Lost(r.sent)),
            static_cast<unsigned long long>(r.seq.reordered()),
            static_cast<unsigned long long>(r.seq.duplicates()));
        if (l.valid && n > 0 && static_cast<size_t>(n) < sizeof(line)) {
            std::snprintf(line + n, sizeof(line) - static_cast<size_t>(n),
                          "; round trip us min %.1f p50 %.1f p99 %.1f max %.1f", l.minUs, l.p50Us,
                          l.p99Us, l.maxUs);
        }
        break;
    }
    }
    return line;
}

bool ParseUdpEndpoint(const std::string& text, uint32_t& addr, uint16_t& port)
{
    const size_t colon = text.rfind(':');
    const std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
    char* end = nullptr;
    constexpr int DECIMAL = 10;
    constexpr unsigned long MAX_PORT = 65535;
    const unsigned long p = std::strtoul(portText.c_str(), &end, DECIMAL);
    if (portText.empty() || *end != '\0' || p > MAX_PORT) {
        return false;
    }
    port = static_cast<uint16_t>(p);
    if (colon == std::string::npos) {
        return true;
    }
    in_addr a{};
    if (::inet_pton(AF_INET, text.substr(0, colon).c_str(), &a) != 1) {
        return false;
    }
    addr = a.s_addr;
    return true;
}

}  // namespace zok2tools
