// The texts of Arrow dates, times, timestamps, durations and decimals: each cell's text is what
// str() gives the Python value that the producer's own conversion to Python makes of it, written
// natively, with no interpreter. Interpreter-free.
//
// What the producers' conversions give, as found with polars 2.2, pyarrow 26 and pandas 3.1:
//
// kind (format)          pyarrow (Array.to_pylist)            polars (Series.to_list)
// date32 (tdD)           date: 2024-01-31                     the same
// date64 (tdm)           date of the day the ms fall in       datetime (as timestamp[ms])
// time32/64 (tt*)        time: 13:05:09[.ffffff], ns cut to   the same for values within a day;
//                        us; values outside a day wrap        polars makes others null: here
//                        around it                            they are an error
// timestamp s/ms/us      datetime: 2024-01-31 13:05:09[.ffffff][+01:00]
//                        (us only where nonzero; the offset only with a zone, with :SS where the
//                        offset has seconds, as the local mean times before 1900 do)
// timestamp ns           pandas Timestamp: the fraction has   datetime: ns cut to us (floored)
//                        9 digits where the ns are not whole
//                        us, else 6 where nonzero; the
//                        int64 minimum is NaT
// duration s/ms/us       timedelta: "-1 day, 23:59:59[.ffffff]": whole days (floored) then the
//                        rest; "days" when not 1 or -1; the days within +-999999999
// duration ns            pandas Timedelta: "-1 days           timedelta: ns cut to us towards
//                        +23:59:59[.fffffffff]"; the int64    zero (not floored, unlike
//                        minimum is NaT                       timestamps)
// decimal (d:P,S[,B])    Decimal(unscaled).scaleb(-S), so str(Decimal): plain for an exponent
//                        <= 0 with an adjusted exponent >= -6 (0.0000010000, 0.00), else
//                        scientific (0E-10, 1.000E-7, -1.2E+4 for a negative scale)
//
// Zoned timestamps are shown in the zone's local time at that instant, so an hour repeated when
// clocks go back shows two offsets (Europe/Paris 2024-10-27 02:00:00+02:00, then +01:00). The
// zone text: empty for naive values; "UTC"; fixed offsets "+HH:MM" / "-HH:MM"; any other name is
// asked of the ZoneLookup (pyarrow's conversion asks Python's zoneinfo; one it cannot find, such
// as "+0100" or "utc", fails there too). polars keeps its own copy of the time zone database for
// the local time and asks zoneinfo only for the offset, so where the two copies differ (before
// 1970, for zones the database has since merged into others, Europe/Amsterdam 1930 say) polars
// shows another local time; this renderer follows the TZif data it is given.
//
// Values that the producer's conversion refuses (OverflowError, ValueError, InvalidOperation)
// are an error of kind ErrorKind::unsupported naming the row, and nothing is rendered: dates and
// timestamps outside the years 1 to 9999, in UTC or in local time (polars and DuckDB check the
// local time alone); pyarrow's zoned nanoseconds whose local time leaves pandas' int64 range;
// nanoseconds that are not whole microseconds, for pyarrow without pandas; durations past
// 999999999 days; times outside a day, for polars and DuckDB; and every pyarrow decimal32 or
// decimal64 whose scale has more digits than its width's greatest precision (9, 18), which
// pyarrow cannot convert. polars cannot read a decimal of a negative scale, or one of 256 bits;
// this renders those as pyarrow does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>  // std::free
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/arrow_abi.h"
#include "engine/expected.h"
#include "engine/time_zone.h"

