// Host-only control of the simulated CPU and kernel, for the runner, the
// peripheral models and the tests. Never included by firmware code.
//
// Threading model: the board has one core, so exactly one firmware context
// runs at a time. Every task is a host thread, but only the holder of the
// CPU token runs firmware code; the others wait on their own semaphore, on
// any host core or all on one (hostKernelPinCpu). The token moves
// only at safe points (kernel calls, blocking, the end of an interrupt or
// scheduler lock), to the highest-priority ready task,
// first come first served among equals. A task of higher priority takes it
// in the kernel call that makes it ready; tasks of equal priority take turns
// only when one blocks. Interrupt handlers run on the token holder's thread
// at those points, ahead of any task switch, unless interrupts are disabled.
// Host I/O threads (peripheral models, sockets, PTYs) never run firmware
// code: they only raise interrupt lines with hostIrqRaise. Before
// hostKernelRun the calling thread is the one firmware context (start-up).
// Time is a 64-bit count of elapsed ticks; the firmware sees its low 32 bits
// plus the tick offset.
//
// Modes of time:
//  - manual: the clock moves only through hostClockSet/hostClockAdvance.
//    Before the scheduler runs, the caller is the one firmware context:
//    Task_sleep and timed pends advance the manual clock instead of waiting.
//  - virtual: when every task is blocked and nothing is pending, the clock
//    jumps to the next deadline; runs are repeatable.
//  - real: one tick is one millisecond of CLOCK_MONOTONIC.
#pragma once

#include <cstdint>

#include "kernel.h"

enum class HostClockMode : uint8_t { Manual, Virtual, Real };

// Forgets every task, semaphore, mailbox and interrupt of an earlier run and
// starts afresh with the given clock mode and 32-bit tick offset. Threads of
// an earlier run stay parked for good.
void hostKernelReset(HostClockMode mode, uint32_t tickOffset = 0);

// Starts the scheduler on the created tasks and returns once the tick counter
// has moved `ticks` past its value at the call, or hostKernelStop was called,
// or the firmware halted. The firmware stays frozen afterwards (inspectable).
// Returns the number of ticks that passed.
uint64_t hostKernelRun(uint64_t ticks);
// Asks a running scheduler to stop at the next safe point (thread safe).
void hostKernelStop();
bool hostKernelRunning();
// Runs the threads of tasks started from now on host core `cpu` (-1: any
// core). Only one of them runs at a time, and a hand-over then wakes a
// thread on the same core instead of another one, which on a virtual
// machine is most of what the board costs at rest. The price: on a busy
// host the firmware cannot move to a core that is free.
void hostKernelPinCpu(int cpu);
// Runs the threads of tasks started from now under the host's real-time
// policy (SCHED_FIFO) at `priority`, so that a busy host cannot hold the
// board's pollers past what its FIFOs hold (64 bytes of a UART: 5.5 ms at
// 115200 bit/s). False, and nothing changed, where the host refuses it.
bool hostKernelRealtime(int priority);

// Clock control (manual mode), and the elapsed 64-bit tick count.
void hostClockSet(uint32_t ticks);
void hostClockAdvance(uint32_t ticks);
uint64_t hostClockTicks64();
// Timestamp counter frequency in Hz (default 600 MHz).
void hostTimestampSetFreq(uint32_t hz);

// Raises interrupt line intNum (0 to 255, else a bus fault); its handler
// runs at the CPU's next safe point. Thread safe: the only kernel entry a
// host I/O thread may use.
void hostIrqRaise(uint32_t intNum);

// Peripheral model alarms: fn(ctx) runs on the simulated CPU's host thread, outside any firmware
// context, once the simulated clock has reached `tick` (elapsed ticks, as hostClockTicks64), before
// that tick's interrupts and task wake-ups are taken. Alarms keep firing after a halt (the watchdog
// keeps counting). One alarm per id; setting it again moves it. Thread safe. Virtual time jumps to
// an alarm like to any deadline; real time wakes for it. fn may call hostIrqRaise and hostAlarmSet.
constexpr uint32_t HOST_NUM_ALARMS = 16;
using HostAlarmFxn = void (*)(void* ctx);
void hostAlarmSet(uint32_t id, uint64_t tick, HostAlarmFxn fn, void* ctx);
void hostAlarmCancel(uint32_t id);

// Makes the next `count` task creations fail, as if the heap were short.
void hostTaskCreateFailNext(uint32_t count);
// Makes every creation of a task with this instance name fail (empty: none).
void hostTaskCreateFailName(const char* name);

// True on a thread that is a firmware task (or the start-up context).
bool hostInFirmwareContext();

// Routes operator new of the calling thread to the simulated heap while on.
void hostHeapRouteNew(bool on);
// Empties the simulated heap (tests only: every block is forgotten).
void hostHeapReset();
// Fuzzing: keeps a copy of the whole simulated heap, and puts it back, so
// that every block taken since the copy is free again (their owners must be
// forgotten as well).
void hostHeapSave();
void hostHeapRestore();

// Fuzzing: tasks created so far, and forgetting those created after the
// first `keep`, which must never have run (their storage is freed).
uint32_t hostKernelNumTasks();
void hostKernelForgetTasks(uint32_t keep);

// What a halted firmware does once nothing can run any more. The default
// exits the process with hostExitStatusForFatal(code).
using HostHaltHandler = void (*)(int32_t code);
void hostSetHaltHandler(HostHaltHandler handler);
constexpr int hostExitStatusForFatal(int32_t code) { return 64 + (code < 0 ? -code : code); }

// What the SoC answers with a bus fault: an access at an address no model
// decodes, a call on a UART, McSPI or GPIO unit that does not exist, an
// interrupt line out of range. Prints "zok2gw: bus fault: <what>" on standard
// error, runs the shutdown hooks and ends the run with this status, so that a
// wrong address in a driver's table cannot pass unnoticed.
constexpr int HOST_BUS_FAULT_EXIT_STATUS = 62;
[[noreturn]] void hostBusFault(const char* format, ...) __attribute__((format(printf, 1, 2)));
bool hostFirmwareHalted();
int32_t hostHaltCode();

// Runtime hooks installed by the firmware's kernel configuration.
const xdc_runtime_System_Hooks* hostSystemHooks();
