// The runner's board: command-line options, board library set-up, memory
// map record, and the start of the scheduler with a clean stop on SIGINT or
// SIGTERM (a second signal ends the process at once).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "board.h"
#include "hostboard.h"
#include "hostcapture.h"
#include "hostinternal.h"
#include "hostkernel.h"
#include "hostnet.h"
#include "hostnetns.h"
#include "hostperiph.h"
#include "hostwdt.h"
#include "kernel.h"

namespace {

constexpr uint32_t SECTION_MASK = 0xFFF00000u;  // 1 MB sections
constexpr int EXIT_ATTACH = 1;                  // a resource of the board cannot be made
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_SECOND_SIGNAL = 130;
// A longer batch would let simulated time lag the host by more than the
// shortest time-outs the peers rely on.
constexpr uint32_t MAX_TICK_BATCH = 10;

int gArgc = 0;
char** gArgv = nullptr;
uint32_t gBoardFlags = 0;
bool gMmuEnabled = false;

struct Section {
    ti_sysbios_family_arm_a8_Mmu_FirstLevelDescAttrs attrs;
    uint32_t physical;
};
std::mutex gMmuLock;
std::map<uint32_t, Section>& sections()
{
    static auto* s = new std::map<uint32_t, Section>;
    return *s;
}

void usage(const char* prog)
{
    std::fprintf(
        stderr,
        "usage: %s [options]\n"
        "  --run-dir DIR          folder for PTY links and sockets (default: run)\n"
        "  --console tty|pty|DEV  console UART 0 on the terminal, a new PTY or a tty device\n"
        "  --sci1|--sci2|--sci3 pty|DEV|unix|unix:PATH  serial line UART 1-3 on a new PTY,\n"
        "                         a tty device or a Unix socket (default: <run dir>/sciN.sock)\n"
        "  --spi1|--spi2 unix|unix:PATH|tcp:[HOST:]PORT  host link socket\n"
        "  --eth0|--eth1 IFNAME   Linux interface of Ethernet 0/1 (default: lo)\n"
        "  --watchdog reset|exit  what a watchdog expiry does (default: reset = restart)\n"
        "  --virtual-time         run on virtual time instead of real time\n"
        "  --tick-offset N        start value of the 32-bit tick counter\n"
        "  --tick-batch N         real time: while only the clock is awaited, wake every\n"
        "                         Nth tick and run the ticks slept over in order (default 4)\n"
        "  --capture FILE         write every unit crossing the board's edges to FILE (pcapng,\n"
        "                         simulated time; tools/wireshark/zok2.lua decodes it)\n"
        "  --fail-task-create NAME  test hook: creating the task NAME fails\n"
        "Watchdog exit statuses: 63 expiry, 64+|code| expiry after a fatal error.\n"
        "Exit status 62: a bus fault (an address, unit or interrupt line the SoC lacks);\n"
        "61: a task's stack overflowed.\n"
        "The simulated CPU runs every task on one host thread; in real time its clock\n"
        "follows the host's, catching up tick by tick when the host held it back.\n"
        "Test signals: SIGUSR1 stops watchdog restarts, SIGUSR2 aborts the firmware.\n",
        prog);
    std::fputs(hostNetnsUsage(), stderr);
}

bool takeValue(int argc, char** argv, int& i, std::string& out)
{
    if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: option %s needs a value\n", argv[0], argv[i]);
        return false;
    }
    out = argv[++i];
    return true;
}

void parseArgs(int argc, char** argv)
{
    HostBoardConfig& c = hostBoardConfig();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        std::string v;
        bool ok = true;
        if (a == "--help" || a == "-h") {
            usage(argv[0]);
            std::exit(0);
        } else if (a == "--run-dir") {
            ok = takeValue(argc, argv, i, c.runDir);
        } else if (a == "--console") {
            ok = takeValue(argc, argv, i, c.console);
        } else if (a == "--sci1" || a == "--sci2" || a == "--sci3") {
            ok = takeValue(argc, argv, i, c.sci[a[5] - '1']);
        } else if (a == "--spi1" || a == "--spi2") {
            ok = takeValue(argc, argv, i, c.spi[a[5] - '1']);
        } else if (a == "--eth0" || a == "--eth1") {
            ok = takeValue(argc, argv, i, c.eth[a[5] - '0']);
        } else if (a == "--watchdog") {
            ok = takeValue(argc, argv, i, v) && (v == "reset" || v == "exit");
            c.watchdogExits = v == "exit";
        } else if (a == "--virtual-time") {
            c.virtualTime = true;
        } else if (a == "--tick-offset") {
            ok = takeValue(argc, argv, i, v);
            c.tickOffset = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 0));
        } else if (a == "--tick-batch") {
            ok = takeValue(argc, argv, i, v);
            c.tickBatch = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 0));
            ok = ok && c.tickBatch >= 1 && c.tickBatch <= MAX_TICK_BATCH;
        } else if (a == "--fail-task-create") {
            ok = takeValue(argc, argv, i, c.failTaskCreate);
        } else if (hostCaptureTakeOption(argc, argv, i, ok)) {
            // --capture FILE, taken by the capture module
        } else if (hostNetnsTakeOption(argc, argv, i, ok)) {
            // the network namespace options, taken by their own module
        } else {
            std::fprintf(stderr, "%s: unknown option %s\n", argv[0], a.c_str());
            ok = false;
        }
        if (!ok) {
            usage(argv[0]);
            std::exit(EXIT_USAGE);
        }
    }
}

