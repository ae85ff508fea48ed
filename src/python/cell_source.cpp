// Cell reading for the object-array encoding: the float conversion and text rules of a cell, and
// the NumPy memory layouts that are read without item access.
#include "python/cell_reader.h"

#include <bit>  // std::bit_cast
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "engine/format_double.h"
#include "python/conversion_support.h"

namespace vexilo::py {
namespace {

// How many rows ahead the objects of an object column are prefetched.
constexpr std::size_t prefetch_distance = 8;

template <class T>
T load(const char* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);  // array memory need not be aligned for T
    return value;
}

// IEEE binary16 to double, exactly (NaN payloads and signs kept), as NumPy converts float16.
double half_to_double(std::uint16_t bits) noexcept {
    const std::uint64_t sign = static_cast<std::uint64_t>(bits & 0x8000u) << 48;
    const unsigned exponent = (bits >> 10) & 0x1fu;
    const std::uint64_t mantissa = bits & 0x3ffu;
    if (exponent == 0) {
        const double magnitude = std::ldexp(static_cast<double>(mantissa), -24);
        return sign ? -magnitude : magnitude;
    }
    const std::uint64_t biased = exponent == 31 ? 0x7ffu : exponent - 15u + 1023u;
    return std::bit_cast<double>(sign | (biased << 52) | (mantissa << 42));
}

// The float conversion of a cell by the rules of PyFloat_AsDouble: a number, nothing when the cell
// does not convert (its exception discarded), or an interrupt raised by the cell's own code.
Result<std::optional<double>> as_number(PyObject* cell) {
    if (PyFloat_CheckExact(cell)) return std::optional<double>(PyFloat_AS_DOUBLE(cell));
    // Neither converts; trying would only build an exception to throw away.
    if (PyUnicode_CheckExact(cell) || cell == Py_None) return std::optional<double>();
    const double value = PyLong_CheckExact(cell) ? PyLong_AsDouble(cell) : PyFloat_AsDouble(cell);
    if (value == -1.0 && PyErr_Occurred()) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return std::optional<double>();
    }
    return std::optional<double>(value);
}

}  // namespace

Result<bool> is_exact_array(PyObject* table) {
    if (Py_TYPE(table) == &PyArray_Type) return true;

    // numpy.memmap derives from ndarray directly; anything else cannot be it.
    if (Py_TYPE(table)->tp_base != &PyArray_Type) return false;
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    PyRef memmap = numpy ? PyRef::steal(PyObject_GetAttrString(numpy.get(), "memmap")) : PyRef();
    if (!memmap) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return false;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(table)) == memmap.get();
}

// ---------------------------------------------------------------------------------------------

void ColumnCells::make_categorical() {
    categorical_ = true;
    views_.reserve(std::max(reserve_hint_, numbers_.size() + 1));
    for (double number : numbers_) {
        char text[format_double_capacity];
        add_owned(std::string_view(text, format_double(number, text)));
    }
    numbers_ = std::vector<double>();
}

void ColumnCells::add_owned(std::string_view text) {
    buffer_.insert(buffer_.end(), text.begin(), text.end());
    owned_.push_back({views_.size(), text.size()});
    views_.emplace_back();
}

Status ColumnCells::add_object(PyRef cell, Pins* pins) {
    if (!categorical_) {
        const std::optional<double> number = VX_TRY(as_number(cell.get()));
        if (number) {
            numbers_.push_back(*number);
            return Unit{};
        }
        make_categorical();
    }
    return add_text(std::move(cell), pins);
}

Status ColumnCells::add_text(PyRef cell, Pins* pins) {
    PyObject* const object = cell.get();
    if (PyUnicode_CheckExact(object)) {
        // str() of an exact str is the object itself: take its text without a call.
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
        if (!utf8) {
            if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
            return add_lenient_text(object);
        }
        if (pins) {
            views_.emplace_back(utf8, static_cast<std::size_t>(size));
            pins->push_back(std::move(cell));
        } else {
            add_owned(std::string_view(utf8, static_cast<std::size_t>(size)));
        }
        return Unit{};
    }
    if (object == Py_None) {
        add_owned("None");
        return Unit{};
    }
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) return stop(PyErr::fetch(), str_failure);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return add_lenient_text(text.get());
    }
    add_owned(std::string_view(utf8, static_cast<std::size_t>(size)));
    return Unit{};
}

