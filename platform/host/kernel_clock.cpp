// The simulated clock and its modes (hostkernel.h): the one count of elapsed
// ticks for the firmware and every model, the model alarms, the CPU thread's
// sleep until the next deadline, and the firmware's time services.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "hostinternal.h"
#include "kernelinternal.h"

std::atomic<uint64_t> gTimestampBackNs{0};
std::atomic<bool> gReportLag{false};
std::atomic<uint32_t> gBatchTicks{1};

namespace {

constexpr uint64_t NS_PER_TICK = 1000000;
constexpr uint64_t LAG_REPORT_TICKS = 1000;
// Real mode: a busy stretch of the simulated CPU is the host's lateness
// (another program had the core), not the firmware's work, until the CPU's
// host thread has spent this much of its own CPU time in it: the clock waits
// for the CPU to go idle before it moves on to the next tick with due work,
// so every tick's work runs to its end first, as it would on the board. A
// longer stretch is the firmware's own (a loop that polls the time): the
// clock follows the host's again.
constexpr uint64_t BUSY_HOLD_NS = 500000000;

SteadyClock::time_point wallTimeOf(uint64_t ticks)
{
    return K->start + std::chrono::milliseconds(ticks);
}

uint64_t wallNs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - K->start)
            .count());
}

uint64_t cpuThreadNs()
{
    timespec ts{};
    ::clock_gettime(K->cpuThreadClock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Real mode: a task has the CPU, or is ready for it, and has not yet run
// BUSY_HOLD_NS on it (`wall`: the host clock now). The CPU thread's own time
// is looked at only once that much host time has passed (a preempted
// thread, or a spin): from then on it must run BUSY_HOLD_NS more, so a spin
// waits at most twice the hold, and an idle pass costs no system call.
bool cpuBusyLocked(uint64_t wall)
{
    if (!K->running || K->frozen || K->current == nullptr) {
        return false;
    }
    // The idle task holds the CPU, but a task a time-out made ready has not
    // run yet (interrupt handlers run first, in the idle task's context):
    // its tick's work is still to come.
    if (K->current == K->idle && !otherTaskReadyLocked()) {
        return false;
    }
    if (wall - K->idleSeenNs < BUSY_HOLD_NS) {
        return true;
    }
    if (K->busyCpuMarkNs == 0) {
        K->busyCpuMarkNs = cpuThreadNs() | 1u;
        return true;
    }
    return cpuThreadNs() - K->busyCpuMarkNs < BUSY_HOLD_NS;
}

// Real mode: the ticks up to the wall clock where nothing falls due need no
// safe point; the clock moves over them at once, unless the CPU is busy: the
// work of the ticks before runs to its end first.
void catchUpLocked()
{
    if (K->mode == HostClockMode::Real) {
        // The clock stops at the next due tick until its work has run, and
        // stands while a task has the CPU. Only the CPU itself, polling with
        // interrupts off (the fatal handler writing out the console), sees
        // time go on past them, as the board's peripherals do while its tick
        // interrupt waits. A host thread that reads the clock, or an
        // interrupt handler, must not move it past due work: that would skip
        // ticks whenever the host runs the board late.
        const bool polledWait = K->hwiOff && std::this_thread::get_id() == K->cpuThread;
        const uint64_t wall = wallNs();
        if (!polledWait && cpuBusyLocked(wall)) {
            return;
        }
        const uint64_t due = polledWait ? UINT64_MAX : K->dueHint.load();
        clockBump(std::min({wall / NS_PER_TICK, due, K->runUntil.load()}));
    }
}

void reportLagLocked(uint64_t wall, uint64_t now)
{
    const uint64_t lag = wall > now ? wall - now : 0;
    K->maxLag = std::max(K->maxLag, lag);
    if (!gReportLag.load(std::memory_order_relaxed)) {
        return;
    }
    if (!K->lagging && lag > LAG_REPORT_TICKS) {
        K->lagging = true;
        std::fprintf(stderr,
                     "zok2gw: simulated time lags the host clock by %" PRIu64
                     " ms; catching up tick by tick\n",
                     lag);
    } else if (K->lagging && lag == 0) {
        K->lagging = false;
        std::fprintf(stderr, "zok2gw: simulated time caught up (largest lag %" PRIu64 " ms)\n",
                     K->maxLag);
    }
}

void sleepLocked(Lock& lk, bool timed, SteadyClock::time_point until)
{
    K->cpuSleeping = true;
    ++K->cpuSleeps;
    if (timed) {
        K->cpuCv.wait_until(lk, until);
    } else {
        K->cpuCv.wait(lk);
    }
    K->cpuSleeping = false;
}

void alarmDueLocked()
{
    uint64_t due = UINT64_MAX;
    for (const HostAlarm& a : K->alarms) {
        if (a.set) {
            due = std::min(due, a.tick);
        }
    }
    K->alarmDue = due;
    refreshDueHintLocked();
}

}  // namespace

uint64_t wallTicks()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - K->start)
            .count());
}

