// A producer's Arrow stream taken over, checked, and its columns read by the engine.
#include "python/arrow_input.h"

#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/arrow_table.h"
#include "engine/column_plan.h"
#include "engine/time_zone.h"
#include "python/arrow_capsule.h"
#include "python/engine_error.h"
#include "python/error_policy.h"
#include "python/signal_check.h"
#include "python/table_allocation.h"

namespace vexilo::py {
namespace {

constexpr const char* stream_capsule = "arrow_array_stream";

// The rows obj says it holds (len()), which bounds what its stream may give; the largest
// addressable count when it says nothing. Only an interrupt is returned.
Result<std::size_t> declared_rows(PyObject* obj) {
    const Py_ssize_t length = PyObject_Size(obj);
    if (length >= 0) return static_cast<std::size_t>(length);
    if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
    return static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / 16;
}

// True when some column of table holds nanosecond timestamps or durations, which pyarrow
// converts to pandas' types where pandas imports.
bool has_nanoseconds(const arrow::ArrowChunks& table) {
    const ArrowSchema& schema = table.schema();
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
        const char* format = schema.children[c] ? schema.children[c]->format : nullptr;
        if (format == nullptr) continue;
        const std::string_view text(format);
        if (text.starts_with("tsn") || text == "tDn") return true;
    }
    return false;
}

// Whose conversion to Python the texts of obj's dates and times follow (ArrowInput::flavour).
// pandas is imported (as pyarrow's own conversion would) only for a table of nanoseconds; only
// an interrupt raised there is returned.
Result<arrow::PythonFlavour> flavour_of(PyObject* obj, const ArrowInput& input) {
    if (input.out.kind == OutputKind::Kind::PolarsFrame) return arrow::PythonFlavour::polars;
    if (VX_TRY(type_in_package(obj, "duckdb")) || VX_TRY(type_in_package(obj, "_duckdb"))) {
        return arrow::PythonFlavour::duckdb;
    }
    if (!has_nanoseconds(input.table)) return arrow::PythonFlavour::pyarrow;
    PyRef pandas = PyRef::steal(PyImport_ImportModule("pandas"));
    if (!pandas) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return arrow::PythonFlavour::pyarrow_without_pandas;
    }
    return arrow::PythonFlavour::pyarrow;
}

PyErr memory_error(const std::string& type_name, const Error& error) {
    return PyErr::make(PyExc_ValueError, "the Arrow stream of a '" + type_name +
                                             "' is held in memory that breaks its format (" +
                                             error.message + "); nothing was read from it");
}

// A zone of the time zone database, read from its TZif file.
struct Zone {
    std::string name;
    arrow::TimeZone zone;
};

