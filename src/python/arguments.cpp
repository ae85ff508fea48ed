// Argument binding for the Encoder's methods and constructor.
#include "python/arguments.h"

#include <cstring>
#include <string>

namespace vexilo::py {
namespace {

PyErr type_error(const std::string& message) { return PyErr::make(PyExc_TypeError, message); }

// Shared by both calling conventions: positional arguments first, then each keyword by name.
// keyword_only names an optional keyword-only parameter (or is null), whose value goes to
// *keyword_value.
template <class KeywordAt>
Result<PyObject*> bind(const Parameter& p, PyObject* const* positional, Py_ssize_t npositional,
                       Py_ssize_t nkeywords, KeywordAt keyword_at,
                       const char* keyword_only = nullptr, PyObject** keyword_value = nullptr) {
    const std::string function = std::string(p.function) + "()";
    if (npositional > 1) {
        const std::string takes =
            p.required ? "takes 1 positional arguments" : "takes from 0 to 1 positional arguments";
        return type_error(function + " " + takes + " but " + std::to_string(npositional) +
                          " were given");
    }
    PyObject* bound = npositional == 1 ? positional[0] : nullptr;
    for (Py_ssize_t i = 0; i < nkeywords; ++i) {
        auto [name, value] = keyword_at(i);
        if (!PyUnicode_Check(name)) return type_error("keywords must be strings");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &size);
        if (!text) return PyErr::fetch();
        const std::string keyword(text, static_cast<std::size_t>(size));
        if (keyword_only && keyword == keyword_only) {
            *keyword_value = value;  // the interpreter refuses a keyword given twice
            continue;
        }
        if (keyword != p.name) {
            return type_error(function + " got an unexpected keyword argument '" + keyword + "'");
        }
        if (bound) {
            return type_error(function + " got multiple values for argument '" + p.name + "'");
        }
        bound = value;
    }
    if (!bound && p.required) {
        return type_error(function + " missing 1 required positional argument: '" + p.name + "'");
    }
    return bound;
}

}  // namespace

Result<PyObject*> bind_vectorcall(const Parameter& parameter, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t npositional = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
    const Py_ssize_t nkeywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return bind(parameter, args, npositional, nkeywords, [&](Py_ssize_t i) {
        return std::pair{PyTuple_GET_ITEM(kwnames, i), args[npositional + i]};
    });
}

Result<BoundWithKeyword> bind_vectorcall_with_keyword(const Parameter& parameter,
                                                      const char* keyword_only,
                                                      PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) {
    const Py_ssize_t npositional = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
    const Py_ssize_t nkeywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    BoundWithKeyword bound{nullptr, nullptr};
    bound.bound = VX_TRY(bind(
        parameter, args, npositional, nkeywords,
        [&](Py_ssize_t i) {
            return std::pair{PyTuple_GET_ITEM(kwnames, i), args[npositional + i]};
        },
        keyword_only, &bound.keyword));
    return bound;
}

Result<PyObject*> bind_tuple(const Parameter& parameter, PyObject* args, PyObject* kwargs) {
    PyObject* keys = nullptr;
    PyObject* values = nullptr;
    PyRef key_list, value_list;
    Py_ssize_t nkeywords = 0;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        key_list = PyRef::steal(PyDict_Keys(kwargs));
        if (!key_list) return PyErr::fetch();
        value_list = PyRef::steal(PyDict_Values(kwargs));
        if (!value_list) return PyErr::fetch();
        keys = key_list.get();
        values = value_list.get();
        nkeywords = PyList_GET_SIZE(keys);
    }
    return bind(parameter, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args),
                nkeywords, [&](Py_ssize_t i) {
                    return std::pair{PyList_GET_ITEM(keys, i), PyList_GET_ITEM(values, i)};
                });
}

}  // namespace vexilo::py