// SIGINT/SIGTERM are blocked in every thread and taken here, so that no
// firmware or library lock is ever interrupted by a handler.
void signalThread(sigset_t set)
{
    int sig = 0;
    sigwait(&set, &sig);
    std::fprintf(stderr, "zok2gw: stopping (signal %d)\n", sig);
    hostKernelStop();
    sigwait(&set, &sig);
    _exit(EXIT_SECOND_SIGNAL);
}

}  // namespace

HostBoardConfig& hostBoardConfig()
{
    static auto* c = new HostBoardConfig;
    return *c;
}

int hostArgc() { return gArgc; }
char** hostArgv() { return gArgv; }

void platformArgs(int argc, char** argv)
{
    gArgc = argc;
    gArgv = argv;
    {
        HostScope host;
        parseArgs(argc, argv);
        // Before any thread or socket: all of them belong in the board's namespace.
        hostNetnsStart(argc, argv, hostBoardConfig().eth);
        const HostBoardConfig& c = hostBoardConfig();
        ::mkdir(c.runDir.c_str(), 0755);
        if (!hostCaptureStart()) {
            std::exit(EXIT_ATTACH);
        }
        hostKernelReset(c.virtualTime ? HostClockMode::Virtual : HostClockMode::Real, c.tickOffset);
        hostKernelReportLag(true);
        hostClockSetBatch(c.tickBatch);
        hostPeripheralsInstall();
        hostTaskCreateFailName(c.failTaskCreate.c_str());
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::thread(signalThread, set).detach();
        hostPeripheralsAttach();
    }
    // From here on the main thread is the firmware's start-up context.
    hostHeapRouteNew(true);
}

int32_t Board_init(uint32_t flags)
{
    gBoardFlags = flags;
    return 0;
}

uint32_t hostBoardInitFlags() { return gBoardFlags; }

void ti_sysbios_family_arm_a8_Mmu_disable() { gMmuEnabled = false; }
void ti_sysbios_family_arm_a8_Mmu_enable() { gMmuEnabled = true; }
bool hostMmuEnabled() { return gMmuEnabled; }

void ti_sysbios_family_arm_a8_Mmu_initDescAttrs(
    ti_sysbios_family_arm_a8_Mmu_FirstLevelDescAttrs* attrs)
{
    // The kernel's defaults: a section, write-back cacheable memory.
    attrs->type = ti_sysbios_family_arm_a8_Mmu_FirstLevelDesc_SECTION;
    attrs->bufferable = true;
    attrs->cacheable = true;
    attrs->shareable = false;
    attrs->noexecute = false;
    attrs->imp = 1;
    attrs->domain = 0;
    attrs->accPerm = 3;
    attrs->tex = 1;
}

void ti_sysbios_family_arm_a8_Mmu_setFirstLevelDesc(
    void* virtualAddr, void* physicalAddr,
    const ti_sysbios_family_arm_a8_Mmu_FirstLevelDescAttrs* attrs)
{
    HostScope host;
    std::lock_guard<std::mutex> lock(gMmuLock);
    const auto va = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(virtualAddr));
    const auto pa = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(physicalAddr));
    sections()[va & SECTION_MASK] = Section{*attrs, pa & SECTION_MASK};
}

bool hostMmuSection(uint32_t addr, ti_sysbios_family_arm_a8_Mmu_FirstLevelDescAttrs* attrs,
                    uint32_t* physical)
{
    std::lock_guard<std::mutex> lock(gMmuLock);
    auto it = sections().find(addr & SECTION_MASK);
    if (it == sections().end()) {
        return false;
    }
    *attrs = it->second.attrs;
    *physical = it->second.physical;
    return true;
}

void ti_sysbios_BIOS_start()
{
    hostHeapRouteNew(false);  // the main thread only waits from here on
    hostKernelRun(UINT64_MAX);
    if (!hostBoardConfig().virtualTime) {
        // How late the host ran the board: what a loaded machine cost.
        std::fprintf(stderr, "zok2gw: largest lag of simulated time %llu ms\n",
                     static_cast<unsigned long long>(hostClockMaxLag()));
    }
    // A clean stop: the terminal back, the run folder's links and sockets gone.
    hostRunShutdownHooks();
    std::fflush(stdout);
    std::exit(hostFirmwareHalted() ? hostExitStatusForFatal(hostHaltCode()) : 0);
}
