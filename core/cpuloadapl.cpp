// CPU load meter, measured from the idle loop with the free-running timestamp
// counter. Calculate runs in the idle task; see cpuloadapl.h.
#include "cpuloadapl.h"

#include "exmapl.h"
#include "kernel.h"

static const char _MODULE_[] = "cpuloadapl.cpp";

static const uint32_t MS_PER_SECOND = 1000;
// Above 2^24 cycles the counts are scaled down by 128 so that x100 fits 32 bits.
static const uint32_t SCALED_FORMULA_LIMIT = 16777216u;
static const uint32_t SCALE_SHIFT = 7;
static const uint32_t PERCENT = 100;

static volatile uint32_t cpuLoad = 0;
static uint32_t cyclesCount = 0;
static uint32_t startCycle = 0;
static uint32_t minCyclesCount = 0xFFFFFFFFu;
static uint32_t runCount = 0;

void CpuLoad::Init()
{
    const uint32_t key = ti_sysbios_hal_Hwi_disable();
    cpuLoad = 0;
    cyclesCount = 0;
    startCycle = xdc_runtime_Timestamp_get32();
    minCyclesCount = 0xFFFFFFFFu;
    runCount = 0;
    ti_sysbios_hal_Hwi_restore(key);
}

uint32_t CpuLoad::GetLoad() { return cpuLoad; }

void CpuLoad::Calculate()
{
    const uint32_t now = xdc_runtime_Timestamp_get32();
    const uint32_t interval = now - startCycle;  // modulo 2^32: one wrap is harmless
    startCycle = now;
    if (interval > MIN_IDLE_CYCLES && interval < minCyclesCount) {
        minCyclesCount = interval;
    }
    runCount += 1;
    // Saturates: one busy stretch of some 6 s at 600 MHz would wrap the sum
    // and report an idle CPU just when it is busiest.
    cyclesCount = (interval > UINT32_MAX - cyclesCount) ? UINT32_MAX : cyclesCount + interval;

    // The platform's frequency call returns 32 bits; a wider counter would
    // break the window arithmetic below.
    const uint64_t freq = xdc_runtime_Timestamp_getFreq();
    if ((freq >> 32) != 0) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    const uint32_t windowCycles =
        (static_cast<uint32_t>(freq) / MS_PER_SECOND) * BENCHMARK_WINDOW_IN_MS;
    if (cyclesCount < windowCycles) {
        return;
    }

    const uint32_t key = ti_sysbios_hal_Hwi_disable();
    // In 64 bits: with the sum saturated the product may exceed 32 bits.
    const uint64_t idleCycles = static_cast<uint64_t>(minCyclesCount) * runCount;
    const uint32_t idle =
        idleCycles >= cyclesCount ? cyclesCount : static_cast<uint32_t>(idleCycles);
    if (cyclesCount > SCALED_FORMULA_LIMIT) {
        cpuLoad = ((((cyclesCount - idle) >> SCALE_SHIFT) * PERCENT) + (cyclesCount >> 8)) /
                  (cyclesCount >> SCALE_SHIFT);
    } else if (cyclesCount == 0) {
        cpuLoad = 0;
    } else {
        cpuLoad = PERCENT - ((idle * PERCENT + (cyclesCount >> 1)) / cyclesCount);
    }
    runCount = 0;
    cyclesCount = 0;
    ti_sysbios_hal_Hwi_restore(key);
}

void cpuloadIdleFunc() { CpuLoad::Calculate(); }
