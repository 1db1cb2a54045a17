// The SecretBox Python class over qv::SecretBox.
#pragma once

#include <Python.h>

#include "binding/object.hpp"
#include "box/secret_box.hpp"
#include "memory/region.hpp"

namespace qv::py {

// The class object (borrowed); valid after the module's exec step.
PyTypeObject* secret_box_type() noexcept;

inline qv::SecretBox& box_of(PyObject* obj) noexcept { return native<qv::SecretBox>(obj); }

inline bool is_secret_box(PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, secret_box_type()) != 0;
}

// extract_secret_box: a new reference to `obj` if it is a SecretBox, else
// TypeError "'<type>' object is not an instance of 'SecretBox'"; with `arg`,
// the binding's note naming the argument is added.
PyObject* extract_secret_box(PyObject* obj, const char* arg = nullptr);

// SecretBox::from_region: wraps a filled region in a new box. If the object
// cannot be made, the region is released (zeroed, unmapped) and nullptr is
// returned with the interpreter's error set.
PyObject* box_from_region(LockedRegion region);

}  // namespace qv::py
