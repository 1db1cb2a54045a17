// EntropyPool over qv::entropy::EntropyPool. Every operation keeps the GIL,
// getentropy included.
#include <Python.h>

#include <new>
#include <utility>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/object.hpp"
#include "binding/new_args.hpp"
#include "binding/pyref.hpp"
#include "binding/secret_box.hpp"
#include "binding/types.hpp"
#include "entropy/pool.hpp"

namespace qv::py {

namespace {

using entropy::EntropyPool;

EntropyPool& pool_of(PyObject* obj) noexcept { return native<EntropyPool>(obj); }

PyObject* g_type = nullptr;

PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (!bind_new_args("EntropyPool", nullptr, 0, args, kwargs, nullptr)) return nullptr;
        auto state = entropy::new_pool_state();
        if (!state.ok()) return raise(state.error());
        return make_native<EntropyPool>(type, std::move(state).value());  // on failure `state` is released
    });
}

PyObject* pool_mix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"seed", true, false}};
        PyObject* a[1];
        if (!bind_args("mix", params, args, nargs, kwnames, a)) return nullptr;
        ZeroizingBuffer seed;
        if (is_secret_box(a[0])) {
            // Copied out under the box's lock, released before the pool's is taken.
            auto copy = box_of(a[0]).copy_bytes();
            if (!copy.ok()) return raise(copy.error());
            seed = std::move(copy).value();
        } else if (!extract_bytes_like(a[0], seed)) {
            return nullptr;
        }
        const Status s = pool_of(self).mix(seed.span());
        if (!s.ok()) return raise(s.error());
        Py_RETURN_NONE;
    });
}

PyObject* pool_random(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"n", true, false}};
        PyObject* a[1];
        if (!bind_args("random", params, args, nargs, kwnames, a)) return nullptr;
        std::uint64_t n = 0;
        if (!to_u64(a[0], "n", n)) return nullptr;
        auto out = pool_of(self).random(n);
        if (!out.ok()) return raise(out.error());
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out->data()),
                                         static_cast<Py_ssize_t>(out->size()));
    });
}

PyObject* pool_random_secret(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"n", true, false}};
        PyObject* a[1];
        if (!bind_args("random_secret", params, args, nargs, kwnames, a)) return nullptr;
        std::uint64_t n = 0;
        if (!to_u64(a[0], "n", n)) return nullptr;
        auto region = pool_of(self).random_secret(n);
        if (!region.ok()) return raise(region.error());
        return box_from_region(std::move(region).value());
    });
}

// Constant: takes no lock and reads no state.
PyObject* pool_repr(PyObject*) { return PyUnicode_FromString("EntropyPool(<state redacted>)"); }

PyMethodDef methods[] = {
    fast_method("mix", pool_mix,
                "mix($self, seed)\n--\n\n"
                "🇺🇸 Replaces the mixed-in seed (a `SecretBox` or bytes-like) and resets the counter.\n"
                "🇧🇷 Substitui a semente misturada (um `SecretBox` ou tipo bytes) e reinicia o contador."),
    fast_method("random", pool_random,
                "random($self, n)\n--\n\n"
                "🇺🇸 `n` bytes for public values: nonces, salts, ids. "
                "🇧🇷 `n` bytes para valores públicos: nonces, salts, ids."),
    fast_method("random_secret", pool_random_secret,
                "random_secret($self, n)\n--\n\n"
                "🇺🇸 `n` bytes born in a locked box: a new DEK never touches the Python heap.\n"
                "🇧🇷 `n` bytes nascidos numa caixa travada: uma DEK nova nunca toca o heap do Python."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* entropy_pool_type_new() {
    if (g_type == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("EntropyPool()\n--\n\n"
                                          "🇺🇸 Stateful mixer; see the module docs. "
                                          "🇧🇷 Misturador com estado; veja a doc do módulo.")},
            {Py_tp_new, reinterpret_cast<void*>(pool_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<EntropyPool>)},
            {Py_tp_repr, reinterpret_cast<void*>(pool_repr)},
            {Py_tp_methods, methods},
            {0, nullptr},
        };
        PyType_Spec type_spec = {"quorvex._secure.EntropyPool", static_cast<int>(sizeof(NativeObject<EntropyPool>)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
        g_type = PyType_FromSpec(&type_spec);
        if (g_type == nullptr) return nullptr;
    }
    return Py_NewRef(g_type);
}

}  // namespace qv::py
