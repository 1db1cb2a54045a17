// The keyed methods of SecretBox: HMAC-SHA512, HKDF-SHA256, AES-256-GCM and
// the sealed JSON field. Arguments are converted before the box is touched;
// result objects are made after its lock is released. Every argument copy is
// a ZeroizingBuffer, zeroed on every way out.
#include <Python.h>

#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/object.hpp"
#include "binding/pyref.hpp"
#include "binding/secret_box.hpp"
#include "binding/types.hpp"
#include "keyed/box_ops.hpp"

namespace qv::py {

namespace {

PyObject* to_bytes(std::span<const std::uint8_t> data) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                     static_cast<Py_ssize_t>(data.size()));
}

// Copies an optional bytes-like argument; absent or None leaves `out` empty.
bool extract_optional(PyObject* obj, ZeroizingBuffer& out) {
    return is_absent(obj) || extract_bytes_like(obj, out);
}

PyObject* hmac_sha512(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"message", true, false}};
        PyObject* a[1];
        if (!bind_args("hmac_sha512", params, args, nargs, kwnames, a)) return nullptr;
        ZeroizingBuffer message;
        if (!extract_bytes_like(a[0], message)) return nullptr;
        auto tag = box_hmac_sha512(box_of(self), message.span());
        if (!tag.ok()) return raise(tag.error());
        return to_bytes(tag.value());
    });
}

PyObject* hkdf_sha256(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"info", true, true}, {"length", false, true}, {"salt", false, true}};
        PyObject* a[3];
        if (!bind_args("hkdf_sha256", params, args, nargs, kwnames, a)) return nullptr;
        // `length` is converted while binding, before `info`; None is not an integer.
        std::uint64_t length = 32;
        if (a[1] != nullptr && !to_u64(a[1], "length", length)) return nullptr;
        ZeroizingBuffer info, salt;
        if (!extract_bytes_like(a[0], info) || !extract_optional(a[2], salt)) return nullptr;
        auto region = box_hkdf_sha256(box_of(self), salt.span(), info.span(), length);
        if (!region.ok()) return raise(region.error());
        return box_from_region(std::move(region).value());
    });
}

PyObject* aes_gcm_seal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"nonce", true, false}, {"plaintext", true, false}, {"aad", false, false}};
        PyObject* a[3];
        if (!bind_args("aes_gcm_seal", params, args, nargs, kwnames, a)) return nullptr;
        ZeroizingBuffer nonce, plaintext, aad;
        if (!extract_bytes_like(a[0], nonce) || !extract_bytes_like(a[1], plaintext) || !extract_optional(a[2], aad)) {
            return nullptr;
        }
        // The result is sealed straight into the bytes object, made before the
        // box's lock is taken: one output allocation and no further copy. It
        // never holds anything but ciphertext and tag.
        PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plaintext.size() + 16)));
        if (!out) return nullptr;
        auto* dst = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get()));
        const Status s = box_seal_into(box_of(self), nonce.span(), plaintext.span(), aad.span(),
                                       {dst, plaintext.size() + 16});
        if (!s.ok()) return raise(s.error());
        return out.release();
    });
}

PyObject* aes_gcm_seal_secret(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"nonce", true, false}, {"secret", true, false}, {"aad", false, false}};
        PyObject* a[3];
        if (!bind_args("aes_gcm_seal_secret", params, args, nargs, kwnames, a)) return nullptr;
        // The box argument is checked while binding, before `nonce` is copied.
        PyRef secret(extract_secret_box(a[1], "secret"));
        if (!secret) return nullptr;
        ZeroizingBuffer nonce, aad;
        if (!extract_bytes_like(a[0], nonce) || !extract_optional(a[2], aad)) return nullptr;
        auto sealed = box_seal_secret(box_of(self), nonce.span(), box_of(secret.get()), aad.span());
        if (!sealed.ok()) return raise(sealed.error());
        return to_bytes(sealed.value());
    });
}

// The three byte arguments of every open method, copied in signature order.
struct OpenArgs {
    ZeroizingBuffer nonce, ciphertext, aad;
    bool extract(PyObject* n, PyObject* c, PyObject* ad) {
        return extract_bytes_like(n, nonce) && extract_bytes_like(c, ciphertext) && extract_optional(ad, aad);
    }
};

const Param kOpenParams[] = {{"nonce", true, false}, {"ciphertext", true, false}, {"aad", false, false}};

// The plaintext is decrypted from the copy of `ciphertext` straight into the
// result bytes object, made before the box's lock is taken. Until the tag
// has verified nobody else holds that object; on a failed tag it is zeroed
// before it is released.
PyObject* aes_gcm_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!bind_args("aes_gcm_open", kOpenParams, args, nargs, kwnames, a)) return nullptr;
        OpenArgs in;
        if (!in.extract(a[0], a[1], a[2])) return nullptr;
        const std::size_t len = in.ciphertext.size() >= 16 ? in.ciphertext.size() - 16 : 0;
        PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
        if (!out) return nullptr;
        auto* dst = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get()));
        const Status s = open_sealed_into(box_of(self), in.nonce.span(), in.ciphertext.span(), in.aad.span(),
                                          {dst, len});
        if (!s.ok()) return raise(s.error());
        return out.release();
    });
}

