// SecretStreamPush and SecretStreamPull over qv::stream::PushStream and
// PullStream. push() and pull() convert their arguments with the GIL held,
// then release it; the native side takes the object's lock, does the
// chunk's cryptography and releases the lock before the GIL is taken back,
// so is_finished (which locks while holding the GIL) cannot deadlock
// against them.
#include <Python.h>

#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/object.hpp"
#include "binding/new_args.hpp"
#include "binding/pyref.hpp"
#include "binding/secret_box.hpp"
#include "binding/types.hpp"
#include "stream/sides.hpp"

namespace qv::py {

namespace {

using stream::PullStream;
using stream::PushStream;

PyObject* g_push = nullptr;
PyObject* g_pull = nullptr;

// A Python bool, or a NumPy bool scalar read through its truth value.
bool is_numpy_bool(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    PyRef name(PyType_GetName(type));
    if (!name) return PyErr_Clear(), false;
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0)
        return false;
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) return PyErr_Clear(), false;
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

bool to_final(PyObject* obj, bool& out) {
    if (obj == nullptr) {
        out = false;
        return true;
    }
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (is_numpy_bool(obj)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth >= 0) {
            out = truth != 0;
            return true;
        }
    } else {
        raise_not_instance(obj, "bool");
    }
    add_argument_note("final");
    return false;
}

// ad=None and an omitted ad both mean no associated data.
bool to_ad(PyObject* obj, ZeroizingBuffer& out) { return is_absent(obj) || extract_bytes_like(obj, out); }

// Zeroes a copied argument that sits in a result buffer on every path that
// does not hand the buffer over (errors, internal faults).
class PlaintextWipe {
public:
    explicit PlaintextWipe(std::span<std::uint8_t> bytes) noexcept : bytes_(bytes) {}
    PlaintextWipe(const PlaintextWipe&) = delete;
    PlaintextWipe& operator=(const PlaintextWipe&) = delete;
    ~PlaintextWipe() {
        if (!done_) secure_zero(bytes_.data(), bytes_.size());
    }
    void done() noexcept { done_ = true; }

private:
    std::span<std::uint8_t> bytes_;
    bool done_ = false;
};

// Copies bytes [offset, offset + dst.size()) of a bytes-like object, in C
// order, into dst. The object has passed BufferView::acquire, whose export
// is still held, so its length cannot change in between.
bool copy_range(PyObject* obj, std::size_t offset, std::span<std::uint8_t> dst) {
    if (dst.empty()) return true;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_FULL_RO) != 0) return false;
    bool ok = offset + dst.size() <= static_cast<std::size_t>(view.len);
    if (!ok) {
        PyErr_SetString(PyExc_BufferError, "buffer changed size");
    } else if (PyBuffer_IsContiguous(&view, 'C')) {
        std::memcpy(dst.data(), static_cast<const std::uint8_t*>(view.buf) + offset, dst.size());
    } else {
        // Strided exporters: flatten once, then take the range.
        ZeroizingBuffer flat(static_cast<std::size_t>(view.len));
        ok = PyBuffer_ToContiguous(flat.data(), &view, view.len, 'C') == 0;
        if (ok) std::memcpy(dst.data(), flat.data() + offset, dst.size());
    }
    PyBuffer_Release(&view);
    return ok;
}

template <class T>
PyObject* is_finished(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const Result<bool> r = native<T>(self).is_finished();
        if (!r.ok()) return raise(r.error());
        return PyBool_FromLong(r.value());
    });
}

// --- SecretStreamPush ---------------------------------------------------------

PyObject* push_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"key", true, false}};
        PyObject* a[1];
        if (!bind_new_args("SecretStreamPush", params, args, kwargs, a)) return nullptr;
        // The box is borrowed for stream_init only; the stream keeps no reference.
        PyRef key(extract_secret_box(a[0], "key"));
        if (!key) return nullptr;
        auto start = stream::start_push(box_of(key.get()));
        if (!start.ok()) return raise(start.error());
        return make_native<PushStream>(type, std::move(start).value());
    });
}

PyObject* push_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"message", true, false}, {"final", false, true}, {"ad", false, true}};
        PyObject* a[3];
        if (!bind_args("push", params, args, nargs, kwnames, a)) return nullptr;
        bool final = false;
        if (!to_final(a[1], final)) return nullptr;
        // The one copy of the message is made into the chunk's own buffer,
        // the bytes object returned, and encrypted there in place.
        BufferView view;
        if (!view.acquire(a[0])) return nullptr;
        const std::size_t mlen = view.size();
        PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(mlen + stream::ABYTES)));
        if (!out) return nullptr;
        const std::span<std::uint8_t> chunk(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get())),
                                            mlen + stream::ABYTES);
        const std::span<std::uint8_t> message = chunk.subspan(1, mlen);
        PlaintextWipe wipe(message);
        if (!copy_range(a[0], 0, message)) return nullptr;
        ZeroizingBuffer ad;
        if (!to_ad(a[2], ad)) return nullptr;

        const Status s = [&] {
            GilRelease nogil;
            return native<PushStream>(self).push(message, ad.span(), final, chunk);
        }();
        if (!s.ok()) return raise(s.error());
        wipe.done();  // the message is ciphertext now
        return out.release();
    });
}

PyObject* push_header(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const stream::Header& h = native<PushStream>(self).header();
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(h.data()), static_cast<Py_ssize_t>(h.size()));
    });
}

