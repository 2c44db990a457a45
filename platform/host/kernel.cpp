// The simulated single-core CPU and its priority kernel; the threading model
// and the modes of time are explained in hostkernel.h. K->current holds the
// CPU token; K->m guards every field of the kernel record.
#include <algorithm>
#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <semaphore.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "hostinternal.h"
#include "hostkernel.h"
#include "kernel.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr uint32_t NUM_IRQS = 256;
constexpr uint32_t IDLE_STACK = 2048;
constexpr uint32_t DEFAULT_STACK = 4096;
constexpr uint32_t DEFAULT_PRIORITY = 1;
constexpr uint32_t DEFAULT_TIMESTAMP_HZ = 600000000;
// Real time: length of one idle turn as the idle hooks see a wait (idleLoop).
constexpr uint64_t IDLE_TURN_NS = 100000;
std::atomic<uint64_t> gTimestampBackNs{0};

enum class TState : uint8_t { Ready, Blocked, Done };

struct Kernel;

// Where a task's thread waits for the CPU token. A semaphore rather than a
// condition on the kernel lock: the thread handing over posts it after
// letting go of the lock, so the woken thread never wakes only to block
// again on a lock its waker still holds. Each hand-over is one post.
class TokenGate {
public:
    TokenGate() { sem_init(&sem_, 0, 0); }
    TokenGate(const TokenGate&) = delete;
    TokenGate& operator=(const TokenGate&) = delete;
    void open() { sem_post(&sem_); }
    void pass()
    {
        while (sem_wait(&sem_) != 0) {
            // EINTR: a signal for the runner arrived on this thread
        }
    }

private:
    sem_t sem_;
};

}  // namespace

struct KernelTask {
    TaskFxn fxn = nullptr;
    UArg arg0 = 0;
    UArg arg1 = 0;
    int priority = 0;
    uint32_t stackSize = 0;
    void* stack = nullptr;  // taken from the simulated heap, as on the board
    std::string name;
    TState state = TState::Ready;
    uint64_t readySeq = 0;           // order of becoming ready: FIFO among equal priorities
    bool timed = false;              // blocked with a deadline
    uint64_t deadline = 0;           // elapsed ticks at which a timed wait ends
    bool posted = false;             // the last wait ended by a post, not a time-out
    void* waitObj = nullptr;         // semaphore or mailbox queue waited on
    KernelTask* waitNext = nullptr;  // link in that queue
    bool threadStarted = false;
    TokenGate gate;  // opened once per hand-over of the CPU token to this task
};

struct WaitQueue {
    KernelTask* head = nullptr;
    KernelTask* tail = nullptr;
};

struct KernelSemaphore {
    int32_t count;
    ti_sysbios_knl_Semaphore_Mode mode;
    WaitQueue waiters;
};

struct KernelMailbox {
    uint32_t msgSize;
    uint32_t numMsgs;
    uint8_t* storage;  // numMsgs * msgSize bytes, ring
    uint32_t first;
    uint32_t count;
    WaitQueue readers;  // waiting for a message
    WaitQueue writers;  // waiting for room
};

struct KernelHwi {
    HwiFxn fxn;
    UArg arg;
};

// A peripheral model's alarm (hostAlarmSet).
struct KernelAlarm {
    bool set = false;
    uint64_t tick = 0;
    HostAlarmFxn fxn = nullptr;
    void* ctx = nullptr;
};

namespace {

struct Kernel {
    std::mutex m;                    // guards every field below
    std::vector<KernelTask*> tasks;  // creation order
    KernelTask* current = nullptr;   // CPU token holder while running
    KernelTask* idle = nullptr;      // the idle task, lowest priority, never blocks
    std::vector<IdleFxn> idleHooks;  // run on every idle turn, in order of adding
    bool running = false;            // hostKernelRun has started the scheduler
    bool stopReq = false;            // the run ends at the next safe point
    bool frozen = false;             // the token holder parked for good
    bool halted = false;             // cpuHalt was called: nothing runs any more
    int32_t haltCode = 0;            // the code cpuHalt was given
    uint32_t schedLock = 0;          // non-zero: no task switch (Task_disable)
    // Interrupts disabled (Hwi_disable). Changed by the CPU token holder
    // without the lock (Hwi_disable/restore are taken twice per FIFO byte),
    // read under it by the same holder.
    std::atomic<bool> hwiOff{false};
    bool inIsr = false;              // an interrupt handler runs on the token holder
    KernelHwi* hwis[NUM_IRQS] = {};  // installed handler per line, null when none
    std::bitset<NUM_IRQS> pending;   // raised lines not yet handled
    std::bitset<NUM_IRQS> masked;    // lines disabled one by one
    // Hints that let Hwi_restore skip the safe point when it would find
    // nothing to do. Both err on the early side only: a line raised since the
    // last safe point, and no timer due before dueHint (ticks).
    std::atomic<bool> irqHint{false};
    std::atomic<uint64_t> dueHint{UINT64_MAX};
    KernelAlarm alarms[HOST_NUM_ALARMS];  // the models' alarms, fired at safe points
    uint64_t seq = 0;                     // source of readySeq, counting up
    uint32_t failCreates = 0;             // task creations still to fail (tests)
    std::string failName;                 // instance name whose creation fails

