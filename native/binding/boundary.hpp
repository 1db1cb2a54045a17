// The boundary between the native core and CPython: the one place where an
// error kind becomes SecureError and where any C++ exception (an internal
// fault) becomes PanicException. No C++ exception crosses into CPython.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>

#include "error/error.hpp"

namespace qv::py {

// Created once per process by the module's exec step.
PyObject* panic_exception();   // borrowed; a direct BaseException subclass
PyObject* secure_error();      // borrowed; null until the exec step made it
int ensure_panic_exception();  // 0 or -1 with an exception set
int ensure_secure_error();     // 0 or -1 with PanicException set

// Sets SecureError(message of `error`); returns nullptr for `return raise(e);`.
PyObject* raise(const Error& error);
PyObject* raise_panic(const char* text);

// Translates the exception in flight; call only inside a catch block.
void translate_current_exception() noexcept;

// Runs `body` (which returns a PyObject*, int or Py_ssize_t and reports
// Python errors the CPython way) and turns any C++ exception into the
// matching Python exception and the calling convention's failure value.
template <class F>
auto guarded(F&& body) noexcept -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    try {
        return body();
    } catch (...) {
        translate_current_exception();
    }
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return static_cast<R>(-1);
    }
}

// For tp_dealloc: runs `body`, reporting any fault through
// PyErr_WriteUnraisable(self); deallocation always goes on.
template <class F>
void guarded_dealloc(PyObject* self, F&& body) noexcept {
    try {
        body();
    } catch (...) {
        translate_current_exception();
        PyErr_WriteUnraisable(self);
    }
}

// Releases the GIL for the scope; re-acquires it on every exit path.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace qv::py
