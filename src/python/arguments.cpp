// Argument binding for the Encoder's methods and constructor and the module's functions.
#include "python/arguments.h"

#include <string>
#include <utility>
#include <vector>

namespace vexilo::py {
namespace {

PyErr type_error(const std::string& message) { return PyErr::make(PyExc_TypeError, message); }

// The TypeError for required parameters that were not given, as the interpreter words it:
// "missing 2 required positional arguments: 'a' and 'b'".
PyErr missing_arguments(const std::string& function, const Signature& signature,
                        std::span<PyObject*> bound) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        const Parameter& p = signature.parameters[i];
        if (p.required && bound[i] == nullptr) names.push_back("'" + std::string(p.name) + "'");
    }
    std::string list = names.back();
    if (names.size() > 1) {
        list = names[0];
        for (std::size_t i = 1; i + 1 < names.size(); ++i) list += ", " + names[i];
        list += " and " + names.back();
    }
    return type_error(function + " missing " + std::to_string(names.size()) + " required " +
                      (names.size() == 1 ? "positional argument: " : "positional arguments: ") +
                      list);
}

// Shared by both calling conventions: positional arguments first, then each keyword by name.
template <class KeywordAt>
Status bind(const Signature& signature, PyObject* const* positional, Py_ssize_t npositional,
            Py_ssize_t nkeywords, KeywordAt keyword_at, std::span<PyObject*> bound) {
    const std::string function = std::string(signature.function) + "()";
    std::size_t takes = 0;
    std::size_t required = 0;
    for (const Parameter& p : signature.parameters) {
        if (p.keyword_only) continue;
        ++takes;
        required += p.required ? 1 : 0;
    }
    const auto given = static_cast<std::size_t>(npositional);
    if (given > takes) {
        const std::string count =
            required == takes ? std::to_string(takes)
                              : "from " + std::to_string(required) + " to " + std::to_string(takes);
        return type_error(function + " takes " + count + " positional arguments but " +
                          std::to_string(given) + " were given");
    }
    for (PyObject*& slot : bound) slot = nullptr;
    for (std::size_t i = 0; i < given; ++i) bound[i] = positional[i];
    for (Py_ssize_t k = 0; k < nkeywords; ++k) {
        auto [name, value] = keyword_at(k);
        if (!PyUnicode_Check(name)) return type_error("keywords must be strings");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &size);
        if (!text) return PyErr::fetch();
        const std::string keyword(text, static_cast<std::size_t>(size));
        std::size_t i = 0;
        while (i < signature.parameters.size() && keyword != signature.parameters[i].name) ++i;
        if (i == signature.parameters.size()) {
            return type_error(function + " got an unexpected keyword argument '" + keyword + "'");
        }
        if (bound[i]) {
            return type_error(function + " got multiple values for argument '" + keyword + "'");
        }
        bound[i] = value;
    }
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (signature.parameters[i].required && !bound[i]) {
            return missing_arguments(function, signature, bound);
        }
    }
    return Unit{};
}

}  // namespace

Status bind_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, std::span<PyObject*> bound) {
    const Py_ssize_t npositional = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
    const Py_ssize_t nkeywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return bind(
        signature, args, npositional, nkeywords,
        [&](Py_ssize_t i) {
            return std::pair{PyTuple_GET_ITEM(kwnames, i), args[npositional + i]};
        },
        bound);
}

Status bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs,
                  std::span<PyObject*> bound) {
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
    return bind(
        signature, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args),
        nkeywords,
        [&](Py_ssize_t i) {
            return std::pair{PyList_GET_ITEM(keys, i), PyList_GET_ITEM(values, i)};
        },
        bound);
}

}  // namespace vexilo::py