    HostClockMode mode = HostClockMode::Manual;  // how time moves (hostkernel.h)
    uint32_t offset = 0;                         // added to the elapsed ticks the firmware sees
    // Elapsed ticks in manual and virtual mode: written under the lock, read
    // without it by Clock_getTicks, which the FIFO consumers call per byte.
    std::atomic<uint64_t> ticks{0};
    SteadyClock::time_point start = SteadyClock::now();  // tick 0 in real mode
    uint64_t runUntil = UINT64_MAX;               // elapsed ticks at which hostKernelRun returns
    uint32_t timestampHz = DEFAULT_TIMESTAMP_HZ;  // timestamp counter frequency
    uint32_t secondsBase = 0;                     // last value given to Seconds_set
    uint64_t secondsSetAt = 0;                    // elapsed ticks at that Seconds_set

    std::condition_variable runnerCv;  // hostKernelRun waits here
    std::condition_variable idleCv;    // idle waits here for a deadline or interrupt
    std::condition_variable alarmCv;   // a halted CPU's alarm thread waits here
};

Kernel* K = new Kernel;  // replaced (and the old one leaked) by hostKernelReset
thread_local KernelTask* tlsSelf = nullptr;
std::atomic<int> gHostCpu{-1};     // host core of every task thread, -1: any
std::atomic<int> gRealtimePri{0};  // SCHED_FIFO priority of task threads, 0: ordinary
xdc_runtime_System_Hooks gHooks = {};
HostHaltHandler gHaltHandler = nullptr;

using Lock = std::unique_lock<std::mutex>;

uint64_t elapsedLocked()
{
    if (K->mode == HostClockMode::Real) {
        const auto d = SteadyClock::now() - K->start;
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    }
    return K->ticks;
}

SteadyClock::time_point realTimeOf(uint64_t ticks)
{
    return K->start + std::chrono::milliseconds(ticks);
}

// True when the safe point at the end of an interrupt lock would find no
// line raised and no timer due, so it can be skipped. A line raised or a
// clock moved by another thread just after the check is taken at the next
// safe point, as one raised just after the restore would be.
bool nothingDueAtRestore()
{
    if (K->irqHint.load(std::memory_order_acquire)) {
        return false;
    }
    const uint64_t due = K->dueHint.load(std::memory_order_relaxed);
    if (due == UINT64_MAX) {
        return true;
    }
    if (K->mode == HostClockMode::Real) {
        return SteadyClock::now() < realTimeOf(due);
    }
    return K->ticks.load() < due;
}

void makeReady(KernelTask* t, bool posted)
{
    t->state = TState::Ready;
    t->readySeq = ++K->seq;
    t->timed = false;
    t->posted = posted;
    t->waitObj = nullptr;
}

void queuePush(WaitQueue& q, KernelTask* t)
{
    t->waitNext = nullptr;
    if (q.tail != nullptr) {
        q.tail->waitNext = t;
    } else {
        q.head = t;
    }
    q.tail = t;
    t->waitObj = &q;
}

KernelTask* queuePop(WaitQueue& q)
{
    KernelTask* t = q.head;
    if (t != nullptr) {
        q.head = t->waitNext;
        if (q.head == nullptr) {
            q.tail = nullptr;
        }
    }
    return t;
}

void queueRemove(WaitQueue& q, KernelTask* t)
{
    KernelTask* prev = nullptr;
    for (KernelTask* c = q.head; c != nullptr; prev = c, c = c->waitNext) {
        if (c == t) {
            if (prev != nullptr) {
                prev->waitNext = c->waitNext;
            } else {
                q.head = c->waitNext;
            }
            if (q.tail == c) {
                q.tail = prev;
            }
            return;
        }
    }
}

void expireTimersLocked()
{
    const uint64_t now = elapsedLocked();
    uint64_t due = UINT64_MAX;
    for (KernelTask* t : K->tasks) {
        if (t->state == TState::Blocked && t->timed && t->deadline <= now) {
            if (t->waitObj != nullptr) {
                queueRemove(*static_cast<WaitQueue*>(t->waitObj), t);
            }
            makeReady(t, false);
        } else if (t->state == TState::Blocked && t->timed) {
            due = std::min(due, t->deadline);
        }
    }
    for (const KernelAlarm& a : K->alarms) {
        if (a.set) {
            due = std::min(due, a.tick);
        }
    }
    K->dueHint.store(due, std::memory_order_relaxed);
}

// Runs the models' alarms that are due, in the order of their ticks, with
// the lock let go: they take their own locks and may raise lines or set
// alarms again.
void fireAlarmsLocked(Lock& lk)
{
    for (;;) {
        const uint64_t now = elapsedLocked();
        KernelAlarm* first = nullptr;
        for (KernelAlarm& a : K->alarms) {
            if (a.set && a.tick <= now && (first == nullptr || a.tick < first->tick)) {
                first = &a;
            }
        }
        if (first == nullptr) {
            return;
        }
        first->set = false;
        const HostAlarmFxn fxn = first->fxn;
        void* ctx = first->ctx;
        lk.unlock();
        fxn(ctx);
        lk.lock();
    }
}

bool nextDeadlineLocked(uint64_t& deadline)
{
    bool any = false;
    for (const KernelAlarm& a : K->alarms) {
        if (a.set && (!any || a.tick < deadline)) {
            deadline = a.tick;
            any = true;
        }
    }
    for (const KernelTask* t : K->tasks) {
        if (t->state == TState::Blocked && t->timed && (!any || t->deadline < deadline)) {
            deadline = t->deadline;
            any = true;
        }
    }
    return any;
}

// A line the interrupt controller does not have is a fault, not a no-op:
// otherwise a wrong number in a driver's table would only lose interrupts.
void checkLine(uint32_t intNum)
{
    if (intNum >= NUM_IRQS) {
        hostBusFault("interrupt line %u out of range (0 to %u)", intNum, NUM_IRQS - 1);
    }
}

bool irqDeliverableLocked() { return !K->hwiOff && !K->inIsr && (K->pending & ~K->masked).any(); }

KernelTask* pickNextLocked()
{
    KernelTask* best = nullptr;
    for (KernelTask* t : K->tasks) {
        if (t->state != TState::Ready) {
            continue;
        }
        if (best == nullptr || t->priority > best->priority ||
            (t->priority == best->priority && t->readySeq < best->readySeq)) {
            best = t;
        }
    }
    return best;
}

// The token holder stops here for good (scheduler stopped or firmware halted).
[[noreturn]] void parkLocked(Lock& lk)
{
    K->frozen = true;
    K->runnerCv.notify_all();
    std::condition_variable never;
    for (;;) {
        never.wait(lk);
    }
}

void checkStopLocked(Lock& lk)
{
    if (K->running && (K->stopReq || K->halted)) {
        parkLocked(lk);
    }
}

// Runs every deliverable interrupt handler on the calling thread.
void takeInterruptsLocked(Lock& lk)
{
    while (irqDeliverableLocked()) {
        // Lowest line first; the scan is word-wise, so a busy SPI line stays cheap.
        const std::bitset<NUM_IRQS> ready = K->pending & ~K->masked;
        const auto n = static_cast<uint32_t>(ready._Find_first());
        K->pending.reset(n);
        K->irqHint.store(K->pending.any(), std::memory_order_relaxed);
        KernelHwi* hwi = K->hwis[n];
        if (hwi == nullptr) {
            continue;  // a line nobody installed a handler for
        }
        K->inIsr = true;
        lk.unlock();
        hwi->fxn(hwi->arg);
        lk.lock();
        K->inIsr = false;
    }
}

void threadMain(Kernel* k, KernelTask* t);

// Gives the CPU token to `next`, starting its thread on the first turn. Only
// the token holder calls it, with or without the kernel lock.
void handOver(Kernel* k, KernelTask* next)
{
    if (!next->threadStarted) {
        next->threadStarted = true;
        HostScope host;
        std::thread(threadMain, k, next).detach();
    }
    next->gate.open();
}

// Hands the CPU to `next` and waits until it comes back to the caller. The
// lock is let go before the hand-over, so `next` finds it free.
void switchToLocked(Lock& lk, KernelTask* next)
{
    KernelTask* self = tlsSelf;
    K->current = next;
    Kernel* k = K;
    lk.unlock();
    handOver(k, next);
    self->gate.pass();
    lk.lock();
    checkStopLocked(lk);
}

// The safe point: expire timers, take interrupts, then let a task of higher
// priority (or any task, when the caller no longer runs) have the CPU.
void rescheduleLocked(Lock& lk)
{
    checkStopLocked(lk);
    fireAlarmsLocked(lk);
    expireTimersLocked();
    takeInterruptsLocked(lk);
    checkStopLocked(lk);
    KernelTask* self = tlsSelf;
    if (!K->running || self == nullptr || K->inIsr || K->current != self) {
        return;
    }
    const bool selfRuns = self->state == TState::Ready;
    if (selfRuns && K->schedLock != 0) {
        return;
    }
    KernelTask* next = pickNextLocked();
    if (next == nullptr || next == self) {
        return;
    }
    if (selfRuns && next->priority <= self->priority) {
        return;  // equal priorities take turns only at blocking points
    }
    switchToLocked(lk, next);
}

bool singleContextLocked() { return !K->running; }

// Blocks the calling task on `q` (may be null for a plain sleep) for at most
// `timeout` ticks. Returns true when woken by a post.
bool blockLocked(Lock& lk, WaitQueue* q, uint32_t timeout)
{
    KernelTask* self = tlsSelf;
    if (singleContextLocked() || self == nullptr) {
        // One context and no scheduler: nobody else can post, so a timed wait
        // is a time-out that the manual clock lives through.
        if (timeout == BIOS_WAIT_FOREVER) {
            std::fprintf(stderr, "host kernel: wait for ever with no scheduler running\n");
            std::abort();
        }
        K->ticks += timeout;
        fireAlarmsLocked(lk);
        takeInterruptsLocked(lk);
        return false;
    }
    self->state = TState::Blocked;
    self->posted = false;
    self->timed = timeout != BIOS_WAIT_FOREVER;
    self->deadline = elapsedLocked() + timeout;
    if (self->timed && self->deadline < K->dueHint.load(std::memory_order_relaxed)) {
        K->dueHint.store(self->deadline, std::memory_order_relaxed);
    }
    if (q != nullptr) {
        queuePush(*q, self);
    }
    while (self->state != TState::Ready) {
        fireAlarmsLocked(lk);
        expireTimersLocked();
        takeInterruptsLocked(lk);
        checkStopLocked(lk);
        if (self->state == TState::Ready) {
            break;
        }
        KernelTask* next = pickNextLocked();
        switchToLocked(lk, next);  // idle is always ready, so next exists
    }
    return self->posted;
}

void idleWaitLocked(Lock& lk)
{
    if (irqDeliverableLocked() || K->stopReq) {
        return;
    }
    for (KernelTask* t : K->tasks) {
        if (t != K->idle && t->state == TState::Ready) {
            return;
        }
    }
    uint64_t deadline = 0;
    const bool hasDeadline = nextDeadlineLocked(deadline);
    switch (K->mode) {
    case HostClockMode::Virtual:
        if (hasDeadline && deadline < K->runUntil) {
            K->ticks = std::max(K->ticks.load(), deadline);
            return;
        }
        if (K->runUntil != UINT64_MAX) {
            // Nothing is due before the end of the run: the run is over.
            K->ticks = std::max(K->ticks.load(), K->runUntil);
            K->stopReq = true;
            K->runnerCv.notify_all();
            return;
        }
        K->idleCv.wait(lk);
        return;
    case HostClockMode::Manual:
        K->idleCv.wait(lk);
        return;
    case HostClockMode::Real:
        if (hasDeadline) {
            K->idleCv.wait_until(lk, realTimeOf(deadline));
        } else {
            K->idleCv.wait(lk);
        }
        return;
    }
}

void idleLoop(UArg, UArg)
{
    uint64_t waitedNs = 0;
    for (;;) {
        std::vector<IdleFxn> hooks;
        {
            Lock lk(K->m);
            HostScope host;
            hooks = K->idleHooks;
        }
        // The board's idle loop turns all the time it waits here; the CPU
        // load hook measures idle time as turns of the shortest length. So
        // the hooks see the wait as uniform turns, the timestamp held back
        // to each turn's end; the last turn is the ordinary pass below.
        const uint64_t turns = waitedNs / IDLE_TURN_NS;
        for (uint64_t i = 1; i < turns; ++i) {
            gTimestampBackNs.store(waitedNs - waitedNs * i / turns);
            for (IdleFxn f : hooks) {
                f();
            }
        }
        gTimestampBackNs.store(0);
        for (IdleFxn f : hooks) {
            f();
        }
        Lock lk(K->m);
        rescheduleLocked(lk);
        waitedNs = 0;
        if (K->current == tlsSelf) {
            const auto before = SteadyClock::now();
            idleWaitLocked(lk);
            if (K->mode == HostClockMode::Real) {
                waitedNs =
                    static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              SteadyClock::now() - before)
                                              .count());
            }
        }
        rescheduleLocked(lk);
    }
}

