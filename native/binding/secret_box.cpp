#include "binding/secret_box.hpp"

#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/object.hpp"
#include "binding/pyref.hpp"
#include "binding/types.hpp"

namespace qv::py {

template <>
struct CopyRefusal<SecretBox> {
    static constexpr const char* message =
        "SecretBox cannot be pickled, copied or deep-copied; use clone() deliberately · "
        "SecretBox não pode ser serializado, copiado ou deep-copiado; use clone() de propósito";
};

namespace {

PyObject* g_type = nullptr;

PyObject* box_random(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"length", true, false}};
        PyObject* a[1];
        if (!bind_args("random", params, args, nargs, kwnames, a)) return nullptr;
        std::uint64_t length = 0;
        if (!to_u64(a[0], "length", length)) return nullptr;
        auto region = random_region(length);
        if (!region.ok()) return raise(region.error());
        return box_from_region(std::move(region).value());
    });
}

PyObject* box_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"data", true, false}};
        PyObject* a[1];
        if (!bind_args("from_bytes", params, args, nargs, kwnames, a)) return nullptr;
        ZeroizingBuffer copy;
        {
            BufferView view;
            if (!view.acquire(a[0]) || !view.copy_to(copy)) return nullptr;
            // The source is zeroed before the region exists, so it ends up
            // zeroed even when the box cannot be made.
            view.zero_source();
        }
        auto region = LockedRegion::from_slice(copy.span());
        if (!region.ok()) return raise(region.error());
        return box_from_region(std::move(region).value());
    });
}

PyObject* box_clone(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto region = box_of(self).clone_region();
        if (!region.ok()) return raise(region.error());
        return box_from_region(std::move(region).value());
    });
}

PyObject* box_reveal(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        // The bytearray is made from the region directly, under the lock.
        auto result = box_of(self).with_bytes([](std::span<const std::uint8_t> bytes) -> Result<PyObject*> {
            PyObject* out = PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                          static_cast<Py_ssize_t>(bytes.size()));
            // Running out of memory is no fault of the box: the MemoryError
            // stays set and the lock is released as usual.
            if (out == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) return out;
            if (out == nullptr) {
                PyErr_Clear();
                fault("could not create the bytearray for reveal()");
            }
            return out;
        });
        if (!result.ok()) return raise(result.error());
        return result.value();
    });
}

PyObject* box_wipe(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const Status s = box_of(self).wipe();
        if (!s.ok()) return raise(s.error());
        Py_RETURN_NONE;
    });
}

PyObject* flag(PyObject* self, Result<bool> (qv::SecretBox::*getter)()) {
    return guarded([&]() -> PyObject* {
        const Result<bool> r = (box_of(self).*getter)();
        if (!r.ok()) return raise(r.error());
        return PyBool_FromLong(r.value());
    });
}

PyObject* box_is_locked(PyObject* self, void*) { return flag(self, &qv::SecretBox::is_locked); }
PyObject* box_is_wiped(PyObject* self, void*) { return flag(self, &qv::SecretBox::is_wiped); }

Py_ssize_t box_len(PyObject* self) {
    return guarded([&]() -> Py_ssize_t {
        const Result<std::uint64_t> r = box_of(self).length();
        if (!r.ok()) return raise(r.error()), -1;
        return static_cast<Py_ssize_t>(r.value());
    });
}

PyObject* box_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const std::string text = box_of(self).repr();
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* box_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> PyObject* {
        if (op == Py_NE) {
            // Negation of the full == protocol, fallbacks included.
            PyRef eq(PyObject_RichCompare(self, other, Py_EQ));
            if (!eq) return nullptr;
            const int truth = PyObject_IsTrue(eq.get());
            if (truth < 0) return nullptr;
            return PyBool_FromLong(!truth);
        }
        if (op != Py_EQ || !is_secret_box(other)) Py_RETURN_NOTIMPLEMENTED;
        if (other == self) Py_RETURN_TRUE;
        const Result<bool> r = box_of(self).equals(box_of(other));
        if (!r.ok()) return raise(r.error());
        return PyBool_FromLong(r.value());
    });
}

