#include "binding/args.hpp"

#include <cstring>
#include <string>

namespace qv::py {

namespace {

constexpr const char kStrRefused[] =
    "expected a bytes-like object, got str; encode it first \xC2\xB7 "
    "esperava um objeto tipo bytes, recebeu str; codifique antes";

bool names_equal(PyObject* key, const char* name) {
    return PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// Unsigned bytes: no format, "B" or "c", optionally after one of the
// byte-order characters (immaterial for one-byte items).
bool is_u8_format(const char* f) {
    if (f == nullptr) return true;
    if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
    return (f[0] == 'B' || f[0] == 'c') && f[1] == '\0';
}

}  // namespace

bool bind_args(const char* function, const Param* params, std::size_t count, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    std::size_t positional = 0;
    while (positional < count && !params[positional].keyword_only) ++positional;
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;

    if (static_cast<std::size_t>(nargs) > positional) {
        if (positional == 0) {
            PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", function);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)", function,
                         positional, positional == 1 ? "" : "s", nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        std::size_t i = 0;
        while (i < count && !names_equal(key, params[i].name)) ++i;
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            return false;
        }
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", function,
                         params[i].name, i + 1);
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!params[i].required || out[i] != nullptr) continue;
        if (params[i].keyword_only) {
            PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument '%s'", function,
                         params[i].name);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                         params[i].name, i + 1);
        }
        return false;
    }
    return true;
}

BufferView::~BufferView() {
    if (held_) PyBuffer_Release(&view_);
}

bool BufferView::acquire(PyObject* obj) {
    if (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS) {
        PyErr_SetString(PyExc_TypeError, kStrRefused);
        return false;
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) != 0) return false;
    held_ = true;
    if (view_.shape == nullptr) {
        PyErr_SetString(PyExc_BufferError, "shape is null");
        return false;
    }
    if (view_.strides == nullptr) {
        PyErr_SetString(PyExc_BufferError, "strides is null");
        return false;
    }
    if (view_.itemsize != 1 || !is_u8_format(view_.format)) {
        PyErr_SetString(PyExc_BufferError, "buffer contents are not compatible with u8");
        return false;
    }
    return true;
}

bool BufferView::writable_contiguous() const noexcept {
    return held_ && !view_.readonly && view_.len > 0 && PyBuffer_IsContiguous(&view_, 'C');
}

bool BufferView::copy_to(ZeroizingBuffer& out) {
    out.resize(size());
    if (size() == 0) return true;
    return PyBuffer_ToContiguous(out.data(), &view_, view_.len, 'C') == 0;
}

void BufferView::zero_source() noexcept {
    if (writable_contiguous()) secure_zero(view_.buf, size());
}

bool extract_bytes_like(PyObject* obj, ZeroizingBuffer& out) {
    BufferView view;
    return view.acquire(obj) && view.copy_to(out);
}

void add_argument_note(const char* arg) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr) {
        if (tb != nullptr) PyException_SetTraceback(value, tb);
        PyRef note(PyUnicode_FromFormat("argument '%s'", arg));
        PyRef r(note ? PyObject_CallMethod(value, "add_note", "O", note.get()) : nullptr);
        if (!r) PyErr_Clear();  // the original error matters more than its note
    }
    PyErr_Restore(type, value, tb);
}

void raise_not_instance(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    PyRef name(PyType_GetName(Py_TYPE(obj)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

bool to_u64(PyObject* obj, const char* arg, std::uint64_t& out) {
    PyRef index(PyNumber_Index(obj));
    if (index) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
        if (!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            out = v;
            return true;
        }
    }
    add_argument_note(arg);
    return false;
}

bool to_utf8(PyObject* obj, const char* arg, std::string_view& out) {
    if (!(PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
        raise_not_instance(obj, "str");
        add_argument_note(arg);
        return false;
    }
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &n);
    if (utf8 == nullptr) {  // the interpreter's own UnicodeEncodeError
        add_argument_note(arg);
        return false;
    }
    out = std::string_view(utf8, static_cast<std::size_t>(n));
    return true;
}

}  // namespace qv::py
