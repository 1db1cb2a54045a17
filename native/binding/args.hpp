// Argument binding and conversion at the boundary. Every function here
// reports failure the CPython way (false / nullptr with an exception set).
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "binding/pyref.hpp"
#include "memory/zeroize.hpp"

namespace qv::py {

struct Param {
    const char* name;
    bool required;
    bool keyword_only;
};

// Binds a METH_FASTCALL | METH_KEYWORDS argument list to `params`, in
// declaration order: out[i] is a borrowed reference or nullptr when omitted.
// Missing, surplus, unknown and doubled arguments raise TypeError naming the
// function, before any conversion runs.
bool bind_args(const char* function, const Param* params, std::size_t count, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <std::size_t N>
bool bind_args(const char* function, const Param (&params)[N], PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject* (&out)[N]) {
    return bind_args(function, params, N, args, nargs, kwnames, out);
}

// True for an omitted argument or an explicit None.
inline bool is_absent(PyObject* arg) noexcept { return arg == nullptr || arg == Py_None; }

// A borrowed view of a bytes-like object under the module's rules: str (and
// subclasses) refused with the bilingual TypeError, PyBUF_FULL_RO requested,
// shape and strides required, one-byte unsigned items only.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView();

    bool acquire(PyObject* obj);
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }
    bool writable_contiguous() const noexcept;
    // Copies the bytes in C order into `out` (resized to size()).
    bool copy_to(ZeroizingBuffer& out);
    // Zeroes the exporter's bytes; only for writable_contiguous() views.
    void zero_source() noexcept;

private:
    Py_buffer view_{};
    bool held_ = false;
};

// extract_bytes_like: a private copy of the object's bytes. Raises without a
// note naming the argument.
bool extract_bytes_like(PyObject* obj, ZeroizingBuffer& out);

// The binding's own conversions; on failure each adds a note naming `arg`.
bool to_u64(PyObject* obj, const char* arg, std::uint64_t& out);
// A str (or subclass), as UTF-8 borrowed from the object.
bool to_utf8(PyObject* obj, const char* arg, std::string_view& out);

// TypeError "'<type>' object is not an instance of '<expected>'" ("'None' is
// not an instance of ..." for None).
void raise_not_instance(PyObject* obj, const char* expected);

// Attaches "argument '<arg>'" as a note to the exception in flight.
void add_argument_note(const char* arg);

}  // namespace qv::py
