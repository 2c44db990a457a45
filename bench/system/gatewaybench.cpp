// The gateway's own workloads. Each starts a runner of its own, configures
// both groups (the board forwards once both are), drives its lines and
// sockets from threads of this process and charges the runner's CPU time
// to the messages it carried.
#include "gatewaybench.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "bacmpeer.h"
#include "board.h"
#include "linepipe.h"
#include "proc.h"
#include "rawospeer.h"
#include "ttyport.h"
#include "udppeer.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr double NS_PER_MS = 1e6;
constexpr double NS_PER_US = 1e3;
constexpr double NS_PER_S = 1e9;
constexpr uint32_t LINE_RATE = 115200;
constexpr double BITS_PER_CHAR = 10.0;
constexpr uint16_t PORT_SCI1 = 2010;
constexpr uint16_t PORT_SCI2 = 2011;
constexpr uint8_t BACM_ADDR = 5;
constexpr size_t BACM_WINDOW = 8;             // below both BAC-M send queues (16)
constexpr size_t BACM_MESSAGE = 40;           // bytes
constexpr double FLIP_PER_BYTE = 1.0 / 2000;  // the damaged line: about one frame in 40
constexpr uint32_t FLIP_SEED = 12;
constexpr uint16_t UDP_PORT = 2000;             // one of the board's default ports
const uint32_t PEER0_ADDR = benchAddr(111, 1);  // the far end on Ethernet 0
const uint32_t PEER1_ADDR = benchAddr(121, 1);  // on Ethernet 1
constexpr double UDP_RATE = 500.0;              // datagrams per second per interface
constexpr size_t UDP_SIZE = 64;
constexpr int DRAIN_MS = 2000;       // time for what is in flight after the senders stop
constexpr int DRAIN_MAX_MS = 30000;  // the load run's drain, while things still arrive
constexpr int SETTLE_MS = 1000;      // start-up is not rest
constexpr size_t RAW_MESSAGE = 200;
constexpr double RAW_GAP_CHARS = 3.5;

uint64_t msSince(uint64_t t0Ns) { return (nowNs() - t0Ns) / 1000000ull; }