void threadMain(Kernel* k, KernelTask* t)
{
    tlsSelf = t;
    tlsRouteNew = true;
    // The task's name on the host thread, so that top and gdb show which task is which.
    pthread_setname_np(pthread_self(), t->name.substr(0, 15).c_str());
    const int cpu = gHostCpu.load();
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    }
    if (gRealtimePri.load() > 0) {
        sched_param sp{};
        sp.sched_priority = gRealtimePri.load();
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    }
    t->gate.pass();
    {
        Lock lk(k->m);
        if (K != k) {
            parkLocked(lk);
        }
        checkStopLocked(lk);
    }
    t->fxn(t->arg0, t->arg1);
    // The entry returned: the task terminates and gives the CPU away for good.
    Lock lk(k->m);
    t->state = TState::Done;
    KernelTask* next = pickNextLocked();
    k->current = next;
    if (next != nullptr) {
        handOver(k, next);
    }
}

KernelTask* newTaskLocked(TaskFxn fxn, const ti_sysbios_knl_Task_Params& p)
{
    HostScope host;
    auto* t = new KernelTask;
    t->fxn = fxn;
    t->arg0 = p.arg0;
    t->arg1 = p.arg1;
    t->priority = p.priority;
    t->stackSize = p.stackSize;
    t->name = p.instanceName != nullptr ? p.instanceName : "";
    makeReady(t, false);
    K->tasks.push_back(t);
    return t;
}

