// Watchdog model: registers of the SoC watchdog timer and its counter, kept
// as a value at an anchor time plus the watchdog clock periods since. Firmware
// register accesses come from the CPU holder; hooks and the runner's watcher
// read from other threads, hence the lock.
#include <chrono>
#include <mutex>
#include <vector>

#include "hostinternal.h"
#include "hostkernel.h"
#include "hostregs.h"
#include "hostwdt.h"
#include "modelinternal.h"
#include "soc_sys.h"

namespace {

constexpr uint32_t WDT_SIZE = 0x1000;
constexpr uint32_t WDSC = 0x10;
constexpr uint32_t WDST = 0x14;
constexpr uint32_t WCLR = 0x24;
constexpr uint32_t WCRR = 0x28;
constexpr uint32_t WLDR = 0x2C;
constexpr uint32_t WTGR = 0x30;
constexpr uint32_t WWPS = 0x34;
constexpr uint32_t WSPR = 0x48;
constexpr uint32_t WDSC_SOFTRESET = 0x02;
constexpr uint32_t WCLR_PRE = 0x20;
constexpr uint32_t WCLR_PTV_MASK = 0x1C;
constexpr uint32_t WCLR_PTV_SHIFT = 2;
constexpr uint32_t WCLR_RESET = 0x20;
constexpr uint32_t STOP_SEQ1 = 0xAAAA;
constexpr uint32_t STOP_SEQ2 = 0x5555;
constexpr uint32_t START_SEQ1 = 0xBBBB;
constexpr uint32_t START_SEQ2 = 0x4444;
constexpr uint64_t COUNTER_SPAN = 0x100000000ull;
constexpr uint64_t NS_PER_S = 1000000000ull;
constexpr uint64_t NS_PER_TICK = 1000000ull;

struct Wdt {
    ModelClock clock = ModelClock::Kernel;
    uint32_t wdsc = 0;
    uint32_t wclr = WCLR_RESET;
    uint32_t wldr = HOST_WDT_WLDR_RESET;
    uint32_t wtgr = 0;
    uint32_t wspr = 0;
    bool running = false;
    bool expired = false;
    uint32_t counterAtAnchor = 0;
    uint64_t anchorNs = 0;
    uint32_t posted = 0;        // write-posting bits still set
    bool resetPending = false;  // the soft reset completes at the next status read
    bool ignoreTriggers = false;
    uint32_t violations = 0;
    std::vector<HostWdtWrite> writes;
};

std::mutex gLock;
Wdt* gWdt = nullptr;
void (*gOnExpiry)() = nullptr;

uint32_t shiftOf(const Wdt& w)
{
    return (w.wclr & WCLR_PRE) != 0 ? (w.wclr & WCLR_PTV_MASK) >> WCLR_PTV_SHIFT : 0;
}

// Counter periods since the anchor (the counter advances once per 2^PTV clocks).
uint64_t periodsSinceAnchor(const Wdt& w)
{
    const uint64_t now = modelNowNs(w.clock);
    const uint64_t elapsed = now > w.anchorNs ? now - w.anchorNs : 0;
    const uint64_t clocks = elapsed * SOC_WDT_CLOCK_HZ / NS_PER_S;
    return clocks >> shiftOf(w);
}

// Brings the counter up to now and makes now the new anchor.
void settle(Wdt& w)
{
    if (w.running && !w.expired) {
        const uint64_t value = w.counterAtAnchor + periodsSinceAnchor(w);
        if (value >= COUNTER_SPAN) {
            w.expired = true;
            w.counterAtAnchor = w.wldr;  // the timer reloads as it resets the board
        } else {
            w.counterAtAnchor = static_cast<uint32_t>(value);
        }
    }
    w.anchorNs = modelNowNs(w.clock);
}

void onAlarm(void*);

// Keeps the expiry alarm at the tick the counter passes its end, while
// someone acts on expiry. Called with gLock held after settle().
void arm(const Wdt& w)
{
    if (gOnExpiry == nullptr) {
        return;
    }
    if (w.clock != ModelClock::Kernel || !w.running || w.expired) {
        hostAlarmCancel(ALARM_WDT);
        return;
    }
    const uint64_t clocks = (COUNTER_SPAN - w.counterAtAnchor) << shiftOf(w);
    const uint64_t ns = w.anchorNs + (clocks * NS_PER_S + SOC_WDT_CLOCK_HZ - 1) / SOC_WDT_CLOCK_HZ;
    hostAlarmSet(ALARM_WDT, (ns + NS_PER_TICK - 1) / NS_PER_TICK, onAlarm, nullptr);
}

void onAlarm(void*)
{
    bool expired = false;
    {
        std::lock_guard<std::mutex> lock(gLock);
        settle(*gWdt);
        expired = gWdt->expired;
        arm(*gWdt);
    }
    if (expired && gOnExpiry != nullptr) {
        gOnExpiry();
    }
}

uint32_t postBitOf(uint32_t offset)
{
    switch (offset) {
    case WCLR:
        return 0x01;
    case WCRR:
        return 0x02;
    case WLDR:
        return 0x04;
    case WTGR:
        return 0x08;
    case WSPR:
        return 0x10;
    default:
        return 0;
    }
}

uint32_t readReg(void*, uint32_t offset)
{
    std::lock_guard<std::mutex> lock(gLock);
    Wdt& w = *gWdt;
    switch (offset) {
    case WDSC:
        return w.wdsc;
    case WDST: {
        // The reset takes one status read to complete, so the driver must wait.
        const bool done = !w.resetPending;
        w.resetPending = false;
        return done ? 1 : 0;
    }
    case WCLR:
        return w.wclr;
    case WCRR:
        settle(w);
        return w.counterAtAnchor;
    case WLDR:
        return w.wldr;
    case WTGR:
        return w.wtgr;
    case WWPS: {
        // A posted write completes one status read later.
        const uint32_t bits = w.posted;
        w.posted = 0;
        return bits;
    }
    case WSPR:
        return w.wspr;
    default:
        return 0;
    }
}

void softReset(Wdt& w)
{
    w.wdsc = 0;
    w.wclr = WCLR_RESET;
    w.wldr = HOST_WDT_WLDR_RESET;
    w.wtgr = 0;
    w.wspr = 0;
    w.running = false;
    w.counterAtAnchor = 0;
    w.posted = 0;
    w.resetPending = true;
}

void writeReg(void*, uint32_t offset, uint32_t value)
{
    HostScope host;
    std::lock_guard<std::mutex> lock(gLock);
    Wdt& w = *gWdt;
    w.writes.push_back(HostWdtWrite{offset, value});
    const uint32_t bit = postBitOf(offset);
    if (bit != 0) {
        if ((w.posted & bit) != 0) {
            ++w.violations;
        }
        w.posted |= bit;
    }
    settle(w);
    switch (offset) {
    case WDSC:
        if ((value & WDSC_SOFTRESET) != 0) {
            softReset(w);
        } else {
            w.wdsc = value;
        }
        break;
    case WCLR:
        w.wclr = value;
        break;
    case WCRR:
        w.counterAtAnchor = value;
        break;
    case WLDR:
        w.wldr = value;
        break;
    case WTGR:
        if (w.ignoreTriggers) {
            break;
        }
        // Only a value different from the last one reloads the counter, and
        // only while the timer runs: Init's trigger, written while stopped,
        // leaves its own counter start value in place.
        if (value != w.wtgr && w.running) {
            w.counterAtAnchor = w.wldr;
        }
        w.wtgr = value;
        break;
    case WSPR:
        if (w.wspr == STOP_SEQ1 && value == STOP_SEQ2) {
            w.running = false;
        } else if (w.wspr == START_SEQ1 && value == START_SEQ2) {
            w.running = true;
        }
        w.wspr = value;
        break;
    default:
        break;
    }
    arm(w);
}

void install()
{
    HostScope host;
    std::lock_guard<std::mutex> lock(gLock);
    if (gWdt == nullptr) {
        gWdt = new Wdt;  // never destroyed: the watcher thread may outlive exit
    }
    // The anchor is taken when the timer starts, on the clock it runs on then.
    *gWdt = Wdt{};
    gOnExpiry = nullptr;
    hostRegMap(SOC_WDT1_BASE, WDT_SIZE, readReg, writeReg, nullptr);
}

}  // namespace

