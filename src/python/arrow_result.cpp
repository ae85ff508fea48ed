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
#include "engine/category_positions.h"
#include "engine/internal_failure.h"
#include "python/arguments.h"
#include "python/category_frame.h"  // check_distinct_categories
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

// The field metadata by which polars reads a dictionary column as an Enum of its values: what
// polars writes for its own Enum columns, each value preceded by its byte length and ";".
std::string polars_enum_metadata(const InverseMap& inverse) {
    std::string values;
    for (const std::string_view label : category_labels(inverse).labels) {
        values += std::to_string(label.size());
        values += ';';
        values.append(label);
    }
    const std::pair<std::string_view, std::string_view> entry{"_PL_ENUM_VALUES2", values};
    return arrow::field_metadata({&entry, 1});
}

// frame (polars) with each listed column an Enum of its labels: the columns polars already read
// as Enums from the metadata are kept, the others (a polars that reads no such metadata gives
// them as Categorical) cast to the Enum through polars' public API.
Result<PyRef> polars_enums(const PyRef& polars, PyRef frame, const std::vector<ListedMap>& maps,
                           const std::vector<std::string>& names) {
    PyRef enum_type = VX_TRY(checked(PyObject_GetAttrString(polars.get(), "Enum")));
    PyRef schema = VX_TRY(checked(PyObject_GetAttrString(frame.get(), "schema")));
    PyRef casts = VX_TRY(checked(PyList_New(0)));
    for (const ListedMap& map : maps) {
        PyRef name = VX_TRY(new_str(names[map.col]));
        PyRef dtype = VX_TRY(checked(PyObject_GetItem(schema.get(), name.get())));
        const int is_enum = PyObject_IsInstance(dtype.get(), enum_type.get());
        if (is_enum < 0) return PyErr::fetch();
        if (is_enum) continue;
        const CategoryLabels categories = category_labels(*map.inverse);
        PyRef labels =
            VX_TRY(checked(PyList_New(static_cast<Py_ssize_t>(categories.labels.size()))));
        for (std::size_t i = 0; i < categories.labels.size(); ++i) {
            PyRef label = VX_TRY(new_str(categories.labels[i]));
            PyList_SET_ITEM(labels.get(), static_cast<Py_ssize_t>(i), label.release());
        }
        PyRef target = VX_TRY(checked(PyObject_CallOneArg(enum_type.get(), labels.get())));
        PyRef column = VX_TRY(checked(PyObject_CallMethod(polars.get(), "col", "O", name.get())));
        PyRef cast = VX_TRY(checked(PyObject_CallMethod(column.get(), "cast", "O", target.get())));
        if (PyList_Append(casts.get(), cast.get()) < 0) return PyErr::fetch();
    }
    if (PyList_GET_SIZE(casts.get()) == 0) return frame;
    return checked(PyObject_CallMethod(frame.get(), "with_columns", "O", casts.get()));
}

}  // namespace

PyObject* arrow_stream_type() noexcept {
    // Created once per process under the import lock, as the Encoder type is.
    static PyObject* type = PyType_FromSpec(&exporter_spec);
    return type;
}

Result<PyRef> arrow_result(Table table, const OutputKind& out, const EncodingInfo* info,
                           bool as_category) {
    VX_ASSERT(out.column_names.size() == table.cols, "an Arrow result names each of its columns");
    const bool polars = out.kind == OutputKind::Kind::PolarsFrame;
    std::vector<arrow::ExportColumn> columns(table.cols);
    for (std::size_t c = 0; c < table.cols; ++c) columns[c].name = out.column_names[c];
    std::vector<ListedMap> maps;
    if (info) {
        maps = VX_TRY(listed_maps(*info, table, &out.column_names));
        if (as_category) VX_TRY(check_distinct_categories(maps));
        for (const ListedMap& map : maps) {
            arrow::ExportColumn& column = columns[map.col];
            column.inverse = map.inverse;
            column.dictionary = as_category;
            if (as_category && polars) column.metadata = polars_enum_metadata(*map.inverse);
        }
    }
    // Imported first: a missing library fails before any work is done.
    PyRef library = polars ? VX_TRY(import_library("polars", "a polars DataFrame result"))
                           : VX_TRY(import_library("pyarrow", "a pyarrow Table result"));
    // polars keeps text as string views and takes them over as they are; pyarrow's dictionaries
    // are of large strings, as its texts are.
    const auto layout = polars ? arrow::TextLayout::string_views : arrow::TextLayout::large_strings;
    std::optional<Expected<arrow::OwnedStream>> exported;
    VX_TRY(run_on_pool(table_cells(table.rows, table.cols), [&] {
        exported.emplace(arrow::export_table(std::move(table), columns, layout));
    }));
    if (!*exported) return to_python_error(exported->error(), out);
    PyRef exporter = VX_TRY(new_exporter(std::move(*exported).value()));
    PyRef build =
        VX_TRY(checked(PyObject_GetAttrString(library.get(), polars ? "DataFrame" : "table")));
    PyRef built = VX_TRY(checked(PyObject_CallOneArg(build.get(), exporter.get())));
    if (!as_category || !polars || maps.empty()) return built;
    return polars_enums(library, std::move(built), maps, out.column_names);
}

}  // namespace vexilo::py