void ensureIdleLocked()
{
    if (K->idle != nullptr) {
        return;
    }
    ti_sysbios_knl_Task_Params p;
    ti_sysbios_knl_Task_Params_init(&p);
    p.priority = 0;
    p.stackSize = IDLE_STACK;
    p.instanceName = "idle";
    K->idle = newTaskLocked(idleLoop, p);
    K->idle->stack = hostHeapAlloc(IDLE_STACK);
}

}  // namespace

// Host control

void hostKernelReset(HostClockMode mode, uint32_t tickOffset)
{
    HostScope host;
    Kernel* old = K;
    {
        Lock lk(old->m);
        // Threads of the old run stay parked on the old instance for good.
        old->stopReq = true;
        old->current = nullptr;
        old->alarmCv.notify_all();
    }
    auto* k = new Kernel;
    k->mode = mode;
    k->offset = tickOffset;
    k->start = SteadyClock::now();
    K = k;
}

uint64_t hostKernelRun(uint64_t ticks)
{
    Lock lk(K->m);
    const uint64_t startTicks = elapsedLocked();
    K->runUntil = ticks == UINT64_MAX ? UINT64_MAX : startTicks + ticks;
    ensureIdleLocked();
    K->running = true;
    K->stopReq = false;
    K->frozen = false;
    KernelTask* next = pickNextLocked();
    K->current = next;
    Kernel* k = K;
    handOver(k, next);
    while (!k->frozen) {
        if (k->mode == HostClockMode::Real && k->runUntil != UINT64_MAX) {
            k->runnerCv.wait_until(lk, realTimeOf(k->runUntil));
            if (elapsedLocked() >= k->runUntil) {
                k->stopReq = true;
                k->idleCv.notify_all();
            }
        } else {
            k->runnerCv.wait(lk);
        }
        if (k->stopReq) {
            k->idleCv.notify_all();
        }
    }
    return elapsedLocked() - startTicks;
}

