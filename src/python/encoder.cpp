// vexilo.EncoderState: construction, deallocation, the borrow-guarded method frames and pickling.
#include "python/encoder.h"

#include <cmath>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "engine/borrow_flag.h"
#include "engine/encoding_info.h"
#include "engine/format_double.h"
#include "engine/frozen_texts.h"
#include "engine/state_codec.h"
#include "python/apply_encoding.h"
#include "python/arguments.h"
#include "python/build_result.h"
#include "python/category_frame.h"
#include "python/engine_error.h"
#include "python/error_policy.h"
#include "python/learned_categories.h"
#include "python/method_frame.h"
#include "python/read_table.h"
#include "python/signal_check.h"

namespace vexilo::py {
namespace {

// What categories made of the learned state, kept until the state changes, so that an access
// costs a copy of the containers rather than a str for every label. Any thread: a mutex guards
// the reference, and no Python code runs under it (what it drops is released after it).
class CategoriesCache {
public:
    // The kept dict (a new reference), or null when there is none.
    PyRef get() {
        std::lock_guard lock(mutex_);
        return cached_ ? PyRef::borrow(cached_.get()) : PyRef();
    }
    // Keeps built unless another thread kept one first.
    void keep(PyRef built) {
        std::lock_guard lock(mutex_);
        if (!cached_) std::swap(cached_, built);
    }
    // Forgets what was kept: for every change of the state.
    void drop() {
        PyRef dropped;
        std::lock_guard lock(mutex_);
        std::swap(dropped, cached_);
    }

private:
    std::mutex mutex_;
    PyRef cached_;
};

// The object header, then the learned state, then the borrow flag. The C++ members are built
// with placement new in encoder_new and destroyed explicitly in encoder_dealloc.
struct EncoderObject {
    PyObject ob_base;
    EncoderState value;
    // The column count of the table the state was learned from, where known (set by encode and by
    // the pieces of vexilo.dask). Kept in memory only: the state bytes have no room for it, so a
    // restored state does not know it.
    std::optional<std::size_t> learned_columns;
    BorrowFlag borrow;
    CategoriesCache categories;
};

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

constexpr Parameter optional_encoding[] = {{"encoding", false}};
constexpr Parameter required_obj[] = {{"obj", true}};
constexpr Parameter obj_and_unknown[] = {{"obj", true}, {"unknown", false, true}};
constexpr Parameter obj_and_as_category[] = {{"obj", true}, {"as_category", false, true}};
constexpr Parameter required_state[] = {{"state", true}};
constexpr Signature new_signature{"Encoder.__new__", optional_encoding};
constexpr Signature encode_signature{"Encoder.encode", required_obj};
constexpr Signature decode_signature{"Encoder.decode", obj_and_as_category};
constexpr Signature setstate_signature{"Encoder.__setstate__", required_state};
constexpr Signature transform_signature{"Encoder.transform", obj_and_unknown};

PyErr not_an_instance(PyObject* object, const char* expected, const char* parameter) {
    const std::string what = object == Py_None ? std::string("'None' is not")
                                               : "'" + type_qualname(object) + "' object is not";
    return PyErr::make(PyExc_TypeError, what + " an instance of '" + expected + "'")
        .with_note(parameter);
}

Result<StringEncoding> parse_string_encoding(PyObject* encoding) {
    if (!encoding || encoding == Py_None) return StringEncoding::Label;
    if (!PyUnicode_Check(encoding)) {
        return not_an_instance(encoding, "str", "while processing 'encoding'");
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(encoding, &size);
    if (!text) return PyErr::fetch().with_note("while processing 'encoding'");
    const std::string_view name(text, static_cast<std::size_t>(size));
    if (name != "label") {
        return PyErr::make(
            PyExc_ValueError,
            std::string(name) + std::string(frozen_text::unsupported_string_encoding));
    }
    return StringEncoding::Label;
}

PyErr already_borrowed() { return PyErr::make(PyExc_RuntimeError, frozen_text::already_borrowed); }
PyErr already_mutably_borrowed() {
    return PyErr::make(PyExc_RuntimeError, frozen_text::already_mutably_borrowed);
}

Result<PyRef> categorical_column_list(const EncodingInfo& info) {
    PyRef list =
        VX_TRY(checked(PyList_New(static_cast<Py_ssize_t>(info.categorical_columns.size()))));
    Py_ssize_t slot = 0;
    for (ColumnIndex column : info.categorical_columns) {
        PyRef index = VX_TRY(checked(PyLong_FromSize_t(column)));
        PyList_SET_ITEM(list.get(), slot++, index.release());
    }
    return list;
}

PyErr invalid_unknown(PyObject* type, const std::string& what) {
    return PyErr::make(type, "unknown must be \"nan\", \"error\" or a number, not " + what);
}

// transform's unknown: "nan" (the default), "error", or a number (the code of unseen texts; NaN
// means "nan"). Any object with a float conversion counts as a number, but bool does not.
Result<UnknownPolicy> parse_unknown(PyObject* unknown) {
    if (!unknown) return UnknownPolicy{};
    if (PyUnicode_Check(unknown)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(unknown, &size);
        if (!text) return PyErr::fetch();
        const std::string_view name(text, static_cast<std::size_t>(size));
        if (name == "nan") return UnknownPolicy{UnknownPolicy::Kind::Missing, 0};
        if (name == "error") return UnknownPolicy{UnknownPolicy::Kind::Error, 0};
        PyRef repr = VX_TRY(checked(PyObject_Repr(unknown)));
        const char* quoted = PyUnicode_AsUTF8(repr.get());
        if (!quoted) return PyErr::fetch();
        return invalid_unknown(PyExc_ValueError, quoted);
    }
    const std::string type_name = "'" + type_qualname(unknown) + "'";
    if (PyBool_Check(unknown)) return invalid_unknown(PyExc_TypeError, type_name);
    const double code = PyFloat_AsDouble(unknown);
    if (code == -1.0 && PyErr_Occurred()) {
        const bool too_large = PyErr_ExceptionMatches(PyExc_OverflowError);
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        if (too_large) {
            return PyErr::make(PyExc_OverflowError,
                               "unknown must be \"nan\", \"error\" or a number, and this " +
                                   type_name + " is too large for a float");
        }
        return invalid_unknown(PyExc_TypeError, type_name);
    }
    if (std::isnan(code)) return UnknownPolicy{UnknownPolicy::Kind::Missing, 0};
    return UnknownPolicy{UnknownPolicy::Kind::Code, code};
}

// Refuses a code for unseen texts that a listed column already gives a learned label: an
// integral code c with 0 <= c < that column's label count. Unseen texts could not be told from
// that label. Other numbers (negative, fractions, codes past every column's labels) are accepted.
Status check_unknown_code(const UnknownPolicy& unknown, const EncodingInfo& info) {
    const double code = unknown.code;
    if (unknown.kind != UnknownPolicy::Kind::Code || code < 0.0 || std::floor(code) != code) {
        return Unit{};
    }
    for (const ColumnIndex column : info.categorical_columns) {
        const std::size_t labels = learned_label_count(info, column);
        if (code >= static_cast<double>(labels)) continue;
        std::string message = "unknown=";
        append_double(message, code);
        message += " is a learned code of column " + std::to_string(column) + ", which codes its " +
                   std::to_string(labels) + " labels 0 to " + std::to_string(labels - 1) +
                   ": unseen texts could not be told from that label (use \"nan\", a negative "
                   "code or one above every column's codes)";
        return PyErr::make(PyExc_ValueError, message);
    }
    return Unit{};
}

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* encoding = nullptr;
        VX_TRY(bind_tuple(new_signature, args, kwargs, {&encoding, 1}));
        const StringEncoding string_encoding = VX_TRY(parse_string_encoding(encoding));
        PyRef self = VX_TRY(checked(type->tp_alloc(type, 0)));
        EncoderObject* object = as_encoder(self.get());
        new (&object->value) EncoderState{std::nullopt, string_encoding};
        new (&object->learned_columns) std::optional<std::size_t>();
        new (&object->borrow) BorrowFlag();
        new (&object->categories) CategoriesCache();
        return self;
    });
}

