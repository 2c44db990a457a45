// The configured board on virtual time: the whole firmware started as the
// runner starts it, both groups configured over their host links with the
// board's default options (15 UDP ports each), then hosts at rest that keep
// their links up. The hosts are a task of the simulated CPU above every
// firmware task, clocking their links through the McSPI model directly, so
// that nothing outside runs on the host's time.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "board.h"
#include "boardapl.h"
#include "configapl.h"
#include "dcapl.h"
#include "ethapl.h"
#include "firmbench.h"
#include "hostconfig.h"
#include "hostkernel.h"
#include "hostlink_engine.h"
#include "hostmcspi.h"
#include "hostperiph.h"
#include "routerapl.h"
#include "wdtdrvapl.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t HOST_PERIOD_MS = 10;  // each host clocks its link this often
constexpr size_t IDLE_BURST = 32;        // bytes a host clocks when nothing is queued
constexpr size_t MAX_BURST = 4096;       // while the board talks
constexpr uint8_t SPI_FILL = 0x16;
constexpr int HOSTS_PRIORITY = 11;  // above every firmware task: the outside moves first
constexpr int MAIN_PRIORITY = 1;
constexpr uint32_t MAIN_PERIOD_MS = 1000;
constexpr int CONFIGURE_WALL_MS = 20000;  // configured long before, even on a loaded machine
// The /24 networks groups take in 127.0.0.0/8, clear of 127.0.0.0/23 and
// of the broadcast end.
constexpr uint32_t LOOPBACK_NET = 0x7F000000;
constexpr uint32_t FIRST_OWN_NET = 2000;
constexpr uint32_t OWN_NETS = 40000;

struct Hosts {
    std::unique_ptr<hostlink::LinkEngine> link[2];
    bool talking[2] = {};
    bool sent = false;
};
Hosts* gHosts = nullptr;
std::atomic<int> gConfigured{0};

// A group on loopback as loopbackGroup, on addresses of this process's own:
// a runner beside it (the benchmark's, another user's) keeps its ports.
zok2tools::GroupConfig groupOf(int g)
{
    zok2tools::GroupConfig c = loopbackGroup(g);
    const uint32_t net =
        (static_cast<uint32_t>(::getpid()) * 2 + static_cast<uint32_t>(g)) % OWN_NETS +
        FIRST_OWN_NET;
    c.address = LOOPBACK_NET | net << 8 | (c.address & 0xFF);
    c.gateway = (c.address & c.mask) | 1;
    return c;
}

void hostsTask(UArg, UArg)
{
    hostHeapRouteNew(false);  // the hosts' buffers are not the board's
    for (;;) {
        const uint64_t now = ti_sysbios_knl_Clock_getTicks();
        for (uint32_t i = 0; i < 2; ++i) {
            hostlink::LinkEngine& e = *gHosts->link[i];
            e.tick(now);
            const std::vector<uint8_t> out =
                e.nextChunk(now, gHosts->talking[i] ? MAX_BURST : IDLE_BURST, MAX_BURST);
            std::vector<uint8_t> back(out.size());
            gHosts->talking[i] = false;
            if (hostMcspiClockSync(i, out.data(), back.data(), static_cast<uint32_t>(out.size()))) {
                e.received(back.data(), back.size(), now);
                for (uint8_t b : back) gHosts->talking[i] = gHosts->talking[i] || b != SPI_FILL;
            }
        }
        if (!gHosts->sent && gHosts->link[0]->linkUp() && gHosts->link[1]->linkUp()) {
            gHosts->sent = true;
            for (int g = 0; g < 2; ++g) {
                std::vector<uint8_t> msg;
                std::string err;
                if (!zok2tools::EncodeConfig(groupOf(g), msg, &err)) {
                    std::fprintf(stderr, "zok2bench: configuration: %s\n", err.c_str());
                }
                gHosts->link[g]->queueMessage({CONFIG_PORT, 0, CONFIG_PORT, 0, msg}, now);
            }
        }
        ti_sysbios_knl_Task_sleep(HOST_PERIOD_MS);
    }
}

void mainTask(UArg, UArg)
{
    Ethernet::DiscoverDevices();
    Config::Init();
    Router::Init();
    for (;;) {
        WtdDrv::Restart();
        ti_sysbios_knl_Task_sleep(MAIN_PERIOD_MS);
    }
}

uint64_t cpuNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

int virtualConfiguredChild(double seconds)
{
    hostKernelReset(HostClockMode::Virtual);
    hostSetHaltHandler([](int32_t code) {
        std::printf("error fatal_%d\n", static_cast<int>(code));
        std::fflush(stdout);
        _exit(1);
    });
    hostPeripheralsInstall();
    hostHeapReset();
    gHosts = new Hosts;
    for (int g = 0; g < 2; ++g) {
        gHosts->link[g] = std::make_unique<hostlink::LinkEngine>(hostlink::LinkConfig{}, 0);
        gHosts->link[g]->onMessage([](const hostlink::Message& m) {
            std::string text;
            if (m.destPort == CONFIG_PORT && zok2tools::DescribeStatus(m.payload, text) &&
                text.find("group configured") != std::string::npos) {
                ++gConfigured;
            }
        });
    }
    // Start-up as the runner's main() does it.
    hostHeapRouteNew(true);
    kernelConfig();
    boardMmuInit(applMmuEntries);
    boardInit();
    WtdDrv::Init();
    dcInit();
    Ethernet::Init();
    BdPool::Init();
    BdMail::Init();
    spawnTask(mainTask, MAIN_PRIORITY, "main");
    spawnTask(hostsTask, HOSTS_PRIORITY, "hosts");
    hostHeapRouteNew(false);

    std::thread kernel([] { hostKernelRun(UINT64_MAX); });
    const auto deadline = Clock::now() + std::chrono::milliseconds(CONFIGURE_WALL_MS);
    while (gConfigured < 2 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool configured = gConfigured >= 2;
    // From configured on: the board at rest, as far as the clock gets.
    const uint64_t cpu0 = cpuNs();
    const uint64_t ticks0 = hostClockTicks64();
    const auto t0 = Clock::now();
    if (configured) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    hostKernelStop();
    kernel.join();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const uint64_t ran = hostClockTicks64() - ticks0;
    if (!configured) {
        std::printf("error not_configured\n");
    } else {
        std::printf("sim_s %.3f\nwall_s %.3f\ncpu_ns %llu\n", ran / 1000.0, wall,
                    static_cast<unsigned long long>(cpuNs() - cpu0));
    }
    std::fflush(stdout);
    _exit(configured ? 0 : 1);
}
