// Watchdog driver: register sequences of the SoC watchdog timer. Init before
// the kernel, Restart from the main task and the fatal handler; see
// wdtdrvapl.h. Every wait spins on a hardware bit without a time limit.
#include "wdtdrvapl.h"

#include "hwreg.h"

// Kept by convention although no check here is fatal yet.
[[maybe_unused]] static const char _MODULE_[] = "wdtdrvapl.cpp";

static inline uint32_t wdtRead(uint32_t offset) { return regRead32(WDT_BASE_ADDR + offset); }

static inline void wdtWrite(uint32_t offset, uint32_t value)
{
    regWrite32(WDT_BASE_ADDR + offset, value);
}

uint32_t WtdDrv::mTriggerValue = 0;

void WtdDrv::Init()
{
    mTriggerValue = 0;
    Reset();
    Disable();
    PrescalerClkEnable(WDT_PRESCALER_CLK_DIV_1);
    SetCounter(INITIAL_COUNT_VALUE);
    TriggerReload(RELOAD_COUNT_VALUE);
    Enable();
}

void WtdDrv::Restart()
{
    // A value different from the previous write is what makes the timer reload.
    mTriggerValue = mTriggerValue + 1;
    WaitPosted(WDT_WRITE_POST_WTGR);
    wdtWrite(WDT_WTGR, mTriggerValue);
}

void WtdDrv::Reset()
{
    wdtWrite(WDT_WDSC, wdtRead(WDT_WDSC) | WDT_WDSC_SOFTRESET);
    while ((wdtRead(WDT_WDST) & WDT_WDST_RESETDONE) == 0) {}
}

void WtdDrv::Disable()
{
    WaitPosted(WDT_WRITE_POST_WSPR);
    wdtWrite(WDT_WSPR, WDT_DISABLE_SEQ1);
    WaitPosted(WDT_WRITE_POST_WSPR);
    wdtWrite(WDT_WSPR, WDT_DISABLE_SEQ2);
}

void WtdDrv::Enable()
{
    WaitPosted(WDT_WRITE_POST_WSPR);
    wdtWrite(WDT_WSPR, WDT_ENABLE_SEQ1);
    WaitPosted(WDT_WRITE_POST_WSPR);
    wdtWrite(WDT_WSPR, WDT_ENABLE_SEQ2);
}

void WtdDrv::PrescalerClkEnable(uint32_t divider)
{
    WaitPosted(WDT_WRITE_POST_WCLR);
    wdtWrite(WDT_WCLR, wdtRead(WDT_WCLR) | WDT_WCLR_PRE);
    WaitPosted(WDT_WRITE_POST_WCLR);
    const uint32_t ptv = (divider << WDT_WCLR_PTV_SHIFT) & WDT_WCLR_PTV_MASK;
    wdtWrite(WDT_WCLR, (wdtRead(WDT_WCLR) & ~WDT_WCLR_PTV_MASK) | ptv);
}

void WtdDrv::SetCounter(uint32_t value)
{
    WaitPosted(WDT_WRITE_POST_WCRR);
    wdtWrite(WDT_WCRR, value);
}

void WtdDrv::TriggerReload(uint32_t value)
{
    WaitPosted(WDT_WRITE_POST_WTGR);
    wdtWrite(WDT_WTGR, value);
}

void WtdDrv::EmuModeEnable() { wdtWrite(WDT_WDSC, wdtRead(WDT_WDSC) & ~WDT_WDSC_EMUFREE); }

void WtdDrv::WaitPosted(uint32_t postBit)
{
    while ((wdtRead(WDT_WWPS) & postBit) != 0) {}
}