void clockBump(uint64_t to)
{
    uint64_t cur = K->ticks.load();
    while (cur < to && !K->ticks.compare_exchange_weak(cur, to)) {}
}

void refreshDueHintLocked()
{
    K->dueHint.store(std::min(K->timerDue, K->alarmDue), std::memory_order_relaxed);
}

void wakeCpuLocked()
{
    if (K->cpuSleeping) {
        K->cpuCv.notify_one();
    }
}

bool anyAlarmLocked() { return K->alarmDue != UINT64_MAX; }

bool fireAlarmsLocked(Lock& lk)
{
    bool any = false;
    while (K->alarmDue <= K->ticks.load()) {
        HostAlarm* first = nullptr;
        for (HostAlarm& a : K->alarms) {
            if (a.set && (first == nullptr || a.tick < first->tick)) {
                first = &a;
            }
        }
        first->set = false;
        const HostAlarmFxn fn = first->fn;
        void* const ctx = first->ctx;
        alarmDueLocked();
        // Outside any firmware context: the model's own code.
        KernelTask* const self = tlsSelf;
        const HostLocals saved = hostLocalsSave();
        tlsSelf = nullptr;
        hostLocalsRestore(HostLocals{});
        lk.unlock();
        fn(ctx);
        lk.lock();
        hostLocalsRestore(saved);
        tlsSelf = self;
        any = true;
    }
    return any;
}

bool clockServiceLocked(Lock& lk)
{
    if (K->mode == HostClockMode::Real && tlsSelf != nullptr && tlsSelf == K->idle) {
        K->idleSeenNs = wallNs();
        K->busyCpuMarkNs = 0;
    }
    bool work = false;
    for (;;) {
        work = fireAlarmsLocked(lk) || work;
        work = expireTimersLocked() || work;
        if (K->running && K->ticks.load() >= K->runUntil.load()) {
            K->stopReq = true;
        }
        if (K->mode != HostClockMode::Real || work) {
            return work;
        }
        // Towards the wall clock, to the next tick with due work at most.
        const uint64_t wallAt = wallNs();
        const uint64_t wall = wallAt / NS_PER_TICK;
        const uint64_t now = K->ticks.load();
        reportLagLocked(wall, now);
        if (cpuBusyLocked(wallAt)) {
            return false;
        }
        const uint64_t target = std::min(wall, K->runUntil.load());
        if (now >= target) {
            return false;
        }
        clockBump(std::min(target, K->dueHint.load()));
    }
}

void idleWaitLocked(Lock& lk)
{
    const uint64_t now = K->ticks.load();
    const uint64_t due = K->dueHint.load();
    const uint64_t until = K->runUntil.load();
    if (due <= now) {
        return;  // work due now: the next safe point takes it
    }
    switch (K->mode) {
    case HostClockMode::Virtual:
        if (due < until) {
            clockBump(due);
        } else if (until != UINT64_MAX) {
            // Nothing is due before the end of the run: the run is over.
            clockBump(until);
            K->stopReq = true;
        } else {
            sleepLocked(lk, false, {});
        }
        return;
    case HostClockMode::Manual:
        sleepLocked(lk, false, {});
        return;
    case HostClockMode::Real: {
        if (now < std::min(wallTicks(), until)) {
            return;  // behind the wall clock: the next safe point catches up
        }
        // A batch ends at a multiple of its length, so that tick pollers of
        // every period share the wake-ups; a run's end is not postponed.
        const uint64_t batch = gBatchTicks.load(std::memory_order_relaxed);  // at least 1
        const uint64_t wake = due == UINT64_MAX ? due : (due + batch - 1) / batch * batch;
        const uint64_t next = std::min(wake, until);
        sleepLocked(lk, next != UINT64_MAX, wallTimeOf(next));
        return;
    }
    }
}

void haltedServiceLocked(Lock& lk)
{
    while (!K->stopReq) {
        fireAlarmsLocked(lk);
        const uint64_t now = K->ticks.load();
        const uint64_t until = K->runUntil.load();
        if (!anyAlarmLocked() || now >= until) {
            return;
        }
        const uint64_t next = std::min(K->alarmDue, until);
        switch (K->mode) {
        case HostClockMode::Virtual:
            clockBump(next);
            break;
        case HostClockMode::Manual:
            sleepLocked(lk, false, {});
            break;
        case HostClockMode::Real:
            if (wallTicks() >= next) {
                clockBump(next);
            } else {
                sleepLocked(lk, true, wallTimeOf(next));
            }
            break;
        }
    }
}

void singleContextWaitLocked(Lock& lk, uint32_t timeout)
{
    catchUpLocked();
    const uint64_t until = K->ticks.load() + timeout;
    if (K->mode == HostClockMode::Real) {
        while (wallTicks() < until) {
            sleepLocked(lk, true, wallTimeOf(until));
        }
    }
    clockBump(until);
    fireAlarmsLocked(lk);
    takeInterruptsLocked(lk);
}

