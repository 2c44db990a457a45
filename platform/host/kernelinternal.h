// Shared internals of the simulated CPU: the kernel record (kernel_sched.cpp),
// the context switch (kernel_port.cpp), the clock (kernel_clock.cpp) and host
// control (kernel_host.cpp). The threading model is explained in hostkernel.h.
#pragma once

#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostkernel.h"
#include "kernel.h"

// The port: one user-level context with a stack of its own. The caller of
// hostKernelRun is a context without a stack of ours (its thread's own).
struct PortContext {
    void* sp = nullptr;   // saved stack pointer while switched out
    void* map = nullptr;  // mapping: guard page, then the stack
    size_t mapSize = 0;
    const void* stackLow = nullptr;  // usable stack, for the address sanitizer
    size_t stackSize = 0;
    void* fakeStack = nullptr;           // the address sanitizer's record of this context
    int guardSlot = -1;                  // entry in the guard page table
    void (*entry)(void* arg) = nullptr;  // run by the first switch to it
    void* entryArg = nullptr;
};
using PortEntry = void (*)(void* arg);

// Maps a stack of at least `bytes` (with the port's floor) ending in a guard
// page; `entry(arg)` runs on it at the first switch to it and never returns.
// An overflow into the guard page stops the run naming `name`.
bool portCreate(PortContext& c, uint32_t bytes, const char* name, PortEntry entry, void* arg);
// Unmaps the stack of a context that will never run again.
void portDestroy(PortContext& c);
// Saves the running context in `from` and continues `to`. `fromEnds`: the
// running context never comes back (its stack may be unmapped later).
void portSwitch(PortContext& from, PortContext& to, bool fromEnds = false);
// The calling thread is the simulated CPU's: overflow reports work on it.
void portAdoptThread();

enum class TState : uint8_t { Ready, Blocked, Done };

// Per-context state of the host's thread-local variables, saved and put back
// at every switch, since every context runs on one host thread.
struct HostLocals {
    int hostDepth = 0;
    bool routeNew = false;
    int32_t netError = 0;
    bool netSession = false;
};
HostLocals hostLocalsSave();
void hostLocalsRestore(const HostLocals& l);

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
    bool started = false;            // its context exists
    PortContext ctx;
};

struct HostAlarm {
    bool set = false;
    uint64_t tick = 0;
    HostAlarmFxn fn = nullptr;
    void* ctx = nullptr;
};

constexpr uint32_t NUM_IRQS = 256;
constexpr uint32_t MAX_IDLE_HOOKS = 16;

struct KernelHwi {
    HwiFxn fxn;
    UArg arg;
};

using SteadyClock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

struct Kernel {
    std::mutex m;                            // guards every field below unless said otherwise
    std::vector<KernelTask*> tasks;          // creation order
    KernelTask* current = nullptr;           // the task holding the CPU, also while frozen
    KernelTask* idle = nullptr;              // the idle task, lowest priority, never blocks
    IdleFxn idleHooks[MAX_IDLE_HOOKS] = {};  // run on every idle turn, in order of adding
    uint32_t numIdleHooks = 0;
    bool running = false;    // hostKernelRun has started the scheduler
    bool stopReq = false;    // the run ends at the next safe point
    bool frozen = false;     // the run ended: the host context has the CPU thread back
    bool halted = false;     // cpuHalt was called: no firmware context runs any more
    int32_t haltCode = 0;    // the code cpuHalt was given
    uint32_t schedLock = 0;  // non-zero: no task switch (Task_disable)
    // Interrupts disabled (Hwi_disable): changed by the running context
    // without the lock (Hwi_disable/restore are taken twice per FIFO byte).
    std::atomic<bool> hwiOff{false};
    bool inIsr = false;              // an interrupt handler runs
    KernelHwi* hwis[NUM_IRQS] = {};  // installed handler per line, null when none
    std::bitset<NUM_IRQS> pending;   // raised lines not yet handled
    // Lines raised by a firmware context (an interrupt handler clearing a
    // flag that raises the next word): only the CPU thread touches them, so
    // they need no lock (no field above guards them).
    std::bitset<NUM_IRQS> cpuPending;
    // Set while `pending` holds a line (raised by another thread), read
    // without the lock by the CPU thread's handler loop.
    std::atomic<bool> hostPendingHint{false};
    std::bitset<NUM_IRQS> masked;  // lines disabled one by one
    // Hints read without the lock, both erring on the early side only: a line
    // raised since the last safe point, and nothing (timer, alarm) due before
    // dueHint (elapsed ticks).
    std::atomic<bool> irqHint{false};
    std::atomic<uint64_t> dueHint{UINT64_MAX};
    uint64_t seq = 0;          // source of readySeq, counting up
    uint32_t failCreates = 0;  // task creations still to fail (tests)
    std::string failName;      // instance name whose creation fails

