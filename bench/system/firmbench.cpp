// In-process firmware workloads. The host link is driven by the host-link
// client on the McSPI model's Unix socket, exactly as a host would drive the
// runner, with a stand-in router that counts what arrives (the real router
// needs a configured board).
#include "firmbench.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "bpposapl.h"
#include "configapl.h"
#include "hostboard.h"
#include "hostkernel.h"
#include "hostlink_client.h"
#include "hostmcspi.h"
#include "hostnet.h"
#include "hostperiph.h"
#include "proc.h"
#include "spigateapl.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double SPI_CLOCK_HZ = 9216000.0;
constexpr double BITS_PER_WORD = 8.0;
constexpr double FRAME_OVERHEAD = 17.0;    // DLE STX, 12-byte header, DLE ETX, CRC
constexpr double WORKER_PERIOD_S = 0.010;  // the link's worker empties its receive FIFO this often
constexpr uint16_t SINK_PORT = 2000;       // a port the stand-in router only counts
constexpr int TASK_STACK = 8192;
constexpr int MAIN_PRIORITY = 1;
constexpr int ROUTER_PRIORITY = 2;
constexpr uint32_t LINK_UP_MS = 2500;  // keep-alive window plus margin
constexpr uint32_t SEND_TIMEOUT_MS = 60000;
constexpr int WORKER_PASS_MS = 100;  // several worker periods: the last frames are decoded
constexpr int ENDPOINT_WAIT_MS = 2000;
constexpr uint32_t MAIN_TASK_TICKS = 1000;
constexpr int CHILD_GRACE_MS = 1000;

// Payload rate of the largest frames when every SPI word carries frame bytes.
double framedPayloadLimit()
{
    const double words = SPI_CLOCK_HZ / BITS_PER_WORD;
    return words * LEN_BD_BUFFER / (LEN_BD_BUFFER + FRAME_OVERHEAD);
}

// The receive FIFO is emptied once per worker period: more than its size
// per period cannot be taken, whatever the clock allows.
double fifoPayloadLimit()
{
    return BPPoS::LEN_FIFO_RX_DATA / WORKER_PERIOD_S * LEN_BD_BUFFER /
           (LEN_BD_BUFFER + FRAME_OVERHEAD);
}

std::atomic<uint32_t> gArrived{0};
std::atomic<uint64_t> gArrivedBytes{0};
std::atomic<uint32_t> gDropped{0};  // bytes refused by link 1's full receive FIFO
std::atomic<bool> gProduce{false};
std::atomic<bool> gLinkUp{false};

uint16_t netPort(uint16_t port) { return static_cast<uint16_t>((port >> 8) | (port << 8)); }

void routerStandIn(UArg, UArg)
{
    for (;;) {
        BD* bd = nullptr;
        BdMail::Pend(&bd);
        gArrivedBytes += bd->Load();
        ++gArrived;
        BdPool::Put(bd);
    }
}

// Builds both links as the main task does; on request keeps link 1's
// transmit FIFO full of the largest frames.
void mainTask(UArg, UArg)
{
    Config::Init();
    BD* big = BdPool::Get();
    static const uint8_t payload[LEN_BD_BUFFER] = {0x41};
    big->Copy(LEN_BD_BUFFER, payload);
    big->DestPort(netPort(SINK_PORT));
    for (;;) {
        alignas(uint32_t) uint8_t raw[sizeof(BPPOS_STATS_T)];
        hSpiGate[0]->GetProtStats(raw);
        BPPOS_STATS_T s;
        std::memcpy(&s, raw, sizeof s);
        gLinkUp = s.linkActivity == LINK_UP;
        gDropped = s.numOfRecvDataQueueFullErrors;
        while (gProduce && hSpiGate[0]->protHandle->Send(big) == EC_SUCCESS) {}
        ti_sysbios_knl_Task_sleep(1);
    }
}

void idleMainTask(UArg, UArg)
{
    Config::Init();
    for (;;) ti_sysbios_knl_Task_sleep(MAIN_TASK_TICKS);
}

void bootBoard(HostClockMode mode, TaskFxn main, bool sockets)
{
    hostKernelReset(mode);
    hostHeapReset();
    BdPool::Init();
    hostHeapRouteNew(true);
    BdMail::Init();
    hostHeapRouteNew(false);
    char dir[] = "/tmp/zok2bench.XXXXXX";
    hostBoardConfig().runDir = ::mkdtemp(dir) != nullptr ? dir : "/tmp";
    hostBoardConfig().spi[0] = "unix";
    hostBoardConfig().spi[1] = "unix";
    // Every model at power-on, the host links on sockets when asked, and the
    // Ethernet interfaces (the main task reads their MAC addresses).
    hostPeripheralsInstall();
    hostMcspiReset(sockets);
    hostNetAttach();
    spawnTask(main, MAIN_PRIORITY, "main");
    spawnTask(routerStandIn, ROUTER_PRIORITY, "router");
}