std::vector<PyMethodDef>& methods() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> m = {
            fast_method("random", box_random,
                        "random(length)\n--\n\n"
                        "🇺🇸 `length` fresh bytes from the OS CSPRNG, born directly in locked memory.\n"
                        "🇧🇷 `length` bytes novos do CSPRNG do SO, nascidos direto em memória travada.", METH_STATIC),
            fast_method("from_bytes", box_from_bytes,
                        "from_bytes(data)\n--\n\n"
                        "🇺🇸 Copies a bytes-like object in; a writable source (`bytearray`) is zeroed afterwards.\n"
                        "🇧🇷 Copia um objeto tipo bytes para dentro; uma origem gravável (`bytearray`) é zerada depois.", METH_STATIC),
            {"__reduce__", refuse_copy<SecretBox>, METH_NOARGS, "__reduce__($self)\n--\n\n"},
            {"__copy__", refuse_copy<SecretBox>, METH_NOARGS, "__copy__($self)\n--\n\n"},
            fast_method("__deepcopy__", refuse_deepcopy<SecretBox>, "__deepcopy__($self, _memo)\n--\n\n"),
            {"wipe", box_wipe, METH_NOARGS,
             "wipe($self)\n--\n\n"
             "🇺🇸 Zeroes the secret now, ahead of garbage collection. "
             "🇧🇷 Zera o segredo agora, antes da coleta de lixo."},
            {"clone", box_clone, METH_NOARGS,
             "clone($self)\n--\n\n"
             "🇺🇸 A second, independent box with the same bytes. "
             "🇧🇷 Uma segunda caixa, independente, com os mesmos bytes."},
            {"reveal", box_reveal, METH_NOARGS,
             "reveal($self)\n--\n\n"
             "🇺🇸 The bytes as a `bytearray` — the caller owns zeroing it. Exists only for persisting to OpenBao.\n"
             "🇧🇷 Os bytes como `bytearray` — zerá-lo é responsabilidade de quem chama. "
             "Existe só para persistir no OpenBao."},
        };
        add_secret_box_keyed_methods(m);
        m.push_back({nullptr, nullptr, 0, nullptr});
        return m;
    }();
    return table;
}

PyGetSetDef getset[] = {
    {"is_locked", box_is_locked, nullptr,
     "🇺🇸 Whether the pages are pinned by `mlock`. 🇧🇷 Se as páginas estão presas por `mlock`.", nullptr},
    {"is_wiped", box_is_wiped, nullptr, "🇺🇸 Whether `wipe()` already ran. 🇧🇷 Se `wipe()` já rodou.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* secret_box_type() noexcept { return reinterpret_cast<PyTypeObject*>(g_type); }

PyObject* secret_box_type_new() {
    if (g_type == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(
                            "🇺🇸 Bytes that live only in locked memory; see the module docs for the rules.\n"
                            "🇧🇷 Bytes que vivem só em memória travada; veja a doc do módulo para as regras.")},
            {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<qv::SecretBox>)},
            {Py_tp_repr, reinterpret_cast<void*>(box_repr)},
            {Py_tp_richcompare, reinterpret_cast<void*>(box_richcompare)},
            {Py_tp_methods, methods().data()},
            {Py_tp_getset, getset},
            {Py_mp_length, reinterpret_cast<void*>(box_len)},
            {0, nullptr},
        };
        PyType_Spec type_spec = {"quorvex._secure.SecretBox", static_cast<int>(sizeof(NativeObject<qv::SecretBox>)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                            slots};
        g_type = PyType_FromSpec(&type_spec);
        if (g_type == nullptr) return nullptr;
    }
    return Py_NewRef(g_type);
}

PyObject* extract_secret_box(PyObject* obj, const char* arg) {
    if (is_secret_box(obj)) return Py_NewRef(obj);
    raise_not_instance(obj, "SecretBox");
    if (arg != nullptr) add_argument_note(arg);
    return nullptr;
}

PyObject* box_from_region(LockedRegion region) {
    // On failure `region` is released (zeroed, unmapped) on return.
    return make_native<qv::SecretBox>(secret_box_type(), std::move(region));
}

}  // namespace qv::py
