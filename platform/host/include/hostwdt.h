// Watchdog model: the SoC watchdog timer as a register model at its base
// (soc_sys.h), counting at the watchdog clock from the values the driver
// programs. Its load register resets to 0xFFFB3B00, so a restart gives about
// 9.5 s; the driver's Init value gives 4 s.
// The model counts on the simulated clock. In tests expiry is only reported
// (hostWdtExpired). In the runner an alarm at the expiry tick acts on it, also
// after a halt: the process starts itself afresh, or exits with a status that
// names the cause.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t HOST_WDT_WLDR_RESET = 0xFFFB3B00u;
// Exit status of the runner when the watchdog expired without a fatal error
// (a fatal error exits with hostExitStatusForFatal(code) instead).
constexpr int HOST_WDT_EXIT_STATUS = 63;

// Power-on state, mapped at its address: stopped, kernel clock, no watcher
// action, nothing logged (part of hostPeripheralsInstall).
void hostWdtReset();
// Current counter value (WCRR), and whether the counter is running.
uint32_t hostWdtCounter();
bool hostWdtRunning();
// True once the counter has passed 0xFFFFFFFF while running.
bool hostWdtExpired();
// Watchdog clock periods left before expiry; 0 when stopped or expired.
uint64_t hostWdtPeriodsToExpiry();

struct HostWdtWrite {
    uint32_t offset;  // register offset from the base
    uint32_t value;
};
// Register writes since the reset, oldest first; returns how many were copied.
size_t hostWdtWrites(HostWdtWrite* out, size_t max);
// Writes to a register whose previous write was still posted (not awaited).
uint32_t hostWdtPostingViolations();
// While on, trigger writes no longer reach the timer: the board behaves as if
// the main task had stopped restarting it. The runner turns it on at SIGUSR1.
// Returns the elapsed tick from which it holds.
uint64_t hostWdtIgnoreTriggers(bool on);

// Runner only: installs the halt handler (a halted firmware waits for the
// watchdog) and the action on expiry, which execs the process afresh or,
// with exitOnExpiry, exits with HOST_WDT_EXIT_STATUS or the fatal status. SIGUSR1 stops restarts
// from reaching the timer; SIGUSR2 makes the firmware abort (a fatal error).
void hostWdtStartWatcher(bool exitOnExpiry);
// Called before the process exits or execs: puts host resources back
// (terminal settings). Models register their clean-up here.
void hostAddShutdownHook(void (*hook)());
void hostRunShutdownHooks();
