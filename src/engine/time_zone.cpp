// Reading TZif data and its POSIX TZ footer, and finding the offset in force at an instant.
#include "engine/time_zone.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/civil_date.h"

namespace vexilo::arrow {
namespace {

constexpr std::int64_t seconds_per_day = 86400;

// Python's datetime takes UTC offsets strictly within a day, and nothing else.
bool within_a_day(std::int64_t offset) noexcept {
    return offset > -seconds_per_day && offset < seconds_per_day;
}

Error zone_error(std::string what) {
    return make_error(ErrorKind::unsupported, "time zone data: " + std::move(what));
}

// Big-endian reads from a byte span that never pass its end.
class ByteReader {
public:
    explicit ByteReader(std::span<const unsigned char> bytes) noexcept : bytes_(bytes) {}

    bool has(std::size_t count) const noexcept { return bytes_.size() - at_ >= count; }
    void skip(std::size_t count) noexcept { at_ += count; }
    unsigned char byte() noexcept { return bytes_[at_++]; }
    std::uint64_t unsigned_of(std::size_t width) noexcept {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes_[at_++];
        return value;
    }
    std::int64_t signed_of(std::size_t width) noexcept {
        // Sign-extends the width-byte two's complement value (C++20 defines both steps).
        const auto unused = static_cast<unsigned>(64 - 8 * width);
        return static_cast<std::int64_t>(unsigned_of(width) << unused) >> unused;
    }
    std::string_view rest() const noexcept {
        return {reinterpret_cast<const char*>(bytes_.data()) + at_, bytes_.size() - at_};
    }

private:
    std::span<const unsigned char> bytes_;
    std::size_t at_ = 0;
};

struct Counts {
    std::size_t is_ut = 0, is_standard = 0, leap = 0, transitions = 0, types = 0, chars = 0;
};

// The header at the reader: its version byte, and its counts.
std::optional<Counts> read_header(ByteReader& reader, unsigned char& version) {
    if (!reader.has(44)) return std::nullopt;
    if (reader.unsigned_of(4) != 0x545a6966) return std::nullopt;  // "TZif"
    version = reader.byte();
    reader.skip(15);
    Counts counts;
    for (std::size_t* count : {&counts.is_ut, &counts.is_standard, &counts.leap,
                               &counts.transitions, &counts.types, &counts.chars}) {
        *count = static_cast<std::size_t>(reader.unsigned_of(4));
    }
    return counts;
}

// The bytes of a data block of time_width-byte times, or nothing when the counts overflow.
std::optional<std::size_t> block_size(const Counts& counts, std::size_t time_width) noexcept {
    // Each count came from 4 bytes; in 64 bits the sum cannot overflow.
    const std::uint64_t size = std::uint64_t{counts.transitions} * (time_width + 1) +
                               std::uint64_t{counts.types} * 6 + counts.chars +
                               std::uint64_t{counts.leap} * (time_width + 4) + counts.is_standard +
                               counts.is_ut;
    if (size > static_cast<std::uint64_t>(static_cast<std::size_t>(-1))) return std::nullopt;
    return static_cast<std::size_t>(size);
}

// A POSIX TZ string read the way zoneinfo's C reader reads it (the one CPython runs), one
// character at a time from the front.
class FooterReader {
public:
    explicit FooterReader(std::string_view text) noexcept : text_(text) {}

    bool done() const noexcept { return at_ == text_.size(); }
    bool take(char c) noexcept {
        if (at_ == text_.size() || text_[at_] != c) return false;
        ++at_;
        return true;
    }
    bool next_is(char c) const noexcept { return at_ < text_.size() && text_[at_] == c; }

    // 1 to max_digits decimal digits.
    bool number(std::size_t max_digits, std::int64_t& value) noexcept {
        std::size_t digits = 0;
        value = 0;
        while (digits < max_digits && at_ < text_.size() && is_digit(text_[at_])) {
            value = value * 10 + (text_[at_++] - '0');
            ++digits;
        }
        return digits > 0;
    }

    // An abbreviation: <[A-Za-z0-9+-]*>, or one or more letters.
    bool abbreviation() noexcept {
        if (take('<')) {
            while (!take('>')) {
                if (done()) return false;
                const char c = text_[at_++];
                if (!is_letter(c) && !is_digit(c) && c != '+' && c != '-') return false;
            }
            return true;
        }
        const std::size_t start = at_;
        while (at_ < text_.size() && is_letter(text_[at_])) ++at_;
        return at_ > start;
    }

    // [+|-]h[h][:mm[:ss]] as seconds, negated for '-'; hours at most max_hours.
    bool clock(std::int64_t max_hours, std::int64_t& seconds) noexcept {
        const bool negative = take('-');
        if (!negative) take('+');
        std::int64_t hours = 0, minutes = 0, secs = 0;
        if (!number(2, hours) || hours > max_hours) return false;
        for (std::int64_t* part : {&minutes, &secs}) {
            if (!take(':')) break;
            if (!exactly_two_digits(*part)) return false;
        }
        seconds = hours * 3600 + minutes * 60 + secs;
        if (negative) seconds = -seconds;
        return true;
    }

