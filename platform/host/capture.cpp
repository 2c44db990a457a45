// The runner's capture of the board's edges: see hostcapture.h. Host side
// only: the models call the taps under HostScope-free, allocation-light
// paths; the capture itself allocates on the host's heap.
#include "hostcapture.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "edgecapture.h"
#include "hostinternal.h"
#include "hostlink_codec.h"
#include "hostwdt.h"

std::atomic<bool> gHostCaptureOn{false};

namespace {

constexpr uint32_t NUM_LINKS = 2;
constexpr uint32_t NUM_LINES = 3;
constexpr uint32_t NUM_ETHS = 2;
constexpr uint64_t NS_PER_MS = 1000000;
// A BAC-M packet goes out back to back; a silence this long inside one
// means it was broken off.
constexpr uint64_t BACM_GAP_NS = 100 * NS_PER_MS;
// A RAWoS line configured without a silence ends a message in the first
// worker pass that finds it quiet: one worker period.
constexpr uint64_t RAWOS_DEFAULT_GAP_NS = 10 * NS_PER_MS;
constexpr uint64_t RAWOS_UNIT_NS = 8 * NS_PER_MS;    // the record's inter-character unit
constexpr uint64_t FLUSH_EVERY_NS = 20 * NS_PER_MS;  // wall time between writes at most
// Idle fill waits with the McSPI model at most this long (simulated time).
constexpr uint64_t IDLE_RUN_NS = 1 * NS_PER_MS;
constexpr uint16_t PORT_CONFIG = 1024;
constexpr uint8_t CONFIG_MARK_0 = 0x96;
constexpr uint8_t CONFIG_MARK_1 = 0xE1;
constexpr size_t LEN_STATUS_MIN = 42;
constexpr size_t AT_ADDRESS = 16;
constexpr size_t AT_NUM_MULTICAST = 20;
constexpr uint8_t RECORD_PROTOCOL_RAWOS = 0x10;
constexpr int STOP_LOCK_TRIES = 100;  // 1 ms each: a stop never waits for ever
// Passed on to a runner started afresh by the watchdog: append, do not truncate.
constexpr const char* ENV_CONTINUE = "ZOK2GW_CAPTURE_CONTINUES";

struct Line {
    bool known = false;  // protocol learnt from a status message
    capture::SerialProtocol protocol = capture::SerialProtocol::Rawos;
    uint64_t gapNs = RAWOS_DEFAULT_GAP_NS;
    int edge = -1;  // created with the first byte
    // Per direction (0 out, 1 in): a unit may be pending since its last byte.
    bool pending[2] = {false, false};
    uint64_t lastNs[2] = {0, 0};
};

constexpr uint64_t NO_DUE = UINT64_MAX;

// A host link's SPI words on their way to the capture: the McSPI model
// hands over every exchange (often a single word, about a million a
// second), far too often for a lock or a cutter each. It appends here
// without a lock (its own lock makes it the only writer), folding the idle
// fill of both ways into one run; under the capture's lock the runs are
// cut into units later (by the flusher, when the ring is half full, before
// a serial line needs its group's status, and at a stop).
struct WordRun {
    uint64_t timeNs = 0;  // of its last word
    uint32_t count = 0;
    uint8_t in = 0;   // from the host
    uint8_t out = 0;  // from the board
};

struct LinkRing {
    static constexpr size_t SIZE = 8192;  // a power of two
    WordRun runs[SIZE];
    std::atomic<size_t> head{0};  // advanced by the writer
    std::atomic<size_t> tail{0};  // advanced under the capture's lock
    // The writer's own: fill words not yet handed over. Only fill can wait
    // here, so a unit never waits for the next word to show.
    WordRun idle;
    uint64_t idleSinceNs = 0;  // its first word's end
};

// When a silence will have ended a pending unit of a direction (the cutters
// end one once the silence exceeds the gap).
uint64_t dueOf(const Line& l, int dir) { return l.lastNs[dir] + l.gapNs + 1; }

struct State {
    std::timed_mutex mutex;
    std::string path;
    capture::EdgeCapture cap;
    int links[NUM_LINKS] = {-1, -1};
    int eths[NUM_ETHS] = {-1, -1};
    Line lines[NUM_LINES];
    hostlink::Decoder fromBoard[NUM_LINKS];  // reads the status messages
    LinkRing rings[NUM_LINKS];
    // Cuts what the rings hold and writes what waits every 20 ms, taps or
    // none (a frozen firmware, an idle link), so the file is whole up to
    // 20 ms before any end.
    std::mutex flusherMutex;
    std::condition_variable flusherWake;
    bool flusherStop = false;
};

State& state()
{
    static auto* s = new State;
    return *s;
}

// A configured group's status message names its lines' protocols: group 0
// (host link 1) lines 1 and 2, group 1 (host link 2) line 3.
void learnLines(State& s, uint32_t link, const hostlink::Message& m)
{
    const std::vector<uint8_t>& p = m.payload;
    if (m.destPort != PORT_CONFIG || m.sourcePort != PORT_CONFIG || p.size() < LEN_STATUS_MIN ||
        p[0] != CONFIG_MARK_0 || p[1] != CONFIG_MARK_1) {
        return;
    }
    if ((p[AT_ADDRESS] | p[AT_ADDRESS + 1] | p[AT_ADDRESS + 2] | p[AT_ADDRESS + 3]) == 0) {
        return;  // not configured yet
    }
    const size_t n = p[AT_NUM_MULTICAST];
    const size_t atPorts = AT_NUM_MULTICAST + 1 + 4 * n + 8;
    if (atPorts >= p.size()) return;
    const size_t records = atPorts + 1 + 2 * size_t{p[atPorts]};
    const uint32_t first = link == 1 ? 0 : 2;
    const uint32_t count = link == 1 ? 2 : 1;
    for (uint32_t k = 0; k < count; ++k) {
        const size_t at = records + 4 * k;
        Line& line = s.lines[first + k];
        if (at + 1 >= p.size() || line.known) continue;
        line.known = true;
        if ((p[at] & RECORD_PROTOCOL_RAWOS) == 0) {
            line.protocol = capture::SerialProtocol::Bacm;
            line.gapNs = BACM_GAP_NS;
        } else {
            line.protocol = capture::SerialProtocol::Rawos;
            const uint64_t units = p[at + 1] >> 2;
            line.gapNs = units != 0 ? units * RAWOS_UNIT_NS : RAWOS_DEFAULT_GAP_NS;
        }
    }
}

capture::Direction dirOf(bool toBoard)
{
    return toBoard ? capture::Direction::Inbound : capture::Direction::Outbound;
}

// Cuts what the rings hold into units; under the capture's lock.
void drainLocked(State& s)
{
    for (uint32_t link = 0; link < NUM_LINKS; ++link) {
        LinkRing& r = s.rings[link];
        const size_t head = r.head.load(std::memory_order_acquire);
        size_t tail = r.tail.load(std::memory_order_relaxed);
        for (; tail != head; ++tail) {
            const WordRun& w = r.runs[tail % LinkRing::SIZE];
            s.cap.hostLinkRun(s.links[link], capture::Direction::Inbound, w.in, w.count, w.timeNs);
            s.cap.hostLinkRun(s.links[link], capture::Direction::Outbound, w.out, w.count,
                              w.timeNs);
        }
        r.tail.store(tail, std::memory_order_release);
    }
}

// The board's units on a host link: its status messages name the protocols
// of its group's lines.
void learnFromUnit(State& s, int edge, capture::Direction dir, const std::vector<uint8_t>& unit)
{
    if (dir != capture::Direction::Outbound) return;
    for (uint32_t link = 0; link < NUM_LINKS; ++link) {
        if (edge != s.links[link]) continue;
        hostlink::Decoder& d = s.fromBoard[link];
        for (uint8_t b : unit) {
            if (d.feed(b) == hostlink::Decoder::Event::Frame) learnLines(s, link + 1, d.message());
        }
    }
}

// Hands a run to the ring; takes the capture's lock only when it is half full.
void publish(State& s, LinkRing& r, const WordRun& w)
{
    const size_t head = r.head.load(std::memory_order_relaxed);
    if (head - r.tail.load(std::memory_order_acquire) >= LinkRing::SIZE / 2) {
        HostScope host;
        std::lock_guard<std::timed_mutex> lock(s.mutex);
        drainLocked(s);
    }
    r.runs[head % LinkRing::SIZE] = w;
    r.head.store(head + 1, std::memory_order_release);
}

void flusher()
{
    HostScope host;
    State& s = state();
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(s.flusherMutex);
            s.flusherWake.wait_for(lk, std::chrono::nanoseconds(FLUSH_EVERY_NS));
            if (s.flusherStop) return;
        }
        // The taps hold the lock only briefly; one that died holding it
        // must not hold up a stop, hence no wait for ever.
        if (s.mutex.try_lock_for(std::chrono::nanoseconds(FLUSH_EVERY_NS))) {
            drainLocked(s);
            s.cap.flush();
            s.mutex.unlock();
        }
    }
}

}  // namespace

