// The SoC modules the firmware programs through direct register access
// (hwreg.h): the watchdog timer, the real-time clock and the control module.
// Their base addresses and clocks stand here once; drivers, models and tests
// read them from here.
#pragma once

#include <cstdint>

constexpr uint32_t SOC_WDT1_BASE = 0x44E35000u;
// The watchdog counts on the 32 kHz oscillator clock.
constexpr uint32_t SOC_WDT_CLOCK_HZ = 32768;
constexpr uint32_t SOC_RTC_BASE = 0x44E3E000u;
constexpr uint32_t SOC_CTRL_BASE = 0x44E10000u;
