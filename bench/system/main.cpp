// zok2bench: the system benchmark. Runs every workload, side by side where
// tools compete, prints one table and writes it with a plot to a results
// folder. `--quick` is the smoke run for CI (well under a minute).
// The firmware's own workloads run in child processes of this program
// (`--firmware NAME`); the runner and the relays are started as they are.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "firmbench.h"
#include "gatewaybench.h"
#include "proc.h"
#include "report.h"
#include "serialbench.h"

namespace {

constexpr uint32_t FAST_LINE = 115200;  // bit/s, 8N1
constexpr uint32_t SLOW_LINE = 9600;
constexpr uint32_t HEADLINE_FRAME = 40;  // bytes
constexpr uint32_t SMALL_FRAME = 1;
constexpr uint32_t LARGE_FRAME = 200;
constexpr double SHORTEST_GAP_CHARS = 3.5;  // the shortest silence that ends a frame
// Long enough for any relay that frames by silence: the gateway's RAWoS ends a
// message only in a worker pass (every 10 ms) that finds the FIFO empty more
// than one time-out unit (8 ms) after the pass that took the last byte, which
// itself comes up to 10 ms after the byte: 20 ms, plus room for a late pass.
constexpr double FRAMED_GAP_MS = 25.0;
constexpr double SERIAL_SECONDS_FULL = 3.0;
constexpr double SERIAL_SECONDS_QUICK = 1.0;
constexpr uint32_t MIN_FRAMES = 20;
constexpr double REST_SECONDS_FULL = 30.0;
constexpr double REST_SECONDS_QUICK = 3.0;
constexpr double BACM_SECONDS_FULL = 5.0;
constexpr double BACM_SECONDS_QUICK = 1.5;
constexpr double UDP_SECONDS_FULL = 5.0;
constexpr double UDP_SECONDS_QUICK = 1.0;
constexpr double LOAD_SECONDS_FULL = 60.0;
constexpr double LOAD_SECONDS_QUICK = 3.0;
constexpr double REST_SETTLE_S = 1.0;  // start-up is not rest
constexpr double LINK_SECONDS_FULL = 2.0;
constexpr double LINK_SECONDS_QUICK = 0.5;
constexpr double VIRTUAL_SECONDS_FULL = 3.0;
constexpr double VIRTUAL_SECONDS_QUICK = 1.0;
constexpr double BITS_PER_CHAR = 10.0;
constexpr int STOP_GRACE_MS = 2000;

struct Options {
    bool quick = false;
    std::string out = "build/bench-results";
    std::string runner = "build/release/zok2gw";
    std::string only;   // comma-separated workload names; empty: all
    std::string lines;  // pty, unix, or empty: the load run on both, the others on PTYs
    bool wants(const char* name) const
    {
        return only.empty() ||
               ("," + only + ",").find("," + std::string(name) + ",") != std::string::npos;
    }
};

void usage(const char* prog)
{
    std::fprintf(
        stderr,
        "usage: %s [--quick] [--out DIR] [--runner PATH] [--only LIST] [--lines pty|unix]\n"
        "  --quick        smoke run: one serial case, short windows\n"
        "  --out DIR      results folder (default build/bench-results)\n"
        "  --runner PATH  the gateway runner (default build/release/zok2gw)\n"
        "  --only LIST    some of serial,hostlink,bacm,udp,rest,load,virtual (default: all)\n"
        "  --lines pty|unix  the runner's serial lines on PTYs or on Unix sockets (no tty\n"
        "                 layer between the ends) for the BAC-M, UDP, rest and load runs\n"
        "                 (default: PTYs, and the load run once more on sockets)\n",
        prog);
}

SerialCase makeCase(uint32_t bitRate, uint32_t frameBytes, double gapChars, double seconds,
                    bool plot)
{
    const double charS = BITS_PER_CHAR / bitRate;
    const double frameS = (frameBytes + gapChars) * charS;
    const auto frames = static_cast<uint32_t>(seconds / frameS);
    return {bitRate, frameBytes, gapChars, frames < MIN_FRAMES ? MIN_FRAMES : frames, plot};
}

double gapCharsForMs(uint32_t bitRate, double ms) { return ms / 1000.0 * bitRate / BITS_PER_CHAR; }

void serialWorkloads(const Options& o, const std::string& logDir, std::vector<Row>& rows)
{
    const double secs = o.quick ? SERIAL_SECONDS_QUICK : SERIAL_SECONDS_FULL;
    std::vector<SerialCase> cases;
    // The headline: 40-byte frames each ending in a silence a silence-framed
    // relay can see; then the same bytes as a stream at the shortest gap.
    cases.push_back(
        makeCase(FAST_LINE, HEADLINE_FRAME, gapCharsForMs(FAST_LINE, FRAMED_GAP_MS), secs, true));
    cases.push_back(makeCase(FAST_LINE, HEADLINE_FRAME, SHORTEST_GAP_CHARS, secs, false));
    if (!o.quick) {
        for (uint32_t size : {SMALL_FRAME, LARGE_FRAME}) {
            cases.push_back(
                makeCase(FAST_LINE, size, gapCharsForMs(FAST_LINE, FRAMED_GAP_MS), secs, false));
        }
        for (uint32_t size : {SMALL_FRAME, HEADLINE_FRAME, LARGE_FRAME}) {
            cases.push_back(
                makeCase(SLOW_LINE, size, gapCharsForMs(SLOW_LINE, FRAMED_GAP_MS), secs, false));
        }
        cases.push_back(makeCase(SLOW_LINE, HEADLINE_FRAME, SHORTEST_GAP_CHARS, secs, false));
    }
    for (const SerialCase& c : cases) {
        runSerialCase(c, o.runner, logDir, rows);
    }
}

// The floor of any 1 ms ticker on this machine: a bare process whose one
// thread only sleeps to absolute 1 ms deadlines, measured like the runner.
void sleeperAtRest(double secs, std::vector<Row>& rows)
{
    Row r;
    char name[64];
    std::snprintf(name, sizeof name, "at rest, %.0f s, bare 1 ms sleeper", secs);
    r.workload = name;
    r.tool = "a thread";
    const pid_t pid = ::fork();
    if (pid == 0) {
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        for (;;) {
            t.tv_nsec += 1000000;
            if (t.tv_nsec >= 1000000000) {
                t.tv_nsec -= 1000000000;
                ++t.tv_sec;
            }
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        }
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(REST_SETTLE_S));
    const uint64_t cpu0 = processCpuNs(pid);
    const uint64_t t0 = nowNs();
    std::this_thread::sleep_for(std::chrono::duration<double>(secs));
    const double cpu = static_cast<double>(processCpuNs(pid) - cpu0);
    const double wall = static_cast<double>(nowNs() - t0);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    r.status = "ok";
    char note[96];
    std::snprintf(note, sizeof note, "%.2f %% of one host core", 100.0 * cpu / wall);
    r.note = note;
    rows.push_back(r);
}

void gatewayAtRest(const Options& o, const std::string& logDir, std::vector<Row>& rows)
{
    const double secs = o.quick ? REST_SECONDS_QUICK : REST_SECONDS_FULL;
    Row r;
    char name[64];
    std::snprintf(name, sizeof name, "at rest, %.0f s, unconfigured", secs);
    r.workload = name;
    r.tool = "zok2gw";
    const std::string runDir = logDir + "/run";
    const pid_t pid = startProcess({o.runner, "--run-dir", runDir}, logDir + "/zok2gw-rest.log");
    if (pid < 0) {
        r.status = "failed: no runner at " + o.runner + " (make bench builds it)";
        rows.push_back(r);
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(REST_SETTLE_S));
    const uint64_t cpu0 = processCpuNs(pid);
    const uint64_t t0 = nowNs();
    std::this_thread::sleep_for(std::chrono::duration<double>(secs));
    const double cpu = static_cast<double>(processCpuNs(pid) - cpu0);
    const double wall = static_cast<double>(nowNs() - t0);
    const int status = stopProcess(pid, STOP_GRACE_MS);
    r.status = status == 0 ? "ok" : "failed: runner exit status " + std::to_string(status);
    char note[96];
    std::snprintf(note, sizeof note, "%.2f %% of one host core", 100.0 * cpu / wall);
    r.note = note;
    rows.push_back(r);
    sleeperAtRest(secs, rows);
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--firmware" && i + 1 < argc) {
            const std::string workload = argv[++i];
            double seconds = 1.0;
            if (i + 2 < argc && std::string(argv[i + 1]) == "--seconds") {
                seconds = std::atof(argv[i + 2]);
            }
            return firmwareChildMain(workload, seconds);
        } else if (a == "--quick") {
            o.quick = true;
        } else if (a == "--out" && i + 1 < argc) {
            o.out = argv[++i];
        } else if (a == "--only" && i + 1 < argc) {
            o.only = argv[++i];
        } else if (a == "--runner" && i + 1 < argc) {
            o.runner = argv[++i];
        } else if (a == "--lines" && i + 1 < argc &&
                   (std::string(argv[i + 1]) == "pty" || std::string(argv[i + 1]) == "unix")) {
            o.lines = argv[++i];
        } else {
            usage(argv[0]);
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = '\0';
    std::system(("mkdir -p '" + o.out + "/logs'").c_str());
    const std::string logDir = o.out + "/logs";

    std::vector<Row> rows;
    if (o.wants("serial")) {
        std::fprintf(stderr, "zok2bench: serial relays...\n");
        serialWorkloads(o, logDir, rows);
    }
    if (o.wants("hostlink")) {
        std::fprintf(stderr, "zok2bench: host link...\n");
        runHostLink(self, o.quick ? LINK_SECONDS_QUICK : LINK_SECONDS_FULL, rows);
    }
    if (o.wants("rest")) {
        std::fprintf(stderr, "zok2bench: gateway at rest...\n");
        gatewayAtRest(o, logDir, rows);
    }
    if (o.wants("virtual")) {
        std::fprintf(stderr, "zok2bench: virtual time...\n");
        runVirtualTime(self, o.quick ? VIRTUAL_SECONDS_QUICK : VIRTUAL_SECONDS_FULL, rows);
    }
    GatewayOptions g;
    g.runner = o.runner;
    g.logDir = logDir;
    g.bacmSeconds = o.quick ? BACM_SECONDS_QUICK : BACM_SECONDS_FULL;
    g.udpSeconds = o.quick ? UDP_SECONDS_QUICK : UDP_SECONDS_FULL;
    g.restSeconds = o.quick ? REST_SECONDS_QUICK : REST_SECONDS_FULL;
    g.loadSeconds = o.quick ? LOAD_SECONDS_QUICK : LOAD_SECONDS_FULL;
    g.socketLines = o.lines == "unix";
    if (o.wants("bacm")) {
        std::fprintf(stderr, "zok2bench: BAC-M line...\n");
        runGatewayBacm(g, rows);
    }
    if (o.wants("udp")) {
        std::fprintf(stderr, "zok2bench: UDP...\n");
        runGatewayUdp(g, rows);
    }
    if (o.wants("rest")) {
        std::fprintf(stderr, "zok2bench: configured gateway at rest...\n");
        runGatewayRest(g, rows);
    }
    if (o.wants("load")) {
        std::fprintf(stderr, "zok2bench: load, every line and interface...\n");
        runGatewayLoad(g, rows);
        if (o.lines.empty()) {
            // Again on sockets: the board without the host's tty layer.
            g.socketLines = true;
            runGatewayLoad(g, rows);
        }
    }

    char host[256] = "?";
    ::gethostname(host, sizeof host - 1);
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    char header[256];
    const std::time_t now = std::time(nullptr);
    std::snprintf(header, sizeof header, "zok2bench%s on %s, %ld cores, load %.1f, %s",
                  o.quick ? " --quick" : "", host, ::sysconf(_SC_NPROCESSORS_ONLN), load[0],
                  std::ctime(&now));
    const std::string table = formatTable(rows);
    std::printf("%s%s", header, table.c_str());
    std::printf("%s\n", writeResults(o.out, rows, header).c_str());
    int failed = 0;
    for (const Row& r : rows) failed += r.status.rfind("failed", 0) == 0 ? 1 : 0;
    return failed == 0 ? 0 : 1;
}