void encoder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    EncoderObject* object = as_encoder(self);
    object->value.~EncoderState();
    object->learned_columns.~optional();
    object->borrow.~BorrowFlag();
    object->categories.~CategoriesCache();
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* obj = nullptr;
        VX_TRY(bind_vectorcall(encode_signature, args, nargs, kwnames, {&obj, 1}));
        EncoderObject* encoder = as_encoder(self);
        ExclusiveBorrow borrow(encoder->borrow);
        if (!borrow.held()) return already_borrowed();

        Conversion conversion = VX_TRY(read_table(obj, encoder->value.string_encoding));
        // A signal that came while the last of the work was freed ends the call here, before
        // anything is stored, rather than just after it returns with the new state.
        VX_TRY(check_signals());
        // The new state is stored before the output is built: an output error leaves it in place.
        // An interrupt (Ctrl-C raised in the output's Python code) restores the state before the
        // call instead.
        std::optional<EncodingInfo> previous =
            std::exchange(encoder->value.encoding_info, std::move(conversion.encoding_info));
        encoder->categories.drop();
        const std::optional<std::size_t> previous_columns =
            std::exchange(encoder->learned_columns, conversion.table.cols);
        Result<PyRef> built =
            build_result(std::move(conversion.table), std::move(conversion.out), nullptr);
        if (!built) {
            PyErr error = std::move(built).error();
            if (is_interrupt(error)) {
                encoder->value.encoding_info = std::move(previous);
                encoder->learned_columns = previous_columns;
            }
            return error;
        }
        previous.reset();
        PyRef table = std::move(built).value();
        PyRef columns = encoder->value.encoding_info
                            ? VX_TRY(categorical_column_list(*encoder->value.encoding_info))
                            : PyRef::borrow(Py_None);
        return checked(PyTuple_Pack(2, table.get(), columns.get()));
    });
}