Status ColumnCells::add_lenient_text(PyObject* text) {
    // A text with lone surrogates has no UTF-8 form: pass them through, then decode the bytes
    // leniently, each invalid sequence becoming U+FFFD.
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) return stop(PyErr::fetch(), unhandled_error);
    PyRef clean = PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                    PyBytes_GET_SIZE(bytes.get()), "replace"));
    Py_ssize_t size = 0;
    const char* utf8 = clean ? PyUnicode_AsUTF8AndSize(clean.get(), &size) : nullptr;
    if (!utf8) return stop(PyErr::fetch(), unhandled_error);
    add_owned(std::string_view(utf8, static_cast<std::size_t>(size)));
    return Unit{};
}

void ColumnCells::add_code_points(const char* data, std::size_t count) {
    if (!categorical_) make_categorical();
    const std::size_t start = buffer_.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t point = load<std::uint32_t>(data + 4 * i);
        if (point < 0x80) {
            buffer_.push_back(static_cast<char>(point));
        } else if (point < 0x800) {
            buffer_.push_back(static_cast<char>(0xC0 | (point >> 6)));
            buffer_.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            // Passed through as ED xx xx, which the lenient decoding reads as three bad bytes.
            constexpr std::string_view replaced = "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
            buffer_.insert(buffer_.end(), replaced.begin(), replaced.end());
        } else if (point < 0x10000) {
            buffer_.push_back(static_cast<char>(0xE0 | (point >> 12)));
            buffer_.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
            buffer_.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        } else {
            buffer_.push_back(static_cast<char>(0xF0 | (point >> 18)));
            buffer_.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
            buffer_.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
            buffer_.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        }
    }
    owned_.push_back({views_.size(), buffer_.size() - start});
    views_.emplace_back();
}

void ColumnCells::finish() {
    if (!categorical_) return;
    // The buffer no longer grows, so views into it stay valid from here on.
    // An empty buffer may have no address at all; its (empty) views still need a valid one.
    const char* const base = buffer_.empty() ? "" : buffer_.data();
    std::size_t offset = 0;
    for (const OwnedText& text : owned_) {
        views_[text.index] = std::string_view(base + offset, text.size);
        offset += text.size;
    }
    owned_ = std::vector<OwnedText>();
}

void ColumnCells::release() noexcept {
    numbers_ = std::vector<double>();
    owned_ = std::vector<OwnedText>();
    buffer_ = std::vector<char>();
    views_ = std::vector<std::string_view>();
}

// ---------------------------------------------------------------------------------------------

std::optional<ElementKind> element_kind(const PyArray_Descr* descr) noexcept {
    if (!PyArray_ISNBO(descr->byteorder)) return std::nullopt;
    const npy_intp size = PyDataType_ELSIZE(descr);
    switch (descr->kind) {
        case 'O':
            if (descr->type_num == NPY_OBJECT) return ElementKind::Objects;
            return std::nullopt;
        case 'U':
            if (size % 4 == 0) return ElementKind::Unicode;
            return std::nullopt;
        case 'b':
            if (size == 1) return ElementKind::Bool;
            return std::nullopt;
        case 'i':
            if (size == 1) return ElementKind::Int8;
            if (size == 2) return ElementKind::Int16;
            if (size == 4) return ElementKind::Int32;
            if (size == 8) return ElementKind::Int64;
            return std::nullopt;
        case 'u':
            if (size == 1) return ElementKind::UInt8;
            if (size == 2) return ElementKind::UInt16;
            if (size == 4) return ElementKind::UInt32;
            if (size == 8) return ElementKind::UInt64;
            return std::nullopt;
        case 'f':
            if (descr->type_num == NPY_LONGDOUBLE) {
                if (size == static_cast<npy_intp>(sizeof(long double))) {
                    return ElementKind::LongDouble;
                }
                return std::nullopt;
            }
            if (size == 2) return ElementKind::Half;
            if (size == 4) return ElementKind::Float;
            if (size == 8) return ElementKind::Double;
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

double typed_number(ElementKind kind, const char* at) noexcept {
    switch (kind) {
        case ElementKind::Bool:
            return load<std::uint8_t>(at) != 0 ? 1.0 : 0.0;
        case ElementKind::Int8:
            return static_cast<double>(load<std::int8_t>(at));
        case ElementKind::Int16:
            return static_cast<double>(load<std::int16_t>(at));
        case ElementKind::Int32:
            return static_cast<double>(load<std::int32_t>(at));
        case ElementKind::Int64:
            return static_cast<double>(load<std::int64_t>(at));
        case ElementKind::UInt8:
            return static_cast<double>(load<std::uint8_t>(at));
        case ElementKind::UInt16:
            return static_cast<double>(load<std::uint16_t>(at));
        case ElementKind::UInt32:
            return static_cast<double>(load<std::uint32_t>(at));
        case ElementKind::UInt64:
            return static_cast<double>(load<std::uint64_t>(at));
        case ElementKind::Half:
            return half_to_double(load<std::uint16_t>(at));
        case ElementKind::Float:
            return static_cast<double>(load<float>(at));
        case ElementKind::Double:
            return load<double>(at);
        case ElementKind::LongDouble:
            return static_cast<double>(load<long double>(at));
        case ElementKind::Objects:
        case ElementKind::Unicode:
            break;
    }
    return 0.0;  // not a number kind; no caller asks
}

CellSource::CellSource(PyRef table, std::optional<ElementKind> kind) noexcept
    : table_(std::move(table)), kind_(kind) {
    if (!kind_) return;
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(table_.get()));
    descr_ = PyRef::borrow(reinterpret_cast<PyObject*>(descr));
    item_size_ = static_cast<std::size_t>(PyDataType_ELSIZE(descr));
}

Result<CellSource> CellSource::open(PyRef table) {
    const std::optional<ElementKind> kind = VX_TRY(kind_of(table.get()));
    return CellSource(std::move(table), kind);
}

Result<std::optional<ElementKind>> CellSource::kind_of(PyObject* table) {
    // Subclasses may change item access, so only the two NumPy types themselves are read from
    // memory.
    if (!VX_TRY(is_exact_array(table))) return std::optional<ElementKind>();
    return element_kind(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(table)));
}