void hostKernelStop()
{
    Lock lk(K->m);
    K->stopReq = true;
    K->idleCv.notify_all();
    K->runnerCv.notify_all();
}

void hostKernelPinCpu(int cpu) { gHostCpu.store(cpu); }

bool hostKernelRealtime(int priority)
{
    // Tried on the calling thread first, so that a refusal is known here.
    sched_param sp{};
    sp.sched_priority = priority;
    if (priority <= 0 || pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) != 0) {
        return false;
    }
    sp.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &sp);
    gRealtimePri.store(priority);
    return true;
}

bool hostKernelRunning()
{
    Lock lk(K->m);
    return K->running && !K->frozen;
}

void hostClockSet(uint32_t ticks)
{
    Lock lk(K->m);
    const uint32_t nowLow = static_cast<uint32_t>(elapsedLocked()) + K->offset;
    K->ticks += static_cast<uint32_t>(ticks - nowLow);
    K->idleCv.notify_all();
}

void hostClockAdvance(uint32_t ticks)
{
    Lock lk(K->m);
    K->ticks += ticks;
    K->idleCv.notify_all();
}

uint64_t hostClockTicks64()
{
    Lock lk(K->m);
    return elapsedLocked();
}

void hostTimestampSetFreq(uint32_t hz)
{
    Lock lk(K->m);
    K->timestampHz = hz;
}

