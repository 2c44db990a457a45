// One way to make a task, and the tick arithmetic of every periodic task:
// periods and time-outs are written in microseconds, converted to ticks once,
// and tick marks are compared by unsigned difference so the counter's wrap
// is harmless. Task creation runs at start-up or configuration time, from
// main() or a task; the tick helpers from any task.
#pragma once

#include <cstdint>

#include "exmapl.h"
#include "kernel.h"

// A task as its creator states it; every other parameter keeps the
// kernel's default.
struct TASK_CONFIG_T {
    const char* name;    // instance name, shown on the diagnostics pages
    int priority;        // a higher number runs first
    uint32_t stackSize;  // bytes; 0 keeps the kernel's default
    TaskFxn entry;       // runs until it returns, which none of ours does
    UArg arg0;           // by convention the owning object
    UArg arg1;
};

// Creates the task; a refusal of the kernel is fatal (EC_ERROR_TASK_CREATION)
// at `where`, the caller's EXM_HERE.
void taskCreate(const TASK_CONFIG_T& config, const EXM_WHERE_T& where);
// Creates the task, or returns null when the kernel refuses, for a caller
// that hands the result on (the Ethernet driver's task hook).
ti_sysbios_knl_Task_Handle taskCreateOrNull(const TASK_CONFIG_T& config);

// Tick-mark time-out: expired when strictly more than `ticks` have passed
// since `mark`, in unsigned 32-bit arithmetic so that the wrap is harmless.
inline bool ticksExpired(uint32_t mark, uint32_t ticks)
{
    return static_cast<uint32_t>(ti_sysbios_knl_Clock_getTicks() - mark) > ticks;
}

// Converts a time in microseconds to kernel ticks.
constexpr uint32_t usToTicks(uint32_t us) { return us / ti_sysbios_knl_Clock_tickPeriod; }