template <typename Pred>
bool waitFor(Pred pred, int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Sends `frames` of the largest payload at the client's rate cap and prints
// what reached the router.
void hostToBoard(hostlink::Client& client, const char* key, uint32_t cap, int frames)
{
    client.setMaxTxBytesPerSec(cap);
    const uint32_t arrived0 = gArrived;
    const uint64_t bytes0 = gArrivedBytes;
    const uint32_t dropped0 = gDropped;
    hostlink::Message m;
    m.destPort = SINK_PORT;
    m.payload.assign(LEN_BD_BUFFER, 0x55);
    const auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i) client.send(m);
    const bool sent = client.waitSent(SEND_TIMEOUT_MS);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(WORKER_PASS_MS));
    const uint32_t arrived = gArrived - arrived0;
    const uint64_t bytes = gArrivedBytes - bytes0;
    std::printf("%s_bps %.0f\n%s_frames %d\n%s_arrived %u\n%s_dropped %u\n%s_sent %d\n", key,
                static_cast<double>(bytes) / secs, key, frames, key, arrived, key,
                gDropped - dropped0, key, sent ? 1 : 0);
}

int hostLinkChild(double seconds)
{
    bootBoard(HostClockMode::Real, mainTask, true);
    const pid_t self = ::getpid();
    std::thread kernel([] { hostKernelRun(UINT64_MAX); });
    if (!waitFor([] { return !hostMcspiEndpoint(0).empty(); }, ENDPOINT_WAIT_MS)) return 1;
    hostlink::ClientOptions o;
    o.link.maxTxBytesPerSec = 0;
    hostlink::Client client(o);
    if (!client.connect(hostMcspiEndpoint(0)) || !client.waitLink(true, LINK_UP_MS) ||
        !waitFor([] { return gLinkUp.load(); }, LINK_UP_MS)) {
        std::printf("error link_down\n");
        return 1;
    }

    // Board to host: the board keeps its transmit FIFO full.
    const hostlink::LinkStats before = client.stats();
    const uint64_t cpu0 = processCpuNs(self);
    gProduce = true;
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    gProduce = false;
    const hostlink::LinkStats after = client.stats();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf(
        "down_bps %.0f\ndown_errors %llu\ndown_cpu_ns %llu\n",
        static_cast<double>(after.payloadBytesReceived - before.payloadBytesReceived) / secs,
        static_cast<unsigned long long>(after.crcErrors + after.formatErrors + after.shortTexts -
                                        before.crcErrors - before.formatErrors - before.shortTexts),
        static_cast<unsigned long long>(processCpuNs(self) - cpu0));

    // Host to board: as fast as the clock goes, then paced at what one
    // receive FIFO per worker period can take.
    const int frames = static_cast<int>(seconds * framedPayloadLimit() / LEN_BD_BUFFER);
    hostToBoard(client, "up_unpaced", 0, frames);
    const double fifoBytesPerSec = BPPoS::LEN_FIFO_RX_DATA / WORKER_PERIOD_S;
    hostToBoard(client, "up_paced", static_cast<uint32_t>(fifoBytesPerSec), frames);
    std::fflush(stdout);
    _exit(0);  // the firmware's threads stay parked; nothing to tear down
}

int virtualChild(double seconds)
{
    bootBoard(HostClockMode::Virtual, idleMainTask, false);
    // The board runs for `seconds` of wall time; the clock says how far it got.
    const uint64_t cpu0 = processCpuNs(::getpid());
    const uint64_t ticks0 = hostClockTicks64();
    const auto t1 = Clock::now();
    std::thread kernel([] { hostKernelRun(UINT64_MAX); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    // Before the kernel's thread ends: its CPU time goes with it.
    const uint64_t cpu = processCpuNs(::getpid()) - cpu0;
    hostKernelStop();
    kernel.join();
    const double wall = std::chrono::duration<double>(Clock::now() - t1).count();
    const uint64_t ran = hostClockTicks64() - ticks0;
    std::printf("sim_s %.3f\nwall_s %.3f\ncpu_ns %llu\n", ran / 1000.0, wall,
                static_cast<unsigned long long>(cpu));
    std::fflush(stdout);
    _exit(0);
}

// Runs this program as `--firmware NAME` and collects its "key value" lines.
std::map<std::string, double> runChild(const std::string& self, const std::string& workload,
                                       double seconds, int timeoutMs, std::string& error)
{
    std::map<std::string, double> values;
    char tmpl[] = "/tmp/zok2bench-out.XXXXXX";
    const int fd = ::mkstemp(tmpl);
    if (fd < 0) {
        error = "no temporary file";
        return values;
    }
    ::close(fd);
    const pid_t pid =
        startProcess({self, "--firmware", workload, "--seconds", std::to_string(seconds)}, tmpl);
    int status = -1;
    if (!waitProcess(pid, timeoutMs, status)) {
        stopProcess(pid, CHILD_GRACE_MS);
        error = "timed out";
    } else if (status != 0) {
        error = "exit status " + std::to_string(status);
    }
    FILE* f = std::fopen(tmpl, "r");
    char line[256];
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
        char key[128];
        double v = 0;
        if (std::sscanf(line, "%127s %lf", key, &v) == 2) values[key] = v;
    }
    if (f != nullptr) std::fclose(f);
    ::unlink(tmpl);
    return values;
}

Row upRow(const std::map<std::string, double>& v, const std::string& key, const char* what)
{
    Row r;
    r.workload = std::string("host link host->board, ") + what;
    r.tool = "zok2gw BPPoS";
    r.status = "ok";
    r.bytesPerSec = v.at(key + "_bps");
    r.limitBytesPerSec = framedPayloadLimit();
    const double frames = v.at(key + "_frames");
    const double arrived = v.at(key + "_arrived");
    r.lostBytes = static_cast<int64_t>((frames - arrived) * LEN_BD_BUFFER);
    r.msgsPerFrame = arrived / frames;
    char note[160];
    std::snprintf(note, sizeof note,
                  "%.0f of %.0f frames; %.0f B refused by a full receive FIFO; "
                  "design bound %.0f B/s (%.0f B FIFO per %.0f ms)",
                  arrived, frames, v.at(key + "_dropped"), fifoPayloadLimit(),
                  static_cast<double>(BPPoS::LEN_FIFO_RX_DATA), WORKER_PERIOD_S * 1000);
    r.note = note;
    return r;
}

}  // namespace

