// Module entry: one exec step that registers, in a fixed order, the classes,
// functions, SecureError, the version and the size constants, appending each
// name to __all__ and stopping at the first failure.
#include <Python.h>

#include <cstdint>

#include "binding/boundary.hpp"
#include "binding/pyref.hpp"
#include "binding/types.hpp"

// Compiled in from pyproject.toml's version by the build (CMakeLists.txt).
#ifndef QUORVEX_VERSION
#error "QUORVEX_VERSION must be defined by the build"
#endif

namespace qv::py {

namespace {

// Sets module.<name> = value (a new reference, stolen; null means failure)
// and appends the name to __all__, creating the list on first use.
int add(PyObject* module, const char* name, PyObject* value) {
    PyRef v(value);
    if (!v) return -1;
    if (PyModule_AddObjectRef(module, name, v.get()) != 0) return -1;
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) != 0) return -1;
    }
    PyRef key(PyUnicode_FromString(name));
    return key ? PyList_Append(all.get(), key.get()) : -1;
}

PyObject* function(PyObject* module, PyMethodDef* def) {
    PyRef name(PyModule_GetNameObject(module));
    return name ? PyCFunction_NewEx(def, module, name.get()) : nullptr;
}

PyObject* secure_error_ref() {
    return ensure_secure_error() == 0 ? Py_NewRef(secure_error()) : nullptr;
}

int exec_module(PyObject* module) {
    return guarded([&]() -> int {
        // Not in __all__: internal faults are not part of the API, but
        // callers must be able to name the class.
        if (ensure_panic_exception() != 0) return -1;
        if (PyModule_AddObjectRef(module, "PanicException", panic_exception()) != 0) return -1;
        // Private, for `quorvex status`: which libcrypto this build runs on.
        PyRef libcrypto(libcrypto_info_new());
        if (!libcrypto || PyModule_AddObjectRef(module, "_libcrypto", libcrypto.get()) != 0) return -1;

        if (add(module, "SecretBox", secret_box_type_new()) != 0) return -1;
        if (add(module, "HybridKeyPair", hybrid_keypair_type_new()) != 0) return -1;
        if (add(module, "SecretStreamPush", secret_stream_push_type_new()) != 0) return -1;
        if (add(module, "SecretStreamPull", secret_stream_pull_type_new()) != 0) return -1;
        if (add(module, "EntropyPool", entropy_pool_type_new()) != 0) return -1;
        if (add(module, "seal_hybrid", function(module, &seal_hybrid_def)) != 0) return -1;
        if (add(module, "harden_process", function(module, &harden_process_def)) != 0) return -1;
        if (add(module, "memory_status", function(module, &memory_status_def)) != 0) return -1;
        if (add(module, "SecureError", secure_error_ref()) != 0) return -1;
        if (add(module, "__version__", PyUnicode_FromString(QUORVEX_VERSION)) != 0) return -1;

        static constexpr struct {
            const char* name;
            std::uint64_t value;
        } constants[] = {
            {"SECRETSTREAM_HEADER_BYTES", 24}, {"SECRETSTREAM_ABYTES", 17},   {"X25519_PUBLIC_BYTES", 32},
            {"X25519_SECRET_BYTES", 32},       {"MLKEM768_PUBLIC_BYTES", 1184}, {"MLKEM768_SECRET_BYTES", 2400},
            {"MLKEM768_CIPHERTEXT_BYTES", 1088},
        };
        for (const auto& c : constants) {
            if (add(module, c.name, PyLong_FromUnsignedLongLong(c.value)) != 0) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_secure",
    "🇺🇸 Module entry point: registers the classes, functions and constants Python sees.\n"
    "🇧🇷 Ponto de entrada do módulo: registra as classes, funções e constantes que o Python vê.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace qv::py

PyMODINIT_FUNC PyInit__secure(void) { return PyModuleDef_Init(&qv::py::module_def); }