const char* CellSource::address(std::size_t row, std::size_t col) const noexcept {
    // Read the geometry afresh for every cell: Python code run by an earlier cell may have
    // reshaped, retyped or reallocated the array. Whatever no longer matches goes to item access,
    // which then answers as NumPy would.
    PyArrayObject* const array = reinterpret_cast<PyArrayObject*>(table_.get());
    if (reinterpret_cast<PyObject*>(PyArray_DESCR(array)) != descr_.get() ||
        PyArray_NDIM(array) != 2) {
        return nullptr;
    }
    const npy_intp* dims = PyArray_DIMS(array);
    if (row >= static_cast<std::size_t>(dims[0]) || col >= static_cast<std::size_t>(dims[1])) {
        return nullptr;
    }
    return PyArray_BYTES(array) + static_cast<npy_intp>(row) * PyArray_STRIDE(array, 0) +
           static_cast<npy_intp>(col) * PyArray_STRIDE(array, 1);
}

Status CellSource::read(std::size_t row, std::size_t col, ColumnCells& column, Pins& pins) {
    const char* at = kind_ ? address(row, col) : nullptr;
    if (!at) return read_item(row, col, column);
    switch (*kind_) {
        case ElementKind::Objects: {
            // The objects of a column lie scattered in memory: ask for one a few rows ahead now, so
            // that its header is cached when its turn comes. A prefetch never faults, even if the
            // object is gone by then.
            if (const char* ahead = address(row + prefetch_distance, col)) {
                __builtin_prefetch(load<PyObject*>(ahead));
            }
            PyObject* cell = load<PyObject*>(at);
            // The common numeric cell runs no code, so it needs no reference of its own.
            if (cell && PyFloat_CheckExact(cell) && !column.categorical()) {
                column.add_number(PyFloat_AS_DOUBLE(cell));
                return Unit{};
            }
            // NumPy reads an unset slot of an object array as None.
            return column.add_object(PyRef::borrow(cell ? cell : Py_None), &pins);
        }
        case ElementKind::Unicode: {
            // NumPy drops trailing NULs and refuses code points beyond U+10FFFF; item access
            // reports those as NumPy words it.
            std::size_t count = item_size_ / 4;
            while (count > 0 && load<std::uint32_t>(at + 4 * (count - 1)) == 0) --count;
            for (std::size_t i = 0; i < count; ++i) {
                if (load<std::uint32_t>(at + 4 * i) > 0x10FFFF) return read_item(row, col, column);
            }
            column.add_code_points(at, count);
            return Unit{};
        }
        default:
            // A typed number always converts, so a categorical column here was turned by a cell
            // read through item access; keep to item access for str() of the NumPy scalar.
            if (column.categorical()) return read_item(row, col, column);
            column.add_number(typed_number(*kind_, at));
            return Unit{};
    }
}

Status CellSource::read_item(std::size_t row, std::size_t col, ColumnCells& column) {
    PyRef row_index = VX_TRY(checked(PyLong_FromSize_t(row)));
    PyRef col_index = VX_TRY(checked(PyLong_FromSize_t(col)));
    PyRef key = VX_TRY(checked(PyTuple_Pack(2, row_index.get(), col_index.get())));
    PyRef item = PyRef::steal(PyObject_GetItem(table_.get(), key.get()));
    if (!item) return stop(PyErr::fetch(), unhandled_error);
    return column.add_object(std::move(item), nullptr);
}

}  // namespace vexilo::py
