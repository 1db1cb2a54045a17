// The HybridKeyPair Python class over qv::hybrid::HybridKeyPair.
#include <new>
#include <utility>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/object.hpp"
#include "binding/pyref.hpp"
#include "binding/secret_box.hpp"
#include "binding/types.hpp"
#include "hybrid/keypair.hpp"
#include "hybrid/session.hpp"

namespace qv::py {

using qv::hybrid::HybridKeyPair;

template <>
struct CopyRefusal<HybridKeyPair> {
    static constexpr const char* message =
        "HybridKeyPair cannot be pickled or copied · HybridKeyPair não pode ser serializado nem copiado";
};

namespace {

PyObject* g_type = nullptr;
constexpr const char kRepr[] = "HybridKeyPair(<x25519 + ml-kem-768, secrets redacted>)";

HybridKeyPair& keypair_of(PyObject* obj) noexcept { return native<HybridKeyPair>(obj); }

// Wraps a built identity in a new object; if the object cannot be made the
// regions are released with `parts`.
PyObject* keypair_from_parts(hybrid::IdentityParts parts) {
    return make_native<HybridKeyPair>(reinterpret_cast<PyTypeObject*>(g_type), std::move(parts));
}

PyObject* bytes_of(std::span<const std::uint8_t> b) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
}

PyObject* kp_generate(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto parts = hybrid::generate_identity();
        if (!parts.ok()) return raise(parts.error());
        return keypair_from_parts(std::move(parts).value());
    });
}

PyObject* kp_from_secrets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"x25519_secret", true, false}, {"mlkem768_secret", true, false}};
        PyObject* a[2];
        if (!bind_args("from_secrets", params, args, nargs, kwnames, a)) return nullptr;
        PyRef x(extract_secret_box(a[0], "x25519_secret"));
        if (!x) return nullptr;
        PyRef m(extract_secret_box(a[1], "mlkem768_secret"));
        if (!m) return nullptr;
        auto parts = hybrid::identity_from_secrets(box_of(x.get()), box_of(m.get()));
        if (!parts.ok()) return raise(parts.error());
        return keypair_from_parts(std::move(parts).value());
    });
}

PyObject* kp_x25519_public(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        auto pub = keypair_of(self).x25519_public();
        if (!pub.ok()) return raise(pub.error());
        return bytes_of(pub.value());
    });
}

PyObject* kp_mlkem768_public(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        auto pub = keypair_of(self).mlkem768_public();
        if (!pub.ok()) return raise(pub.error());
        return bytes_of(pub.value());
    });
}

PyObject* kp_is_wiped(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        auto wiped = keypair_of(self).is_wiped();
        if (!wiped.ok()) return raise(wiped.error());
        return PyBool_FromLong(wiped.value());
    });
}

PyObject* secret_box_of(Result<LockedRegion> region) {
    if (!region.ok()) return raise(region.error());
    return box_from_region(std::move(region).value());
}

PyObject* kp_x25519_secret(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return secret_box_of(keypair_of(self).x25519_secret()); });
}

PyObject* kp_mlkem768_secret(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return secret_box_of(keypair_of(self).mlkem768_secret()); });
}

PyObject* kp_wipe(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const Status s = keypair_of(self).wipe();
        if (!s.ok()) return raise(s.error());
        Py_RETURN_NONE;
    });
}

// The four converted arguments of the opening methods, zeroed on release.
struct SealArgs {
    ZeroizingBuffer encapsulation, nonce, ciphertext, aad;

    bool bind(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const Param params[] = {
            {"encapsulation", true, false}, {"nonce", true, false}, {"ciphertext", true, false}, {"aad", true, false}};
        PyObject* a[4];
        return bind_args(function, params, args, nargs, kwnames, a) && extract_bytes_like(a[0], encapsulation) &&
               extract_bytes_like(a[1], nonce) && extract_bytes_like(a[2], ciphertext) &&
               extract_bytes_like(a[3], aad);
    }
};

PyObject* kp_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        SealArgs in;
        if (!in.bind("open", args, nargs, kwnames)) return nullptr;
        auto plaintext = keypair_of(self).open(in.encapsulation.span(), in.nonce.span(), in.ciphertext.span(),
                                               in.aad.span());
        if (!plaintext.ok()) return raise(plaintext.error());
        return bytes_of(plaintext.value().span());
    });
}

PyObject* kp_open_secret(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        SealArgs in;
        if (!in.bind("open_secret", args, nargs, kwnames)) return nullptr;
        auto plaintext = keypair_of(self).open(in.encapsulation.span(), in.nonce.span(), in.ciphertext.span(),
                                               in.aad.span());
        if (!plaintext.ok()) return raise(plaintext.error());
        return secret_box_of(LockedRegion::from_slice(plaintext.value().span()));
    });
}

