// Constructors (tp_new) get their arguments as a tuple and a dict; this lays
// them out in the vectorcall form so bind_args checks them with the same
// wording as every method. The references in `out` are borrowed from
// `args` and `kwargs`.
#pragma once

#include <Python.h>

#include <vector>

#include "binding/args.hpp"
#include "binding/pyref.hpp"

namespace qv::py {

inline bool bind_new_args(const char* function, const Param* params, std::size_t count, PyObject* args,
                          PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_Size(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
    std::vector<PyObject*> flat;
    flat.reserve(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GetItem(args, i));
    PyRef names;
    if (nkw > 0) {
        names = PyRef(PyTuple_New(nkw));
        if (!names) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SetItem(names.get(), k++, Py_NewRef(key));
            flat.push_back(value);
        }
    }
    return bind_args(function, params, count, flat.data(), nargs, names.get(), out);
}

template <std::size_t N>
bool bind_new_args(const char* function, const Param (&params)[N], PyObject* args, PyObject* kwargs,
                   PyObject* (&out)[N]) {
    return bind_new_args(function, params, N, args, kwargs, out);
}

}  // namespace qv::py
