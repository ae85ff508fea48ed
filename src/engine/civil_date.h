// Days since 1970-01-01 and the proleptic Gregorian dates they name, both ways, for any day an
// int64 count of seconds can reach. Interpreter-free.
#pragma once

#include <cstdint>

namespace vexilo {

struct CivilDate {
    std::int64_t year = 1970;
    unsigned month = 1;  // 1 to 12
    unsigned day = 1;    // 1 to 31
};

// The quotient of numerator / denominator rounded towards minus infinity; needs denominator > 0.
constexpr std::int64_t floor_div(std::int64_t numerator, std::int64_t denominator) noexcept {
    const std::int64_t quotient = numerator / denominator;
    return quotient - ((numerator % denominator) < 0 ? 1 : 0);
}

// numerator - floor_div(numerator, denominator) * denominator: in [0, denominator).
constexpr std::int64_t floor_mod(std::int64_t numerator, std::int64_t denominator) noexcept {
    const std::int64_t remainder = numerator % denominator;
    return remainder < 0 ? remainder + denominator : remainder;
}

// The date days after 1970-01-01. Needs |days| below 2^61, so that no step overflows.
constexpr CivilDate civil_from_days(std::int64_t days) noexcept {
    // Counted in eras of 400 years from 0000-03-01, so that the leap day ends each year.
    const std::int64_t shifted = days + 719468;
    const std::int64_t era = floor_div(shifted, 146097);
    const std::int64_t day_of_era = shifted - era * 146097;  // [0, 146096]
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);  // [0, 365]
    const std::int64_t month_from_march = (5 * day_of_year + 2) / 153;           // [0, 11]
    CivilDate date;
    date.day = static_cast<unsigned>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    date.month =
        static_cast<unsigned>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    date.year = year_of_era + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

// The days from 1970-01-01 to year-month-day (month 1 to 12, day 1 to 31). Needs |year| below
// 2^50.
constexpr std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept {
    const std::int64_t march_year = month <= 2 ? year - 1 : year;
    const std::int64_t era = floor_div(march_year, 400);
    const std::int64_t year_of_era = march_year - era * 400;  // [0, 399]
    const std::int64_t month_from_march = month > 2 ? month - 3 : month + 9;
    const std::int64_t day_of_year = (153 * month_from_march + 2) / 5 + day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

constexpr bool is_leap_year(std::int64_t year) noexcept {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr unsigned days_in_month(std::int64_t year, unsigned month) noexcept {
    constexpr unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : lengths[month - 1];
}

// The day of the week of days after 1970-01-01 (a Thursday): 0 is Sunday, 6 Saturday.
constexpr unsigned weekday_from_days(std::int64_t days) noexcept {
    return static_cast<unsigned>(floor_mod(days + 4, 7));
}

}  // namespace vexilo