uint64_t modelNowNs(ModelClock clock)
{
    if (clock == ModelClock::Kernel) {
        return hostClockTicks64() * NS_PER_TICK;
    }
    static const auto start = std::chrono::steady_clock::now();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count());
}

void hostWdtSetClock(ModelClock clock)
{
    std::lock_guard<std::mutex> lock(gLock);
    settle(*gWdt);
    gWdt->clock = clock;
    gWdt->anchorNs = modelNowNs(clock);
    arm(*gWdt);
}

void hostWdtOnExpiry(void (*fn)())
{
    std::lock_guard<std::mutex> lock(gLock);
    gOnExpiry = fn;
    settle(*gWdt);
    arm(*gWdt);
}

void hostWdtReset() { install(); }

uint32_t hostWdtCounter()
{
    std::lock_guard<std::mutex> lock(gLock);
    settle(*gWdt);
    return gWdt->counterAtAnchor;
}

bool hostWdtRunning()
{
    std::lock_guard<std::mutex> lock(gLock);
    return gWdt->running;
}

bool hostWdtExpired()
{
    std::lock_guard<std::mutex> lock(gLock);
    settle(*gWdt);
    return gWdt->expired;
}

uint64_t hostWdtPeriodsToExpiry()
{
    std::lock_guard<std::mutex> lock(gLock);
    Wdt& w = *gWdt;
    settle(w);
    if (!w.running || w.expired) {
        return 0;
    }
    return (COUNTER_SPAN - w.counterAtAnchor) << shiftOf(w);
}

size_t hostWdtWrites(HostWdtWrite* out, size_t max)
{
    std::lock_guard<std::mutex> lock(gLock);
    size_t n = 0;
    for (; n < max && n < gWdt->writes.size(); ++n) {
        out[n] = gWdt->writes[n];
    }
    return n;
}

uint32_t hostWdtPostingViolations()
{
    std::lock_guard<std::mutex> lock(gLock);
    return gWdt->violations;
}

uint64_t hostWdtIgnoreTriggers(bool on)
{
    std::lock_guard<std::mutex> lock(gLock);
    gWdt->ignoreTriggers = on;
    // Read with the trigger writes held off: no later one counts.
    return hostClockTicksHeld();
}
