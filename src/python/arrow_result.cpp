// The polars DataFrame and pyarrow Table results: the exported stream wrapped in a one-shot
// exporter object and handed to the library's own constructor.
#include "python/arrow_result.h"

#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/arrow_export.h"
#include "engine/internal_failure.h"
#include "python/arguments.h"
#include "python/engine_error.h"
#include "python/label_column.h"
#include "python/method_frame.h"
#include "python/signal_check.h"

namespace vexilo::py {
namespace {

constexpr const char* stream_capsule_name = "arrow_array_stream";

// The object header, then the stream until a consumer takes it. The C++ members are built with
// placement new in new_exporter and destroyed explicitly in exporter_dealloc.
struct ExporterObject {
    PyObject ob_base;
    arrow::OwnedStream stream;
    std::atomic<bool> taken{false};  // free-threaded builds may race two calls
};

ExporterObject* as_exporter(PyObject* self) { return reinterpret_cast<ExporterObject*>(self); }

constexpr Parameter optional_requested_schema[] = {{"requested_schema", false}};
constexpr Signature stream_signature{"__arrow_c_stream__", optional_requested_schema};

void release_stream_capsule(PyObject* capsule) {
    auto* stream =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, stream_capsule_name));
    if (!stream) {
        PyErr_Clear();
        return;
    }
    if (stream->release) stream->release(stream);
    delete stream;
}

PyObject* exporter_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return run_frame([&]() -> Result<PyRef> {
        PyObject* requested_schema = nullptr;
        VX_TRY(bind_vectorcall(stream_signature, args, nargs, kwnames, {&requested_schema, 1}));
        ExporterObject* exporter = as_exporter(self);
        // acq_rel: the one call that takes the stream sees how it was made.
        if (exporter->taken.exchange(true, std::memory_order_acq_rel)) {
            return PyErr::make(PyExc_RuntimeError,
                               "this Arrow stream was already taken: a result's stream can be "
                               "read once");
        }
        auto stream = std::make_unique<ArrowArrayStream>(exporter->stream.take());
        PyObject* made = PyCapsule_New(stream.get(), stream_capsule_name, release_stream_capsule);
        if (!made) {
            stream->release(stream.get());
            return PyErr::fetch();
        }
        static_cast<void>(stream.release());  // the capsule's now
        return PyRef::steal(made);
    });
}

void exporter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_exporter(self)->~ExporterObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef exporter_methods[] = {
    {"__arrow_c_stream__", as_cfunction(exporter_arrow_c_stream), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot exporter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(exporter_dealloc)},
    {Py_tp_methods, exporter_methods},
    {0, nullptr},
};

PyType_Spec exporter_spec = {
    "vexilo.ArrowStreamExporter",
    static_cast<int>(sizeof(ExporterObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    exporter_slots,
};

// A new exporter of stream.
Result<PyRef> new_exporter(arrow::OwnedStream stream) {
    PyObject* type_object = arrow_stream_type();
    if (!type_object) return PyErr::fetch();
    auto* type = reinterpret_cast<PyTypeObject*>(type_object);
    PyRef self = VX_TRY(checked(type->tp_alloc(type, 0)));
    ExporterObject* exporter = as_exporter(self.get());
    new (&exporter->stream) arrow::OwnedStream(std::move(stream));
    new (&exporter->taken) std::atomic<bool>(false);
    return self;
}

// The library that builds the result, imported: pyarrow's absence is said in its own words.
Result<PyRef> import_library(const char* name, const char* result) {
    PyObject* module = PyImport_ImportModule(name);
    if (module) return PyRef::steal(module);
    PyErr failure = PyErr::fetch();
    if (!failure.matches(PyExc_ImportError)) return failure;
    PyErr said = PyErr::make(PyExc_ImportError, std::string(name) + " is needed for " + result +
                                                    ", but it could not be imported");
    PyException_SetCause(said.value(), Py_NewRef(failure.value()));
    return said;
}

}  // namespace

PyObject* arrow_stream_type() noexcept {
    // Created once per process under the import lock, as the Encoder type is.
    static PyObject* type = PyType_FromSpec(&exporter_spec);
    return type;
}

Result<PyRef> arrow_result(Table table, const OutputKind& out, const EncodingInfo* info) {
    VX_ASSERT(out.column_names.size() == table.cols, "an Arrow result names each of its columns");
    std::vector<arrow::ExportColumn> columns(table.cols);
    for (std::size_t c = 0; c < table.cols; ++c) columns[c].name = out.column_names[c];
    if (info) {
        const std::vector<ListedMap> maps = VX_TRY(listed_maps(*info, table, &out.column_names));
        for (const ListedMap& map : maps) columns[map.col].inverse = map.inverse;
    }
    const bool polars = out.kind == OutputKind::Kind::PolarsFrame;
    // Imported first: a missing library fails before any work is done.
    PyRef library = polars ? VX_TRY(import_library("polars", "a polars DataFrame result"))
                           : VX_TRY(import_library("pyarrow", "a pyarrow Table result"));
    // polars keeps text as string views and takes them over as they are.
    const auto layout = polars ? arrow::TextLayout::string_views : arrow::TextLayout::large_strings;
    std::optional<Expected<arrow::OwnedStream>> exported;
    VX_TRY(run_on_pool(table_cells(table.rows, table.cols), [&] {
        exported.emplace(arrow::export_table(std::move(table), columns, layout));
    }));
    if (!*exported) return to_python_error(exported->error(), out);
    PyRef exporter = VX_TRY(new_exporter(std::move(*exported).value()));
    PyRef build =
        VX_TRY(checked(PyObject_GetAttrString(library.get(), polars ? "DataFrame" : "table")));
    return checked(PyObject_CallOneArg(build.get(), exporter.get()));
}

}  // namespace vexilo::py