bool hostCaptureTakeOption(int argc, char** argv, int& i, bool& ok)
{
    if (std::string(argv[i]) != "--capture") return false;
    if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: option --capture needs a value\n", argv[0]);
        ok = false;
        return true;
    }
    HostScope host;
    state().path = argv[++i];
    ok = !state().path.empty();
    return true;
}

bool hostCaptureStart()
{
    HostScope host;
    State& s = state();
    if (s.path.empty()) return true;
    const bool continues = std::getenv(ENV_CONTINUE) != nullptr;
    std::string error;
    if (!s.cap.open(s.path, "zok2gw", &error, continues)) {
        std::fprintf(stderr, "zok2gw: --capture: %s\n", error.c_str());
        return false;
    }
    ::setenv(ENV_CONTINUE, "1", 1);
    const auto wall = std::chrono::system_clock::now().time_since_epoch();
    s.cap.setEpochOffset(std::chrono::duration_cast<std::chrono::seconds>(wall).count());
    s.cap.setBatching(true);
    for (uint32_t i = 0; i < NUM_LINKS; ++i) {
        s.links[i] = s.cap.addHostLink("host link " + std::to_string(i + 1));
    }
    for (uint32_t i = 0; i < NUM_ETHS; ++i)
        s.eths[i] = s.cap.addEthernet("eth" + std::to_string(i));
    s.cap.setUnitObserver([&s](int edge, capture::Direction dir, const std::vector<uint8_t>& u) {
        learnFromUnit(s, edge, dir, u);
    });
    s.cap.flush();
    hostAddShutdownHook(hostCaptureStop);
    gHostCaptureOn = true;
    // Signals belong to the runner's own signal thread, never to this one.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::thread(flusher).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    std::fprintf(stderr, "zok2gw: capture of the board's edges %s %s (simulated time)\n",
                 continues ? "continues in" : "in", s.path.c_str());
    return true;
}