void hostIrqRaise(uint32_t intNum)
{
    checkLine(intNum);
    Lock lk(K->m);
    K->pending.set(intNum);
    K->irqHint.store(true, std::memory_order_release);
    K->idleCv.notify_all();
}

// Real time after a halt: the CPU stopped, the clock did not, so the
// models' alarms fire on a thread of their own until the next reset.
static void haltedAlarms(Kernel* k)
{
    Lock lk(k->m);
    while (K == k) {
        fireAlarmsLocked(lk);
        uint64_t due = UINT64_MAX;
        for (const KernelAlarm& a : k->alarms) {
            due = a.set ? std::min(due, a.tick) : due;
        }
        if (due != UINT64_MAX) {
            k->alarmCv.wait_until(lk, realTimeOf(due));
        } else {
            k->alarmCv.wait(lk);
        }
    }
}

void hostAlarmSet(uint32_t id, uint64_t tick, HostAlarmFxn fn, void* ctx)
{
    if (id >= HOST_NUM_ALARMS) {
        hostBusFault("alarm %u does not exist (0 to %u)", id, HOST_NUM_ALARMS - 1);
    }
    Lock lk(K->m);
    K->alarms[id] = KernelAlarm{true, tick, fn, ctx};
    if (tick < K->dueHint.load(std::memory_order_relaxed)) {
        K->dueHint.store(tick, std::memory_order_relaxed);
    }
    K->idleCv.notify_all();
    K->alarmCv.notify_all();
}

void hostAlarmCancel(uint32_t id)
{
    if (id >= HOST_NUM_ALARMS) {
        hostBusFault("alarm %u does not exist (0 to %u)", id, HOST_NUM_ALARMS - 1);
    }
    Lock lk(K->m);
    K->alarms[id].set = false;
}

void hostTaskCreateFailNext(uint32_t count)
{
    Lock lk(K->m);
    K->failCreates = count;
}

void hostTaskCreateFailName(const char* name)
{
    Lock lk(K->m);
    HostScope host;
    K->failName = name != nullptr ? name : "";
}

bool hostInFirmwareContext() { return tlsSelf != nullptr || tlsRouteNew; }

uint32_t hostKernelNumTasks()
{
    Lock lk(K->m);
    return static_cast<uint32_t>(K->tasks.size());
}

void hostKernelForgetTasks(uint32_t keep)
{
    Lock lk(K->m);
    HostScope host;
    while (K->tasks.size() > keep) {
        KernelTask* t = K->tasks.back();
        if (t->threadStarted || t == K->current || t == K->idle) {
            return;  // a task that ran may be referred to by its thread
        }
        K->tasks.pop_back();
        delete t;
    }
}

void hostSetHaltHandler(HostHaltHandler handler) { gHaltHandler = handler; }

bool hostFirmwareHalted()
{
    Lock lk(K->m);
    return K->halted;
}

int32_t hostHaltCode()
{
    Lock lk(K->m);
    return K->haltCode;
}

const xdc_runtime_System_Hooks* hostSystemHooks() { return &gHooks; }

// Tasks

void ti_sysbios_knl_Task_Params_init(ti_sysbios_knl_Task_Params* params)
{
    params->arg0 = 0;
    params->arg1 = 0;
    params->priority = DEFAULT_PRIORITY;
    params->stackSize = DEFAULT_STACK;
    params->instanceName = nullptr;
}

ti_sysbios_knl_Task_Handle ti_sysbios_knl_Task_create(TaskFxn fxn,
                                                      const ti_sysbios_knl_Task_Params* params)
{
    Lock lk(K->m);
    ti_sysbios_knl_Task_Params p;
    if (params != nullptr) {
        p = *params;
    } else {
        ti_sysbios_knl_Task_Params_init(&p);
    }
    if (K->failCreates != 0) {
        --K->failCreates;
        return nullptr;
    }
    if (!K->failName.empty() && p.instanceName != nullptr && K->failName == p.instanceName) {
        return nullptr;
    }
    void* stack = hostHeapAlloc(p.stackSize);
    if (stack == nullptr || fxn == nullptr) {
        hostHeapFree(stack);
        return nullptr;
    }
    KernelTask* t = newTaskLocked(fxn, p);
    t->stack = stack;
    rescheduleLocked(lk);
    return t;
}

void ti_sysbios_knl_Task_sleep(uint32_t ticks)
{
    Lock lk(K->m);
    if (ticks == 0) {
        rescheduleLocked(lk);
        return;
    }
    blockLocked(lk, nullptr, ticks);
}

uint32_t ti_sysbios_knl_Task_disable()
{
    Lock lk(K->m);
    const uint32_t key = K->schedLock;
    K->schedLock = 1;
    return key;
}

