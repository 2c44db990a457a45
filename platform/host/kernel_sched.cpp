// The scheduler of the simulated single-core CPU: tasks, semaphores,
// mailboxes, timed waits and interrupts, switched at safe points. The
// threading model is explained in hostkernel.h; K->m guards the kernel record.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hostinternal.h"
#include "kernelinternal.h"

Kernel* K = new Kernel;
thread_local KernelTask* tlsSelf = nullptr;

namespace {

constexpr uint32_t IDLE_STACK = 2048;
constexpr uint32_t DEFAULT_STACK = 4096;
constexpr int DEFAULT_PRIORITY = 1;
// Real time: length of one idle turn as the idle hooks see a wait (idleLoop).
constexpr uint64_t IDLE_TURN_NS = 100000;

struct WaitQueue {
    KernelTask* head = nullptr;
    KernelTask* tail = nullptr;
};

}  // namespace

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

namespace {

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

// A line the interrupt controller does not have is a fault, not a no-op:
// otherwise a wrong number in a driver's table would only lose interrupts.
void checkLine(uint32_t intNum)
{
    if (intNum >= NUM_IRQS) {
        hostBusFault("interrupt line %u out of range (0 to %u)", intNum, NUM_IRQS - 1);
    }
}

// The running task's context, when the caller is one (not a host thread, not
// the start-up context).
bool onCpuLocked() { return tlsSelf != nullptr && K->running && K->current == tlsSelf; }

void checkStopLocked(Lock& lk)
{
    if ((K->stopReq || K->halted) && onCpuLocked()) {
        freezeLocked(lk, K->halted);
    }
}

void startLocked(KernelTask* t);

void taskEntry(void* arg)
{
    auto* t = static_cast<KernelTask*>(arg);
    tlsSelf = t;
    hostLocalsRestore(HostLocals{0, true, 0, false});
    {
        Lock lk(K->m);
        checkStopLocked(lk);
    }
    t->fxn(t->arg0, t->arg1);
    // The entry returned: the task terminates and gives the CPU away for good;
    // its stack goes with the next reset.
    Lock lk(K->m);
    t->state = TState::Done;
    KernelTask* next = pickNextLocked();
    K->current = next;
    startLocked(next);
    lk.unlock();
    portSwitch(t->ctx, next->ctx, true);
    std::abort();  // never resumed
}

void startLocked(KernelTask* t)
{
    if (t->started) {
        return;
    }
    t->started = true;
    HostScope host;
    if (!portCreate(t->ctx, t->stackSize, t->name.c_str(), taskEntry, t)) {
        std::fprintf(stderr, "zok2gw: no memory for the stack of task %s\n", t->name.c_str());
        std::abort();
    }
}

// Blocks the calling task on `q` (may be null for a plain sleep) for at most
// `timeout` ticks. Returns true when woken by a post.
bool blockLocked(Lock& lk, WaitQueue* q, uint32_t timeout)
{
    KernelTask* self = tlsSelf;
    if (!onCpuLocked()) {
        // One context and no scheduler: nobody else can post, so a timed wait
        // is a time-out that the clock lives through.
        if (timeout == BIOS_WAIT_FOREVER) {
            std::fprintf(stderr, "host kernel: wait for ever with no scheduler running\n");
            std::abort();
        }
        singleContextWaitLocked(lk, timeout);
        return false;
    }
    self->state = TState::Blocked;
    self->posted = false;
    self->timed = timeout != BIOS_WAIT_FOREVER;
    self->deadline = K->ticks.load() + timeout;
    if (self->timed && self->deadline < K->timerDue) {
        K->timerDue = self->deadline;
        refreshDueHintLocked();
    }
    if (q != nullptr) {
        queuePush(*q, self);
    }
    while (self->state != TState::Ready) {
        clockServiceLocked(lk);
        takeInterruptsLocked(lk);
        checkStopLocked(lk);
        if (self->state == TState::Ready) {
            break;
        }
        switchToLocked(lk, pickNextLocked());  // idle is always ready, so there is one
    }
    return self->posted;
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

}  // namespace

bool irqDeliverableLocked()
{
    return !K->hwiOff && !K->inIsr && ((K->pending | K->cpuPending) & ~K->masked).any();
}

bool otherTaskReadyLocked()
{
    for (const KernelTask* t : K->tasks) {
        if (t != K->idle && t->state == TState::Ready) {
            return true;
        }
    }
    return false;
}

// Ends the timed waits due; returns true when one ended.
bool expireTimersLocked()
{
    const uint64_t now = K->ticks.load();
    if (now < K->timerDue) {
        return false;
    }
    bool any = false;
    uint64_t due = UINT64_MAX;
    for (KernelTask* t : K->tasks) {
        if (t->state != TState::Blocked || !t->timed) {
            continue;
        }
        if (t->deadline <= now) {
            if (t->waitObj != nullptr) {
                queueRemove(*static_cast<WaitQueue*>(t->waitObj), t);
            }
            makeReady(t, false);
            any = true;
        } else {
            due = std::min(due, t->deadline);
        }
    }
    K->timerDue = due;
    refreshDueHintLocked();
    return any;
}

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

void switchToLocked(Lock& lk, KernelTask* next)
{
    KernelTask* self = tlsSelf;
    K->current = next;
    startLocked(next);
    lk.unlock();
    const HostLocals mine = hostLocalsSave();
    portSwitch(self->ctx, next->ctx);
    hostLocalsRestore(mine);
    tlsSelf = self;
    lk.lock();
    checkStopLocked(lk);
}

void freezeLocked(Lock& lk, bool forGood)
{
    KernelTask* self = tlsSelf;
    K->frozen = true;
    lk.unlock();
    const HostLocals mine = hostLocalsSave();
    portSwitch(self->ctx, K->hostCtx, forGood);
    if (forGood) {
        std::abort();  // a halted context is never resumed
    }
    hostLocalsRestore(mine);
    tlsSelf = self;
    lk.lock();
}

// Runs the host context's side of a run: gives the CPU to `next` and comes
// back when the run is frozen.
void hostRunLocked(Lock& lk, KernelTask* next)
{
    K->current = next;
    startLocked(next);
    lk.unlock();
    const HostLocals mine = hostLocalsSave();
    KernelTask* const self = tlsSelf;
    portSwitch(K->hostCtx, next->ctx);
    hostLocalsRestore(mine);
    tlsSelf = self;
    lk.lock();
}

// Runs every deliverable interrupt handler in the running context.
void takeInterruptsLocked(Lock& lk)
{
    while (irqDeliverableLocked()) {
        // Lowest line first; the scan is word-wise, so a busy SPI line stays cheap.
        const std::bitset<NUM_IRQS> ready = (K->pending | K->cpuPending) & ~K->masked;
        const auto n = static_cast<uint32_t>(ready._Find_first());
        K->pending.reset(n);
        K->cpuPending.reset(n);
        K->hostPendingHint.store(K->pending.any(), std::memory_order_relaxed);
        K->irqHint.store(K->pending.any() || K->cpuPending.any(), std::memory_order_relaxed);
        KernelHwi* hwi = K->hwis[n];
        if (hwi == nullptr) {
            continue;  // a line nobody installed a handler for
        }
        K->inIsr = true;
        lk.unlock();
        hwi->fxn(hwi->arg);
        // The handler raised its own line again (the next SPI word) and it
        // is still the first one raised: taken again without the lock, as
        // the loop would take it. Only the CPU thread writes these fields.
        while (K->cpuPending.test(n) && K->cpuPending._Find_first() == n && !K->masked.test(n) &&
               !K->hwiOff.load(std::memory_order_relaxed) &&
               !K->hostPendingHint.load(std::memory_order_acquire)) {
            K->cpuPending.reset(n);
            hwi->fxn(hwi->arg);
        }
        lk.lock();
        K->inIsr = false;
    }
}

// The safe point: the clock's due work (alarms, time-outs), interrupts, then
// a task of higher priority (or any task, when the caller no longer runs)
// has the CPU. Catching up real time, each tick with due work is one turn.
void rescheduleLocked(Lock& lk)
{
    if (!onCpuLocked()) {
        if (K->running && !K->frozen) {
            wakeCpuLocked();  // a host thread changed something: the CPU looks
            return;
        }
        if (tlsSelf == nullptr) {
            clockServiceLocked(lk);  // the start-up context
            takeInterruptsLocked(lk);
        }
        return;
    }
    KernelTask* self = tlsSelf;
    for (;;) {
        checkStopLocked(lk);
        if (K->inIsr) {
            return;
        }
        const bool due = clockServiceLocked(lk);
        takeInterruptsLocked(lk);
        checkStopLocked(lk);
        const bool selfRuns = self->state == TState::Ready;
        if (!selfRuns || K->schedLock == 0) {
            KernelTask* next = pickNextLocked();
            // Equal priorities take turns only at blocking points.
            if (next != nullptr && next != self && (!selfRuns || next->priority > self->priority)) {
                switchToLocked(lk, next);
                return;
            }
        }
        if (!due) {
            return;
        }
    }
}

void deleteTask(KernelTask* t)
{
    if (t->started) {
        portDestroy(t->ctx);
    }
    delete t;
}

void idleLoop(UArg, UArg)
{
    uint64_t waitedNs = 0;
    IdleFxn hooks[MAX_IDLE_HOOKS];
    uint32_t numHooks = 0;
    auto copyHooksLocked = [&] {
        numHooks = K->numIdleHooks;
        std::copy(K->idleHooks, K->idleHooks + numHooks, hooks);
    };
    {
        Lock lk(K->m);
        copyHooksLocked();
    }
    for (;;) {
        // The board's idle loop turns all the time it waits here; the CPU
        // load hook measures idle time as turns of the shortest length. So
        // the hooks see the wait as uniform turns, the timestamp held back
        // to each turn's end; the last turn is the ordinary pass below.
        const uint64_t turns = waitedNs / IDLE_TURN_NS;
        for (uint64_t i = 1; i < turns; ++i) {
            gTimestampBackNs.store(waitedNs - waitedNs * i / turns, std::memory_order_relaxed);
            for (uint32_t h = 0; h < numHooks; ++h) {
                hooks[h]();
            }
        }
        if (turns > 1) {
            gTimestampBackNs.store(0, std::memory_order_relaxed);
        }
        for (uint32_t h = 0; h < numHooks; ++h) {
            hooks[h]();
        }
        Lock lk(K->m);
        rescheduleLocked(lk);
        waitedNs = 0;
        if (!irqDeliverableLocked() && !K->stopReq && !otherTaskReadyLocked()) {
            const bool real = K->mode == HostClockMode::Real;
            const auto before = real ? SteadyClock::now() : SteadyClock::time_point{};
            idleWaitLocked(lk);
            if (real) {
                waitedNs =
                    static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              SteadyClock::now() - before)
                                              .count());
            }
        }
        rescheduleLocked(lk);
        copyHooksLocked();  // for the next turn, under the same lock
    }
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

