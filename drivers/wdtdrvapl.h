// Watchdog driver: programs the SoC watchdog timer's registers directly.
// Init runs once at start-up before the kernel; Restart runs in the main task
// once a second and once more in the fatal handler with interrupts disabled,
// so it uses no kernel service. No tasks, no kernel objects; the reload
// value (WLDR) is left at its hardware reset value and sets the time-out
// after each restart.
#pragma once

#include <cstdint>

#include "soc_sys.h"

constexpr uint32_t WDT_BASE_ADDR = SOC_WDT1_BASE;

// Register offsets from WDT_BASE_ADDR.
constexpr uint32_t WDT_WDSC = 0x10;  // system control
constexpr uint32_t WDT_WDST = 0x14;  // status
constexpr uint32_t WDT_WCLR = 0x24;  // control: prescaler
constexpr uint32_t WDT_WCRR = 0x28;  // counter
constexpr uint32_t WDT_WLDR = 0x2C;  // load
constexpr uint32_t WDT_WTGR = 0x30;  // trigger
constexpr uint32_t WDT_WWPS = 0x34;  // write-posting status
constexpr uint32_t WDT_WSPR = 0x48;  // start/stop

// Register bits.
constexpr uint32_t WDT_WDSC_SOFTRESET = 0x02;
constexpr uint32_t WDT_WDSC_EMUFREE = 0x20;
constexpr uint32_t WDT_WDST_RESETDONE = 0x01;
constexpr uint32_t WDT_WCLR_PRE = 0x20;
constexpr uint32_t WDT_WCLR_PTV_MASK = 0x1C;
constexpr uint32_t WDT_WCLR_PTV_SHIFT = 2;

// Bits of the write-posting status register.
enum WDT_WRITE_POST_E : uint8_t {
    WDT_WRITE_POST_WCLR = 0x01,
    WDT_WRITE_POST_WCRR = 0x02,
    WDT_WRITE_POST_WLDR = 0x04,
    WDT_WRITE_POST_WTGR = 0x08,
    WDT_WRITE_POST_WSPR = 0x10,
    WDT_WRITE_POST_WDLY = 0x20,
};

// Prescaler value v divides the watchdog clock by 2^v.
enum WDT_PRESCALER_CLK_DIV_E : uint8_t {
    WDT_PRESCALER_CLK_DIV_1 = 0,
    WDT_PRESCALER_CLK_DIV_2 = 1,
    WDT_PRESCALER_CLK_DIV_4 = 2,
    WDT_PRESCALER_CLK_DIV_8 = 3,
    WDT_PRESCALER_CLK_DIV_16 = 4,
    WDT_PRESCALER_CLK_DIV_32 = 5,
    WDT_PRESCALER_CLK_DIV_64 = 6,
    WDT_PRESCALER_CLK_DIV_128 = 7,
    WDT_PRESCALER_CLK_DIV_MIN = 0,
    WDT_PRESCALER_CLK_DIV_MAX = 7,
};

constexpr uint32_t WDT_DISABLE_SEQ1 = 0xAAAA;
constexpr uint32_t WDT_DISABLE_SEQ2 = 0x5555;
constexpr uint32_t WDT_ENABLE_SEQ1 = 0xBBBB;
constexpr uint32_t WDT_ENABLE_SEQ2 = 0x4444;
// Counter start after Init: 0x20000 clock periods before expiry.
constexpr uint32_t INITIAL_COUNT_VALUE = 0xFFFE0000u;
constexpr uint32_t RELOAD_COUNT_VALUE = 0xFFFF8000u;

class WtdDrv {
public:
    // Soft reset, stop, prescaler 1, counter, trigger, start. Before the kernel.
    static void Init();
    // Reloads the counter from WLDR by writing a new trigger value.
    static void Restart();

    // Building blocks; each waits for its register's write-posting bit first.
    static void Reset();
    static void Disable();
    static void Enable();
    static void PrescalerClkEnable(uint32_t divider);
    static void SetCounter(uint32_t value);
    static void TriggerReload(uint32_t value);
    // Stops the counter while a debugger halts the processor; not used by the system.
    static void EmuModeEnable();

private:
    static void WaitPosted(uint32_t postBit);
    static uint32_t mTriggerValue;  // last value written by Restart
};
