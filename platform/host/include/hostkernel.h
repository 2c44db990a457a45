// Host-only control of the simulated CPU and kernel, for the runner, the
// peripheral models and the tests. Never included by firmware code.
//
// Threading model: the board has one core, and so does the simulation: one
// host thread, the caller of hostKernelRun, runs every firmware context (the
// start-up context before the run, every task, the idle loop). Each task is a
// user-level context on a stack of its own (mapped, ending in a guard page),
// and a switch between them is a few instructions, no system call
// (kernel_port.cpp). Contexts switch only at safe points (kernel calls,
// blocking, the end of an interrupt or scheduler lock), to the highest-priority
// ready task, first come first served among equals. A task of higher priority
// takes the CPU in the kernel call that makes it ready; tasks of equal
// priority take turns only when one blocks. Interrupt handlers run in the
// running context at those points, ahead of any task switch, unless
// interrupts are disabled. Host I/O threads (peripheral models, sockets,
// PTYs) never run firmware code: they only queue input, raise interrupt lines
// with hostIrqRaise and set alarms, which wake the CPU thread. When nothing is
// due the CPU thread sleeps until the next deadline (a timed wait, an alarm)
// or the next raise. hostKernelReset ends every context of the old run (their
// stacks are unmapped), so one process runs any number of runs.
//
// Time is the simulated clock: a 64-bit count of elapsed ticks, the one clock
// of the firmware and of every model; the firmware sees its low 32 bits plus
// the tick offset. At a safe point the clock first fires the alarms due, then
// ends the timed waits due, then interrupts are taken.
//
// Modes of time:
//  - manual: the clock moves only through hostClockSet/hostClockAdvance.
//    Before the scheduler runs, the caller is the one firmware context:
//    Task_sleep and timed pends advance the manual clock instead of waiting.
//  - virtual: when every task is blocked and nothing is pending, the clock
//    jumps to the next deadline or alarm; runs are repeatable.
//  - real: one tick is one millisecond of CLOCK_MONOTONIC, the clock follows
//    it to absolute deadlines but never runs ahead. When the host holds the
//    process the clock lags, then catches up tick by tick, each tick's due
//    work (alarms, time-outs, interrupts, the tasks they wake) run in order:
//    no tick is ever skipped. While a task holds the CPU the clock stands
//    (the firmware's work takes no simulated time), unless it holds it for
//    half a second of host time: a loop that polls the time. Input from the
//    host (host-link words, serial characters) arrives at the host clock's
//    tick, so what the host sent while the clock lagged keeps its spacing.
#pragma once

#include <cstdint>

#include "kernel.h"

enum class HostClockMode : uint8_t { Manual, Virtual, Real };

// Forgets every task, semaphore, mailbox, interrupt and alarm of an earlier
// run and starts afresh with the given clock mode and 32-bit tick offset.
// Every context of the earlier run ends (its stack is unmapped); the run
// must not be going on.
void hostKernelReset(HostClockMode mode, uint32_t tickOffset = 0);

// Starts the scheduler on the created tasks, the calling thread becoming the
// simulated CPU, and returns once the tick counter has moved `ticks` past its
// value at the call, or hostKernelStop was called, or the firmware halted
// and no alarm is left. The firmware stays frozen afterwards (inspectable);
// a later call goes on where it stopped. Returns the number of ticks that
// passed.
uint64_t hostKernelRun(uint64_t ticks);
// Asks a running scheduler to stop at the next safe point (thread safe).
void hostKernelStop();
bool hostKernelRunning();
// Real mode: says on standard error when the simulated clock lags the host's
// by more than a second, and once when it has caught up (the runner).
void hostKernelReportLag(bool on);
// Real mode: the largest lag of the simulated clock behind the host's seen
// so far, in ticks.
uint64_t hostClockMaxLag();
// Real mode: while nothing but the clock is waited for, the CPU thread
// wakes at every `ticks`-th tick only (1: every tick with due work) and runs
// the ticks it slept over in order, so the firmware sees the same ticks and
// the host sees that many times fewer wake-ups, with simulated time behind
// by at most `ticks - 1`. Input from the host (an interrupt line, a model's
// alarm) still wakes it at once. Survives a kernel reset.
void hostClockSetBatch(uint32_t ticks);
// How often the CPU thread went to sleep since the reset, for time or input.
uint64_t hostKernelSleeps();

// Clock control (manual mode), and the elapsed 64-bit tick count.
void hostClockSet(uint32_t ticks);
void hostClockAdvance(uint32_t ticks);
uint64_t hostClockTicks64();
// The tick where the clock stands, without moving it towards the host's:
// for a model's step that an interrupt handler takes per word, where the
// safe point around the handler has just served the clock.
uint64_t hostClockTicksHeld();
// The tick at which input that comes from the host now arrives: in real mode
// the host clock's (never behind the simulated clock), so that input taken
// while simulated time lags reaches the firmware with the spacing the host
// gave it, not in one burst once time has caught up; otherwise the simulated
// clock's.
uint64_t hostClockArrivalTick();
// Peripheral model alarms: fn(ctx) runs on the simulated CPU's host thread, outside any firmware
// context, once the simulated clock has reached `tick` (elapsed ticks, as hostClockTicks64), before
// that tick's interrupts and task wake-ups are taken. Alarms keep firing after a halt (the watchdog
// keeps counting). One alarm per id; setting it again moves it. Thread safe. Virtual time jumps to
// an alarm like to any deadline; real time wakes for it. fn may call hostIrqRaise and hostAlarmSet.
constexpr uint32_t HOST_NUM_ALARMS = 16;
using HostAlarmFxn = void (*)(void* ctx);
void hostAlarmSet(uint32_t id, uint64_t tick, HostAlarmFxn fn, void* ctx);
void hostAlarmCancel(uint32_t id);

// Timestamp counter frequency in Hz (default 600 MHz).
void hostTimestampSetFreq(uint32_t hz);

// Raises interrupt line intNum (0 to 255, else a bus fault); its handler
// runs at the CPU's next safe point. Thread safe: the only kernel entry a
// host I/O thread may use. Returns the elapsed tick at which the line went
// up: on virtual time the clock moves on no further before its handler runs.
uint64_t hostIrqRaise(uint32_t intNum);

// Makes the next `count` task creations fail, as if the heap were short.
void hostTaskCreateFailNext(uint32_t count);
// Makes every creation of a task with this instance name fail (empty: none).
void hostTaskCreateFailName(const char* name);

// True in a firmware context: a task, or the start-up context.
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
// A task that ran past the end of its stack stops the run with this status
// and "zok2gw: stack overflow in task <name>" on standard error.
constexpr int HOST_STACK_OVERFLOW_EXIT_STATUS = 61;
[[noreturn]] void hostBusFault(const char* format, ...) __attribute__((format(printf, 1, 2)));
bool hostFirmwareHalted();
int32_t hostHaltCode();

// Runtime hooks installed by the firmware's kernel configuration.
const xdc_runtime_System_Hooks* hostSystemHooks();
