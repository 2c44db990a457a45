// CPU load arithmetic on the manual clock, whose timestamp counter moves by
// frequency/1000 cycles per tick: windows, minimum idle turns, both formulas.
#include <gtest/gtest.h>

#include "cpuloadapl.h"
#include "fwtest.h"

namespace {

class CpuLoadTest : public FirmwareTest {
protected:
    void Start(uint32_t hz)
    {
        hostTimestampSetFreq(hz);
        CpuLoad::Init();
    }
    // One idle turn `ticks` after the previous one.
    static void Turn(uint32_t ticks)
    {
        hostClockAdvance(ticks);
        cpuloadIdleFunc();
    }
};

TEST_F(CpuLoadTest, BothFormulasGiveTheLoadOfAQuarterIdleWindow)
{
    // 6e8 cycles a window is above 2^24 and takes the scaled formula, 1e7 the
    // plain one. 250 short idle turns of one tick and one busy stretch of 750
    // ticks: idle 251 of 1000 ticks, busy 74.9 %.
    for (uint32_t hz : {600000000u, 10000000u}) {
        SCOPED_TRACE(hz);
        Start(hz);
        for (int i = 0; i < 250; ++i) Turn(1);
        hostClockAdvance(749);
        EXPECT_EQ(0u, CpuLoad::GetLoad()) << "window still open";
        Turn(1);
        EXPECT_EQ(75u, CpuLoad::GetLoad());
    }
}

TEST_F(CpuLoadTest, BusyStretchesLongerThanAWindowKeepTheLastLoadThenClose)
{
    Start(600000000u);
    for (int i = 0; i < 1000; ++i) Turn(1);
    EXPECT_EQ(0u, CpuLoad::GetLoad());
    Turn(1);
    hostClockAdvance(3000);  // the idle loop does not run: nothing changes
    EXPECT_EQ(0u, CpuLoad::GetLoad());
    cpuloadIdleFunc();
    // 2 turns, idle 2 ticks of 3001: 99.93 % busy.
    EXPECT_EQ(100u, CpuLoad::GetLoad());

    for (int i = 0; i < 599; ++i) Turn(1);
    // 7 s busy: 4.2e9 cycles on top of 3.6e8 passes 2^32; saturated, the
    // window closes on a busy CPU (idle 600 of 7158 ms of the saturated sum).
    Turn(7000);
    EXPECT_EQ(92u, CpuLoad::GetLoad());
}

TEST_F(CpuLoadTest, LoadIsZeroUntilTheFirstWindowClosesAndZeroIntervalsAreNeverTheMinimum)
{
    Start(10000000u);
    Turn(500);
    Turn(499);
    EXPECT_EQ(0u, CpuLoad::GetLoad());
    Turn(1);
    // 3 turns, minimum 1 tick: idle 3 of 1000 ticks.
    EXPECT_EQ(100u, CpuLoad::GetLoad());

    for (int i = 0; i < 1000; ++i) {
        Turn(1);
        Turn(0);  // two hook runs within one counter step
    }
    // 1999 turns of at least one tick each counted: idle is the whole window.
    EXPECT_EQ(0u, CpuLoad::GetLoad());
}

}  // namespace