void hostCaptureStop()
{
    if (!gHostCaptureOn.exchange(false)) return;
    HostScope host;
    State& s = state();
    {
        std::lock_guard<std::mutex> lk(s.flusherMutex);
        s.flusherStop = true;
    }
    s.flusherWake.notify_all();
    // A frozen firmware never holds the lock (no tap blocks), but a stop
    // must not hang on a host thread that died holding it either.
    const bool locked = s.mutex.try_lock_for(std::chrono::milliseconds(STOP_LOCK_TRIES));
    if (locked) drainLocked(s);
    s.cap.close();
    if (locked) s.mutex.unlock();
}

void hostCaptureHostLink(uint32_t link, const uint8_t* in, const uint8_t* out, size_t n,
                         uint64_t simNs)
{
    if (!hostCaptureOn() || link < 1 || link > NUM_LINKS) return;
    State& s = state();
    LinkRing& r = s.rings[link - 1];
    for (size_t i = 0; i < n; ++i) {
        if (in[i] == hostlink::kFill && out[i] == hostlink::kFill) {
            if (r.idle.count != 0 && simNs - r.idleSinceNs >= IDLE_RUN_NS) {
                publish(s, r, r.idle);
                r.idle.count = 0;
            }
            if (r.idle.count == 0) r.idleSinceNs = simNs;
            r.idle = {simNs, r.idle.count + 1, in[i], out[i]};
            continue;
        }
        if (r.idle.count != 0) {
            publish(s, r, r.idle);
            r.idle.count = 0;
        }
        publish(s, r, {simNs, 1, in[i], out[i]});
    }
}

uint64_t hostCaptureSerialByte(uint32_t line, bool toBoard, uint8_t byte, uint64_t simNs)
{
    if (!hostCaptureOn() || line < 1 || line > NUM_LINES) return NO_DUE;
    HostScope host;
    State& s = state();
    std::lock_guard<std::timed_mutex> lock(s.mutex);
    Line& l = s.lines[line - 1];
    if (l.edge < 0) drainLocked(s);  // its group's status may still wait in a ring
    if (l.edge < 0) l.edge = s.cap.addSerialLine("sci" + std::to_string(line), l.protocol, l.gapNs);
    s.cap.serialByte(l.edge, dirOf(toBoard), byte, simNs);
    const int dir = toBoard ? 1 : 0;
    l.pending[dir] = true;
    l.lastNs[dir] = simNs;
    return dueOf(l, dir);
}

void hostCaptureDatagram(uint32_t eth, bool toBoard, uint32_t sourceAddr, uint16_t sourcePort,
                         uint32_t destAddr, uint16_t destPort, const uint8_t* payload, size_t len,
                         uint64_t simNs)
{
    if (!hostCaptureOn() || eth >= NUM_ETHS) return;
    HostScope host;
    State& s = state();
    std::lock_guard<std::timed_mutex> lock(s.mutex);
    s.cap.datagram(s.eths[eth], dirOf(toBoard), sourceAddr, sourcePort, destAddr, destPort, payload,
                   len, simNs);
}

uint64_t hostCapturePoll(uint64_t simNs)
{
    if (!hostCaptureOn()) return NO_DUE;
    HostScope host;
    State& s = state();
    std::lock_guard<std::timed_mutex> lock(s.mutex);
    s.cap.poll(simNs);
    uint64_t next = NO_DUE;
    for (Line& l : s.lines) {
        for (int dir = 0; dir < 2; ++dir) {
            if (!l.pending[dir]) continue;
            if (dueOf(l, dir) <= simNs) {
                l.pending[dir] = false;
            } else if (dueOf(l, dir) < next) {
                next = dueOf(l, dir);
            }
        }
    }
    return next;
}