PyObject* aes_gcm_open_secret(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!bind_args("aes_gcm_open_secret", kOpenParams, args, nargs, kwnames, a)) return nullptr;
        OpenArgs in;
        if (!in.extract(a[0], a[1], a[2])) return nullptr;
        const Status s = open_sealed_in_place(box_of(self), in.nonce.span(), in.ciphertext.span(), in.aad.span());
        if (!s.ok()) return raise(s.error());
        auto region = LockedRegion::from_slice(in.ciphertext.span().first(in.ciphertext.size() - 16));
        if (!region.ok()) return raise(region.error());
        return box_from_region(std::move(region).value());
    });
}

PyObject* aes_gcm_open_json_field(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {
            {"nonce", true, false}, {"ciphertext", true, false}, {"aad", true, false}, {"field", true, false}};
        PyObject* a[4];
        if (!bind_args("aes_gcm_open_json_field", params, args, nargs, kwnames, a)) return nullptr;
        // `field` is converted while binding, before the byte arguments; its
        // UTF-8 stays owned by the str, which the caller keeps alive.
        std::string_view field;
        if (!to_utf8(a[3], "field", field)) return nullptr;
        OpenArgs in;
        if (!in.extract(a[0], a[1], a[2])) return nullptr;
        auto region = open_json_field(box_of(self), in.nonce.span(), in.ciphertext.span(), in.aad.span(), field);
        if (!region.ok()) return raise(region.error());
        return box_from_region(std::move(region).value());
    });
}

}  // namespace

void add_secret_box_keyed_methods(std::vector<PyMethodDef>& methods) {
    methods.push_back(fast_method("hmac_sha512", hmac_sha512,
                                  "hmac_sha512($self, message)\n--\n\n"
                                  "🇺🇸 HMAC-SHA512 tag of `message` under this key. "
                                  "🇧🇷 Tag HMAC-SHA512 de `message` sob esta chave."));
    methods.push_back(fast_method("hkdf_sha256", hkdf_sha256,
                                  "hkdf_sha256($self, *, info, length=32, salt=None)\n--\n\n"
                                  "🇺🇸 HKDF-SHA256 with this box as IKM; the output is a new locked box.\n"
                                  "🇧🇷 HKDF-SHA256 com esta caixa como IKM; a saída é uma caixa travada nova."));
    methods.push_back(fast_method("aes_gcm_seal", aes_gcm_seal,
                                  "aes_gcm_seal($self, nonce, plaintext, aad=None)\n--\n\n"
                                  "🇺🇸 AES-256-GCM `ciphertext ‖ tag` of `plaintext` under this key. "
                                  "🇧🇷 `ciphertext ‖ tag` AES-256-GCM de `plaintext` sob esta chave."));
    methods.push_back(fast_method("aes_gcm_seal_secret", aes_gcm_seal_secret,
                                  "aes_gcm_seal_secret($self, nonce, secret, aad=None)\n--\n\n"
                                  "🇺🇸 Like `aes_gcm_seal`, but the plaintext is another box (wrapping a key). "
                                  "🇧🇷 Como `aes_gcm_seal`, mas o texto claro é outra caixa (embrulhar uma chave)."));
    methods.push_back(fast_method("aes_gcm_open", aes_gcm_open,
                                  "aes_gcm_open($self, nonce, ciphertext, aad=None)\n--\n\n"
                                  "🇺🇸 Opens AES-256-GCM `ciphertext ‖ tag` to plain `bytes` (for content). "
                                  "🇧🇷 Abre `ciphertext ‖ tag` AES-256-GCM em `bytes` (para conteúdo)."));
    methods.push_back(fast_method("aes_gcm_open_secret", aes_gcm_open_secret,
                                  "aes_gcm_open_secret($self, nonce, ciphertext, aad=None)\n--\n\n"
                                  "🇺🇸 Opens into a new locked box (for keys). "
                                  "🇧🇷 Abre para uma caixa travada nova (para chaves)."));
    methods.push_back(fast_method("aes_gcm_open_json_field", aes_gcm_open_json_field,
                                  "aes_gcm_open_json_field($self, nonce, ciphertext, aad, field)\n--\n\n"
                                  "🇺🇸 Opens `ciphertext`, parses the plaintext as a JSON object and moves one base64url "
                                  "field straight into a locked box.\n\n"
                                  "This is how `random_seed` (`docs/PROTOCOL.md §4`: a JSON object with the single member "
                                  "`seed` holding base64url text) is consumed: the JSON and the encoded seed exist only in "
                                  "self-zeroing native memory, never in the Python heap.\n\n"
                                  "🇧🇷 Abre `ciphertext`, interpreta o texto claro como objeto JSON e move um campo base64url "
                                  "direto para uma caixa travada.\n\n"
                                  "É assim que `random_seed` (`docs/PROTOCOL.md §4`: um objeto JSON com o único membro "
                                  "`seed` contendo texto base64url) é consumido: o JSON e a seed codificada existem só em "
                                  "memória nativa que se zera sozinha, nunca no heap do Python."));
}

}  // namespace qv::py