    // The clock (kernel_clock.cpp).
    HostClockMode mode = HostClockMode::Manual;
    uint32_t offset = 0;  // added to the elapsed ticks the firmware sees
    // Simulated elapsed ticks, the one clock: only ever moves forward
    // (clockBump), read without the lock.
    std::atomic<uint64_t> ticks{0};
    SteadyClock::time_point start = SteadyClock::now();  // tick 0 in real mode
    std::atomic<uint64_t> runUntil{UINT64_MAX};  // elapsed ticks at which hostKernelRun returns
    std::atomic<uint32_t> timestampHz{
        600000000};             // timestamp counter frequency, read without the lock
    uint32_t secondsBase = 0;   // last value given to Seconds_set
    uint64_t secondsSetAt = 0;  // elapsed ticks at that Seconds_set
    HostAlarm alarms[HOST_NUM_ALARMS];
    uint64_t timerDue = UINT64_MAX;  // earliest deadline of a blocked task
    uint64_t alarmDue = UINT64_MAX;  // earliest alarm set
    // The simulated CPU's host thread: the caller of hostKernelReset, then
    // of hostKernelRun.
    std::thread::id cpuThread;
    clockid_t cpuThreadClock = CLOCK_MONOTONIC;  // its CPU time (real mode, while it runs)
    uint64_t idleSeenNs = 0;     // real mode: host time the idle task last had the CPU
    uint64_t busyCpuMarkNs = 0;  // the CPU thread's CPU time once a hold ran out of host time
    bool lagging = false;        // real mode: more than a second behind, said so
    uint64_t maxLag = 0;         // real mode: largest lag seen, in ticks

    // The simulated CPU's host thread sleeps here when nothing is due.
    std::condition_variable cpuCv;
    bool cpuSleeping = false;
    uint64_t cpuSleeps = 0;  // times the CPU thread slept: a figure of the host's cost
    PortContext hostCtx;     // the caller of hostKernelRun
};

extern Kernel* K;  // replaced by hostKernelReset
// The task whose context runs on this thread (null: start-up, host code).
extern thread_local KernelTask* tlsSelf;

// Scheduler (kernel_sched.cpp)
void rescheduleLocked(Lock& lk);
void takeInterruptsLocked(Lock& lk);
void idleLoop(UArg, UArg);
void ensureIdleLocked();
void switchToLocked(Lock& lk, KernelTask* next);
KernelTask* pickNextLocked();
bool irqDeliverableLocked();
bool otherTaskReadyLocked();
void deleteTask(KernelTask* t);
bool expireTimersLocked();
// The host context's side of a run: gives the CPU to `next` and comes back
// when the run is frozen.
void hostRunLocked(Lock& lk, KernelTask* next);
// Leaves the running task's context for the host context (run ended).
void freezeLocked(Lock& lk, bool forGood);

// Clock (kernel_clock.cpp)
uint64_t wallTicks();
void clockBump(uint64_t to);  // moves the clock forward to `to` (never back)
// Serves the clock at a safe point: in real mode moves it towards the wall
// clock to the next tick with due work, fires the alarms due and ends the
// timed waits due, in that order. Returns true when something became due.
bool clockServiceLocked(Lock& lk);
bool fireAlarmsLocked(Lock& lk);
void refreshDueHintLocked();
// Waits (idle, nothing ready) until the next deadline or raise, or moves
// virtual time to it.
void idleWaitLocked(Lock& lk);
// After a halt: serves the clock and the alarms until none is set, the run
// ends or is stopped.
void haltedServiceLocked(Lock& lk);
// One context and no scheduler: a timed wait lives through `timeout` ticks.
void singleContextWaitLocked(Lock& lk, uint32_t timeout);
void wakeCpuLocked();
bool anyAlarmLocked();
extern std::atomic<uint64_t> gTimestampBackNs;
extern std::atomic<bool> gReportLag;
