// A final, non-instantiable class with no members yet: stands in for a
// class until its operations are bound. Created once per process.
#pragma once

#include <Python.h>

namespace qv::py {

inline PyObject* placeholder_type(PyObject*& cache, const char* qualified_name) {
    if (cache == nullptr) {
        static PyType_Slot slots[] = {{0, nullptr}};
        PyType_Spec type_spec = {qualified_name, static_cast<int>(sizeof(PyObject)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                            slots};
        cache = PyType_FromSpec(&type_spec);
        if (cache == nullptr) return nullptr;
    }
    return Py_NewRef(cache);
}

}  // namespace qv::py
