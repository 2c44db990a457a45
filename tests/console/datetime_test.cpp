// Date and time: duration breakdowns at their edges, the calendar conversions
// against an independent day count over 1900-2105, and the RTC through its
// register model (unlock, 24-hour mode, counting on the kernel clock).

#include <tuple>

#include "datetimeapl.h"
#include "fwtest.h"
#include "hostrtc.h"
#include "hwreg.h"
#include "soc_rtc.h"

namespace {

// The record as a tuple: compared and printed by the test macros.
auto fields(const DATE_TIME_T& t)
{
    return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

uint32_t daysIn(uint32_t year, uint32_t month)
{
    static const uint32_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
    return days[month - 1] + (month == 2 && leap ? 1 : 0);
}

TEST(DateTimeTest, DurationBreakdownsAndCalendarConversionsInverseOnEveryDay)
{
    struct Case {
        uint32_t seconds;
        DATE_TIME_T years;  // ToYearsCount
        DATE_TIME_T days;   // ToDaysCount, year and month left at 77 and 88
    };
    const Case cases[] = {
        {0, {0, 0, 0, 0, 0, 0}, {77, 88, 0, 0, 0, 0}},
        {31535999, {0, 11, 30, 23, 59, 59}, {77, 88, 364, 23, 59, 59}},
        {31536000, {1, 0, 0, 0, 0, 0}, {77, 88, 365, 0, 0, 0}},
        {4294967295u, {136, 2, 11, 6, 28, 15}, {77, 88, 49710, 6, 28, 15}},
        {90061, {0, 0, 1, 1, 1, 1}, {77, 88, 1, 1, 1, 1}},
        {35 * 86400, {0, 1, 4, 0, 0, 0}, {77, 88, 35, 0, 0, 0}},
        {31 * 86400, {0, 1, 0, 0, 0, 0}, {77, 88, 31, 0, 0, 0}},  // January complete
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        DATE_TIME_T t = {9, 9, 9, 9, 9, 9};
        DateTime::ToYearsCount(c.seconds, t);
        EXPECT_EQ(fields(c.years), fields(t));
        t = {77, 88, 9, 9, 9, 9};
        DateTime::ToDaysCount(c.seconds, t);
        EXPECT_EQ(fields(c.days), fields(t));
    }

    // Calendar conversions: inverse on every day, the rest refused.
    uint64_t dayCount = 0;
    uint32_t accepted = 0;
    for (uint32_t year = 1900; year <= 2105; ++year) {
        for (uint32_t month = 1; month <= 12; ++month) {
            for (uint32_t day = 1; day <= daysIn(year, month); ++day, ++dayCount) {
                for (uint32_t sec : {0u, 86399u}) {  // second of the day
                    const DATE_TIME_T t = {year, month, day, sec / 3600, sec / 60 % 60, sec % 60};
                    const uint64_t expected = dayCount * 86400 + sec;
                    uint32_t seconds = 7;
                    const ERROR_CODES_E r = DateTime::ToTimestamp(t, seconds);
                    if (expected > 0xFFFFFFFFu) {
                        ASSERT_EQ(EC_FAIL, r) << testing::PrintToString(fields(t));
                        ASSERT_EQ(7u, seconds);
                        continue;
                    }
                    ASSERT_EQ(EC_SUCCESS, r) << testing::PrintToString(fields(t));
                    ASSERT_EQ(expected, seconds) << testing::PrintToString(fields(t));
                    DATE_TIME_T back = {};
                    DateTime::ToDateTime(seconds, back);
                    ASSERT_EQ(fields(t), fields(back));
                    ++accepted;
                }
            }
        }
    }
    // Both times of each day up to 2036-02-06, and midnight of 2036-02-07.
    EXPECT_EQ(2u * 49710 + 1, accepted);

    uint32_t seconds = 0;
    EXPECT_EQ(EC_SUCCESS, DateTime::ToTimestamp({2036, 2, 7, 6, 28, 15}, seconds));
    EXPECT_EQ(4294967295u, seconds);
    EXPECT_EQ(EC_FAIL, DateTime::ToTimestamp({2036, 2, 7, 6, 28, 16}, seconds));
    const DATE_TIME_T refused[] = {
        {1900, 2, 29, 0, 0, 0}, {2100, 2, 29, 0, 0, 0},  {2000, 2, 30, 0, 0, 0},
        {1999, 4, 31, 0, 0, 0}, {1999, 0, 1, 0, 0, 0},   {1999, 13, 1, 0, 0, 0},
        {1999, 1, 0, 0, 0, 0},  {1999, 1, 1, 24, 0, 0},  {1999, 1, 1, 0, 60, 0},
        {1999, 1, 1, 0, 0, 60}, {1899, 12, 31, 0, 0, 0}, {4294967295u, 1, 1, 0, 0, 0},
    };
    for (const DATE_TIME_T& t : refused) {
        EXPECT_EQ(EC_FAIL, DateTime::ToTimestamp(t, seconds)) << testing::PrintToString(fields(t));
    }
}

class RtcTest : public FirmwareTest {};

TEST_F(RtcTest, SetKeeps24HourModeAtHour23AndTheClockRuns)
{
    hostRtcCtrlReset();
    DateTime::InitRtc();
    EXPECT_TRUE(hostRtcRunning());
    // Left in 12-hour mode by someone else: hour 23 must not become 11.
    regWrite32(RTC_SS_REGS + RTC_CTRL_REG,
               regRead32(RTC_SS_REGS + RTC_CTRL_REG) | RTC_CTRL_MODE_12H);

    const DATE_TIME_T set = {24, 2, 29, 23, 59, 58};
    ASSERT_EQ(EC_SUCCESS, DateTime::SetRtc(set));
    EXPECT_EQ(0u, regRead32(RTC_SS_REGS + RTC_CTRL_REG) & RTC_CTRL_MODE_12H);
    const auto rtc = [] {
        DATE_TIME_T got = {};
        DateTime::GetRtc(got);
        return fields(got);
    };
    EXPECT_EQ(fields(set), rtc());
    EXPECT_EQ(23u, hostRtcNow().hour);
    EXPECT_EQ(29u, hostRtcNow().day);

    hostClockAdvance(1000);
    EXPECT_EQ(fields({24, 2, 29, 23, 59, 59}), rtc());
    hostClockAdvance(1000);
    EXPECT_EQ(fields({24, 3, 1, 0, 0, 0}), rtc());

    // Out of a register's range, or a day the month does not have.
    const DATE_TIME_T refused[] = {{100, 1, 1, 0, 0, 0}, {24, 1, 1, 24, 0, 0},
                                   {23, 2, 30, 0, 0, 0}, {23, 4, 31, 0, 0, 0},
                                   {23, 2, 29, 0, 0, 0}, {24, 1, 32, 0, 0, 0}};
    for (const DATE_TIME_T& t : refused) {
        EXPECT_EQ(EC_FAIL, DateTime::SetRtc(t)) << testing::PrintToString(fields(t));
    }
    EXPECT_EQ(fields({24, 3, 1, 0, 0, 0}), rtc());
    EXPECT_EQ(0u, hostRtcLockedWrites());
}

}  // namespace