// The zones of names that the time zone database holds (vexilo._tzif finds their files as
// zoneinfo does); a name without a readable file is left out, for the lookup to report.
Result<std::vector<Zone>> load_zones(const std::vector<std::string>& names) {
    std::vector<Zone> zones;
    if (names.empty()) return zones;
    PyRef module = VX_TRY(checked(PyImport_ImportModule("vexilo._tzif")));
    PyRef find = VX_TRY(checked(PyObject_GetAttrString(module.get(), "tzif_bytes")));
    for (const std::string& name : names) {
        PyRef key = VX_TRY(checked(
            PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace")));
        PyRef bytes = VX_TRY(checked(PyObject_CallOneArg(find.get(), key.get())));
        if (!PyBytes_Check(bytes.get())) continue;
        const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
        Expected<arrow::TimeZone> zone = arrow::TimeZone::from_tzif(
            std::span(data, static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
        if (zone) zones.push_back(Zone{name, std::move(zone).value()});
    }
    return zones;
}

// The exception for a column that could not be opened: a TypeError for a type no reader takes,
// a ValueError for a value that cannot be rendered or memory that breaks its format.
PyErr unread_column(const Error& error, const OutputKind& out) {
    if (error.kind != ErrorKind::unsupported) return to_python_error(error, out);
    Result<std::string> label = column_label(error.column, out);
    if (!label) return std::move(label).error();
    const bool format = error.message.starts_with("the Arrow format") ||
                        error.message.starts_with("a dictionary of the Arrow format") ||
                        error.message.starts_with("a type without a format");
    if (format) {
        return PyErr::make(PyExc_TypeError, label.value() + " is of " + error.message +
                                                ", which vexilo does not read: cast it to text "
                                                "or numbers first");
    }
    return PyErr::make(PyExc_ValueError, label.value() + " cannot be read as text: " +
                                             error.message + "; nothing was read from the table");
}

}  // namespace

Result<std::optional<ArrowInput>> take_arrow_input(PyObject* obj, const std::string& type_name) {
    using Taken = std::optional<ArrowInput>;
    PyRef method = PyRef::steal(PyObject_GetAttrString(obj, "__arrow_c_stream__"));
    if (!method) return nothing_unless_interrupt<ArrowInput>();
    const std::size_t max_rows = VX_TRY(declared_rows(obj));
    PyRef capsule = VX_TRY(checked(PyObject_CallNoArgs(method.get())));
    if (!PyCapsule_IsValid(capsule.get(), stream_capsule)) {
        return PyErr::make(PyExc_TypeError, "'" + type_name +
                                                "'.__arrow_c_stream__() returned a '" +
                                                type_qualname(capsule.get()) +
                                                "', not an \"arrow_array_stream\" capsule");
    }
    auto* stream =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), stream_capsule));
    if (stream == nullptr || stream->release == nullptr) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return PyErr::make(PyExc_ValueError, "'" + type_name +
                                                 "'.__arrow_c_stream__() returned a stream "
                                                 "that is already released");
    }
    // Moved out: the capsule's destructor releases only a stream still marked live.
    ArrowArrayStream moved = *stream;
    stream->release = nullptr;
    Expected<arrow::ArrowChunks> drained = arrow::drain_table_stream(moved, max_rows);
    // A producer whose callbacks run Python code may leave its exception pending.
    if (PyErr_Occurred()) return PyErr::fetch();
    if (!drained) {
        switch (drained.error().kind) {
            case ErrorKind::unsupported:
                return Taken();  // not a table: the stream of a column, say
            case ErrorKind::producer_failed:
                return producer_failure(drained.error());
            default:
                return memory_error(type_name, drained.error());
        }
    }
    ArrowInput input;
    input.table = std::move(drained).value();
    input.out.kind = VX_TRY(type_in_package(obj, "polars")) ? OutputKind::Kind::PolarsFrame
                                                            : OutputKind::Kind::ArrowTable;
    input.out.column_names = arrow::column_names(input.table);
    input.flavour = VX_TRY(flavour_of(obj, input));
    return Taken(std::move(input));
}

Result<Collection> collect_arrow_table(ArrowInput& input, std::span<const ColumnTurn> turns) {
    if (!turns.empty()) {
        return PyErr::make(PyExc_TypeError,
                           "the pieces of a larger table are read from pandas frames, not from "
                           "Arrow tables");
    }
    const arrow::ArrowChunks& chunks = input.table;
    const std::vector<Zone> zones = VX_TRY(load_zones(arrow::named_zones(chunks)));
    const arrow::ZoneLookup lookup =
        [&zones](std::string_view name) -> Expected<const arrow::TimeZone*> {
        for (const Zone& zone : zones) {
            if (zone.name == name) return &zone.zone;
        }
        return make_error(ErrorKind::unsupported, "its time zone '" + std::string(name) +
                                                      "' is not in the time zone database");
    };
    const arrow::PythonFlavour flavour = input.flavour;
    std::optional<Expected<arrow::TableColumns>> opened;
    // The stream's claimed lengths, not checked yet, only say where the checks run.
    const std::size_t claimed_cells =
        table_cells(arrow::table_rows(chunks), input.out.column_names.size());
    VX_TRY(run_on_pool(claimed_cells, [&] {
        opened.emplace(arrow::open_table_columns(chunks, flavour, lookup));
    }));
    if (!*opened) return unread_column(opened->error(), input.out);
    const std::vector<arrow::ArrowColumn>& columns = opened->value().columns;
    const std::size_t rows = arrow::table_rows(chunks);
    Collection collected;
    collected.table = VX_TRY(new_table(rows, columns.size(), Layout::ColumnMajor));
    if (rows > 0) {
        std::vector<PlannedColumn> planned(columns.size());
        for (std::size_t col = 0; col < columns.size(); ++col) {
            planned[col].col = col;
            planned[col].arrow = &columns[col];
            planned[col].missing = MissingCell::NotANumber;
            planned[col].reader = columns[col].cell_type() == arrow::CellType::Number
                                      ? PlannedColumn::Reader::arrow_numbers
                                      : PlannedColumn::Reader::arrow_texts;
        }
        std::optional<Expected<std::vector<CollectedColumn>>> read;
        VX_TRY(run_on_pool(table_cells(rows, columns.size()),
                           [&] { read.emplace(read_planned_columns(planned, collected.table)); }));
        if (!*read) return to_python_error(read->error(), input.out);
        collected.columns.categorical = std::move(*read).value();
    }
    collected.arrow.push_back(std::move(input.table));
    collected.rendered = std::move(opened->value().rendered);
    return collected;
}

}  // namespace vexilo::py