// decode's as_category: True or False only, so that a stray value (a string, a column name)
// does not pass for a wish.
Result<bool> parse_as_category(PyObject* as_category) {
    if (!as_category || as_category == Py_False) return false;
    if (as_category == Py_True) return true;
    return PyErr::make(PyExc_TypeError, "as_category must be True or False, not '" +
                                            type_qualname(as_category) + "'");
}

PyObject* encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* bound[2] = {nullptr, nullptr};
        VX_TRY(bind_vectorcall(decode_signature, args, nargs, kwnames, bound));
        PyObject* obj = bound[0];
        const bool as_category = VX_TRY(parse_as_category(bound[1]));
        EncoderObject* encoder = as_encoder(self);
        SharedBorrow borrow(encoder->borrow);
        if (!borrow.held()) return already_mutably_borrowed();

        const auto& stored = encoder->value.encoding_info;
        if (as_category && stored) {
            std::optional<PyRef> quick = VX_TRY(float_frame_categories(obj, *stored));
            if (quick) return std::move(*quick);
        }
        // Whatever the conversion learns is discarded: decoding uses the stored state only.
        Conversion conversion = VX_TRY(read_table(obj, encoder->value.string_encoding));
        return build_result(std::move(conversion.table), std::move(conversion.out),
                            stored ? &*stored : nullptr, as_category);
    });
}

// The body of transform, with the turns of a piece of a larger table (none for a whole table);
// as_array gives the codes as a float64 array whatever obj's kind.
Result<PyRef> transform_with(PyObject* self, PyObject* obj, PyObject* unknown_policy,
                             std::span<const ColumnTurn> turns, bool as_array = false) {
    const UnknownPolicy unknown = VX_TRY(parse_unknown(unknown_policy));
    EncoderObject* encoder = as_encoder(self);
    // Shared, like decode: the state is only read, so transforms may overlap.
    SharedBorrow borrow(encoder->borrow);
    if (!borrow.held()) return already_mutably_borrowed();
    const auto& stored = encoder->value.encoding_info;
    if (!stored) {
        return PyErr::make(PyExc_ValueError,
                           "this encoder has learned nothing to transform with: encode a "
                           "table first (a 2-D float64 array teaches it nothing)");
    }
    VX_TRY(check_unknown_code(unknown, *stored));
    Conversion coded =
        VX_TRY(apply_encoding(obj, *stored, unknown, encoder->learned_columns, turns));
    return build_result(std::move(coded.table), as_array ? OutputKind{} : std::move(coded.out),
                        nullptr);
}

PyObject* encoder_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* bound[2] = {nullptr, nullptr};
        VX_TRY(bind_vectorcall(transform_signature, args, nargs, kwnames, bound));
        return transform_with(self, bound[0], bound[1], {});
    });
}

PyObject* encoder_categories(PyObject* self, void*) {
    return run_frame([&]() -> Result<PyRef> {
        EncoderObject* encoder = as_encoder(self);
        SharedBorrow borrow(encoder->borrow);
        if (!borrow.held()) return already_mutably_borrowed();
        const auto& stored = encoder->value.encoding_info;
        if (!stored) return learned_categories(nullptr);
        PyRef kept = encoder->categories.get();
        if (!kept) {
            kept = VX_TRY(learned_categories(&*stored));
            encoder->categories.keep(PyRef::borrow(kept.get()));
        }
        return fresh_categories(kept.get());
    });
}

PyObject* encoder_getstate(PyObject* self, PyObject*) {
    return run_frame([&]() -> Result<PyRef> {
        EncoderObject* encoder = as_encoder(self);
        SharedBorrow borrow(encoder->borrow);
        if (!borrow.held()) return already_mutably_borrowed();
        // The bytes object is the writer's one exact-size buffer: no second copy of the state.
        const std::size_t size = state_size(encoder->value);
        PyRef bytes =
            VX_TRY(checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
        write_state_to(
            encoder->value,
            std::span(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), size));
        return bytes;
    });
}

