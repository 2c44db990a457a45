// SoC real-time clock: register block, offsets and bits the firmware
// programs directly. Time and date registers hold two-digit BCD values;
// writes other than to the kick registers are taken only after the two-step
// unlock. The block keeps counting across a board reset.
#pragma once

#include <cstdint>

constexpr uint32_t RTC_SS_REGS = 0x44E3E000u;

// Register offsets from RTC_SS_REGS.
constexpr uint32_t RTC_SECONDS_REG = 0x00;
constexpr uint32_t RTC_MINUTES_REG = 0x04;
constexpr uint32_t RTC_HOURS_REG = 0x08;
constexpr uint32_t RTC_DAYS_REG = 0x0C;
constexpr uint32_t RTC_MONTHS_REG = 0x10;
constexpr uint32_t RTC_YEARS_REG = 0x14;
constexpr uint32_t RTC_WEEKS_REG = 0x18;
constexpr uint32_t RTC_CTRL_REG = 0x40;
constexpr uint32_t RTC_STATUS_REG = 0x44;
constexpr uint32_t RTC_OSC_REG = 0x54;
constexpr uint32_t RTC_KICK0_REG = 0x6C;
constexpr uint32_t RTC_KICK1_REG = 0x70;

// Unlock values of the kick registers (write protection off).
constexpr uint32_t RTC_KICK0_UNLOCK = 0x83E70B13u;
constexpr uint32_t RTC_KICK1_UNLOCK = 0x95A4F1E0u;
constexpr uint32_t RTC_KICK_LOCK = 0;

// Control register bits.
constexpr uint32_t RTC_CTRL_RUN = 0x01;       // the clock counts
constexpr uint32_t RTC_CTRL_MODE_12H = 0x08;  // hours in 12-hour mode with a PM bit
constexpr uint32_t RTC_CTRL_DISABLE = 0x40;   // module gated off
// Status register: a register update is in progress, do not write now.
constexpr uint32_t RTC_STATUS_BUSY = 0x01;
// Oscillator register: count from the external 32 kHz crystal.
constexpr uint32_t RTC_OSC_SEL_EXTERNAL = 0x08;
constexpr uint32_t RTC_OSC_EN_32K = 0x40;

// Field masks of the time and date registers (BCD digits).
constexpr uint32_t RTC_SECONDS_MASK = 0x7F;
constexpr uint32_t RTC_MINUTES_MASK = 0x7F;
constexpr uint32_t RTC_HOURS_MASK = 0x3F;
constexpr uint32_t RTC_DAYS_MASK = 0x3F;
constexpr uint32_t RTC_MONTHS_MASK = 0x1F;
constexpr uint32_t RTC_YEARS_MASK = 0xFF;
