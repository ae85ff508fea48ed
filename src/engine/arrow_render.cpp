// The formats of the rendered Arrow kinds, the checks of their arrays, and the loops that write
// each kind's texts.
#include "engine/arrow_render.h"

#include <algorithm>
#include <charconv>  // std::from_chars
#include <cstdlib>   // std::realloc
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "engine/arrow_column.h"  // check_extent
#include "engine/civil_date.h"
#include "engine/unaligned_load.h"

namespace vexilo::arrow {
namespace {

constexpr std::int64_t seconds_per_day = 86400;
constexpr std::int64_t nanos_per_second = 1'000'000'000;
// The days from 1970-01-01 to 0001-01-01 and to 9999-12-31: the dates Python's types hold.
constexpr std::int64_t first_day = -719162;
constexpr std::int64_t last_day = 2932896;
constexpr std::int64_t timedelta_max_days = 999999999;
constexpr std::string_view outside_years =
    "is outside the years 1 to 9999 that Python's dates hold";
// Positions times the widest value (32 bytes) stay inside the address space.
constexpr std::uint64_t position_limit =
    static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / 32 - 1;

enum class Kind { date_days, date_millis, time, timestamp, duration, decimal };

struct Format {
    Kind kind = Kind::date_days;
    std::size_t width = 8;        // bytes per value
    std::int64_t per_second = 1;  // time, timestamp, duration: units per second
    std::string_view zone;        // timestamp
    std::int32_t scale = 0;       // decimal
};

std::optional<std::int64_t> units_per_second(char unit) noexcept {
    switch (unit) {
        case 's':
            return 1;
        case 'm':
            return 1000;
        case 'u':
            return 1'000'000;
        case 'n':
            return nanos_per_second;
        default:
            return std::nullopt;
    }
}

// An integer spelled in all of text (an optional '-', then digits).
template <class T>
std::optional<T> parse_integer(std::string_view text) noexcept {
    T value{};
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    if (failure != std::errc{} || stop != end || text.empty()) return std::nullopt;
    return value;
}

std::optional<Format> parse_decimal(std::string_view spec) noexcept {
    Format format;
    format.kind = Kind::decimal;
    format.width = 16;
    const std::size_t comma = spec.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    const auto precision = parse_integer<std::int32_t>(spec.substr(0, comma));
    if (!precision || *precision < 1) return std::nullopt;
    std::string_view rest = spec.substr(comma + 1);
    const std::size_t bits_comma = rest.find(',');
    const auto scale = parse_integer<std::int32_t>(rest.substr(0, bits_comma));
    if (!scale) return std::nullopt;
    format.scale = *scale;
    if (bits_comma != std::string_view::npos) {
        const auto bits = parse_integer<std::int32_t>(rest.substr(bits_comma + 1));
        if (!bits || (*bits != 32 && *bits != 64 && *bits != 128 && *bits != 256)) {
            return std::nullopt;
        }
        format.width = static_cast<std::size_t>(*bits / 8);
    }
    return format;
}

std::optional<Format> parse_format(std::string_view text) noexcept {
    if (text.starts_with("d:")) return parse_decimal(text.substr(2));
    if (text.size() < 3 || text[0] != 't') return std::nullopt;
    Format format;
    const std::optional<std::int64_t> unit = units_per_second(text[2]);
    if (text == "tdD") {
        format.kind = Kind::date_days;
        format.width = 4;
    } else if (text == "tdm") {
        format.kind = Kind::date_millis;
    } else if (text[1] == 't' && text.size() == 3 && unit) {
        format.kind = Kind::time;
        format.per_second = *unit;
        format.width = *unit <= 1000 ? 4 : 8;
    } else if (text[1] == 'D' && text.size() == 3 && unit) {
        format.kind = Kind::duration;
        format.per_second = *unit;
    } else if (text[1] == 's' && text.size() >= 4 && text[3] == ':' && unit) {
        format.kind = Kind::timestamp;
        format.per_second = *unit;
        format.zone = text.substr(4);
    } else {
        return std::nullopt;
    }
    return format;
}

// A value at row that the flavour's Python type cannot hold: "the <kind> at row <row> <why>".
Error value_error(std::size_t row, std::string_view kind, std::string_view why) {
    Error error =
        make_error(ErrorKind::unsupported, "the " + std::string(kind) + " at row " +
                                               std::to_string(row) + " " + std::string(why));
    error.row = row;
    return error;
}

// How a flavour's conversion to Python treats what the Arrow kinds leave open.
struct Conversion {
    // Nanosecond timestamps and durations: pandas' types, which hold them; or Python's, which
    // hold microseconds, the nanoseconds floored, cut towards zero, or refused unless whole.
    enum class Nanos { pandas, floored, cut, whole };
    Nanos timestamp_nanos = Nanos::floored;
    Nanos duration_nanos = Nanos::cut;
    bool wraps_times = false;           // a time outside a day wraps around it, or fails
    bool date64_as_datetime = false;    // date64 read as a timestamp of milliseconds
    bool makes_utc_datetime = false;    // a zoned timestamp's UTC datetime must exist too
    bool narrow_decimal_limit = false;  // decimal32/64 scales beyond 9/18 digits fail
    // DuckDB's infinities: the greatest date32 or timestamp value and its negation, which it
    // converts to the greatest and least dates or (naive) datetimes Python holds.
    bool infinities = false;
};

Conversion conversion_of(PythonFlavour flavour) noexcept {
    using Nanos = Conversion::Nanos;
    Conversion conversion;
    switch (flavour) {
        case PythonFlavour::polars:
            conversion.date64_as_datetime = true;
            break;
        case PythonFlavour::duckdb:
            conversion.timestamp_nanos = Nanos::cut;
            conversion.infinities = true;
            break;
        case PythonFlavour::pyarrow:
        case PythonFlavour::pyarrow_without_pandas:
            conversion.timestamp_nanos = conversion.duration_nanos =
                flavour == PythonFlavour::pyarrow ? Nanos::pandas : Nanos::whole;
            conversion.wraps_times = conversion.makes_utc_datetime = true;
            conversion.narrow_decimal_limit = true;
            break;
    }
    return conversion;
}

// Microseconds of a nanosecond count by a conversion's rule; false where it refuses the value.
bool micros_of(std::int64_t nanos, Conversion::Nanos rule, std::int64_t& micros) noexcept {
    if (rule == Conversion::Nanos::whole && nanos % 1000 != 0) return false;
    micros = rule == Conversion::Nanos::floored ? floor_div(nanos, 1000) : nanos / 1000;
    return true;
}

constexpr std::string_view not_whole_micros =
    "has nanoseconds, which pyarrow cannot convert to Python without pandas";

// ---------------------------------------------------------------------------------------------
// Writing digits.

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* write2(char* out, std::uint32_t value) noexcept {
    std::memcpy(out, digit_pairs + 2 * value, 2);
    return out + 2;
}

// value (below 10^6) in exactly 6 digits, zero-padded.
char* write6(char* out, std::uint32_t value) noexcept {
    out = write2(out, value / 10000);
    out = write2(out, value / 100 % 100);
    return write2(out, value % 100);
}

// value (below 10^9) in exactly 9 digits, zero-padded.
char* write9(char* out, std::uint32_t value) noexcept {
    *out++ = static_cast<char>('0' + value / 100'000'000);
    out = write2(out, value / 1'000'000 % 100);
    return write6(out, value % 1'000'000);
}

char* write_unsigned(char* out, std::uint64_t value) noexcept {
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) *out++ = digits[--count];
    return out;
}

char* write_signed(char* out, std::int64_t value) noexcept {
    if (value < 0) {
        *out++ = '-';
        return write_unsigned(out, 0 - static_cast<std::uint64_t>(value));
    }
    return write_unsigned(out, static_cast<std::uint64_t>(value));
}

char* write_text(char* out, std::string_view text) noexcept {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// YYYY-MM-DD of a day within the years 1 to 9999, by Neri and Schneider's Euclidean affine
// steps: in 32-bit unsigned arithmetic, which that range allows, with three multiplications where
// civil_from_days makes nine divisions (checked against it over the whole range).
char* write_date(char* out, std::int64_t days) noexcept {
    const std::uint32_t n = 4 * static_cast<std::uint32_t>(days + 719468) + 3;  // from 0000-03-01
    const std::uint32_t century = n / 146097;
    const std::uint64_t in_century = std::uint64_t{2939745} * ((n % 146097) | 3);
    const std::uint32_t day_of_year = static_cast<std::uint32_t>(in_century) / 2939745 / 4;
    const std::uint32_t month_day = 2141 * day_of_year + 197913;  // month above, day below
    const bool next_year = day_of_year >= 306;                    // January or February
    const std::uint32_t year =
        100 * century + static_cast<std::uint32_t>(in_century >> 32) + (next_year ? 1 : 0);
    out = write2(out, year / 100);
    out = write2(out, year % 100);
    *out++ = '-';
    out = write2(out, next_year ? (month_day >> 16) - 12 : month_day >> 16);
    *out++ = '-';
    return write2(out, (month_day & 0xffff) / 2141 + 1);
}

// HH:MM:SS of seconds into a day, hours unpadded where padded_hours is false (timedelta).
char* write_clock(char* out, std::uint32_t seconds, bool padded_hours) noexcept {
    const std::uint32_t hours = seconds / 3600;
    if (padded_hours || hours >= 10) {
        out = write2(out, hours);
    } else {
        *out++ = static_cast<char>('0' + hours);
    }
    *out++ = ':';
    out = write2(out, seconds / 60 % 60);
    *out++ = ':';
    return write2(out, seconds % 60);
}

// The fraction of a second, in ns: Python's way (6 digits of the us, none when 0; the ns must be
// whole us) or pandas' way (9 digits when the ns are not whole us, else Python's).
char* write_fraction(char* out, std::int64_t nanos) noexcept {
    if (nanos == 0) return out;
    *out++ = '.';
    const auto fraction = static_cast<std::uint32_t>(nanos);
    if (fraction % 1000 != 0) return write9(out, fraction);
    return write6(out, fraction / 1000);
}

// A UTC offset as str(datetime) shows it: +HH:MM, and :SS where it has seconds.
char* write_offset(char* out, std::int32_t offset) noexcept {
    *out++ = offset < 0 ? '-' : '+';
    const auto size = static_cast<std::uint32_t>(offset < 0 ? -std::int64_t{offset} : offset);
    out = write2(out, size / 3600 % 100);
    *out++ = ':';
    out = write2(out, size / 60 % 60);
    if (size % 60 != 0) {
        *out++ = ':';
        out = write2(out, size % 60);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// The column being written.

constexpr std::size_t longest_decimal = 112;  // sign, 78 digits, "0.00000", exponent

}  // namespace

// Appends rows to a RenderedColumn: reserve room for a text, write it, commit its end.
class ColumnWriter {
public:
    // For rows texts, most of them typical bytes long or shorter.
    ColumnWriter(std::size_t rows, std::size_t typical) {
        column_.rows_ = rows;
        column_.offsets_.reserve(rows + 1);
        column_.offsets_.push_back(0);
        column_.validity_.assign((rows + 7) / 8, 0);
        // Pages of the estimate that are never written are never touched.
        if (rows != 0) resize_data(rows > position_limit / typical ? rows : rows * typical);
    }

    // Where the next text goes, with room for bytes.
    char* reserve(std::size_t bytes) {
        if (capacity_ - size_ < bytes) grow(bytes);
        return column_.data_.get() + size_;
    }
    // Ends the text of the next row at end, within what reserve gave.
    void commit(const char* end) noexcept {
        size_ = static_cast<std::size_t>(end - column_.data_.get());
        column_.validity_[row_ >> 3] |= static_cast<std::uint8_t>(1u << (row_ & 7));
        column_.offsets_.push_back(static_cast<std::int64_t>(size_));
        ++row_;
    }
    void null() {
        column_.offsets_.push_back(static_cast<std::int64_t>(size_));
        ++column_.null_count_;
        ++row_;
    }
    std::size_t row() const noexcept { return row_; }

    RenderedColumn finish() && {
        // Gives back what the estimate left unused (in place for a large block).
        if (capacity_ > size_ + size_ / 8 + 4096) resize_data(std::max<std::size_t>(size_, 1));
        if (!column_.data_) resize_data(1);
        column_.buffers_ = std::make_unique<const void*[]>(3);
        column_.buffers_[0] = column_.validity_.data();
        column_.buffers_[1] = column_.offsets_.data();
        column_.buffers_[2] = column_.data_.get();
        return std::move(column_);
    }

private:
    void grow(std::size_t bytes) {
        constexpr std::size_t most = std::numeric_limits<std::size_t>::max();
        if (bytes > most - size_) throw std::bad_alloc();
        const std::size_t doubled = capacity_ > most / 2 ? most : capacity_ * 2;
        resize_data(std::max({doubled, size_ + bytes, std::size_t{4096}}));
    }
    // realloc, whose large blocks grow and shrink without copying; the new bytes are written
    // before they are read.
    void resize_data(std::size_t capacity) {
        void* data = std::realloc(column_.data_.get(), capacity);
        if (data == nullptr) throw std::bad_alloc();
        static_cast<void>(column_.data_.release());
        column_.data_.reset(static_cast<char*>(data));
        capacity_ = capacity;
    }

    RenderedColumn column_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t row_ = 0;
};

namespace {

// One checked array: cell i is values[(offset + i) * width], missing where validity says so.
struct Cells {
    std::size_t length = 0;
    std::size_t offset = 0;
    const std::uint8_t* validity = nullptr;
    const char* values = nullptr;

    bool is_null(std::size_t i) const noexcept {
        const std::size_t at = offset + i;
        return validity != nullptr && ((unsigned{validity[at >> 3]} >> (at & 7)) & 1u) == 0;
    }
};

std::optional<std::string> check_array(const ArrowArray& array, Cells& cells) {
    if (auto problem = check_extent(array)) return problem;
    const auto length = static_cast<std::uint64_t>(array.length);
    const auto offset = static_cast<std::uint64_t>(array.offset);
    if (array.n_buffers != 2) return "an array has the wrong number of buffers";
    if (array.buffers == nullptr) return "an array has no buffers";
    cells.length = static_cast<std::size_t>(length);
    cells.offset = static_cast<std::size_t>(offset);
    // A null count of 0 says no cell is missing, whatever the bitmap; an absent bitmap likewise.
    cells.validity =
        array.null_count != 0 ? static_cast<const std::uint8_t*>(array.buffers[0]) : nullptr;
    cells.values = static_cast<const char*>(array.buffers[1]);
    if (cells.length != 0 && cells.values == nullptr) return "an array's values buffer is missing";
    return std::nullopt;
}

std::int64_t load_integer(const char* at, std::size_t width) noexcept {
    return width == 4 ? std::int64_t{load_unaligned<std::int32_t>(at)}
                      : load_unaligned<std::int64_t>(at);
}

// Calls render(value, out) -> end, or nullptr where the value cannot be shown (the error then
// names kind and why), for each cell of cells that is not null, with room for longest bytes at
// out.
template <class Render>
Outcome render_cells(const Cells& cells, std::size_t width, std::size_t longest,
                     ColumnWriter& writer, Render&& render, std::string_view kind = {},
                     const std::string_view& why = {}) {
    for (std::size_t i = 0; i < cells.length; ++i) {
        if (cells.is_null(i)) {
            writer.null();
            continue;
        }
        char* const out = writer.reserve(longest);
        const char* end = render(cells.values + (cells.offset + i) * width, out);
        if (end == nullptr) return value_error(writer.row(), kind, why);
        writer.commit(end);
    }
    return Unit{};
}

// ---------------------------------------------------------------------------------------------
// Each kind's text.

// Dates repeat: each distinct day is written once, into a small direct-mapped cache.
class DateCache {
public:
    // The text of days (within the years 1 to 9999), written at out.
    char* write(char* out, std::int64_t days) noexcept {
        Slot& slot = slots_[static_cast<std::size_t>(days) & (slot_count - 1)];
        if (slot.days != days) {
            write_date(slot.text, days);
            slot.days = days;
        }
        std::memcpy(out, slot.text, 10);
        return out + 10;
    }

private:
    static constexpr std::size_t slot_count = 1024;
    struct Slot {
        std::int64_t days = std::numeric_limits<std::int64_t>::min();
        char text[10];
    };
    std::unique_ptr<Slot[]> slots_ = std::make_unique<Slot[]>(slot_count);
};

Outcome render_dates(const Format& format, const Cells& cells, const Conversion& conversion,
                     ColumnWriter& writer) {
    if (format.kind == Kind::date_millis && conversion.date64_as_datetime) {
        // polars reads date64 as a datetime of milliseconds.
        return render_cells(
            cells, 8, 32, writer,
            [&](const char* at, char* out) -> char* {
                const std::int64_t millis = load_unaligned<std::int64_t>(at);
                const std::int64_t seconds = floor_div(millis, 1000);
                const std::int64_t days = floor_div(seconds, seconds_per_day);
                if (days < first_day || days > last_day) return nullptr;
                out = write_date(out, days);
                *out++ = ' ';
                out = write_clock(out, static_cast<std::uint32_t>(seconds - days * seconds_per_day),
                                  true);
                return write_fraction(out, floor_mod(millis, 1000) * 1'000'000);
            },
            "date64 value", outside_years);
    }
    DateCache cache;
    const bool millis = format.kind == Kind::date_millis;
    constexpr std::int64_t infinity = std::numeric_limits<std::int32_t>::max();
    return render_cells(
        cells, format.width, 10, writer,
        [&](const char* at, char* out) -> char* {
            const std::int64_t value = load_integer(at, format.width);
            if (conversion.infinities && !millis && (value == infinity || value == -infinity)) {
                return write_text(out, value > 0 ? "9999-12-31" : "0001-01-01");
            }
            const std::int64_t days = millis ? floor_div(value, 86'400'000) : value;
            if (days < first_day || days > last_day) return nullptr;
            return cache.write(out, days);
        },
        "date", outside_years);
}

// The units are template arguments here and below, so that the divisions by them are by constants.
template <std::int64_t per_second>
Outcome render_times(const Format& format, const Cells& cells, const Conversion& conversion,
                     ColumnWriter& writer) {
    constexpr std::int64_t per_day = seconds_per_day * per_second;
    constexpr std::int64_t nanos_per_unit = nanos_per_second / per_second;
    return render_cells(
        cells, format.width, 15, writer,
        [&](const char* at, char* out) -> char* {
            std::int64_t value = load_integer(at, format.width);
            if (value < 0 || value >= per_day) {
                // pyarrow's conversion wraps a value around the day; polars' makes it null.
                if (!conversion.wraps_times) return nullptr;
                value = floor_mod(value, per_day);
            }
            const std::int64_t seconds = value / per_second;
            out = write_clock(out, static_cast<std::uint32_t>(seconds), true);
            // time holds microseconds: nanoseconds are cut.
            const std::int64_t nanos = (value - seconds * per_second) * nanos_per_unit;
            return write_fraction(out, nanos / 1000 * 1000);
        },
        "time", "is outside the day that a time of polars or DuckDB holds");
}

// The offset of a timestamp's zone at each instant, remembering the last period it found.
class OffsetFinder {
public:
    explicit OffsetFinder(const TimeZone* zone) noexcept : zone_(zone) {}

    std::int32_t offset_at(std::int64_t utc_seconds) noexcept {
        if (utc_seconds < period_.begin || utc_seconds >= period_.end) {
            period_ = zone_->period_at(utc_seconds);
        }
        return period_.offset;
    }

private:
    const TimeZone* zone_;
    TimeZone::Period period_{0, 0, 0};
};

// The offset of a fixed-offset zone name, as pyarrow reads one ([+-]HH:MM, which
// datetime.timezone takes under 24 hours), or of "UTC"; nothing for any other name.
std::optional<std::int32_t> fixed_offset(std::string_view name) noexcept {
    if (name == "UTC") return 0;
    const auto digit = [&](std::size_t i) { return name[i] >= '0' && name[i] <= '9'; };
    if (name.size() != 6 || (name[0] != '+' && name[0] != '-') || !digit(1) || !digit(2) ||
        name[3] != ':' || !digit(4) || !digit(5)) {
        return std::nullopt;
    }
    const int hours = (name[1] - '0') * 10 + (name[2] - '0');
    const int minutes = (name[4] - '0') * 10 + (name[5] - '0');
    if (hours >= 24 || minutes >= 60) return std::nullopt;
    const int offset = (hours * 60 + minutes) * 60;
    return name[0] == '-' ? -offset : offset;
}

// The zone a timestamp format names: nullptr for naive values; a fixed one made into fixed.
Expected<const TimeZone*> resolve_zone(std::string_view name, const ZoneLookup& zones,
                                       TimeZone& fixed) {
    if (name.empty()) return static_cast<const TimeZone*>(nullptr);
    if (const std::optional<std::int32_t> offset = fixed_offset(name)) {
        fixed = TimeZone::fixed(*offset);
        return static_cast<const TimeZone*>(&fixed);
    }
    if (!zones) {
        return make_error(ErrorKind::unsupported,
                          "unknown time zone \"" + std::string(name) + "\"");
    }
    return zones(name);
}

template <std::int64_t per_second>
Outcome render_timestamps(const Cells& cells, const Conversion& conversion, const TimeZone* zone,
                          ColumnWriter& writer) {
    // pandas' Timestamp shows nanoseconds; datetime holds microseconds.
    const bool pandas =
        per_second == nanos_per_second && conversion.timestamp_nanos == Conversion::Nanos::pandas;
    // The conversion that makes the UTC datetime first needs it inside the years 1 to 9999; the
    // others make the local one alone, but no offset reaches two days.
    const std::int64_t slack = conversion.makes_utc_datetime ? 0 : 2;
    std::string_view why = outside_years;
    OffsetFinder offsets(zone);
    return render_cells(
        cells, 8, 40, writer,
        [&](const char* at, char* out) -> char* {
            const std::int64_t value = load_unaligned<std::int64_t>(at);
            constexpr std::int64_t infinity = std::numeric_limits<std::int64_t>::max();
            if (conversion.infinities && (value == infinity || value == -infinity)) {
                return write_text(out,
                                  value > 0 ? "9999-12-31 23:59:59.999999" : "0001-01-01 00:00:00");
            }
            std::int64_t utc = 0;
            std::int64_t nanos = 0;
            if (pandas) {
                if (value == std::numeric_limits<std::int64_t>::min()) {
                    return write_text(out, "NaT");
                }
                utc = floor_div(value, nanos_per_second);
                nanos = floor_mod(value, nanos_per_second);
            } else if (per_second == nanos_per_second) {
                std::int64_t micros = 0;
                if (!micros_of(value, conversion.timestamp_nanos, micros)) {
                    why = not_whole_micros;
                    return nullptr;
                }
                utc = floor_div(micros, 1'000'000);
                nanos = floor_mod(micros, 1'000'000) * 1000;
            } else {
                utc = floor_div(value, per_second);
                nanos = floor_mod(value, per_second) * (nanos_per_second / per_second);
            }
            const std::int64_t utc_days = floor_div(utc, seconds_per_day);
            if (utc_days < first_day - slack || utc_days > last_day + slack) return nullptr;
            std::int32_t offset = 0;
            std::int64_t local = utc;
            if (zone != nullptr) {
                offset = offsets.offset_at(utc);
                local = utc + offset;
                // pandas holds the local time in int64 nanoseconds too (the minimum is NaT).
                std::int64_t local_nanos = 0;
                if (pandas && (__builtin_add_overflow(
                                   value, std::int64_t{offset} * nanos_per_second, &local_nanos) ||
                               local_nanos == std::numeric_limits<std::int64_t>::min())) {
                    return nullptr;
                }
            }
            const std::int64_t days = floor_div(local, seconds_per_day);
            if (days < first_day || days > last_day) return nullptr;
            out = write_date(out, days);
            *out++ = ' ';
            out =
                write_clock(out, static_cast<std::uint32_t>(local - days * seconds_per_day), true);
            out = write_fraction(out, nanos);
            return zone != nullptr ? write_offset(out, offset) : out;
        },
        "timestamp", why);
}

// str(timedelta): [D day[s], ]H:MM:SS[.ffffff], of whole days (floored) and the rest.
char* write_timedelta(char* out, std::int64_t days, std::int64_t seconds,
                      std::int64_t micros) noexcept {
    if (days != 0) {
        out = write_signed(out, days);
        out = write_text(out, days == 1 || days == -1 ? " day, " : " days, ");
    }
    out = write_clock(out, static_cast<std::uint32_t>(seconds), false);
    if (micros != 0) {
        *out++ = '.';
        out = write6(out, static_cast<std::uint32_t>(micros));
    }
    return out;
}

template <std::int64_t per_second>
Outcome render_durations(const Cells& cells, const Conversion& conversion, ColumnWriter& writer) {
    if (per_second == nanos_per_second && conversion.duration_nanos == Conversion::Nanos::pandas) {
        // pandas' Timedelta: D days[ +]HH:MM:SS[.fraction], the sign shown before the rest.
        return render_cells(cells, 8, 40, writer, [&](const char* at, char* out) -> char* {
            const std::int64_t value = load_unaligned<std::int64_t>(at);
            if (value == std::numeric_limits<std::int64_t>::min()) return write_text(out, "NaT");
            const std::int64_t per_day = seconds_per_day * nanos_per_second;
            const std::int64_t days = floor_div(value, per_day);
            const std::int64_t rest = floor_mod(value, per_day);
            out = write_signed(out, days);
            out = write_text(out, value < 0 ? " days +" : " days ");
            out = write_clock(out, static_cast<std::uint32_t>(rest / nanos_per_second), true);
            return write_fraction(out, rest % nanos_per_second);
        });
    }
    if (per_second == nanos_per_second) {
        // timedelta holds microseconds (polars cuts nanoseconds towards zero, not floors them).
        return render_cells(
            cells, 8, 40, writer,
            [&](const char* at, char* out) -> char* {
                std::int64_t micros = 0;
                if (!micros_of(load_unaligned<std::int64_t>(at), conversion.duration_nanos,
                               micros)) {
                    return nullptr;
                }
                const std::int64_t per_day = seconds_per_day * 1'000'000;
                const std::int64_t days = floor_div(micros, per_day);
                const std::int64_t rest = floor_mod(micros, per_day);
                return write_timedelta(out, days, rest / 1'000'000, rest % 1'000'000);
            },
            "duration", not_whole_micros);
    }
    constexpr std::int64_t per_day = seconds_per_day * per_second;
    constexpr std::int64_t micros_per_unit = 1'000'000 / per_second;
    return render_cells(
        cells, 8, 40, writer,
        [&](const char* at, char* out) -> char* {
            const std::int64_t value = load_unaligned<std::int64_t>(at);
            const std::int64_t days = floor_div(value, per_day);
            if (days < -timedelta_max_days || days > timedelta_max_days) return nullptr;
            const std::int64_t rest = floor_mod(value, per_day);
            return write_timedelta(out, days, rest / per_second,
                                   rest % per_second * micros_per_unit);
        },
        "duration", "is beyond the 999999999 days that Python's timedelta holds");
}

// The decimal digits of the magnitude of a little-endian two's complement integer of width
// bytes, most significant first, into digits (room for 78); returns their count and sets negative.
std::size_t magnitude_digits(const char* at, std::size_t width, bool& negative,
                             char* digits) noexcept {
    if (width <= 8) {
        const std::int64_t value = load_integer(at, width);
        negative = value < 0;
        const std::uint64_t size =
            negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
        return static_cast<std::size_t>(write_unsigned(digits, size) - digits);
    }
    // Up to eight 32-bit limbs, least significant first.
    std::uint32_t limbs[8];
    const std::size_t count = width / 4;
    for (std::size_t i = 0; i < count; ++i) limbs[i] = load_unaligned<std::uint32_t>(at + 4 * i);
    negative = (limbs[count - 1] >> 31) != 0;
    if (negative) {
        // Two's complement: invert and add one.
        std::uint64_t carry = 1;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t sum = std::uint64_t{static_cast<std::uint32_t>(~limbs[i])} + carry;
            limbs[i] = static_cast<std::uint32_t>(sum);
            carry = sum >> 32;
        }
    }
    // Divides by 10^9 until nothing is left, collecting nine digits at a time from the right.
    char reversed[80];
    std::size_t written = 0;
    std::size_t top = count;
    while (top > 0 && limbs[top - 1] == 0) --top;
    while (top > 0) {
        std::uint64_t remainder = 0;
        for (std::size_t i = top; i-- > 0;) {
            const std::uint64_t current = (remainder << 32) | limbs[i];
            limbs[i] = static_cast<std::uint32_t>(current / 1'000'000'000);
            remainder = current % 1'000'000'000;
        }
        while (top > 0 && limbs[top - 1] == 0) --top;
        for (int k = 0; k < 9 && (top > 0 || remainder != 0); ++k) {
            reversed[written++] = static_cast<char>('0' + remainder % 10);
            remainder /= 10;
        }
    }
    if (written == 0) reversed[written++] = '0';
    for (std::size_t i = 0; i < written; ++i) digits[i] = reversed[written - 1 - i];
    return written;
}

// str(Decimal) of digits times 10^exponent: plain where the exponent is at most 0 and the
// adjusted exponent at least -6, else one digit before the point and an exponent.
char* write_decimal(char* out, bool negative, std::string_view digits,
                    std::int64_t exponent) noexcept {
    if (negative) *out++ = '-';
    const auto count = static_cast<std::int64_t>(digits.size());
    const std::int64_t left_digits = exponent + count;
    const std::int64_t dot = exponent <= 0 && left_digits > -6 ? left_digits : 1;
    if (dot <= 0) {
        out = write_text(out, "0.");
        for (std::int64_t i = 0; i < -dot; ++i) *out++ = '0';
        out = write_text(out, digits);
    } else if (dot >= count) {
        out = write_text(out, digits);
        for (std::int64_t i = count; i < dot; ++i) *out++ = '0';
    } else {
        out = write_text(out, digits.substr(0, static_cast<std::size_t>(dot)));
        *out++ = '.';
        out = write_text(out, digits.substr(static_cast<std::size_t>(dot)));
    }
    if (left_digits != dot) {
        *out++ = 'E';
        const std::int64_t shown = left_digits - dot;
        *out++ = shown < 0 ? '-' : '+';
        out = write_unsigned(out, static_cast<std::uint64_t>(shown < 0 ? -shown : shown));
    }
    return out;
}

Outcome render_decimals(const Format& format, const Cells& cells, const Conversion& conversion,
                        ColumnWriter& writer) {
    const std::int64_t exponent = -std::int64_t{format.scale};
    // pyarrow's conversion of 32- and 64-bit decimals fails (decimal.InvalidOperation) once the
    // scale has more digits than the type's greatest precision, 9 or 18.
    const std::int64_t scale_digits = exponent < 0 ? -exponent : exponent;
    const bool convertible = !conversion.narrow_decimal_limit || format.width > 8 ||
                             scale_digits <= (format.width == 4 ? 9 : 18);
    return render_cells(
        cells, format.width, longest_decimal, writer,
        [&](const char* at, char* out) -> char* {
            if (!convertible) return nullptr;
            char digits[80];
            bool negative = false;
            const std::size_t count = magnitude_digits(at, format.width, negative, digits);
            return write_decimal(out, negative, {digits, count}, exponent);
        },
        "decimal", "has a scale that pyarrow's conversion to Decimal refuses for its width");
}

// body.template operator()<P>() for the unit's count per second P.
template <class Body>
Outcome with_unit(std::int64_t per_second, Body&& body) {
    switch (per_second) {
        case 1:
            return body.template operator()<1>();
        case 1000:
            return body.template operator()<1000>();
        case 1'000'000:
            return body.template operator()<1'000'000>();
        default:
            return body.template operator()<nanos_per_second>();
    }
}

void release_view(ArrowArray* array) { array->release = nullptr; }
void release_schema_view(ArrowSchema* schema) { schema->release = nullptr; }

}  // namespace

bool is_rendered_format(std::string_view format) noexcept {
    return parse_format(format).has_value();
}

std::optional<std::string_view> zone_to_look_up(std::string_view format) noexcept {
    const std::optional<Format> parsed = parse_format(format);
    if (!parsed || parsed->kind != Kind::timestamp || parsed->zone.empty() ||
        fixed_offset(parsed->zone)) {
        return std::nullopt;
    }
    return parsed->zone;
}

ArrowArray RenderedColumn::array() const noexcept {
    ArrowArray array{};
    array.length = static_cast<std::int64_t>(rows_);
    array.null_count = static_cast<std::int64_t>(null_count_);
    array.offset = 0;
    array.n_buffers = 3;
    array.buffers = buffers_.get();
    array.release = release_view;
    return array;
}

ArrowSchema RenderedColumn::schema() const noexcept {
    ArrowSchema schema{};
    schema.format = "U";
    schema.flags = ARROW_FLAG_NULLABLE;
    schema.release = release_schema_view;
    return schema;
}

Expected<RenderedColumn> render_column(const ArrowSchema& schema,
                                       std::span<const ArrowArray> arrays, PythonFlavour flavour,
                                       const ZoneLookup& zones) {
    const std::optional<Format> format =
        schema.format != nullptr ? parse_format(schema.format) : std::nullopt;
    if (!format) {
        return make_error(ErrorKind::unsupported,
                          "Arrow format \"" + std::string(schema.format ? schema.format : "") +
                              "\" is not rendered as text");
    }
    if (schema.n_children != 0 || schema.dictionary != nullptr) {
        return make_error(ErrorKind::invalid_memory,
                          "a schema of this type has children or a dictionary");
    }
    std::vector<Cells> chunks(arrays.size());
    std::size_t rows = 0;
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        if (std::optional<std::string> problem = check_array(arrays[i], chunks[i])) {
            return make_error(ErrorKind::invalid_memory, std::move(*problem));
        }
        if (chunks[i].length > position_limit - rows) {
            return make_error(ErrorKind::invalid_memory, "a column is too long");
        }
        rows += chunks[i].length;
    }
    TimeZone fixed = TimeZone::fixed(0);
    const TimeZone* zone = nullptr;
    if (format->kind == Kind::timestamp) zone = VX_EXPECT(resolve_zone(format->zone, zones, fixed));

    const std::size_t typical = format->kind == Kind::decimal     ? 24
                                : format->kind == Kind::date_days ? 10
                                                                  : 40;
    ColumnWriter writer(rows, typical);
    const Conversion conversion = conversion_of(flavour);
    for (const Cells& cells : chunks) {
        Outcome outcome = Unit{};
        switch (format->kind) {
            case Kind::date_days:
            case Kind::date_millis:
                outcome = render_dates(*format, cells, conversion, writer);
                break;
            case Kind::time:
                outcome = with_unit(format->per_second, [&]<std::int64_t unit>() {
                    return render_times<unit>(*format, cells, conversion, writer);
                });
                break;
            case Kind::timestamp:
                outcome = with_unit(format->per_second, [&]<std::int64_t unit>() {
                    return render_timestamps<unit>(cells, conversion, zone, writer);
                });
                break;
            case Kind::duration:
                outcome = with_unit(format->per_second, [&]<std::int64_t unit>() {
                    return render_durations<unit>(cells, conversion, writer);
                });
                break;
            case Kind::decimal:
                outcome = render_decimals(*format, cells, conversion, writer);
                break;
        }
        if (!outcome) return std::move(outcome).error();
    }
    return std::move(writer).finish();
}

}  // namespace vexilo::arrow
