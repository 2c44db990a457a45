// Child processes of the benchmark driver (the relays, the runner, the
// driver itself in a firmware mode) and the CPU time the kernel charged to
// them. Everything here is host code: plain POSIX, no firmware.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// Starts args[0] (searched in PATH when it has no slash) with its standard
// input on /dev/null and its standard output and error appended to logPath.
// Returns the child's id, or -1 when it could not be started.
pid_t startProcess(const std::vector<std::string>& args, const std::string& logPath);

// SIGTERM, then SIGKILL when the child has not gone after graceMs; reaps it.
// Returns the exit status, or -1 when it was ended by a signal.
int stopProcess(pid_t pid, int graceMs);

// Waits up to timeoutMs for the child to end; true with its status when it did.
bool waitProcess(pid_t pid, int timeoutMs, int& status);

// Nanoseconds on the CPU of every thread of the process so far, from the
// per-thread scheduler statistics (finer than the tick-based utime/stime).
uint64_t processCpuNs(pid_t pid);

// A program found on PATH (or the path as given when it contains a slash);
// empty when there is none.
std::string findProgram(const std::string& name);

// Monotonic time in nanoseconds.
uint64_t nowNs();
