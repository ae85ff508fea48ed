// A time zone's offsets from UTC at each instant: read from TZif data (the files of the time zone
// database) or fixed. Interpreter-free.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "engine/expected.h"

namespace vexilo::arrow {

// The UTC offsets of one zone, answered the way Python's zoneinfo converts an instant to local
// time (ZoneInfo.fromutc): before the first transition, the first standard-time type of the file;
// from each transition on, that transition's type; past the last one, the rule of the file's
// footer (a POSIX TZ string, with or without daylight saving time), or the last type where the
// file has no footer. Leap-second records are skipped, as zoneinfo skips them. The footer's rules
// are read as zoneinfo's C reader reads them, day numbering included. One difference remains:
// zoneinfo shows the offset that its rules give the local time, which for a footer switching
// within hours of a new year can differ from the offset that moved the clock (no zone of the
// database switches so). Immutable once made: any number of threads may read it at once.
class TimeZone {
public:
    // The instants [begin, end), in seconds since 1970-01-01 UTC, during which offset (seconds
    // east of UTC) holds.
    struct Period {
        std::int32_t offset = 0;
        std::int64_t begin = std::numeric_limits<std::int64_t>::min();
        std::int64_t end = std::numeric_limits<std::int64_t>::max();
    };

    // Reads TZif data of version 1 (32-bit times) or 2 and later (64-bit times, then the footer).
    // Fails (ErrorKind::unsupported, its message saying what) on data that is not TZif, is cut
    // short, has transitions out of order, names a type that is not there, has no type at all,
    // has a footer zoneinfo would refuse, or has a UTC offset of a day or more (which Python's
    // datetime refuses). Throws std::bad_alloc. Any thread.
    static Expected<TimeZone> from_tzif(std::span<const unsigned char> bytes);

    // The zone whose offset is always offset seconds east of UTC. Any thread.
    static TimeZone fixed(std::int32_t offset) noexcept;

    // The period holding the instant utc_seconds (seconds since 1970-01-01 UTC). Needs
    // |utc_seconds| below 2^45 (a million years), so that the year of a footer rule is reckoned
    // without overflow. Any thread.
    Period period_at(std::int64_t utc_seconds) const noexcept;

    // A day of a year on which a footer rule switches, and the local time of day it switches at.
    struct RuleDay {
        enum class Kind : unsigned char { julian, zero_based, month_week };
        Kind kind = Kind::zero_based;
        unsigned day = 0;  // julian: 1 to 365, leap days not counted; zero_based: 0 to 365
        unsigned month = 1, week = 1, weekday = 0;  // month_week: the week-th weekday of month
        std::int64_t time = 7200;                   // seconds after local midnight, may be < 0

        // Seconds from 1970-01-01 00:00 to the switch of year, reckoned in local time.
        std::int64_t local_seconds(std::int64_t year) const noexcept;
    };

    // Standard time, and daylight saving time from start to end of each year.
    struct Rule {
        std::int32_t standard = 0;
        std::int32_t daylight = 0;
        RuleDay start, end;
    };

private:
    Period rule_period(std::int64_t utc_seconds) const noexcept;

    std::vector<std::int64_t> transitions_;  // ascending
    std::vector<std::int32_t> offsets_;      // the offset from each transition on
    std::int32_t before_ = 0;                // before the first transition
    std::int32_t after_ = 0;                 // after the last one, where there is no rule
    std::optional<Rule> rule_;               // after the last one, where the footer has one
};

}  // namespace vexilo::arrow