// Only the running context takes interrupts, at safe points: it may switch
// them off and on without the lock.
uint32_t ti_sysbios_hal_Hwi_disable()
{
    // No locked exchange: nothing else writes the flag while this context runs.
    const bool was = K->hwiOff.load(std::memory_order_relaxed);
    K->hwiOff.store(true, std::memory_order_relaxed);
    return was ? 1 : 0;
}

void ti_sysbios_hal_Hwi_restore(uint32_t key)
{
    K->hwiOff.store(key != 0, std::memory_order_relaxed);
    if (key != 0) {
        return;
    }
    // Skips the safe point when it would find no line raised and nothing due.
    // A line raised or a clock moved by another thread just after the check
    // is taken at the next safe point, as one raised just after the restore.
    if (!K->irqHint.load(std::memory_order_acquire)) {
        const uint64_t due = K->dueHint.load(std::memory_order_relaxed);
        const uint64_t now =
            K->mode == HostClockMode::Real ? wallTicks() : K->ticks.load(std::memory_order_relaxed);
        if (now < due && (K->mode != HostClockMode::Real || now < K->runUntil.load())) {
            return;
        }
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

uint64_t hostIrqRaise(uint32_t intNum)
{
    checkLine(intNum);
    if (tlsSelf != nullptr) {
        // A firmware context, so the CPU thread, which is awake: no lock and
        // no wake-up (a host McSPI exchange raises the line once per word).
        K->cpuPending.set(intNum);
        K->irqHint.store(true, std::memory_order_relaxed);
        return K->ticks.load(std::memory_order_relaxed);
    }
    Lock lk(K->m);
    K->pending.set(intNum);
    K->hostPendingHint.store(true, std::memory_order_release);
    K->irqHint.store(true, std::memory_order_release);
    wakeCpuLocked();
    return K->ticks.load();
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
    if (!onCpuLocked()) {
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