    // One switch: Jn (1 to 365, leap days not counted), n (0 to 365) or Mm.w.d, then /time
    // (02:00 where none is given).
    bool rule_day(TimeZone::RuleDay& day) noexcept {
        using Kind = TimeZone::RuleDay::Kind;
        std::int64_t number_read = 0;
        if (take('M')) {
            std::int64_t week = 0, weekday = 0;
            if (!number(2, number_read) || !take('.') || !number(1, week) || !take('.') ||
                !number(1, weekday)) {
                return false;
            }
            if (number_read < 1 || number_read > 12 || week < 1 || week > 5 || weekday > 6) {
                return false;
            }
            day.kind = Kind::month_week;
            day.month = static_cast<unsigned>(number_read);
            day.week = static_cast<unsigned>(week);
            day.weekday = static_cast<unsigned>(weekday);
        } else {
            const bool julian = take('J');
            if (!number(3, number_read)) return false;
            if (number_read < (julian ? 1 : 0) || number_read > 365) return false;
            day.kind = julian ? Kind::julian : Kind::zero_based;
            day.day = static_cast<unsigned>(number_read);
        }
        day.time = 7200;
        return !take('/') || clock(99, day.time);
    }

private:
    static bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
    static bool is_letter(char c) noexcept {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    }
    bool exactly_two_digits(std::int64_t& value) noexcept {
        if (text_.size() - at_ < 2 || !is_digit(text_[at_]) || !is_digit(text_[at_ + 1])) {
            return false;
        }
        value = (text_[at_] - '0') * 10 + (text_[at_ + 1] - '0');
        at_ += 2;
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

// What a footer says: nothing (empty), a fixed offset, or a rule.
struct Footer {
    bool present = false;
    std::int32_t standard = 0;
    std::optional<TimeZone::Rule> rule;
};

// std offset[dst[offset],start[/time],end[/time]]: offsets are hours west of UTC, at most 24 of
// them; daylight time is an hour ahead of standard time where no offset follows its name.
std::optional<Footer> parse_footer(std::string_view text) {
    Footer footer;
    if (text.empty()) return footer;
    footer.present = true;
    FooterReader reader(text);
    std::int64_t standard = 0;
    if (!reader.abbreviation() || !reader.clock(24, standard)) return std::nullopt;
    footer.standard = static_cast<std::int32_t>(-standard);
    if (reader.done()) return footer;
    if (!reader.abbreviation()) return std::nullopt;
    std::int64_t daylight = standard - 3600;
    if (!reader.next_is(',') && !reader.clock(24, daylight)) return std::nullopt;
    TimeZone::Rule rule;
    rule.standard = footer.standard;
    rule.daylight = static_cast<std::int32_t>(-daylight);
    if (!reader.take(',') || !reader.rule_day(rule.start) || !reader.take(',') ||
        !reader.rule_day(rule.end) || !reader.done()) {
        return std::nullopt;
    }
    footer.rule = rule;
    return footer;
}

}  // namespace

std::int64_t TimeZone::RuleDay::local_seconds(std::int64_t year) const noexcept {
    std::int64_t days = days_from_civil(year, 1, 1);
    switch (kind) {
        case Kind::julian:
            // zoneinfo adds the leap day from J59 on (POSIX: from J60), and that is what it shows.
            days += static_cast<std::int64_t>(day) - 1 + (day >= 59 && is_leap_year(year) ? 1 : 0);
            break;
        case Kind::zero_based:
            // zoneinfo counts this day from 1 like a Julian one (its "n" falls a day early), and
            // that is what it shows.
            days += static_cast<std::int64_t>(day) - 1;
            break;
        case Kind::month_week: {
            const std::int64_t first = days_from_civil(year, month, 1);
            const unsigned first_weekday = weekday_from_days(first);
            unsigned month_day = (weekday + 7 - first_weekday) % 7 + 1 + (week - 1) * 7;
            if (month_day > days_in_month(year, month)) month_day -= 7;  // week 5: the last one
            days = first + month_day - 1;
            break;
        }
    }
    return days * seconds_per_day + time;
}

Expected<TimeZone> TimeZone::from_tzif(std::span<const unsigned char> bytes) {
    ByteReader reader(bytes);
    unsigned char version = 0;
    std::optional<Counts> counts = read_header(reader, version);
    if (!counts) return zone_error("not a TZif file");
    std::optional<std::size_t> size = block_size(*counts, 4);
    if (!size || !reader.has(*size)) return zone_error("cut short");
    std::size_t time_width = 4;
    if (version >= '2') {
        // The 64-bit block after the version 1 one supersedes it.
        reader.skip(*size);
        unsigned char second_version = 0;
        counts = read_header(reader, second_version);
        if (!counts) return zone_error("no second header");
        size = block_size(*counts, 8);
        if (!size || !reader.has(*size)) return zone_error("cut short");
        time_width = 8;
    }
    if (counts->types == 0) return zone_error("no local time types");

    TimeZone zone;
    zone.transitions_.resize(counts->transitions);
    for (std::int64_t& transition : zone.transitions_) transition = reader.signed_of(time_width);
    if (!std::is_sorted(zone.transitions_.begin(), zone.transitions_.end())) {
        return zone_error("transitions out of order");
    }
    std::vector<std::size_t> transition_types(counts->transitions);
    for (std::size_t& type : transition_types) {
        type = reader.byte();
        if (type >= counts->types) return zone_error("a transition names a missing type");
    }
    std::vector<std::int32_t> type_offsets(counts->types);
    std::vector<bool> type_daylight(counts->types);
    for (std::size_t type = 0; type < counts->types; ++type) {
        type_offsets[type] = static_cast<std::int32_t>(reader.signed_of(4));
        if (!within_a_day(type_offsets[type])) return zone_error("a UTC offset of a day or more");
        type_daylight[type] = reader.byte() != 0;
        reader.skip(1);  // the abbreviation: no text here shows it
    }
    zone.offsets_.resize(counts->transitions);
    for (std::size_t i = 0; i < counts->transitions; ++i) {
        zone.offsets_[i] = type_offsets[transition_types[i]];
    }
    const auto standard = std::find(type_daylight.begin(), type_daylight.end(), false);
    zone.before_ = type_offsets[standard == type_daylight.end()
                                    ? 0
                                    : static_cast<std::size_t>(standard - type_daylight.begin())];
    zone.after_ = zone.offsets_.empty() ? type_offsets.back() : zone.offsets_.back();

    if (time_width == 8) {
        // Past the abbreviations, leap seconds and indicators: "\n" footer "\n".
        reader.skip(counts->chars + counts->leap * 12 + counts->is_standard + counts->is_ut);
        std::string_view rest = reader.rest();
        if (!rest.empty()) {
            if (rest[0] != '\n') return zone_error("a malformed footer");
            rest.remove_prefix(1);
            const std::size_t end = rest.find('\n');
            if (end == std::string_view::npos) return zone_error("a malformed footer");
            const std::optional<Footer> footer = parse_footer(rest.substr(0, end));
            if (!footer) return zone_error("a footer that is not a POSIX TZ string");
            if (!within_a_day(footer->standard) ||
                (footer->rule && !within_a_day(footer->rule->daylight))) {
                return zone_error("a UTC offset of a day or more");
            }
            if (footer->rule) {
                zone.rule_ = footer->rule;
            } else if (footer->present) {
                zone.after_ = footer->standard;
            }
        }
    }
    return zone;
}

TimeZone TimeZone::fixed(std::int32_t offset) noexcept {
    TimeZone zone;
    zone.before_ = zone.after_ = offset;
    return zone;
}

TimeZone::Period TimeZone::period_at(std::int64_t utc_seconds) const noexcept {
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    if (!transitions_.empty() && utc_seconds < transitions_.front()) {
        return {before_, min, transitions_.front()};
    }
    if (transitions_.empty() || utc_seconds > transitions_.back()) {
        // Here the last transition is below utc_seconds, so one past it cannot overflow.
        if (rule_) return rule_period(utc_seconds);
        return {after_, transitions_.empty() ? min : transitions_.back() + 1, max};
    }
    // The last transition at or before the instant (the first one is): a binary search without
    // branches on the data, which instants in no order would mispredict half the time.
    const std::int64_t* at = transitions_.data();
    for (std::size_t count = transitions_.size(); count > 1;) {
        const std::size_t half = count / 2;
        at = at[half] <= utc_seconds ? at + half : at;
        count -= half;
    }
    const auto index = static_cast<std::size_t>(at - transitions_.data());
    const std::int64_t last = transitions_.back();
    const std::int64_t end = index + 1 < transitions_.size() ? at[1] : last == max ? max : last + 1;
    return {offsets_[index], transitions_[index], end};
}

TimeZone::Period TimeZone::rule_period(std::int64_t utc_seconds) const noexcept {
    const Rule& rule = *rule_;
    // zoneinfo reckons the switches of the instant's year in UTC, not of its local year.
    const std::int64_t year = civil_from_days(floor_div(utc_seconds, seconds_per_day)).year;
    const std::int64_t year_begin = days_from_civil(year, 1, 1) * seconds_per_day;
    const std::int64_t year_end = days_from_civil(year + 1, 1, 1) * seconds_per_day;
    const std::int64_t start = rule.start.local_seconds(year) - rule.standard;
    const std::int64_t end = rule.end.local_seconds(year) - rule.daylight;
    const bool daylight = start < end ? start <= utc_seconds && utc_seconds < end
                                      : !(end <= utc_seconds && utc_seconds < start);
    Period period{daylight ? rule.daylight : rule.standard, year_begin, year_end};
    for (const std::int64_t edge : {start, end}) {
        if (edge <= utc_seconds) {
            period.begin = std::max(period.begin, edge);
        } else {
            period.end = std::min(period.end, edge);
        }
    }
    return period;
}

}  // namespace vexilo::arrow
