// The module's functions: argument binding and the method frame around the bodies in
// table_pieces.cpp.
#include "python/module_functions.h"

#include "python/arguments.h"
#include "python/encode_counting.h"
#include "python/encoder.h"  // transform_codes
#include "python/encoder_from_labels.h"
#include "python/method_frame.h"
#include "python/table_pieces.h"

namespace vexilo::py {
namespace {

constexpr Parameter table_texts_parameters[] = {
    {"table", true}, {"turns", false}, {"columns", false}};
constexpr Parameter merge_texts_parameters[] = {{"lists", true}};
constexpr Parameter encoder_from_texts_parameters[] = {{"texts", true}, {"columns", false}};
constexpr Parameter transform_piece_parameters[] = {
    {"encoder", true}, {"table", true}, {"turns", true}, {"unknown", false}};

constexpr Parameter encoder_from_labels_parameters[] = {
    {"labels", true}, {"codes", false}, {"columns", false}};
constexpr Parameter encode_counting_parameters[] = {{"table", true}};
constexpr Parameter transform_codes_parameters[] = {
    {"encoder", true}, {"table", true}, {"unknown", false}};

constexpr Signature table_texts_signature{"_table_texts", table_texts_parameters};
constexpr Signature merge_texts_signature{"_merge_texts", merge_texts_parameters};
constexpr Signature encoder_from_texts_signature{"_encoder_from_texts",
                                                 encoder_from_texts_parameters};
constexpr Signature transform_piece_signature{"_transform_piece", transform_piece_parameters};
constexpr Signature encoder_from_labels_signature{"_encoder_from_labels",
                                                  encoder_from_labels_parameters};
constexpr Signature encode_counting_signature{"_encode_counting", encode_counting_parameters};
constexpr Signature transform_codes_signature{"_transform_codes", transform_codes_parameters};

PyObject* table_texts_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* bound[3] = {};
        VX_TRY(bind_vectorcall(table_texts_signature, args, nargs, kwnames, bound));
        return table_texts(bound[0], bound[1], bound[2]);
    });
}

PyObject* merge_texts_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* lists = nullptr;
        VX_TRY(bind_vectorcall(merge_texts_signature, args, nargs, kwnames, {&lists, 1}));
        return merge_texts(lists);
    });
}

PyObject* encoder_from_texts_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* bound[2] = {};
        VX_TRY(bind_vectorcall(encoder_from_texts_signature, args, nargs, kwnames, bound));
        return encoder_from_texts(bound[0], bound[1]);
    });
}

PyObject* transform_piece_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* bound[4] = {};
        VX_TRY(bind_vectorcall(transform_piece_signature, args, nargs, kwnames, bound));
        return transform_table_piece(bound[0], bound[1], bound[2], bound[3]);
    });
}

PyObject* encoder_from_labels_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* bound[3] = {};
        VX_TRY(bind_vectorcall(encoder_from_labels_signature, args, nargs, kwnames, bound));
        return encoder_from_labels(bound[0], bound[1], bound[2]);
    });
}

PyObject* encode_counting_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* table = nullptr;
        VX_TRY(bind_vectorcall(encode_counting_signature, args, nargs, kwnames, {&table, 1}));
        return encode_counting(table);
    });
}

PyObject* transform_codes_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* bound[3] = {};
        VX_TRY(bind_vectorcall(transform_codes_signature, args, nargs, kwnames, bound));
        return transform_codes(bound[0], bound[1], bound[2]);
    });
}

constexpr int fast_keywords = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef module_functions[] = {
    {"_table_texts", as_cfunction(table_texts_function), fast_keywords,
     "_table_texts(table, turns=None, columns=None)\n--\n\n"
     "Per column of table: None for a column of numbers, else (first_text_row, texts), texts\n"
     "being the column's distinct texts as a sorted text list (bytes, ends), or None for a\n"
     "column not in columns. turns: per column None, 0 or the row count (see _transform_piece)."},
    {"_merge_texts", as_cfunction(merge_texts_function), fast_keywords,
     "_merge_texts(lists)\n--\n\n"
     "The sorted union of a sequence of sorted text lists (bytes, ends)."},
    {"_encoder_from_texts", as_cfunction(encoder_from_texts_function), fast_keywords,
     "_encoder_from_texts(texts, columns=None)\n--\n\n"
     "A new Encoder whose state is what encode learns from a table of columns columns (None:\n"
     "unknown) whose categorical columns (the keys of texts) hold exactly their lists' texts."},
    {"_transform_piece", as_cfunction(transform_piece_function), fast_keywords,
     "_transform_piece(encoder, table, turns, unknown='nan')\n--\n\n"
     "encoder.transform(table, unknown=unknown), table being a piece of a larger table: per\n"
     "column, turns holds None (the column turns at the piece's first text), 0 (it turned\n"
     "before the piece: every cell reads as text) or the piece's row count (it turns after the\n"
     "piece: its numbers read as rendered texts)."},
    {"_encoder_from_labels", as_cfunction(encoder_from_labels_function), fast_keywords,
     "_encoder_from_labels(labels, codes=None, columns=None)\n--\n\n"
     "A new Encoder whose categorical columns (the keys of labels, a dict from column index to\n"
     "a sequence of str) code each label by its position, or by the code at that position of\n"
     "codes[column]; columns: the learned table's column count (None: unknown)."},
    {"_encode_counting", as_cfunction(encode_counting_function), fast_keywords,
     "_encode_counting(table)\n--\n\n"
     "(encoder, codes, categorical, counts): a new Encoder that learned table as encode does,\n"
     "the codes as a float64 array, the categorical columns, and per categorical column an\n"
     "int64 array of how many cells carry each code."},
    {"_transform_codes", as_cfunction(transform_codes_function), fast_keywords,
     "_transform_codes(encoder, table, unknown='nan')\n--\n\n"
     "encoder.transform(table, unknown=unknown) as a float64 array whatever table's kind."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vexilo::py
