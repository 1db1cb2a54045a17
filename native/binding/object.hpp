// Native state held inside a Python object, and the pieces every class of
// the module shares: placement into a fresh object, destruction in
// tp_dealloc, fastcall method entries and the copy refusals.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "binding/args.hpp"
#include "binding/boundary.hpp"

namespace qv::py {

template <class T>
struct NativeObject {
    PyObject ob_base;
    alignas(T) unsigned char storage[sizeof(T)];
};

template <class T>
T& native(PyObject* obj) noexcept {
    return *std::launder(reinterpret_cast<T*>(reinterpret_cast<NativeObject<T>*>(obj)->storage));
}

// A new instance of `type` holding T(args...). If the object cannot be made,
// nothing is constructed and nullptr is returned with the interpreter's
// error set; the caller's arguments (regions) are released by their owners.
template <class T, class... Args>
PyObject* make_native(PyTypeObject* type, Args&&... args) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return nullptr;
    new (reinterpret_cast<NativeObject<T>*>(obj)->storage) T(std::forward<Args>(args)...);
    return obj;
}

// tp_dealloc: destroys the native state (zeroing and unmapping its regions),
// reporting any fault as unraisable, then frees the object.
template <class T>
void native_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    guarded_dealloc(self, [&] { native<T>(self).~T(); });
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyMethodDef fast_method(const char* name, FastMethod f, const char* doc, int extra_flags = 0) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)),
            METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

// What a class answers when one of its instances is pickled or copied:
// specialised next to each class for the native type its instances hold,
// with a static `message`. The refusals below are keyed by that type, which
// has external linkage and a name of its own, so two classes can never share
// an instantiation. (Keyed by a same-named constant in each file's anonymous
// namespace, both instantiations got one mangled name, and a toolchain that
// merges by name kept only one class's message for both.)
template <class T>
struct CopyRefusal;

// __reduce__ / __copy__ and __deepcopy__(_memo): always TypeError.
template <class T>
PyObject* refuse_copy(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, CopyRefusal<T>::message);
    return nullptr;
}

template <class T>
PyObject* refuse_deepcopy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"_memo", true, false}};
    PyObject* a[1];
    if (!bind_args("__deepcopy__", params, args, nargs, kwnames, a)) return nullptr;
    return refuse_copy<T>(nullptr, nullptr);
}

}  // namespace qv::py
