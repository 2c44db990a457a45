// The serial relay workload: PTY writer, UDP receiver and the relays under
// test. Latency runs from the moment the writer hands the frame's last byte
// to the PTY to the moment the datagram holding it is read from the socket.
#include "serialbench.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "board.h"
#include "proc.h"
#include "ttyport.h"

namespace {

constexpr double BITS_PER_CHAR = 10.0;  // start, 8 data, stop
constexpr uint64_t NS_PER_S = 1000000000ull;
constexpr double NS_PER_MS = 1e6;
constexpr double NS_PER_US = 1e3;
constexpr int RELAY_READY_MS = 3000;  // a relay that has not opened its PTY by then failed
constexpr int SETTLE_MS = 500;        // quiet time after the last frame before counting
constexpr int STOP_GRACE_MS = 1000;
constexpr int RECV_POLL_MS = 50;
constexpr int UDP_RCVBUF = 4 << 20;
constexpr size_t MAX_DATAGRAM = 65536;
constexpr uint32_t PATTERN_STEP = 7;  // frame k starts at byte value 7k: shifts show up

uint8_t patternByte(uint64_t index, uint32_t frameBytes)
{
    const uint64_t frame = index / frameBytes;
    return static_cast<uint8_t>(frame * PATTERN_STEP + index % frameBytes);
}

struct Delivery {
    uint64_t atNs;
    uint32_t len;
};

// One relay under test with its own line and socket.
struct Trial {
    std::string tool;
    std::string status = "ok";
    int master = -1;     // the writer's end of the PTY
    int slaveKeep = -1;  // held open so the master never sees a hang-up
    std::string slavePath;
    int udp = -1;  // where the relay delivers
    uint16_t udpPort = 0;
    pid_t pid = -1;
    std::vector<uint64_t> lastByteNs;  // per frame: when its last byte was written
    std::vector<Delivery> deliveries;
    std::vector<uint8_t> received;
    uint64_t firstWriteNs = 0;
    uint64_t cpuNs = 0;
    std::atomic<bool> writerDone{false};
    std::unique_ptr<Board> board;  // the gateway's trial: the runner and its host link
    zok2tools::TtyPort line;       // the runner's serial line 2
};

bool openPty(Trial& t)
{
    t.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (t.master < 0 || ::grantpt(t.master) != 0 || ::unlockpt(t.master) != 0) return false;
    const char* name = ::ptsname(t.master);
    if (name == nullptr) return false;
    t.slavePath = name;
    t.slaveKeep = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (t.slaveKeep < 0) return false;
    termios tio{};
    ::tcgetattr(t.slaveKeep, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(t.slaveKeep, TCSANOW, &tio);
    return true;
}

int udpSocket(uint16_t& port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &UDP_RCVBUF, sizeof UDP_RCVBUF);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

void sendTo(int fd, uint16_t port, const void* data, size_t len)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::sendto(fd, data, len, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        std::perror("zok2bench: sendto");
    }
}

std::string linkOf(const std::string& path)
{
    char link[256];
    const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

// True once the process, no longer a copy of this one (the copy briefly
// holds our own descriptors), holds the PTY's slave open.
bool holdsPath(pid_t pid, const std::string& path)
{
    if (linkOf("/proc/" + std::to_string(pid) + "/exe") == linkOf("/proc/self/exe")) return false;
    for (int fd = 0; fd < 64; ++fd) {
        if (linkOf("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)) == path)
            return true;
    }
    return false;
}

bool waitForPty(Trial& t, const std::function<void()>& nudge)
{
    for (int waited = 0; waited < RELAY_READY_MS; waited += RECV_POLL_MS) {
        if (holdsPath(t.pid, t.slavePath)) return true;
        if (nudge) nudge();
        std::this_thread::sleep_for(std::chrono::milliseconds(RECV_POLL_MS));
    }
    return false;
}

// ser2net opens its device when a peer first talks to its UDP accepter; the
// hello also tells it where to deliver. The byte it writes into the line is
// never read by anyone but the PTY master, which ignores it.
void startSer2net(Trial& t, const SerialCase& c, bool chardelay, uint16_t accepter,
                  const std::string& logDir)
{
    const std::string conf = logDir + "/ser2net-" + (chardelay ? "delay" : "nodelay") + ".yaml";
    std::ofstream(conf) << "connection: &bench\n"
                        << "  accepter: udp,127.0.0.1," << accepter << "\n"
                        << "  connector: serialdev," << t.slavePath << "," << c.bitRate
                        << "n81,local\n"
                        << "  options:\n"
                        << "    chardelay: " << (chardelay ? "true" : "false") << "\n"
                        << "    kickolduser: true\n";
    t.pid = startProcess({"ser2net", "-n", "-u", "-c", conf},
                         logDir + "/ser2net-" + (chardelay ? "delay" : "nodelay") + ".log");
    if (t.pid < 0) {
        t.status = "skipped: ser2net not installed (scripts/bootstrap.sh bench)";
        return;
    }
    const uint8_t hello = 0;
    if (!waitForPty(t, [&] { sendTo(t.udp, accepter, &hello, 1); })) {
        t.status = "failed: ser2net did not open the line";
    }
}

void startSocat(Trial& t, const std::string& logDir)
{
    t.pid = startProcess({"socat", "-u", t.slavePath + ",raw,echo=0",
                          "UDP-SENDTO:127.0.0.1:" + std::to_string(t.udpPort)},
                         logDir + "/socat.log");
    if (t.pid < 0) {
        t.status = "skipped: socat not installed (scripts/bootstrap.sh bench)";
        return;
    }
    if (!waitForPty(t, nullptr)) t.status = "failed: socat did not open the line";
}

void sleepUntil(uint64_t ns)
{
    timespec ts{static_cast<time_t>(ns / NS_PER_S), static_cast<long>(ns % NS_PER_S)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}

// Writes every byte once its time on the line has come, as many as are due
// in one write: a late wake-up delivers a burst, as a UART's FIFO would.
void writer(Trial& t, const SerialCase& c)
{
    const double charNs = BITS_PER_CHAR * NS_PER_S / c.bitRate;
    const double framePeriodChars = c.frameBytes + c.gapChars;
    const uint64_t total = static_cast<uint64_t>(c.frames) * c.frameBytes;
    std::vector<uint8_t> chunk;
    uint64_t next = 0;
    const uint64_t t0 = nowNs();
    t.firstWriteNs = t0;
    auto dueNs = [&](uint64_t index) {
        const uint64_t frame = index / c.frameBytes;
        const double chars =
            frame * framePeriodChars + static_cast<double>(index % c.frameBytes) + 1;
        return t0 + static_cast<uint64_t>(chars * charNs);
    };
    while (next < total) {
        const uint64_t now = nowNs();
        uint64_t end = next;
        while (end < total && dueNs(end) <= now) ++end;
        if (end == next) {
            sleepUntil(dueNs(next));
            continue;
        }
        chunk.clear();
        for (uint64_t i = next; i < end; ++i) chunk.push_back(patternByte(i, c.frameBytes));
        const uint64_t before = nowNs();
        size_t done = 0;
        while (done < chunk.size()) {
            const ssize_t n = ::write(t.master, chunk.data() + done, chunk.size() - done);
            if (n < 0 && errno != EINTR) break;
            if (n > 0) done += static_cast<size_t>(n);
        }
        for (uint64_t f = next / c.frameBytes; f < end / c.frameBytes; ++f)
            t.lastByteNs[f] = before;
        next = end;
    }
    t.writerDone = true;
}

void receiver(Trial& t, uint64_t total)
{
    std::vector<uint8_t> buf(MAX_DATAGRAM);
    uint64_t quietSinceNs = 0;
    while (t.received.size() < total) {
        pollfd p{t.udp, POLLIN, 0};
        const int r = ::poll(&p, 1, RECV_POLL_MS);
        if (r > 0) {
            const ssize_t n = ::recv(t.udp, buf.data(), buf.size(), 0);
            if (n > 0) {
                t.deliveries.push_back({nowNs(), static_cast<uint32_t>(n)});
                t.received.insert(t.received.end(), buf.begin(), buf.begin() + n);
                quietSinceNs = 0;
            }
            continue;
        }
        if (!t.writerDone) continue;
        if (quietSinceNs == 0) quietSinceNs = nowNs();
        if (nowNs() - quietSinceNs > static_cast<uint64_t>(SETTLE_MS) * 1000000ull) break;
    }
}

// The gateway delivers each message at the host-link client.
void linkReceiver(Trial& t, uint64_t total)
{
    hostlink::Client& link = *t.board->link[0];
    uint64_t quietSinceNs = 0;
    while (t.received.size() < total) {
        hostlink::Message m;
        if (link.waitMessage(m, RECV_POLL_MS)) {
            if (m.destPort == CONFIG_PORT) continue;  // status on a link-up
            t.deliveries.push_back({nowNs(), static_cast<uint32_t>(m.payload.size())});
            t.received.insert(t.received.end(), m.payload.begin(), m.payload.end());
            quietSinceNs = 0;
            continue;
        }
        if (!t.writerDone) continue;
        if (quietSinceNs == 0) quietSinceNs = nowNs();
        if (nowNs() - quietSinceNs > static_cast<uint64_t>(SETTLE_MS) * 1000000ull) break;
    }
}

// The runner with line 2 as RAWoS at the case's rate, time-out one unit. It
// forwards once both groups are configured.
void startGateway(Trial& t, const SerialCase& c, const std::string& runner,
                  const std::string& logDir)
{
    t.board = std::make_unique<Board>();
    std::string error;
    zok2tools::GroupConfig g = loopbackGroup(0);
    g.line[1].protocol = "rawos";
    g.line[1].baud = c.bitRate;
    g.line[1].interCharMs = INTERCHAR_UNIT_MS;
    if (!t.board->start(runner, logDir + "/gw-serial", logDir + "/zok2gw-serial.log", error) ||
        !t.board->configure(0, g, error) || !t.board->configure(1, loopbackGroup(1), error) ||
        !t.line.Open(t.board->dir + "/sci2", c.bitRate, zok2tools::Parity::None, 1, error)) {
        t.status = "failed: " + error;
        return;
    }
    t.pid = t.board->pid;
    t.master = t.line.Fd();
    // The writer hands over every byte; it may wait for room.
    ::fcntl(t.master, F_SETFL, ::fcntl(t.master, F_GETFL) & ~O_NONBLOCK);
}

void evaluate(const Trial& t, const SerialCase& c, Row& row)
{
    const uint64_t total = static_cast<uint64_t>(c.frames) * c.frameBytes;
    const double lineBytesPerSec = c.bitRate / BITS_PER_CHAR;
    row.limitBytesPerSec = lineBytesPerSec;
    row.msgsPerFrame = static_cast<double>(t.deliveries.size()) / c.frames;
    uint64_t good = 0;
    for (uint64_t i = 0; i < std::min<uint64_t>(total, t.received.size()); ++i) {
        if (t.received[i] == patternByte(i, c.frameBytes)) ++good;
    }
    row.lostBytes = static_cast<int64_t>(total - good);
    if (!t.deliveries.empty()) {
        const double secs =
            static_cast<double>(t.deliveries.back().atNs - t.firstWriteNs) / NS_PER_S;
        row.bytesPerSec = static_cast<double>(t.received.size()) / secs;
    }
    // Latency of each frame: the delivery that carried its last byte. A frame
    // is whole when its first and last byte came in one delivery of its own.
    uint64_t end = 0;
    size_t d = 0;
    uint32_t whole = 0;
    for (uint32_t f = 0; f < c.frames; ++f) {
        const uint64_t first = static_cast<uint64_t>(f) * c.frameBytes;
        const uint64_t last = first + c.frameBytes - 1;
        while (d < t.deliveries.size() && end + t.deliveries[d].len <= last) {
            end += t.deliveries[d].len;
            ++d;
        }
        if (d >= t.deliveries.size()) break;
        if (end == first && end + t.deliveries[d].len == last + 1) ++whole;
        row.latenciesMs.push_back(
            static_cast<double>(static_cast<int64_t>(t.deliveries[d].atNs - t.lastByteNs[f])) /
            NS_PER_MS);
    }
    row.p50Ms = percentile(row.latenciesMs, 50);
    row.p99Ms = percentile(row.latenciesMs, 99);
    row.maxMs = percentile(row.latenciesMs, 100);
    row.cpuUsPerFrame = static_cast<double>(t.cpuNs) / NS_PER_US / c.frames;
    const double offered = lineBytesPerSec * c.frameBytes / (c.frameBytes + c.gapChars);
    char note[128];
    std::snprintf(note, sizeof note, "%u of %u frames whole; offered %.0f B/s", whole, c.frames,
                  offered);
    row.note = note;
}

}  // namespace

void runSerialCase(const SerialCase& c, const std::string& runner, const std::string& logDir,
                   std::vector<Row>& rows)
{
    char name[96];
    std::snprintf(name, sizeof name, "serial %u 8N1, %u B, gap %.1f ch", c.bitRate, c.frameBytes,
                  c.gapChars);
    const char* tools[] = {"ser2net chardelay on", "ser2net chardelay off", "socat",
                           "zok2gw RAWoS"};
    const size_t GATEWAY = 3;
    std::vector<Trial> trials(sizeof tools / sizeof tools[0]);
    // Every port is taken before any is handed on, so that a port given to a
    // relay cannot come back as one of our own sockets.
    std::vector<uint16_t> accepter(trials.size(), 0);
    std::vector<int> reserved(trials.size(), -1);
    for (size_t i = 0; i < trials.size(); ++i) {
        Trial& t = trials[i];
        t.tool = tools[i];
        t.lastByteNs.assign(c.frames, 0);
        if (i == GATEWAY) continue;
        t.udp = udpSocket(t.udpPort);
        reserved[i] = udpSocket(accepter[i]);
        if (t.udp < 0 || reserved[i] < 0 || !openPty(t)) t.status = "failed: no PTY or socket";
    }
    for (int fd : reserved) {
        if (fd >= 0) ::close(fd);
    }
    for (size_t i = 0; i < trials.size(); ++i) {
        Trial& t = trials[i];
        if (t.status != "ok") continue;
        if (i == GATEWAY) {
            startGateway(t, c, runner, logDir);
        } else if (i < 2) {
            startSer2net(t, c, i == 0, accepter[i], logDir);
        } else {
            startSocat(t, logDir);
        }
    }
    // Drop what a relay's start-up left in the socket (nothing is expected).
    for (Trial& t : trials) {
        uint8_t b[MAX_DATAGRAM];
        while (t.udp >= 0 && ::recv(t.udp, b, sizeof b, MSG_DONTWAIT) > 0) {}
    }

    const uint64_t total = static_cast<uint64_t>(c.frames) * c.frameBytes;
    std::vector<std::thread> threads;
    std::vector<uint64_t> cpu0(trials.size(), 0);
    for (size_t i = 0; i < trials.size(); ++i) {
        if (trials[i].status != "ok") continue;
        cpu0[i] = processCpuNs(trials[i].pid);
        threads.emplace_back(i == GATEWAY ? linkReceiver : receiver, std::ref(trials[i]), total);
        threads.emplace_back(writer, std::ref(trials[i]), std::cref(c));
    }
    for (std::thread& th : threads) th.join();

    for (size_t i = 0; i < trials.size(); ++i) {
        Trial& t = trials[i];
        Row row;
        row.workload = name;
        row.tool = t.tool;
        row.status = t.status;
        row.plotLatency = c.plot;
        if (t.status == "ok") {
            t.cpuNs = processCpuNs(t.pid) - cpu0[i];
            evaluate(t, c, row);
        }
        if (t.board) {
            t.line.Close();
            t.master = -1;
            const int status = t.board->stop();
            if (status != 0 && row.status == "ok") {
                row.status = "failed: runner exit status " + std::to_string(status);
            }
        } else if (t.pid > 0) {
            stopProcess(t.pid, STOP_GRACE_MS);
        }
        for (int fd : {t.master, t.slaveKeep, t.udp}) {
            if (fd >= 0) ::close(fd);
        }
        rows.push_back(std::move(row));
    }
}