void ti_sysbios_knl_Task_restore(uint32_t key)
{
    Lock lk(K->m);
    K->schedLock = key;
    rescheduleLocked(lk);
}

ti_sysbios_knl_Task_Handle ti_sysbios_knl_Task_self() { return tlsSelf; }

const char* ti_sysbios_knl_Task_name(ti_sysbios_knl_Task_Handle task)
{
    return task != nullptr ? task->name.c_str() : "";
}

int ti_sysbios_knl_Task_getPri(ti_sysbios_knl_Task_Handle task)
{
    return task != nullptr ? task->priority : -1;
}

uint32_t ti_sysbios_knl_Task_stackSize(ti_sysbios_knl_Task_Handle task)
{
    return task != nullptr ? task->stackSize : 0;
}

uint32_t ti_sysbios_knl_Task_forEach(void (*visit)(ti_sysbios_knl_Task_Handle task, void* ctx),
                                     void* ctx)
{
    std::vector<KernelTask*> snapshot;
    {
        Lock lk(K->m);
        HostScope host;
        snapshot = K->tasks;
    }
    for (KernelTask* t : snapshot) {
        visit(t, ctx);
    }
    return static_cast<uint32_t>(snapshot.size());
}

// Interrupts

// Only the CPU token holder runs firmware, and interrupts are taken only by
// it at safe points: it may switch them off and on without the lock.
uint32_t ti_sysbios_hal_Hwi_disable()
{
    return K->hwiOff.exchange(true, std::memory_order_relaxed) ? 1 : 0;
}

void ti_sysbios_hal_Hwi_restore(uint32_t key)
{
    K->hwiOff.store(key != 0, std::memory_order_relaxed);
    if (key != 0 || nothingDueAtRestore()) {
        return;
    }
    Lock lk(K->m);
    rescheduleLocked(lk);
}

ti_sysbios_hal_Hwi_Handle ti_sysbios_hal_Hwi_create(uint32_t intNum, HwiFxn fxn, UArg arg)
{
    checkLine(intNum);
    Lock lk(K->m);
    if (fxn == nullptr || K->hwis[intNum] != nullptr) {
        return nullptr;
    }
    HostScope host;
    K->hwis[intNum] = new KernelHwi{fxn, arg};
    K->masked.reset(intNum);
    return K->hwis[intNum];
}

void ti_sysbios_hal_Hwi_enableInterrupt(uint32_t intNum)
{
    checkLine(intNum);
    Lock lk(K->m);
    K->masked.reset(intNum);
    rescheduleLocked(lk);
}

void ti_sysbios_hal_Hwi_disableInterrupt(uint32_t intNum)
{
    checkLine(intNum);
    Lock lk(K->m);
    K->masked.set(intNum);
}

// Semaphores

ti_sysbios_knl_Semaphore_Handle ti_sysbios_knl_Semaphore_create(int32_t count,
                                                                ti_sysbios_knl_Semaphore_Mode mode)
{
    HostScope host;
    auto* s = new KernelSemaphore;
    s->mode = mode;
    s->count = mode == ti_sysbios_knl_Semaphore_Mode_BINARY ? (count != 0 ? 1 : 0) : count;
    return s;
}

bool ti_sysbios_knl_Semaphore_pend(ti_sysbios_knl_Semaphore_Handle sem, uint32_t timeout)
{
    Lock lk(K->m);
    rescheduleLocked(lk);
    if (sem->count > 0) {
        --sem->count;
        return true;
    }
    if (timeout == BIOS_NO_WAIT) {
        return false;
    }
    if (singleContextLocked() || tlsSelf == nullptr) {
        blockLocked(lk, nullptr, timeout);
        if (sem->count > 0) {  // an interrupt taken meanwhile may have posted
            --sem->count;
            return true;
        }
        return false;
    }
    // A post hands the count straight to the first waiter.
    return blockLocked(lk, &sem->waiters, timeout);
}

void ti_sysbios_knl_Semaphore_post(ti_sysbios_knl_Semaphore_Handle sem)
{
    Lock lk(K->m);
    KernelTask* waiter = queuePop(sem->waiters);
    if (waiter != nullptr) {
        makeReady(waiter, true);
    } else if (sem->mode == ti_sysbios_knl_Semaphore_Mode_BINARY) {
        sem->count = 1;
    } else {
        ++sem->count;
    }
    rescheduleLocked(lk);
}

int32_t ti_sysbios_knl_Semaphore_getCount(ti_sysbios_knl_Semaphore_Handle sem)
{
    Lock lk(K->m);
    return sem->count;
}

// Mailbox

