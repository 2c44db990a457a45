// Date and time arithmetic and RTC access; see datetimeapl.h. The RTC is
// programmed through its registers directly: BCD fields, the kick unlock,
// and a wait for the busy flag before each write.
#include "datetimeapl.h"

#include "hwreg.h"
#include "kernel.h"
#include "soc_rtc.h"

namespace {

// Length of each month of a common year, January first. February gets its
// leap day only in the calendar conversions.
const uint32_t secondsPerMonth[DateTime::MONTHS_PER_YEAR] = {2678400, 2419200, 2678400, 2592000,
                                                             2678400, 2592000, 2678400, 2678400,
                                                             2592000, 2678400, 2592000, 2678400};

constexpr uint32_t FEBRUARY_INDEX = 1;
constexpr uint32_t HOURS_PER_DAY = 24;
constexpr uint32_t MAX_RTC_YEAR = 99;
// The RTC counts years within this century; its leap years are those of
// the century (2000 is one).
constexpr uint32_t RTC_CENTURY = 2000;
constexpr uint64_t MAX_TIMESTAMP = 0xFFFFFFFFu;
// Years past the epoch a 32-bit count of seconds can reach.
constexpr uint32_t MAX_YEARS_FROM_BASE = 137;
constexpr uint32_t BCD_BASE = 10;
constexpr uint32_t BCD_SHIFT = 4;
constexpr uint32_t BCD_DIGIT = 0x0F;

bool isLeapYear(uint32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

uint32_t secondsOfYear(uint32_t year)
{
    return DateTime::SECONDS_PER_365_YEAR + (isLeapYear(year) ? DateTime::SECONDS_PER_DAY : 0);
}

uint32_t secondsOfMonth(uint32_t monthIndex, uint32_t year)
{
    const bool leapDay = monthIndex == FEBRUARY_INDEX && isLeapYear(year);
    return secondsPerMonth[monthIndex] + (leapDay ? DateTime::SECONDS_PER_DAY : 0);
}

uint32_t toBcd(uint32_t value) { return ((value / BCD_BASE) << BCD_SHIFT) | (value % BCD_BASE); }

uint32_t fromBcd(uint32_t value)
{
    return ((value >> BCD_SHIFT) & BCD_DIGIT) * BCD_BASE + (value & BCD_DIGIT);
}

uint32_t rtcRead(uint32_t offset) { return regRead32(RTC_SS_REGS + offset); }

// The module takes no write while it updates its time registers.
void rtcWrite(uint32_t offset, uint32_t value)
{
    while ((rtcRead(RTC_STATUS_REG) & RTC_STATUS_BUSY) != 0) {}
    regWrite32(RTC_SS_REGS + offset, value);
}

}  // namespace

void DateTime::ToYearsCount(uint32_t seconds, DATE_TIME_T& dateTime)
{
    dateTime.year = seconds / SECONDS_PER_365_YEAR;
    uint32_t rest = seconds % SECONDS_PER_365_YEAR;
    uint32_t month = 0;
    // The rest is below one 365-day year, so the walk stops before December ends.
    while (month < MONTHS_PER_YEAR && rest >= secondsPerMonth[month]) {
        rest -= secondsPerMonth[month];
        ++month;
    }
    dateTime.month = month;
    dateTime.day = rest / SECONDS_PER_DAY;
    rest %= SECONDS_PER_DAY;
    dateTime.hour = rest / SECONDS_PER_HOUR;
    dateTime.minute = rest % SECONDS_PER_HOUR / SECONDS_PER_MINUTE;
    dateTime.second = rest % SECONDS_PER_MINUTE;
}

void DateTime::ToDaysCount(uint32_t seconds, DATE_TIME_T& dateTime)
{
    dateTime.day = seconds / SECONDS_PER_DAY;
    dateTime.hour = seconds % SECONDS_PER_DAY / SECONDS_PER_HOUR;
    dateTime.minute = seconds % SECONDS_PER_HOUR / SECONDS_PER_MINUTE;
    dateTime.second = seconds % SECONDS_PER_MINUTE;
}

void DateTime::ToDateTime(uint32_t seconds, DATE_TIME_T& dateTime)
{
    uint32_t rest = seconds;
    uint32_t year = BASE_YEAR;
    while (rest >= secondsOfYear(year)) {
        rest -= secondsOfYear(year);
        ++year;
    }
    uint32_t monthIndex = 0;
    while (rest >= secondsOfMonth(monthIndex, year)) {
        rest -= secondsOfMonth(monthIndex, year);
        ++monthIndex;
    }
    dateTime.year = year;
    dateTime.month = monthIndex + 1;
    dateTime.day = rest / SECONDS_PER_DAY + 1;
    rest %= SECONDS_PER_DAY;
    dateTime.hour = rest / SECONDS_PER_HOUR;
    dateTime.minute = rest % SECONDS_PER_HOUR / SECONDS_PER_MINUTE;
    dateTime.second = rest % SECONDS_PER_MINUTE;
}

ERROR_CODES_E DateTime::ToTimestamp(DATE_TIME_T dateTime, uint32_t& seconds)
{
    const DATE_TIME_T& t = dateTime;
    if (t.year < BASE_YEAR || t.year > BASE_YEAR + MAX_YEARS_FROM_BASE || t.month < 1 ||
        t.month > MONTHS_PER_YEAR || t.day < 1 || t.hour >= HOURS_PER_DAY ||
        t.minute >= SECONDS_PER_MINUTE || t.second >= SECONDS_PER_MINUTE) {
        return EC_FAIL;
    }
    if (t.day > secondsOfMonth(t.month - 1, t.year) / SECONDS_PER_DAY) {
        return EC_FAIL;
    }
    uint64_t total = 0;
    for (uint32_t year = BASE_YEAR; year < t.year; ++year) {
        total += secondsOfYear(year);
    }
    for (uint32_t monthIndex = 0; monthIndex + 1 < t.month; ++monthIndex) {
        total += secondsOfMonth(monthIndex, t.year);
    }
    total += static_cast<uint64_t>(t.day - 1) * SECONDS_PER_DAY + t.hour * SECONDS_PER_HOUR +
             t.minute * SECONDS_PER_MINUTE + t.second;
    if (total > MAX_TIMESTAMP) {
        return EC_FAIL;
    }
    seconds = static_cast<uint32_t>(total);
    return EC_SUCCESS;
}

void DateTime::InitRtc()
{
    regWrite32(RTC_SS_REGS + RTC_KICK0_REG, RTC_KICK0_UNLOCK);
    regWrite32(RTC_SS_REGS + RTC_KICK1_REG, RTC_KICK1_UNLOCK);
    rtcWrite(RTC_OSC_REG, rtcRead(RTC_OSC_REG) | RTC_OSC_SEL_EXTERNAL | RTC_OSC_EN_32K);
    rtcWrite(RTC_CTRL_REG, rtcRead(RTC_CTRL_REG) & ~RTC_CTRL_DISABLE);
    rtcWrite(RTC_CTRL_REG, rtcRead(RTC_CTRL_REG) | RTC_CTRL_RUN);
}

ERROR_CODES_E DateTime::SetRtc(DATE_TIME_T dateTime)
{
    const DATE_TIME_T& t = dateTime;
    if (t.year > MAX_RTC_YEAR || t.month < 1 || t.month > MONTHS_PER_YEAR || t.day < 1 ||
        t.hour >= HOURS_PER_DAY || t.minute >= SECONDS_PER_MINUTE ||
        t.second >= SECONDS_PER_MINUTE) {
        return EC_FAIL;
    }
    // A day the month does not have would roll over into the next month.
    if (t.day > secondsOfMonth(t.month - 1, RTC_CENTURY + t.year) / SECONDS_PER_DAY) {
        return EC_FAIL;
    }
    const uint32_t key = ti_sysbios_hal_Hwi_disable();
    rtcWrite(RTC_YEARS_REG, toBcd(t.year));
    rtcWrite(RTC_MONTHS_REG, toBcd(t.month));
    rtcWrite(RTC_DAYS_REG, toBcd(t.day));
    rtcWrite(RTC_WEEKS_REG, 0);  // week day not kept: Sunday
    rtcWrite(RTC_SECONDS_REG, toBcd(t.second));
    rtcWrite(RTC_MINUTES_REG, toBcd(t.minute));
    // 24-hour mode before the hours, or 23 would be taken as a 12-hour value.
    rtcWrite(RTC_CTRL_REG, rtcRead(RTC_CTRL_REG) & ~RTC_CTRL_MODE_12H);
    rtcWrite(RTC_HOURS_REG, toBcd(t.hour));
    ti_sysbios_hal_Hwi_restore(key);
    return EC_SUCCESS;
}

void DateTime::GetRtc(DATE_TIME_T& dateTime)
{
    const uint32_t key = ti_sysbios_hal_Hwi_disable();
    const uint32_t hour = fromBcd(rtcRead(RTC_HOURS_REG) & RTC_HOURS_MASK);
    const uint32_t minute = fromBcd(rtcRead(RTC_MINUTES_REG) & RTC_MINUTES_MASK);
    const uint32_t second = fromBcd(rtcRead(RTC_SECONDS_REG) & RTC_SECONDS_MASK);
    const uint32_t day = fromBcd(rtcRead(RTC_DAYS_REG) & RTC_DAYS_MASK);
    const uint32_t month = fromBcd(rtcRead(RTC_MONTHS_REG) & RTC_MONTHS_MASK);
    const uint32_t year = fromBcd(rtcRead(RTC_YEARS_REG) & RTC_YEARS_MASK);
    ti_sysbios_hal_Hwi_restore(key);
    dateTime.year = year;
    dateTime.month = month;
    dateTime.day = day;
    dateTime.hour = hour;
    dateTime.minute = minute;
    dateTime.second = second;
}