PyMethodDef push_methods[] = {
    fast_method("push", push_push,
                "push($self, message, *, final=False, ad=None)\n--\n\n"
                "🇺🇸 Encrypts one chunk; `final=True` marks the last one, after which the stream refuses more.\n"
                "🇧🇷 Cifra um chunk; `final=True` marca o último, depois do qual o stream recusa mais."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef push_getset[] = {
    {"header", push_header, nullptr,
     "🇺🇸 The 24-byte header the reader needs first. 🇧🇷 O header de 24 bytes que o leitor precisa primeiro.", nullptr},
    {"is_finished", is_finished<PushStream>, nullptr,
     "🇺🇸 Whether the final chunk was already pushed. 🇧🇷 Se o chunk final já foi empurrado.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- SecretStreamPull ---------------------------------------------------------

PyObject* pull_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"key", true, false}, {"header", true, false}};
        PyObject* a[2];
        if (!bind_new_args("SecretStreamPull", params, args, kwargs, a)) return nullptr;
        PyRef key(extract_secret_box(a[0], "key"));
        if (!key) return nullptr;
        ZeroizingBuffer header;
        if (!extract_bytes_like(a[1], header)) return nullptr;
        auto state = stream::stream_init(box_of(key.get()), header.span());
        if (!state.ok()) return raise(state.error());
        return make_native<PullStream>(type, std::move(state).value());
    });
}

PyObject* pull_pull(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"chunk", true, false}, {"ad", false, true}};
        PyObject* a[2];
        if (!bind_args("pull", params, args, nargs, kwnames, a)) return nullptr;
        // The one copy of the chunk: its ciphertext goes into the bytes object
        // returned (decrypted there in place once the MAC matched), the tag
        // byte and the MAC into `frame`.
        BufferView view;
        if (!view.acquire(a[0])) return nullptr;
        const std::size_t clen = view.size();
        const std::size_t mlen = stream::plaintext_len(clen);
        PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(mlen)));
        if (!out) return nullptr;
        const std::span<std::uint8_t> plaintext(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get())), mlen);
        PlaintextWipe wipe(plaintext);
        ZeroizingBuffer frame(stream::ABYTES);
        stream::ChunkParts parts{clen, 0, plaintext, frame.data() + 1};
        if (clen >= stream::ABYTES) {
            if (!copy_range(a[0], 0, frame.span().first(1)) || !copy_range(a[0], 1, plaintext) ||
                !copy_range(a[0], 1 + mlen, frame.span().subspan(1)))
                return nullptr;
            parts.first = frame[0];
        }
        ZeroizingBuffer ad;
        if (!to_ad(a[1], ad)) return nullptr;

        const Result<std::uint8_t> tag = [&] {
            GilRelease nogil;
            return native<PullStream>(self).pull(parts, ad.span(), plaintext);
        }();
        if (!tag.ok()) return raise(tag.error());
        wipe.done();
        return PyTuple_Pack(2, out.get(), tag.value() == stream::TAG_FINAL ? Py_True : Py_False);
    });
}

PyMethodDef pull_methods[] = {
    fast_method("pull", pull_pull,
                "pull($self, chunk, *, ad=None)\n--\n\n"
                "🇺🇸 Authenticates and decrypts one chunk; refuses anything after the final one.\n"
                "🇧🇷 Autentica e decifra um chunk; recusa qualquer coisa depois do final."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pull_getset[] = {
    {"is_finished", is_finished<PullStream>, nullptr,
     "🇺🇸 Whether `TAG_FINAL` was already seen. 🇧🇷 Se `TAG_FINAL` já foi visto.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* make_type(PyObject*& cache, const char* name, int basicsize, const char* doc, newfunc tp_new,
                    destructor tp_dealloc, PyMethodDef* methods, PyGetSetDef* getset) {
    if (cache == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(doc)},
            {Py_tp_new, reinterpret_cast<void*>(tp_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
            {Py_tp_methods, methods},
            {Py_tp_getset, getset},
            {0, nullptr},
        };
        PyType_Spec type_spec = {name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
        cache = PyType_FromSpec(&type_spec);
        if (cache == nullptr) return nullptr;
    }
    return Py_NewRef(cache);
}

}  // namespace

PyObject* secret_stream_push_type_new() {
    return make_type(g_push, "quorvex._secure.SecretStreamPush", static_cast<int>(sizeof(NativeObject<PushStream>)),
                     "SecretStreamPush(key)\n--\n\n"
                     "🇺🇸 Encrypting side: `header` first, then `push(chunk, final=...)` per chunk.\n"
                     "🇧🇷 Lado que cifra: `header` primeiro, depois `push(chunk, final=...)` por chunk.",
                     push_new, native_dealloc<PushStream>, push_methods, push_getset);
}

PyObject* secret_stream_pull_type_new() {
    return make_type(g_pull, "quorvex._secure.SecretStreamPull", static_cast<int>(sizeof(NativeObject<PullStream>)),
                     "SecretStreamPull(key, header)\n--\n\n"
                     "🇺🇸 Decrypting side: built from `key` and the header, then `pull(chunk)` per chunk → "
                     "`(plaintext, is_final)`.\n"
                     "🇧🇷 Lado que decifra: construído de `key` e do header, depois `pull(chunk)` por chunk → "
                     "`(texto claro, é_final)`.",
                     pull_new, native_dealloc<PullStream>, pull_methods, pull_getset);
}

}  // namespace qv::py
