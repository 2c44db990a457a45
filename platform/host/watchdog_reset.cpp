// Linux side of the watchdog model in the runner: what expiry does (exec the
// process afresh, or exit with a status naming the cause), run by the
// model's alarm on the simulated clock; the halt handler that leaves a
// fatally stopped firmware to the watchdog; and the test signals (SIGUSR1:
// restarts no longer reach the timer; SIGUSR2: the firmware aborts), taken
// by a thread of their own. Host OS calls of the model live here.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "hostboard.h"
#include "hostinternal.h"
#include "hostkernel.h"
#include "hostwdt.h"
#include "kernel.h"
#include "modelinternal.h"
#include "soc_sys.h"

namespace {

// Interrupt line of the abort test hook; no peripheral of the SoC uses it.
constexpr uint32_t ABORT_TEST_IRQ = 255;
constexpr int FIRST_FD_TO_CLOSE = 3;
constexpr int LAST_FD_TO_CLOSE = 1023;

// Lock-free, so that the reset path can run them whatever another thread holds.
constexpr size_t MAX_SHUTDOWN_HOOKS = 8;
std::atomic<void (*)()> gHooks[MAX_SHUTDOWN_HOOKS];
std::atomic<size_t> gHookCount{0};

int gSignalPipe[2] = {-1, -1};
bool gExitOnExpiry = false;
std::atomic<bool> gResetting{false};

void onTestSignal(int sig)
{
    const char c = sig == SIGUSR1 ? '1' : '2';
    const int saved = errno;
    ssize_t n = ::write(gSignalPipe[1], &c, 1);
    (void)n;  // a full pipe already holds a request
    errno = saved;
}

void abortIsr(UArg)
{
    const xdc_runtime_System_Hooks* h = hostSystemHooks();
    if (h != nullptr && h->abortFxn != nullptr) {
        h->abortFxn();
    }
}

// Plain writes only: the reset path must not wait for a stdio lock that a
// frozen thread may hold.
void say(const char* text)
{
    ssize_t n = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)n;  // nothing to do about a closed standard error
}

[[noreturn]] void expire()
{
    if (gResetting.exchange(true)) {
        for (;;) {
            pause();
        }
    }
    const bool halted = hostFirmwareHalted();
    const int32_t code = hostHaltCode();
    // The simulated time, so that a test checks the interval the firmware
    // saw, whatever the host's load made of it in wall time.
    const auto ms = static_cast<unsigned long long>(hostClockTicks64());
    char line[128];
    if (halted) {
        std::snprintf(line, sizeof(line),
                      "zok2gw: watchdog expired after fatal error %d at simulated time %llu ms\n",
                      static_cast<int>(code), ms);
    } else {
        std::snprintf(line, sizeof(line), "zok2gw: watchdog expired at simulated time %llu ms\n",
                      ms);
    }
    say(line);
    hostRunShutdownHooks();
    if (gExitOnExpiry) {
        _exit(halted ? hostExitStatusForFatal(code) : HOST_WDT_EXIT_STATUS);
    }
    say("zok2gw: board reset, starting afresh\n");
    // The new image must not inherit this run's descriptors (PTYs, sockets).
    for (int fd = FIRST_FD_TO_CLOSE; fd <= LAST_FD_TO_CLOSE; ++fd) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    ::execv("/proc/self/exe", hostArgv());
    say("zok2gw: restart failed\n");
    _exit(HOST_WDT_EXIT_STATUS);
}

// Only queues the test signals' requests: it never runs firmware code.
void signalReader()
{
    for (;;) {
        pollfd p{gSignalPipe[0], POLLIN, 0};
        const int r = ::poll(&p, 1, -1);
        if (r > 0 && (p.revents & POLLIN) != 0) {
            char c = 0;
            while (::read(gSignalPipe[0], &c, 1) == 1) {
                // The simulated time at which the request took effect, read
                // as it does: on virtual time a host thread may be held up
                // for many simulated seconds between two statements.
                if (c == '1') {
                    const auto ms = static_cast<unsigned long long>(hostWdtIgnoreTriggers(true));
                    std::fprintf(stderr,
                                 "zok2gw: watchdog restarts blocked (SIGUSR1) at simulated time "
                                 "%llu ms\n",
                                 ms);
                } else {
                    const auto ms = static_cast<unsigned long long>(hostIrqRaise(ABORT_TEST_IRQ));
                    std::fprintf(stderr,
                                 "zok2gw: firmware abort requested (SIGUSR2) at simulated time "
                                 "%llu ms\n",
                                 ms);
                }
            }
        }
    }
}

// Runs as the firmware halts: the board stays stopped until the watchdog
// resets it (the simulated clock and the watchdog's alarm go on). A watchdog
// that was never started would leave it stopped for ever; exit with the
// fatal status instead.
void haltHandler(int32_t code)
{
    if (!hostWdtRunning()) {
        hostRunShutdownHooks();
        _exit(hostExitStatusForFatal(code));
    }
}

}  // namespace

void hostAddShutdownHook(void (*hook)())
{
    const size_t slot = gHookCount.fetch_add(1);
    if (slot < MAX_SHUTDOWN_HOOKS) {
        gHooks[slot].store(hook);
    }
}

void hostRunShutdownHooks()
{
    const size_t n = gHookCount.load();
    for (size_t i = 0; i < n && i < MAX_SHUTDOWN_HOOKS; ++i) {
        void (*hook)() = gHooks[i].load();
        if (hook != nullptr) {
            hook();
        }
    }
}

void hostWdtStartWatcher(bool exitOnExpiry)
{
    HostScope host;
    gExitOnExpiry = exitOnExpiry;
    hostWdtOnExpiry([] { expire(); });
    hostSetHaltHandler(haltHandler);
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("zok2gw: watchdog watcher");
        return;
    }
    (void)ti_sysbios_hal_Hwi_create(ABORT_TEST_IRQ, abortIsr, 0);
    ti_sysbios_hal_Hwi_enableInterrupt(ABORT_TEST_IRQ);
    struct sigaction sa {};
    sa.sa_handler = onTestSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGUSR1, &sa, nullptr);
    ::sigaction(SIGUSR2, &sa, nullptr);
    std::thread(signalReader).detach();
}