void sleepMs(double ms)
{
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

// One serial line of the runner pumped on its own thread: bytes read go to
// `receive`, `output` gives the bytes to write; `poll` runs every pass.
// A LineChannel between the two can damage what the peer sends.
class LinePump {
public:
    LinePump(const std::string& path, uint32_t bitRate, double flipP) : toBoard(0, 10, FLIP_SEED)
    {
        toBoard.SetFaults(flipP, 0.0);
        std::string error;
        ok = port.Open(path, bitRate, zok2tools::Parity::None, 1, error);
    }
    ~LinePump() { stopNow(); }
    void start()
    {
        thread = std::thread([this] { run(); });
    }
    void stopNow()
    {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    std::mutex lock;
    bool ok = false;
    std::function<void(const uint8_t*, size_t, uint64_t)> receive;
    std::function<void(uint64_t)> poll;
    std::function<Bytes()> output;
    zok2tools::LineChannel toBoard;
    uint64_t t0 = nowNs();

private:
    void run()
    {
        uint8_t buf[2048];
        Bytes pending;
        while (!stop) {
            port.WaitReadable(1);
            const uint64_t now = msSince(t0);
            {
                std::lock_guard<std::mutex> l(lock);
                for (long n; (n = port.Read(buf, sizeof buf)) > 0;)
                    receive(buf, static_cast<size_t>(n), now);
                poll(now);
                toBoard.Write(output(), now);
                const Bytes out = toBoard.Read(now);
                pending.insert(pending.end(), out.begin(), out.end());
            }
            // What the line takes now; the rest waits while this end goes on
            // reading, as a device's transmitter and receiver do. A blocking
            // write here would stop the reading, and so the board's sending.
            if (!pending.empty()) {
                const ssize_t n = ::write(port.Fd(), pending.data(), pending.size());
                if (n > 0) pending.erase(pending.begin(), pending.begin() + n);
            }
            held = pending.size();
            maxHeld = std::max(maxHeld.load(), held.load());
        }
    }

public:
    // Bytes this end has made that its line has not taken yet: a PTY whose
    // kernel worker a busy host runs late holds them back. Now and at most.
    std::atomic<size_t> held{0};
    std::atomic<size_t> maxHeld{0};

private:
    zok2tools::TtyPort port;
    std::thread thread;
    std::atomic<bool> stop{false};
};

hostlink::Message toLine(uint16_t port, const Bytes& payload)
{
    hostlink::Message m;
    m.destPort = port;
    m.destAddr = SCI_ADDR;
    m.sourcePort = port;
    m.sourceAddr = 0x0A500010;
    m.payload = payload;
    return m;
}

// Numbered payload with the bytes BAC-M must stuff.
// The number a numbered payload carries.
uint32_t numberOf(const Bytes& b)
{
    return b.size() < 5 ? 0xFFFFFFFFu
                        : static_cast<uint32_t>(b[1]) << 24 | static_cast<uint32_t>(b[2]) << 16 |
                              static_cast<uint32_t>(b[3]) << 8 | b[4];
}

Bytes numbered(uint8_t tag, uint32_t i, size_t size);

// Counts one arriving numbered message: `next` is the number expected; a
// lower number is a duplicate, a higher one skipped the ones between, and a
// payload that is not exactly what was sent counts as damaged.
struct InOrder {
    uint64_t next = 0;
    uint64_t duplicates = 0;
    uint64_t skipped = 0;
    uint64_t damaged = 0;
    // True when the message is a new one.
    bool take(const Bytes& m, uint8_t tag, size_t size)
    {
        const uint32_t n = numberOf(m);
        if (m != numbered(tag, n, size)) {
            ++damaged;
            return false;
        }
        if (n < next) {
            ++duplicates;
            return false;
        }
        skipped += n - next;
        next = n + 1;
        return true;
    }
};

Bytes numbered(uint8_t tag, uint32_t i, size_t size)
{
    Bytes b = {tag,
               static_cast<uint8_t>(i >> 24),
               static_cast<uint8_t>(i >> 16),
               static_cast<uint8_t>(i >> 8),
               static_cast<uint8_t>(i),
               0x10,
               0x02,
               0x10,
               0x03};
    while (b.size() < size) b.push_back(static_cast<uint8_t>(b.size() + i));
    return b;
}

bool startConfigured(Board& b, const GatewayOptions& o, const std::string& name,
                     const zok2tools::GroupConfig& g0, const zok2tools::GroupConfig& g1,
                     std::string& error)
{
    return b.start(o.runner, o.logDir + "/gw-" + name, o.logDir + "/zok2gw-" + name + ".log", error,
                   o.socketLines) &&
           b.configure(0, g0, error) && b.configure(1, g1, error);
}

// BAC-M line 1 of group 0, the board a slave, this end the master.
struct BacmRun {
    uint64_t toHost = 0, toLine = 0, sentToLine = 0, sentToHost = 0;
    InOrder hostOrder, lineOrder;
    uint64_t repeats = 0, crcErrors = 0, hostRepeatsSeen = 0;
    double seconds = 0;
    std::vector<double> rttMs;
};

zok2tools::GroupConfig bacmGroup()
{
    zok2tools::GroupConfig g = loopbackGroup(0);
    g.bacmAddr = BACM_ADDR;
    return g;
}

// Host to line and line to host at once, each with BACM_WINDOW messages in
// flight, for `seconds`; stops early when `stop` is set.
bool driveBacm(Board& b, LinePump& line, zok2tools::BacmPeer& peer, double seconds, BacmRun& r,
               std::string& error, const std::atomic<bool>* stop = nullptr)
{
    hostlink::Client& host = *b.link[0];
    const auto upBy = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (bool up = false; !up;) {
        if (std::chrono::steady_clock::now() > upBy) {
            error = "the BAC-M link did not come up";
            return false;
        }
        sleepMs(10);
        std::lock_guard<std::mutex> l(line.lock);
        up = peer.LinkUp();
    }
    std::vector<uint64_t> sentAt;
    const uint64_t t0 = nowNs();
    const uint64_t endNs = t0 + static_cast<uint64_t>(seconds * NS_PER_S);
    uint64_t lastProgress = nowNs();
    while (true) {
        const uint64_t now = nowNs();
        const bool sending = now < endNs && !(stop != nullptr && *stop);
        if (!sending && (r.toHost == r.sentToHost && r.toLine == r.sentToLine)) break;
        if (now - lastProgress > static_cast<uint64_t>(DRAIN_MS) * 1000000ull) break;
        while (sending && r.sentToLine - r.toLine < BACM_WINDOW) {
            sentAt.push_back(nowNs());
            host.send(toLine(PORT_SCI1,
                             numbered('h', static_cast<uint32_t>(r.sentToLine++), BACM_MESSAGE)));
        }
        {
            std::lock_guard<std::mutex> l(line.lock);
            while (sending && r.sentToHost - r.toHost < BACM_WINDOW &&
                   peer.Send(numbered('l', static_cast<uint32_t>(r.sentToHost), BACM_MESSAGE))) {
                ++r.sentToHost;
            }
            for (const Bytes& m : peer.TakeReceived()) {
                if (!r.lineOrder.take(m, 'h', BACM_MESSAGE)) continue;
                r.toLine = r.lineOrder.next;
                r.rttMs.push_back(static_cast<double>(nowNs() - sentAt[r.toLine - 1]) / NS_PER_MS);
                lastProgress = nowNs();
            }
        }
        hostlink::Message m;
        while (host.waitMessage(m, 1)) {
            if (m.destPort == CONFIG_PORT) continue;
            if (!r.hostOrder.take(m.payload, 'l', BACM_MESSAGE)) continue;
            r.toHost = r.hostOrder.next;
            lastProgress = nowNs();
        }
    }
    r.seconds = static_cast<double>(nowNs() - t0) / NS_PER_S;
    std::lock_guard<std::mutex> l(line.lock);
    r.repeats = peer.Counters().infoRepeated;
    r.crcErrors = peer.Counters().crcErrors;
    return true;
}

void bacmCase(const GatewayOptions& o, bool damaged, std::vector<Row>& rows)
{
    Row row;
    row.workload = damaged ? "BAC-M 115200, 40 B, damaged line (1 flip in 2000 B)"
                           : "BAC-M 115200, 40 B, host and back";
    row.tool = "zok2gw BAC-M + peer";
    Board b;
    std::string error;
    if (!startConfigured(b, o, damaged ? "bacm-damaged" : "bacm", bacmGroup(), loopbackGroup(1),
                         error)) {
        row.status = "failed: " + error;
        rows.push_back(row);
        return;
    }
    zok2tools::BacmPeerConfig pc;
    pc.master = true;
    pc.address = BACM_ADDR;
    zok2tools::BacmPeer peer(pc);
    LinePump line(b.line(1), LINE_RATE, damaged ? FLIP_PER_BYTE : 0.0);
    line.receive = [&](const uint8_t* d, size_t n, uint64_t now) { peer.Receive(d, n, now); };
    line.poll = [&](uint64_t now) { peer.Poll(now); };
    line.output = [&] { return peer.TakeOutput(); };
    if (!line.ok) {
        row.status = "failed: cannot open line 1";
        rows.push_back(row);
        return;
    }
    line.start();
    BacmRun r;
    const uint64_t cpu0 = processCpuNs(b.pid);
    const bool ok = driveBacm(b, line, peer, o.bacmSeconds, r, error);
    const uint64_t cpu = processCpuNs(b.pid) - cpu0;
    line.stopNow();
    const uint64_t flips = line.toBoard.Counters().flipped;
    const int status = b.stop();
    row.status = !ok           ? "failed: " + error
                 : status != 0 ? "failed: runner exit status " + std::to_string(status)
                               : "ok";
    row.lostBytes = static_cast<int64_t>((r.sentToHost - r.toHost) + (r.sentToLine - r.toLine) +
                                         r.hostOrder.skipped + r.lineOrder.skipped);
    row.msgsPerFrame = 1.0;  // each message is one frame of its own
    row.bytesPerSec = static_cast<double>(r.toHost + r.toLine) * BACM_MESSAGE / r.seconds;
    row.p50Ms = percentile(r.rttMs, 50);
    row.p99Ms = percentile(r.rttMs, 99);
    row.maxMs = percentile(r.rttMs, 100);
    const uint64_t msgs = r.toHost + r.toLine;
    row.cpuUsPerFrame = msgs ? static_cast<double>(cpu) / NS_PER_US / static_cast<double>(msgs) : 0;
    char note[300];
    std::snprintf(
        note, sizeof note,
        "%.1f msg/s to host, %.1f to line; %llu flips, master repeats %llu, CRC errors "
        "%llu; duplicates %llu, skipped %llu, damaged %llu; lost column in messages; latency "
        "host to line",
        r.toHost / r.seconds, r.toLine / r.seconds, static_cast<unsigned long long>(flips),
        static_cast<unsigned long long>(r.repeats), static_cast<unsigned long long>(r.crcErrors),
        static_cast<unsigned long long>(r.hostOrder.duplicates + r.lineOrder.duplicates),
        static_cast<unsigned long long>(r.hostOrder.skipped + r.lineOrder.skipped),
        static_cast<unsigned long long>(r.hostOrder.damaged + r.lineOrder.damaged));
    row.note = note;
    rows.push_back(row);
}

// A UDP peer at `addr`:UDP_PORT; the host echoes what the board delivers,
// so a datagram goes peer, board, host link, host, board, peer.
int bindUdp(uint32_t addr, uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(addr);
    const int big = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct UdpFlow {
    uint32_t peerAddr;
    uint32_t boardAddr;
    int fd = -1;
    uint64_t sent = 0;
    zok2tools::SeqAccount seq;
    std::vector<double> rttMs;
    std::atomic<uint64_t> echoed{0};
};

// The host of a group: every UDP message back to where it came from.
void echoHost(hostlink::Client& host, const std::atomic<bool>& stop)
{
    while (!stop) {
        hostlink::Message m;
        if (!host.waitMessage(m, 10) || m.destPort == CONFIG_PORT) continue;
        hostlink::Message back = m;
        back.destAddr = m.sourceAddr;
        back.destPort = m.sourcePort;
        back.sourceAddr = m.destAddr;
        back.sourcePort = m.destPort;
        host.send(back);
    }
}

void udpSender(UdpFlow& f, double seconds, double rate)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(UDP_PORT);
    to.sin_addr.s_addr = htonl(f.boardAddr);
    uint8_t buf[UDP_SIZE];
    const uint64_t t0 = nowNs();
    const auto total = static_cast<uint64_t>(seconds * rate);
    for (uint64_t k = 0; k < total; ++k) {
        const uint64_t due = t0 + static_cast<uint64_t>(k * NS_PER_S / rate);
        while (nowNs() < due) sleepMs(static_cast<double>(due - nowNs()) / NS_PER_MS);
        zok2tools::EncodeUdpPayload(static_cast<uint32_t>(k), nowNs(), buf, sizeof buf);
        ::sendto(f.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ++f.sent;
    }
}

void udpReceiver(UdpFlow& f, const std::atomic<bool>& stop)
{
    uint8_t buf[2048];
    while (!stop) {
        pollfd p{f.fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        const ssize_t n = ::recv(f.fd, buf, sizeof buf, 0);
        uint32_t s = 0;
        uint64_t at = 0;
        if (n > 0 && zok2tools::DecodeUdpPayload(buf, static_cast<size_t>(n), s, at)) {
            f.seq.Add(s);
            ++f.echoed;
            f.rttMs.push_back(static_cast<double>(nowNs() - at) / NS_PER_MS);
        }
    }
}

Row udpRow(const char* workload, UdpFlow& f, double seconds, uint64_t cpuNs, uint64_t msgs)
{
    Row row;
    row.workload = workload;
    row.tool = "zok2gw + echoing host";
    row.status = "ok";
    row.lostBytes = static_cast<int64_t>(f.seq.Lost(f.sent));
    row.bytesPerSec = static_cast<double>(f.seq.unique()) / seconds * UDP_SIZE;
    row.p50Ms = percentile(f.rttMs, 50);
    row.p99Ms = percentile(f.rttMs, 99);
    row.maxMs = percentile(f.rttMs, 100);
    row.cpuUsPerFrame =
        msgs ? static_cast<double>(cpuNs) / NS_PER_US / static_cast<double>(msgs) : 0;
    char note[160];
    std::snprintf(note, sizeof note,
                  "%.0f datagrams/s sent, %.0f/s back, %llu lost (lost column: datagrams); "
                  "round trip; CPU per datagram each way",
                  f.sent / seconds, f.seq.unique() / seconds,
                  static_cast<unsigned long long>(f.seq.Lost(f.sent)));
    row.note = note;
    return row;
}

}  // namespace

void runGatewayBacm(const GatewayOptions& o, std::vector<Row>& rows)
{
    bacmCase(o, false, rows);
    bacmCase(o, true, rows);
}

void runGatewayUdp(const GatewayOptions& o, std::vector<Row>& rows)
{
    Board b;
    std::string error;
    if (!startConfigured(b, o, "udp", loopbackGroup(0), loopbackGroup(1), error)) {
        Row row;
        row.workload = "UDP to host link and back";
        row.tool = "zok2gw + echoing host";
        row.status = "failed: " + error;
        rows.push_back(row);
        return;
    }
    UdpFlow flows[2];
    flows[0].peerAddr = PEER0_ADDR;
    flows[0].boardAddr = GROUP0_ADDR;
    flows[1].peerAddr = PEER1_ADDR;
    flows[1].boardAddr = GROUP1_ADDR;
    for (UdpFlow& f : flows) f.fd = bindUdp(f.peerAddr, UDP_PORT);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int g = 0; g < 2; ++g)
        threads.emplace_back(echoHost, std::ref(*b.link[g]), std::cref(stop));
    for (UdpFlow& f : flows) threads.emplace_back(udpReceiver, std::ref(f), std::cref(stop));
    const uint64_t cpu0 = processCpuNs(b.pid);
    {
        std::thread s0(udpSender, std::ref(flows[0]), o.udpSeconds, UDP_RATE);
        std::thread s1(udpSender, std::ref(flows[1]), o.udpSeconds, UDP_RATE);
        s0.join();
        s1.join();
    }
    sleepMs(DRAIN_MS);
    const uint64_t cpu = processCpuNs(b.pid) - cpu0;
    stop = true;
    for (std::thread& t : threads) t.join();
    const int status = b.stop();
    const uint64_t msgs = 2 * (flows[0].seq.unique() + flows[1].seq.unique());
    const char* names[] = {"UDP 500/s, Ethernet 0 to host link 1 and back",
                           "UDP 500/s, Ethernet 1 to host link 2 and back"};
    for (int g = 0; g < 2; ++g) {
        Row row = udpRow(names[g], flows[g], o.udpSeconds, cpu, msgs);
        if (flows[g].fd < 0) row.status = "failed: cannot bind the peer's socket";
        if (status != 0) row.status = "failed: runner exit status " + std::to_string(status);
        rows.push_back(row);
        if (flows[g].fd >= 0) ::close(flows[g].fd);
    }
}

void runGatewayRest(const GatewayOptions& o, std::vector<Row>& rows)
{
    Board b;
    std::string error;
    if (!startConfigured(b, o, "rest", loopbackGroup(0), loopbackGroup(1), error)) {
        Row row;
        row.workload = "at rest, configured, 2 x 15 ports";
        row.tool = "zok2gw";
        row.status = "failed: " + error;
        rows.push_back(row);
        return;
    }
    // First with both host links polled every 1 ms, as in the serial runs
    // (no data moves): the floor under their CPU per frame. Then the host
    // links go quiet: what is left is the board's own work.
    for (const bool polled : {true, false}) {
        if (!polled) {
            for (auto& l : b.link) l->disconnect();
        }
        sleepMs(SETTLE_MS);
        const uint64_t cpu0 = processCpuNs(b.pid);
        const uint64_t t0 = nowNs();
        sleepMs(o.restSeconds * 1000.0);
        const double cpu = static_cast<double>(processCpuNs(b.pid) - cpu0);
        const double wall = static_cast<double>(nowNs() - t0);
        Row row;
        char name[96];
        std::snprintf(name, sizeof name, "at rest, %.0f s, configured, 2 x 15 ports%s",
                      o.restSeconds, polled ? ", polled" : "");
        row.workload = name;
        row.tool = "zok2gw";
        row.status = "ok";
        char note[96];
        std::snprintf(note, sizeof note, "%.2f %% of one host core (%s)", 100.0 * cpu / wall,
                      polled ? "host links polled every 1 ms, no data" : "host links idle");
        row.note = note;
        rows.push_back(row);
    }
    const int status = b.stop();
    if (status != 0) {
        for (size_t i = rows.size() - 2; i < rows.size(); ++i) {
            rows[i].status = "failed: runner exit status " + std::to_string(status);
        }
    }
}

namespace {

// A RAWoS line under load: the far end writes a stream of frames at the
// line rate and counts what the host sends it.
struct RawLoad {
    uint64_t written = 0;      // bytes put on the line by the far end
    uint64_t toHostBytes = 0;  // of those, delivered at the host
    uint64_t toHostMsgs = 0;
    uint64_t sentToLine = 0;  // bytes the host sent to the line
    uint64_t msgsToLine = 0;
    std::atomic<uint64_t> lineGot{0};  // bytes the far end received
    uint64_t lineMsgs = 0;
    bool writing = false;
    uint64_t startMs = 0;  // on the pump's clock
};

Bytes dueBytes(RawLoad& r, uint64_t nowMs)
{
    if (!r.writing || nowMs < r.startMs) return {};
    const double chars =
        static_cast<double>(nowMs - r.startMs) * LINE_RATE / BITS_PER_CHAR / 1000.0;
    const auto due = static_cast<uint64_t>(chars * RAW_MESSAGE / (RAW_MESSAGE + RAW_GAP_CHARS));
    Bytes out;
    for (; r.written < due; ++r.written) out.push_back(static_cast<uint8_t>(r.written * 7));
    return out;
}

}  // namespace

void runGatewayLoad(const GatewayOptions& o, std::vector<Row>& rows)
{
    Row row;
    char name[140];
    std::snprintf(name, sizeof name,
                  "load, %.0f s: 3 lines%s at line rate both ways, UDP 500/s on both interfaces",
                  o.loadSeconds, o.socketLines ? " (on sockets)" : "");
    row.workload = name;
    row.tool = "zok2gw";
    Board b;
    std::string error;
    zok2tools::GroupConfig g0 = bacmGroup();
    g0.line[1].protocol = "rawos";
    g0.line[1].interCharMs = INTERCHAR_UNIT_MS;
    zok2tools::GroupConfig g1 = loopbackGroup(1);
    g1.line[0].protocol = "rawos";
    g1.line[0].interCharMs = INTERCHAR_UNIT_MS;
    if (!startConfigured(b, o, "load", g0, g1, error)) {
        row.status = "failed: " + error;
        rows.push_back(row);
        return;
    }
    // Line 1: BAC-M, this end the master.
    zok2tools::BacmPeerConfig pc;
    pc.master = true;
    pc.address = BACM_ADDR;
    zok2tools::BacmPeer bacm(pc);
    LinePump line1(b.line(1), LINE_RATE, 0.0);
    line1.receive = [&](const uint8_t* d, size_t n, uint64_t now) { bacm.Receive(d, n, now); };
    line1.poll = [&](uint64_t now) { bacm.Poll(now); };
    line1.output = [&] { return bacm.TakeOutput(); };
    // Lines 2 and 3: RAWoS streams.
    RawLoad raw[2];
    std::unique_ptr<LinePump> rawLine[2];
    for (int k = 0; k < 2; ++k) {
        rawLine[k] = std::make_unique<LinePump>(b.line(k + 2), LINE_RATE, 0.0);
        RawLoad& r = raw[k];
        LinePump& p = *rawLine[k];
        p.receive = [&r](const uint8_t*, size_t n, uint64_t) { r.lineGot += n; };
        p.poll = [](uint64_t) {};
        p.output = [&r, &p] { return dueBytes(r, msSince(p.t0)); };
    }
    if (!line1.ok || !rawLine[0]->ok || !rawLine[1]->ok) {
        row.status = "failed: cannot open the serial lines";
        rows.push_back(row);
        return;
    }
    UdpFlow flows[2];
    flows[0].peerAddr = PEER0_ADDR;
    flows[0].boardAddr = GROUP0_ADDR;
    flows[1].peerAddr = PEER1_ADDR;
    flows[1].boardAddr = GROUP1_ADDR;
    for (UdpFlow& f : flows) f.fd = bindUdp(f.peerAddr, UDP_PORT);

    // The hosts: BAC-M in a window, RAWoS messages at the line rate, UDP echoed.
    std::atomic<bool> stop{false};
    std::atomic<bool> sending{true};
    std::mutex hostLock;
    uint64_t bacmToHost = 0, bacmToLine = 0, bacmSentToLine = 0, bacmSentToHost = 0;
    InOrder hostOrder, lineOrder;
    auto hostRun = [&](int g) {
        hostlink::Client& host = *b.link[g];
        const uint64_t t0 = nowNs();
        RawLoad& r = raw[g];  // host link 1 serves line 2, host link 2 line 3
        const uint16_t rawPort = g == 0 ? PORT_SCI2 : PORT_SCI1;
        const double msgNs = (RAW_MESSAGE + RAW_GAP_CHARS) * BITS_PER_CHAR * NS_PER_S / LINE_RATE;
        while (!stop) {
            if (sending && static_cast<double>(nowNs() - t0) > r.msgsToLine * msgNs) {
                host.send(toLine(rawPort,
                                 numbered('r', static_cast<uint32_t>(r.msgsToLine), RAW_MESSAGE)));
                ++r.msgsToLine;
                r.sentToLine += RAW_MESSAGE;
            }
            if (g == 0) {
                std::lock_guard<std::mutex> l(hostLock);
                while (sending && bacmSentToLine - bacmToLine < BACM_WINDOW) {
                    host.send(toLine(
                        PORT_SCI1,
                        numbered('h', static_cast<uint32_t>(bacmSentToLine++), BACM_MESSAGE)));
                }
            }
            hostlink::Message m;
            while (host.waitMessage(m, 1)) {
                if (m.destPort == CONFIG_PORT) continue;
                if (m.sourceAddr == SCI_ADDR && g == 0 && m.sourcePort == PORT_SCI1) {
                    std::lock_guard<std::mutex> l(hostLock);
                    if (hostOrder.take(m.payload, 'l', BACM_MESSAGE)) bacmToHost = hostOrder.next;
                } else if (m.sourceAddr == SCI_ADDR) {
                    std::lock_guard<std::mutex> l(hostLock);
                    r.toHostBytes += m.payload.size();
                    ++r.toHostMsgs;
                } else {
                    hostlink::Message back = m;
                    back.destAddr = m.sourceAddr;
                    back.destPort = m.sourcePort;
                    back.sourceAddr = m.destAddr;
                    back.sourcePort = m.destPort;
                    host.send(back);
                }
            }
        }
    };
    line1.start();
    rawLine[0]->start();
    rawLine[1]->start();
    // The BAC-M link comes up before the load starts.
    for (int i = 0; i < 500; ++i) {
        sleepMs(10);
        std::lock_guard<std::mutex> l(line1.lock);
        if (bacm.LinkUp()) break;
    }
    for (int k = 0; k < 2; ++k) {
        std::lock_guard<std::mutex> l(rawLine[k]->lock);
        raw[k].startMs = msSince(rawLine[k]->t0);
        raw[k].writing = true;
    }
    const uint64_t cpu0 = processCpuNs(b.pid);
    const uint64_t t0 = nowNs();
    std::vector<std::thread> threads;
    threads.emplace_back(hostRun, 0);
    threads.emplace_back(hostRun, 1);
    for (UdpFlow& f : flows) threads.emplace_back(udpReceiver, std::ref(f), std::cref(stop));
    std::thread s0(udpSender, std::ref(flows[0]), o.loadSeconds, UDP_RATE);
    std::thread s1(udpSender, std::ref(flows[1]), o.loadSeconds, UDP_RATE);
    const uint64_t endNs = t0 + static_cast<uint64_t>(o.loadSeconds * NS_PER_S);
    while (nowNs() < endNs) {
        {
            std::lock_guard<std::mutex> l(line1.lock);
            std::lock_guard<std::mutex> h(hostLock);
            while (bacmSentToHost - bacmToHost < BACM_WINDOW &&
                   bacm.Send(numbered('l', static_cast<uint32_t>(bacmSentToHost), BACM_MESSAGE))) {
                ++bacmSentToHost;
            }
            for (const Bytes& m : bacm.TakeReceived()) {
                if (lineOrder.take(m, 'h', BACM_MESSAGE)) bacmToLine = lineOrder.next;
            }
        }
        sleepMs(1);
    }
    sending = false;
    for (int k = 0; k < 2; ++k) {
        std::lock_guard<std::mutex> l(rawLine[k]->lock);
        raw[k].writing = false;
    }
    s0.join();
    s1.join();
    // Drain: what is in flight arrives, BAC-M's window empties. It ends once
    // everything sent has arrived, or nothing has arrived for a while. What
    // a far end still holds back (its PTY served late by a busy host) is
    // still to come: its line time lengthens the drain, and meanwhile a quiet
    // spell does not end it.
    uint64_t arrived = UINT64_MAX;
    size_t heldAtEnd = 0;
    for (const auto& p : rawLine) heldAtEnd = std::max(heldAtEnd, p->held.load());
    const double heldNs = static_cast<double>(heldAtEnd) * BITS_PER_CHAR * NS_PER_S / LINE_RATE;
    const uint64_t drainLimit =
        nowNs() + static_cast<uint64_t>(DRAIN_MAX_MS) * 1000000ull + static_cast<uint64_t>(heldNs);
    for (uint64_t quietSince = nowNs(); nowNs() < drainLimit; sleepMs(5)) {
        uint64_t total = flows[0].echoed + flows[1].echoed;
        bool all = flows[0].echoed >= flows[0].sent && flows[1].echoed >= flows[1].sent;
        {
            std::lock_guard<std::mutex> l(line1.lock);
            std::lock_guard<std::mutex> h(hostLock);
            for (const Bytes& m : bacm.TakeReceived()) {
                if (lineOrder.take(m, 'h', BACM_MESSAGE)) bacmToLine = lineOrder.next;
            }
            total += bacmToHost + bacmToLine;
            all = all && bacmToHost == bacmSentToHost && bacmToLine == bacmSentToLine;
            for (const RawLoad& r : raw) {
                total += r.toHostBytes + r.lineGot;
                all = all && r.toHostBytes == r.written && r.lineGot == r.sentToLine;
            }
        }
        bool held = false;
        for (const auto& p : rawLine) held = held || p->held > 0;
        if (all) break;
        if (total != arrived || held) {
            arrived = total;
            quietSince = nowNs();
        } else if (nowNs() - quietSince >= static_cast<uint64_t>(DRAIN_MS) * 1000000ull) {
            break;
        }
    }
    const uint64_t cpu = processCpuNs(b.pid) - cpu0;
    const double secs = static_cast<double>(nowNs() - t0) / NS_PER_S;
    stop = true;
    for (std::thread& t : threads) t.join();
    line1.stopNow();
    rawLine[0]->stopNow();
    rawLine[1]->stopNow();
    const int status = b.stop();
    for (UdpFlow& f : flows) {
        if (f.fd >= 0) ::close(f.fd);
    }
    const std::string lag = b.largestLag();
    const auto peerRepeats = static_cast<unsigned long long>(bacm.Counters().infoRepeated);

    uint64_t msgs = bacmToHost + bacmToLine;
    uint64_t lostLine = 0;
    for (const RawLoad& r : raw) {
        msgs += r.toHostMsgs + r.msgsToLine;
        lostLine += (r.written - r.toHostBytes) + (r.sentToLine - r.lineGot);
    }
    uint64_t udpLost = 0;
    for (UdpFlow& f : flows) {
        msgs += 2 * f.seq.unique();
        udpLost += f.seq.Lost(f.sent);
    }
    const uint64_t bacmLost = (bacmSentToHost - bacmToHost) + (bacmSentToLine - bacmToLine) +
                              hostOrder.skipped + lineOrder.skipped;
    row.status = status == 0 ? "ok" : "failed: runner exit status " + std::to_string(status);
    row.lostBytes = static_cast<int64_t>(lostLine + bacmLost * BACM_MESSAGE);
    row.cpuUsPerFrame = msgs ? static_cast<double>(cpu) / NS_PER_US / static_cast<double>(msgs) : 0;
    char note[560];
    std::snprintf(
        note, sizeof note,
        "%llu messages in %.0f s (BAC-M %llu/%llu, RAWoS lines 2/3 to host %llu/%llu B of "
        "%llu/%llu, to line %llu/%llu B of %llu/%llu, UDP back %llu/%llu of %llu/%llu); "
        "BAC-M lost %llu, duplicates %llu (the peer repeated %llu); UDP lost %llu; largest lag %s; "
        "far ends held back %llu B at most; runner %.1f %% of a core; CPU per message",
        static_cast<unsigned long long>(msgs), secs, static_cast<unsigned long long>(bacmToHost),
        static_cast<unsigned long long>(bacmToLine),
        static_cast<unsigned long long>(raw[0].toHostBytes),
        static_cast<unsigned long long>(raw[1].toHostBytes),
        static_cast<unsigned long long>(raw[0].written),
        static_cast<unsigned long long>(raw[1].written),
        static_cast<unsigned long long>(raw[0].lineGot.load()),
        static_cast<unsigned long long>(raw[1].lineGot.load()),
        static_cast<unsigned long long>(raw[0].sentToLine),
        static_cast<unsigned long long>(raw[1].sentToLine),
        static_cast<unsigned long long>(flows[0].seq.unique()),
        static_cast<unsigned long long>(flows[1].seq.unique()),
        static_cast<unsigned long long>(flows[0].sent),
        static_cast<unsigned long long>(flows[1].sent), static_cast<unsigned long long>(bacmLost),
        static_cast<unsigned long long>(hostOrder.duplicates + lineOrder.duplicates), peerRepeats,
        static_cast<unsigned long long>(udpLost), lag.c_str(),
        static_cast<unsigned long long>(
            std::max(rawLine[0]->maxHeld.load(), rawLine[1]->maxHeld.load())),
        100.0 * static_cast<double>(cpu) / (secs * NS_PER_S));
    row.note = note;
    rows.push_back(row);
}