ti_sysbios_knl_Mailbox_Handle ti_sysbios_knl_Mailbox_create(uint32_t msgSize, uint32_t numMsgs)
{
    if (msgSize == 0 || numMsgs == 0) {
        return nullptr;
    }
    auto* storage = static_cast<uint8_t*>(hostHeapAlloc(msgSize * numMsgs));
    if (storage == nullptr) {
        return nullptr;
    }
    HostScope host;
    return new KernelMailbox{msgSize, numMsgs, storage, 0, 0, {}, {}};
}

bool ti_sysbios_knl_Mailbox_post(ti_sysbios_knl_Mailbox_Handle mbx, const void* msg,
                                 uint32_t timeout)
{
    Lock lk(K->m);
    rescheduleLocked(lk);
    while (mbx->count == mbx->numMsgs) {
        if (timeout == BIOS_NO_WAIT) {
            return false;
        }
        const bool woken = blockLocked(lk, &mbx->writers, timeout);
        if (!woken && mbx->count == mbx->numMsgs) {
            return false;
        }
    }
    const uint32_t slot = (mbx->first + mbx->count) % mbx->numMsgs;
    std::memcpy(mbx->storage + slot * mbx->msgSize, msg, mbx->msgSize);
    ++mbx->count;
    if (KernelTask* reader = queuePop(mbx->readers)) {
        makeReady(reader, true);
    }
    rescheduleLocked(lk);
    return true;
}

bool ti_sysbios_knl_Mailbox_pend(ti_sysbios_knl_Mailbox_Handle mbx, void* msg, uint32_t timeout)
{
    Lock lk(K->m);
    rescheduleLocked(lk);
    while (mbx->count == 0) {
        if (timeout == BIOS_NO_WAIT) {
            return false;
        }
        const bool woken = blockLocked(lk, &mbx->readers, timeout);
        if (!woken && mbx->count == 0) {
            return false;
        }
    }
    std::memcpy(msg, mbx->storage + mbx->first * mbx->msgSize, mbx->msgSize);
    mbx->first = (mbx->first + 1) % mbx->numMsgs;
    --mbx->count;
    if (KernelTask* writer = queuePop(mbx->writers)) {
        makeReady(writer, true);
    }
    rescheduleLocked(lk);
    return true;
}

uint32_t ti_sysbios_knl_Mailbox_getNumPendingMsgs(ti_sysbios_knl_Mailbox_Handle mbx)
{
    Lock lk(K->m);
    return mbx->count;
}

// Time

uint32_t ti_sysbios_knl_Clock_getTicks()
{
    return static_cast<uint32_t>(elapsedLocked()) + K->offset;
}

uint32_t xdc_runtime_Timestamp_get32()
{
    Lock lk(K->m);
    if (K->mode == HostClockMode::Real) {
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - K->start)
                .count() -
            static_cast<int64_t>(gTimestampBackNs.load());
        // Split so that the product stays within 64 bits.
        const uint64_t sec = static_cast<uint64_t>(ns) / 1000000000u;
        const uint64_t frac = static_cast<uint64_t>(ns) % 1000000000u;
        return static_cast<uint32_t>(sec * K->timestampHz + frac * K->timestampHz / 1000000000u);
    }
    return static_cast<uint32_t>(K->ticks * (K->timestampHz / 1000u));
}

uint32_t xdc_runtime_Timestamp_getFreq()
{
    Lock lk(K->m);
    return K->timestampHz;
}

void ti_sysbios_hal_Seconds_set(uint32_t seconds)
{
    Lock lk(K->m);
    K->secondsBase = seconds;
    K->secondsSetAt = elapsedLocked();
}

uint32_t ti_sysbios_hal_Seconds_get()
{
    Lock lk(K->m);
    return K->secondsBase + static_cast<uint32_t>((elapsedLocked() - K->secondsSetAt) / 1000u);
}

// Configuration, start and halt

void ti_sysbios_knl_Idle_add(IdleFxn fxn)
{
    Lock lk(K->m);
    HostScope host;
    K->idleHooks.push_back(fxn);
}

void xdc_runtime_System_setHooks(const xdc_runtime_System_Hooks* hooks) { gHooks = *hooks; }

void cpuHalt(int32_t code)
{
    HostHaltHandler handler = gHaltHandler;
    {
        Lock lk(K->m);
        K->halted = true;
        K->haltCode = code;
        K->hwiOff = true;
        K->runnerCv.notify_all();
        if (K->mode == HostClockMode::Real) {
            HostScope host;
            std::thread(haltedAlarms, K).detach();
        }
    }
    if (handler != nullptr) {
        handler(code);
    } else {
        std::fflush(stdout);
        _exit(hostExitStatusForFatal(code));
    }
    // Frozen: this context never runs again; only a watchdog reset follows.
    Lock lk(K->m);
    parkLocked(lk);
}
