// Host control of the simulated CPU: reset, run and stop, the halt, test
// hooks, and the host's per-context variables that every switch carries.
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "hostinternal.h"
#include "kernelinternal.h"

namespace {

xdc_runtime_System_Hooks gHooks = {};
HostHaltHandler gHaltHandler = nullptr;

}  // namespace

HostLocals hostLocalsSave()
{
    return HostLocals{tlsHostDepth, tlsRouteNew, tlsNetError, tlsNetSession};
}

void hostLocalsRestore(const HostLocals& l)
{
    tlsHostDepth = l.hostDepth;
    tlsRouteNew = l.routeNew;
    tlsNetError = l.netError;
    tlsNetSession = l.netSession;
}

void hostKernelReset(HostClockMode mode, uint32_t tickOffset)
{
    HostScope host;
    Kernel* old = K;
    {
        Lock lk(old->m);
        if (old->running && !old->frozen) {
            if (tlsSelf != nullptr) {
                std::fprintf(stderr, "host kernel: reset from inside the run\n");
                std::abort();
            }
            // A run still going on elsewhere: stopped first, so that no
            // context of it runs while its stack goes.
            old->stopReq = true;
            wakeCpuLocked();
            while (!old->frozen) {
                lk.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                lk.lock();
            }
        }
        for (KernelTask* t : old->tasks) {
            deleteTask(t);
        }
        old->tasks.clear();
        old->current = nullptr;
        old->idle = nullptr;
        for (KernelHwi*& h : old->hwis) {
            delete h;
            h = nullptr;
        }
        for (HostAlarm& a : old->alarms) {
            a.set = false;
        }
        old->alarmDue = UINT64_MAX;
        old->stopReq = true;
    }
    // The record itself stays: a host I/O thread may still be about to raise
    // a line on it.
    auto* k = new Kernel;
    k->mode = mode;
    k->offset = tickOffset;
    k->start = SteadyClock::now();
    k->cpuThread = std::this_thread::get_id();
    K = k;
}

uint64_t hostKernelRun(uint64_t ticks)
{
    portAdoptThread();
    Lock lk(K->m);
    K->cpuThread = std::this_thread::get_id();
    if (::pthread_getcpuclockid(::pthread_self(), &K->cpuThreadClock) != 0) {
        K->cpuThreadClock = CLOCK_MONOTONIC;  // then a preempted CPU counts as busy
    }
    if (K->mode == HostClockMode::Real) {
        clockBump(std::min(wallTicks(), K->dueHint.load()));
    }
    const uint64_t startTicks = K->ticks.load();
    K->runUntil.store(ticks == UINT64_MAX ? UINT64_MAX : startTicks + ticks);
    ensureIdleLocked();
    K->running = true;
    K->stopReq = false;
    K->frozen = false;
    if (!K->halted) {
        // Goes on where an earlier run stopped.
        KernelTask* next = K->current != nullptr ? K->current : pickNextLocked();
        hostRunLocked(lk, next);
    }
    if (K->halted) {
        haltedServiceLocked(lk);
    }
    K->frozen = true;
    K->runUntil.store(UINT64_MAX);
    return K->ticks.load() - startTicks;
}

void hostKernelStop()
{
    Lock lk(K->m);
    K->stopReq = true;
    K->cpuCv.notify_all();
}

bool hostKernelRunning()
{
    Lock lk(K->m);
    return K->running && !K->frozen;
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
        if (t->started || t == K->current || t == K->idle) {
            return;  // a task that ran may still be referred to
        }
        K->tasks.pop_back();
        deleteTask(t);
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

// Configuration, start and halt

void ti_sysbios_knl_Idle_add(IdleFxn fxn)
{
    Lock lk(K->m);
    if (K->numIdleHooks == MAX_IDLE_HOOKS) {
        std::fprintf(stderr, "host kernel: more than %u idle functions\n", MAX_IDLE_HOOKS);
        std::abort();
    }
    K->idleHooks[K->numIdleHooks++] = fxn;
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
        wakeCpuLocked();
    }
    if (handler != nullptr) {
        handler(code);
    } else {
        std::fflush(stdout);
        _exit(hostExitStatusForFatal(code));
    }
    // Frozen: no firmware context runs again; the clock and the alarms go on
    // (the watchdog counts) until a reset.
    Lock lk(K->m);
    if (tlsSelf != nullptr && K->running && K->current == tlsSelf) {
        freezeLocked(lk, true);
    }
    // The start-up context: this thread serves the clock from now on.
    haltedServiceLocked(lk);
    for (;;) {
        K->cpuCv.wait(lk);
    }
}
