// Time arithmetic of the console: a number of seconds broken down into a
// duration (years, months, days, ...), calendar conversions with the epoch
// 1900-01-01 00:00:00, and the SoC's battery-backed real-time clock. The
// conversions have no state and run in any task; the RTC operations lock
// interrupts so that one date-and-time access is never split.
#pragma once

#include <cstdint>

#include "errcodes.h"

// A calendar date and time, the RTC's fields (year within the century), or
// the counts of a duration, depending on the operation.
struct DATE_TIME_T {
    uint32_t year;
    uint32_t month;
    uint32_t day;
    uint32_t hour;
    uint32_t minute;
    uint32_t second;
};

class DateTime {
public:
    static constexpr uint32_t BASE_YEAR = 1900;
    static constexpr uint32_t SECONDS_PER_MINUTE = 60;
    static constexpr uint32_t SECONDS_PER_HOUR = 3600;
    static constexpr uint32_t SECONDS_PER_DAY = 86400;
    static constexpr uint32_t SECONDS_PER_365_YEAR = 31536000;
    static constexpr uint32_t MONTHS_PER_YEAR = 12;

    // Duration in 365-day years and common-year months, all counts from 0
    // (35 days are 0 years, 1 months, 4 days).
    static void ToYearsCount(uint32_t seconds, DATE_TIME_T& dateTime);
    // Duration in days, hours, minutes, seconds; year and month untouched.
    static void ToDaysCount(uint32_t seconds, DATE_TIME_T& dateTime);
    // Seconds since 1900-01-01 00:00:00 to a Gregorian date (full year,
    // month 1-12, day from 1) and time.
    static void ToDateTime(uint32_t seconds, DATE_TIME_T& dateTime);
    // The inverse. EC_FAIL, leaving `seconds` alone, for a date that does not
    // exist (30 February, 29 February of a common year, hour 24, ...) or
    // lies outside the 32-bit range, 1900-01-01 to 2036-02-07 06:28:15.
    static ERROR_CODES_E ToTimestamp(DATE_TIME_T dateTime, uint32_t& seconds);

    // Unlocks the RTC, selects the external 32 kHz clock and starts it.
    static void InitRtc();
    // Writes the date (year 0-99) and time in 24-hour mode. EC_FAIL, with
    // nothing written, for a field outside its register's range or a date
    // that does not exist (30 February, 31 April, 29 February of a year
    // not divisible by 4).
    static ERROR_CODES_E SetRtc(DATE_TIME_T dateTime);
    // Reads the date (year 0-99) and the time, taken as 24-hour.
    static void GetRtc(DATE_TIME_T& dateTime);
};