PyObject* kp_open_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        SealArgs in;
        if (!in.bind("open_session", args, nargs, kwnames)) return nullptr;
        auto session = hybrid::open_session(keypair_of(self), in.encapsulation.span(), in.nonce.span(),
                                            in.ciphertext.span(), in.aad.span());
        if (!session.ok()) return raise(session.error());
        hybrid::SealedSession& s = session.value();
        PyRef id(PyUnicode_DecodeUTF8(s.session_id.data(), static_cast<Py_ssize_t>(s.session_id.size()), "strict"));
        if (!id) return nullptr;
        PyRef expires(PyLong_FromLongLong(s.expires_at));
        if (!expires) return nullptr;
        PyRef sign(box_from_region(std::move(s.sign_key)));
        if (!sign) return nullptr;
        PyRef enc(box_from_region(std::move(s.enc_key)));
        if (!enc) return nullptr;
        return PyTuple_Pack(4, id.get(), expires.get(), sign.get(), enc.get());
    });
}

PyObject* kp_repr(PyObject*) { return PyUnicode_FromString(kRepr); }


PyMethodDef methods[] = {
    {"generate", kp_generate, METH_NOARGS | METH_STATIC,
     "generate()\n--\n\n"
     "🇺🇸 A fresh identity from the OS CSPRNG.\n"
     "🇧🇷 Uma identidade nova do CSPRNG do SO."},
    fast_method("from_secrets", kp_from_secrets,
                "from_secrets(x25519_secret, mlkem768_secret)\n--\n\n"
                "🇺🇸 Rebuilds an identity from its two secrets (an OpenBao restore); publics are recomputed, "
                "never trusted from storage.\n"
                "🇧🇷 Reconstrói uma identidade a partir dos seus dois segredos (uma restauração do OpenBao); "
                "as chaves públicas são recalculadas, nunca confiadas do armazenamento.", METH_STATIC),
    {"x25519_secret", kp_x25519_secret, METH_NOARGS,
     "x25519_secret($self)\n--\n\n"
     "🇺🇸 A locked copy of the X25519 secret, for persisting.\n"
     "🇧🇷 Uma cópia travada do segredo X25519, para persistir."},
    {"mlkem768_secret", kp_mlkem768_secret, METH_NOARGS,
     "mlkem768_secret($self)\n--\n\n"
     "🇺🇸 A locked copy of the expanded ML-KEM-768 secret, for persisting.\n"
     "🇧🇷 Uma cópia travada do segredo ML-KEM-768 expandido, para persistir."},
    fast_method("open", kp_open,
                "open($self, encapsulation, nonce, ciphertext, aad)\n--\n\n"
                "🇺🇸 Opens a seal to plain `bytes` (JSON, content).\n"
                "🇧🇷 Abre um selo como `bytes` simples (JSON, conteúdo)."),
    fast_method("open_secret", kp_open_secret,
                "open_secret($self, encapsulation, nonce, ciphertext, aad)\n--\n\n"
                "🇺🇸 Opens a seal straight into a locked box (a group DEK).\n"
                "🇧🇷 Abre um selo direto numa caixa travada (uma DEK de grupo)."),
    fast_method("open_session", kp_open_session,
                "open_session($self, encapsulation, nonce, ciphertext, aad)\n--\n\n"
                "🇺🇸 Opens a sealed session (`docs/PROTOCOL.md §5`) as `(session_id, expires_at, sign_key, enc_key)` "
                "with both keys locked.\n"
                "🇧🇷 Abre uma sessão selada (`docs/PROTOCOL.md §5`) como `(session_id, expires_at, sign_key, enc_key)` "
                "com as duas chaves travadas."),
    {"wipe", kp_wipe, METH_NOARGS,
     "wipe($self)\n--\n\n"
     "🇺🇸 Zeroes both secrets now.\n"
     "🇧🇷 Zera os dois segredos agora."},
    {"__reduce__", refuse_copy<HybridKeyPair>, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__copy__", refuse_copy<HybridKeyPair>, METH_NOARGS, "__copy__($self)\n--\n\n"},
    fast_method("__deepcopy__", refuse_deepcopy<HybridKeyPair>, "__deepcopy__($self, _memo)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"x25519_public", kp_x25519_public, nullptr,
     "🇺🇸 The X25519 public key (32 bytes). 🇧🇷 A chave pública X25519 (32 bytes).", nullptr},
    {"mlkem768_public", kp_mlkem768_public, nullptr,
     "🇺🇸 The ML-KEM-768 encapsulation key (1184 bytes). 🇧🇷 A chave de encapsulamento ML-KEM-768 (1184 bytes).",
     nullptr},
    {"is_wiped", kp_is_wiped, nullptr, "🇺🇸 Whether `wipe()` already ran. 🇧🇷 Se `wipe()` já rodou.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* hybrid_keypair_type_new() {
    if (g_type == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(
                            "🇺🇸 An SDK identity: one X25519 pair plus one ML-KEM-768 pair, private halves in locked "
                            "memory.\n"
                            "🇧🇷 Uma identidade do SDK: um par X25519 mais um par ML-KEM-768, metades privadas em "
                            "memória travada.")},
            {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<HybridKeyPair>)},
            {Py_tp_repr, reinterpret_cast<void*>(kp_repr)},
            {Py_tp_methods, methods},
            {Py_tp_getset, getset},
            {0, nullptr},
        };
        PyType_Spec type_spec = {"quorvex._secure.HybridKeyPair", static_cast<int>(sizeof(NativeObject<HybridKeyPair>)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                            slots};
        g_type = PyType_FromSpec(&type_spec);
        if (g_type == nullptr) return nullptr;
    }
    return Py_NewRef(g_type);
}

}  // namespace qv::py