void spawnTask(TaskFxn fxn, int priority, const char* name)
{
    ti_sysbios_knl_Task_Params p;
    ti_sysbios_knl_Task_Params_init(&p);
    p.priority = priority;
    p.stackSize = TASK_STACK;
    p.instanceName = name;
    if (ti_sysbios_knl_Task_create(fxn, &p) == nullptr) {
        std::fprintf(stderr, "zok2bench: cannot create task %s\n", name);
        std::exit(1);
    }
}

int firmwareChildMain(const std::string& workload, double seconds)
{
    if (workload == "hostlink") return hostLinkChild(seconds);
    if (workload == "virtual") return virtualChild(seconds);
    if (workload == "virtual-configured") return virtualConfiguredChild(seconds);
    std::fprintf(stderr, "zok2bench: no firmware workload %s\n", workload.c_str());
    return 2;
}

void runHostLink(const std::string& self, double seconds, std::vector<Row>& rows)
{
    std::string error;
    // Board to host for `seconds`, then two sends of as many bytes, at worst
    // at the design bound: a generous time limit for a loaded machine.
    const int timeoutMs = static_cast<int>((seconds * 10 + 30) * 1000);
    const std::map<std::string, double> v = runChild(self, "hostlink", seconds, timeoutMs, error);
    Row down;
    down.workload = "host link board->host, 1468 B";
    down.tool = "zok2gw BPPoS";
    if (v.count("down_bps") == 0) {
        down.status = "failed: " + (error.empty() ? std::string("no figures") : error);
        rows.push_back(down);
        return;
    }
    down.status = "ok";
    down.bytesPerSec = v.at("down_bps");
    down.limitBytesPerSec = framedPayloadLimit();
    down.note = "limit: 9.216 MHz / 8 less 17 B framing per 1468 B; " +
                std::to_string(static_cast<long long>(v.at("down_errors"))) + " bad frames";
    rows.push_back(down);
    if (v.count("up_unpaced_bps") != 0) rows.push_back(upRow(v, "up_unpaced", "unpaced"));
    if (v.count("up_paced_bps") != 0) rows.push_back(upRow(v, "up_paced", "paced to FIFO/period"));
}

namespace {

Row virtualRow(const std::string& self, const char* workload, const char* name, double seconds)
{
    std::string error;
    const int timeoutMs = static_cast<int>((seconds * 4 + 30) * 1000);
    const std::map<std::string, double> v = runChild(self, workload, seconds, timeoutMs, error);
    Row r;
    r.workload = name;
    r.tool = "zok2gw firmware";
    if (v.count("sim_s") == 0 || v.at("wall_s") <= 0) {
        r.status = "failed: " + (error.empty() ? std::string("no figures") : error);
    } else {
        r.status = "ok";
        char note[128];
        std::snprintf(note, sizeof note,
                      "%.0f simulated s per wall s (%.1f s in %.2f s, CPU %.0f %% of a core)",
                      v.at("sim_s") / v.at("wall_s"), v.at("sim_s"), v.at("wall_s"),
                      100.0 * v.at("cpu_ns") / 1e9 / v.at("wall_s"));
        r.note = note;
    }
    return r;
}

}  // namespace

void runVirtualTime(const std::string& self, double seconds, std::vector<Row>& rows)
{
    rows.push_back(virtualRow(self, "virtual", "virtual time, idle board", seconds));
    rows.push_back(
        virtualRow(self, "virtual-configured", "virtual time, configured 2 x 15 ports", seconds));
}
