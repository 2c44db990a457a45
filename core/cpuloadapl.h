// CPU load meter: the busy share of the processor, in whole percent, over
// windows of at least one second. Calculate runs on every turn of the idle
// loop (cpuloadIdleFunc, the first idle hook); the shortest interval between
// two idle turns is taken as the cost of one empty turn. GetLoad is read by
// the console task without a lock (one 32-bit word).
#pragma once

#include <cstdint>

class CpuLoad {
public:
    static constexpr uint32_t BENCHMARK_WINDOW_IN_MS = 1000;
    static constexpr uint32_t MIN_IDLE_CYCLES = 0;

    // Starts the first window. Once, before the scheduler starts.
    static void Init();
    // Load of the last completed window, 0..100; 0 before the first one.
    static uint32_t GetLoad();
    // One measurement step; idle task only. A timestamp frequency that does
    // not fit 32 bits is fatal (invalid argument).
    static void Calculate();
};

// Idle hook that runs CpuLoad::Calculate.
void cpuloadIdleFunc();