void modelBusyWaitUntil(uint64_t ns)
{
    if (K->mode != HostClockMode::Virtual) {
        return;
    }
    Lock lk(K->m);
    // Only where no due work could run (interrupts off, as in the fatal
    // report, or no scheduler yet): a task that merely looks at the status
    // with interrupts on goes on at once, and its run stays as it was.
    const bool workCanRun = !K->hwiOff && !K->inIsr && tlsSelf != nullptr && K->running;
    if (!workCanRun) {
        clockBump((ns + NS_PER_TICK - 1) / NS_PER_TICK);
    }
}

// Host control of the clock

void hostKernelReportLag(bool on) { gReportLag.store(on); }

uint64_t hostKernelSleeps()
{
    Lock lk(K->m);
    return K->cpuSleeps;
}

void hostClockSetBatch(uint32_t ticks) { gBatchTicks.store(std::max<uint32_t>(ticks, 1)); }

uint64_t hostClockMaxLag()
{
    Lock lk(K->m);
    return K->maxLag;
}

void hostClockSet(uint32_t ticks)
{
    Lock lk(K->m);
    const uint64_t now = K->ticks.load();
    const uint32_t nowLow = static_cast<uint32_t>(now) + K->offset;
    clockBump(now + static_cast<uint32_t>(ticks - nowLow));
    wakeCpuLocked();
}

void hostClockAdvance(uint32_t ticks)
{
    Lock lk(K->m);
    clockBump(K->ticks.load() + ticks);
    wakeCpuLocked();
}

uint64_t hostClockTicks64()
{
    if (K->mode != HostClockMode::Real) {
        return K->ticks.load();
    }
    Lock lk(K->m);
    catchUpLocked();
    return K->ticks.load();
}

uint64_t hostClockTicksHeld() { return K->ticks.load(std::memory_order_relaxed); }

uint64_t hostClockArrivalTick()
{
    if (K->mode != HostClockMode::Real) {
        return K->ticks.load();
    }
    return std::max(wallTicks(), K->ticks.load());
}

void hostTimestampSetFreq(uint32_t hz)
{
    Lock lk(K->m);
    K->timestampHz = hz;
}

void hostAlarmSet(uint32_t id, uint64_t tick, HostAlarmFxn fn, void* ctx)
{
    if (id >= HOST_NUM_ALARMS || fn == nullptr) {
        return;
    }
    Lock lk(K->m);
    K->alarms[id] = HostAlarm{true, tick, fn, ctx};
    alarmDueLocked();
    wakeCpuLocked();
}

void hostAlarmCancel(uint32_t id)
{
    if (id >= HOST_NUM_ALARMS) {
        return;
    }
    Lock lk(K->m);
    K->alarms[id].set = false;
    alarmDueLocked();
}

// The firmware's time

uint32_t ti_sysbios_knl_Clock_getTicks()
{
    if (K->mode == HostClockMode::Real) {
        Lock lk(K->m);
        catchUpLocked();
        // A task that polls the clock sees the tick interrupt come, as on
        // the board: once something falls due, the time-outs and interrupts
        // it brings run (a task they wake may take the CPU), unless
        // interrupts are off.
        if (!K->hwiOff && !K->inIsr && tlsSelf != nullptr && wallTicks() >= K->dueHint.load()) {
            rescheduleLocked(lk);
        }
    }
    return static_cast<uint32_t>(K->ticks.load()) + K->offset;
}

uint32_t xdc_runtime_Timestamp_get32()
{
    if (K->mode != HostClockMode::Real) {
        // The clock alone, without the lock: the idle loop reads it every turn.
        return static_cast<uint32_t>(K->ticks.load() * (K->timestampHz.load() / 1000u));
    }
    Lock lk(K->m);
    catchUpLocked();
    // Within the current tick the counter follows the wall clock; a
    // lagging clock holds it at the tick's end.
    const uint64_t base = K->ticks.load() * NS_PER_TICK;
    const uint64_t wall = wallNs();
    const uint64_t within = std::min(wall > base ? wall - base : 0, NS_PER_TICK - 1);
    const uint64_t back = gTimestampBackNs.load();
    const uint64_t ns = base + within > back ? base + within - back : 0;
    // Split so that the product stays within 64 bits.
    const uint64_t sec = ns / 1000000000u;
    const uint64_t frac = ns % 1000000000u;
    const uint64_t hz = K->timestampHz.load();
    return static_cast<uint32_t>(sec * hz + frac * hz / 1000000000u);
}

uint32_t xdc_runtime_Timestamp_getFreq() { return K->timestampHz.load(); }

void ti_sysbios_hal_Seconds_set(uint32_t seconds)
{
    Lock lk(K->m);
    catchUpLocked();
    K->secondsBase = seconds;
    K->secondsSetAt = K->ticks.load();
}

uint32_t ti_sysbios_hal_Seconds_get()
{
    Lock lk(K->m);
    catchUpLocked();
    return K->secondsBase + static_cast<uint32_t>((K->ticks.load() - K->secondsSetAt) / 1000u);
}