namespace vexilo::arrow {

// Whose conversion to Python the texts follow: polars' Series.to_list(); pyarrow's
// Array.to_pylist() with pandas installed (which gives pandas' types for nanoseconds) or without
// it (Python's types, refusing nanoseconds that are not whole microseconds); DuckDB's fetchall(),
// which is polars' but for nanosecond timestamps, cut towards zero to microseconds, date64 read
// as dates, and its infinities (the greatest date32 or timestamp value and its negation), shown
// as 9999-12-31 [23:59:59.999999] and 0001-01-01 [00:00:00] without an offset. (DuckDB shows zoned
// timestamps in its session's zone, the zone it exports them in; its texts for values beyond
// Python's years, "5877642-06-23 (BC)", are not made here: those are an error.)
enum class PythonFlavour { polars, pyarrow, pyarrow_without_pandas, duckdb };

// Whether format (an Arrow C data interface format string) is one render_column renders: date32
// "tdD", date64 "tdm", time32 "tts" "ttm", time64 "ttu" "ttn", timestamps "tss:ZONE" "tsm:ZONE"
// "tsu:ZONE" "tsn:ZONE" (any zone text; whether the zone is known shows only when rendering),
// durations "tDs" "tDm" "tDu" "tDn", decimals "d:P,S" and "d:P,S,BITS" with BITS 32, 64, 128 or
// 256. Any thread.
bool is_rendered_format(std::string_view format) noexcept;

// The zone name a rendered format asks its ZoneLookup for: that of a timestamp format whose zone
// is neither empty, "UTC" nor a fixed offset "+HH:MM" / "-HH:MM" (which need no lookup), else
// nothing. For resolving zones beforehand, on a thread that may run Python code. Any thread.
std::optional<std::string_view> zone_to_look_up(std::string_view format) noexcept;

// The zone of a name, owned by the caller and alive while render_column runs; or an error
// (ErrorKind::unsupported, its message naming the zone) that render_column passes on. Called on
// the thread that called render_column.
using ZoneLookup = std::function<Expected<const TimeZone*>(std::string_view name)>;

// The rendered texts of a column, owned, as the buffers of an Arrow large string array ("U"):
// 64-bit offsets, UTF-8 data (ASCII, in fact) and a validity bitmap, null where the source is
// null. Movable; the buffers stay where they are when it moves. Any number of threads may read
// it at once.
class RenderedColumn {
public:
    // The rows of all the chunks rendered, and how many of them are null.
    std::size_t rows() const noexcept { return rows_; }
    std::size_t null_count() const noexcept { return null_count_; }
    // Whether row is null (its source cell was); needs row < rows().
    bool is_null(std::size_t row) const noexcept {
        return ((unsigned{validity_[row >> 3]} >> (row & 7)) & 1u) == 0;
    }
    // The text of row (empty for a null row); needs row < rows().
    std::string_view text(std::size_t row) const noexcept {
        const auto first = static_cast<std::size_t>(offsets_[row]);
        const auto last = static_cast<std::size_t>(offsets_[row + 1]);
        return {data_.get() + first, last - first};
    }

    // A view of the texts as an Arrow array of all rows (offset 0): borrowed, valid while this
    // column lives and stays unmoved-from; its release callback only marks it released.
    ArrowArray array() const noexcept;
    // The schema of that array: format "U", nullable, no name; borrowed likewise.
    ArrowSchema schema() const noexcept;

private:
    friend class ColumnWriter;

    std::size_t rows_ = 0;
    std::size_t null_count_ = 0;
    std::vector<std::int64_t> offsets_;
    struct FreeData {
        void operator()(char* data) const noexcept { std::free(data); }
    };
    std::unique_ptr<char, FreeData> data_;  // from std::realloc: the writer grows it in place
    std::vector<std::uint8_t> validity_;
    std::unique_ptr<const void*[]> buffers_;  // validity, offsets, data: where array() points
};

// Renders the cells of one column: schema is the column's schema (a rendered format, no children,
// no dictionary), arrays its chunks in row order, read at their `offset` for `length` cells and
// never released. Checks every array as ArrowColumn does (not released, non-negative lengths and
// offsets that fit, two buffers, the values buffer present when any cell is) before reading.
// Returns the texts of all rows, or: ErrorKind::invalid_memory for an array or schema that breaks
// those rules; ErrorKind::unsupported for a format it does not render (a dictionary-encoded
// column's values are rendered by calling it on the dictionary's schema and arrays), a zone it
// cannot find (zones' own error) or a value the flavour's conversion refuses (error.row the row,
// counted across the chunks). Throws std::bad_alloc. Any thread; zones is called on this one.
Expected<RenderedColumn> render_column(const ArrowSchema& schema,
                                       std::span<const ArrowArray> arrays, PythonFlavour flavour,
                                       const ZoneLookup& zones);

}  // namespace vexilo::arrow