PyObject* encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* state = nullptr;
        VX_TRY(bind_vectorcall(setstate_signature, args, nargs, kwnames, {&state, 1}));
        EncoderObject* encoder = as_encoder(self);
        // The borrow is taken before the argument is checked: a conflict wins over a wrong type.
        ExclusiveBorrow borrow(encoder->borrow);
        if (!borrow.held()) return already_borrowed();
        if (!PyBytes_Check(state))
            return not_an_instance(state, "bytes", "while processing 'state'");

        const std::span<const std::uint8_t> bytes(
            reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(state)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(state)));
        Expected<EncoderState> decoded = read_state(bytes);
        if (!decoded) return to_python_error(decoded.error());
        encoder->value = std::move(decoded).value();
        encoder->learned_columns.reset();
        encoder->categories.drop();
        return PyRef::borrow(Py_None);
    });
}

PyMethodDef encoder_methods[] = {
    {"encode", as_cfunction(encoder_encode), METH_FASTCALL | METH_KEYWORDS,
     "encode($self, obj)\n--\n\n"},
    {"decode", as_cfunction(encoder_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, obj, *, as_category=False)\n--\n\n"
     "Texts back from the codes of obj with the learned state, column by column by position:\n"
     "each listed column's labels (NaN, codes at or below -1 and codes without a label become\n"
     "\"NaN\" in an array, None in a DataFrame, null in an Arrow table); other columns keep\n"
     "their numbers. With as_category=True each listed column is instead a categorical column\n"
     "whose categories are its labels in code order, missing where the label would be: a\n"
     "pandas category column, a polars Enum, a pyarrow dictionary; an array raises TypeError."},
    {"__getstate__", as_cfunction(encoder_getstate), METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", as_cfunction(encoder_setstate), METH_FASTCALL | METH_KEYWORDS,
     "__setstate__($self, state)\n--\n\n"},
    {"transform", as_cfunction(encoder_transform), METH_FASTCALL | METH_KEYWORDS,
     "transform($self, obj, *, unknown='nan')\n--\n\n"
     "Codes of obj under the learned encoding, which stays as it is: each cell's text, derived as\n"
     "encode derives it, looked up in what its column learned. unknown says what a text the\n"
     "column never saw becomes: 'nan' (NaN), 'error' (ValueError) or a number (that code).\n"
     "Missing values stay NaN; columns learned as numbers must hold numbers. Returns a float64\n"
     "array for an array, a DataFrame for a DataFrame."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef encoder_getset[] = {
    {"categories", encoder_categories, nullptr,
     "What was learned: a dict from each categorical column to its labels by code (a list when\n"
     "the codes are 0..k-1, else a dict from code to label). New objects on every access.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

char encoder_doc[] = "Encoder(encoding=None)\n--\n\n";

PyType_Slot encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_doc, encoder_doc},
    {Py_tp_methods, encoder_methods},
    {Py_tp_getset, encoder_getset},
    {0, nullptr},
};

PyType_Spec encoder_spec = {
    "vexilo.Encoder",
    static_cast<int>(sizeof(EncoderObject)),
    0,
    // No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No __dict__, no weak references.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    encoder_slots,
};

}  // namespace

PyObject* encoder_type() noexcept {
    // Created once per process under the import lock; the module refuses subinterpreters, so
    // one type object serves every module object.
    static PyObject* type = PyType_FromSpec(&encoder_spec);
    return type;
}

Result<PyRef> new_encoder_with(EncodingInfo info, std::optional<std::size_t> learned_columns) {
    PyObject* type = encoder_type();
    if (!type) return PyErr::fetch();
    PyRef self = VX_TRY(checked(PyObject_CallNoArgs(type)));
    // A fresh object that nothing else has seen yet: no borrow can be held on it.
    EncoderObject* encoder = as_encoder(self.get());
    encoder->value.encoding_info = std::move(info);
    encoder->learned_columns = learned_columns;
    encoder->categories.drop();
    return self;
}

Result<PyRef> transform_piece(PyObject* encoder, PyObject* obj, std::span<const ColumnTurn> turns,
                              PyObject* unknown) {
    if (!PyObject_TypeCheck(encoder, reinterpret_cast<PyTypeObject*>(encoder_type()))) {
        return not_an_instance(encoder, "Encoder", "while processing 'encoder'");
    }
    return transform_with(encoder, obj, unknown, turns);
}

Result<PyRef> transform_codes(PyObject* encoder, PyObject* obj, PyObject* unknown) {
    if (!PyObject_TypeCheck(encoder, reinterpret_cast<PyTypeObject*>(encoder_type()))) {
        return not_an_instance(encoder, "Encoder", "while processing 'encoder'");
    }
    return transform_with(encoder, obj, unknown, {}, true);
}

}  // namespace vexilo::py
