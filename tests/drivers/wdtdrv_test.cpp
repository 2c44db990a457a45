// Watchdog driver against the watchdog register model on the manual kernel
// clock: the register sequence of Init, the posting waits, the trigger values
// of Restart and the time-outs that result at the 32768 Hz watchdog clock.
#include <gtest/gtest.h>

#include <vector>

#include "fwtest.h"
#include "hostwdt.h"
#include "soc_sys.h"
#include "wdtdrvapl.h"

namespace {

constexpr uint32_t MS_PER_S = 1000;
using Writes = std::vector<std::pair<uint32_t, uint32_t>>;  // register offset, value

class WdtTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        hostWdtReset();
    }

    static Writes Written()
    {
        std::vector<HostWdtWrite> w(256);
        w.resize(hostWdtWrites(w.data(), w.size()));
        Writes out;
        for (const HostWdtWrite& x : w) out.emplace_back(x.offset, x.value);
        return out;
    }

    // Milliseconds of the manual clock for `periods` watchdog clock periods.
    static uint32_t MsFor(uint64_t periods)
    {
        return static_cast<uint32_t>(periods * MS_PER_S / SOC_WDT_CLOCK_HZ);
    }
};

TEST_F(WdtTest, InitWritesTheRegistersInOrderAwaitsEveryPostedWriteAndThePrescalerSlows)
{
    WtdDrv::Init();
    const Writes expected = {
        {WDT_WDSC, WDT_WDSC_SOFTRESET},
        {WDT_WSPR, 0xAAAA},
        {WDT_WSPR, 0x5555},
        {WDT_WCLR, 0x20},  // prescaler on (reset value 0x20 already has it)
        {WDT_WCLR, 0x20},  // divider 0 in bits 4-2
        {WDT_WCRR, 0xFFFE0000u},
        {WDT_WTGR, 0xFFFF8000u},
        {WDT_WSPR, 0xBBBB},
        {WDT_WSPR, 0x4444},
    };
    EXPECT_EQ(expected, Written());
    EXPECT_EQ(INITIAL_COUNT_VALUE, hostWdtCounter());

    WtdDrv::Disable();
    WtdDrv::PrescalerClkEnable(WDT_PRESCALER_CLK_DIV_4);
    WtdDrv::SetCounter(INITIAL_COUNT_VALUE);
    WtdDrv::Enable();
    EXPECT_EQ(0x20000u * 4, hostWdtPeriodsToExpiry());
    EXPECT_EQ(0u, hostWdtPostingViolations());
}

TEST_F(WdtTest, OnlyANewTriggerValueReloadsAndThatFromTheLoadRegister)
{
    WtdDrv::Init();
    hostClockAdvance(3000);
    // The trigger register still holds Init's value: writing it again is no trigger.
    const uint64_t before = hostWdtPeriodsToExpiry();
    WtdDrv::TriggerReload(RELOAD_COUNT_VALUE);
    EXPECT_EQ(before, hostWdtPeriodsToExpiry());
    WtdDrv::Restart();
    WtdDrv::Restart();
    const Writes w = Written();
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ((Writes{{WDT_WTGR, 1}, {WDT_WTGR, 2}}), Writes(w.end() - 2, w.end()));
    EXPECT_EQ(0u, hostWdtPostingViolations());

    // The reload value of the load register: about 9.5 s.
    const uint64_t periods = 0x100000000ull - HOST_WDT_WLDR_RESET;
    EXPECT_EQ(periods, hostWdtPeriodsToExpiry());
    hostClockAdvance(MsFor(periods) - 1);
    EXPECT_FALSE(hostWdtExpired());
    // The main task's one-second restart keeps it from expiring for ever.
    for (int i = 0; i < 30; ++i) {
        WtdDrv::Restart();
        hostClockAdvance(MS_PER_S);
        EXPECT_FALSE(hostWdtExpired());
    }
    hostClockAdvance(MsFor(periods) + 1);
    EXPECT_TRUE(hostWdtExpired());
}

}  // namespace
