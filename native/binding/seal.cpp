// The module function seal_hybrid over qv::hybrid::seal_hybrid.
#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/object.hpp"
#include "binding/pyref.hpp"
#include "binding/types.hpp"
#include "hybrid/seal.hpp"

namespace qv::py {

namespace {

PyObject* bytes_of(std::span<const std::uint8_t> b) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
}

PyObject* seal_hybrid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Param params[] = {{"x25519_public", true, false},
                                       {"mlkem768_public", true, false},
                                       {"plaintext", true, false},
                                       {"aad", true, false}};
        PyObject* a[4];
        if (!bind_args("seal_hybrid", params, args, nargs, kwnames, a)) return nullptr;
        ZeroizingBuffer x25519_public, mlkem768_public, plaintext, aad;
        if (!extract_bytes_like(a[0], x25519_public) || !extract_bytes_like(a[1], mlkem768_public) ||
            !extract_bytes_like(a[2], plaintext) || !extract_bytes_like(a[3], aad))
            return nullptr;
        auto seal = hybrid::seal_hybrid(x25519_public.span(), mlkem768_public.span(), plaintext.span(), aad.span());
        if (!seal.ok()) return raise(seal.error());
        const hybrid::Seal& s = seal.value();
        PyRef encapsulation(bytes_of(s.encapsulation));
        if (!encapsulation) return nullptr;
        PyRef nonce(bytes_of(s.nonce));
        if (!nonce) return nullptr;
        PyRef ciphertext(bytes_of(s.ciphertext));
        if (!ciphertext) return nullptr;
        return PyTuple_Pack(3, encapsulation.get(), nonce.get(), ciphertext.get());
    });
}

}  // namespace

PyMethodDef seal_hybrid_def = fast_method(
                                          "seal_hybrid", seal_hybrid,
                                          "seal_hybrid(x25519_public, mlkem768_public, plaintext, aad)\n--\n\n"
                                          "🇺🇸 seal_hybrid(x25519_public, mlkem768_public, plaintext, aad) -> (encapsulation, nonce, ciphertext)\n"
                                          "🇧🇷 Sela `plaintext` para as duas chaves públicas de uma identidade: "
                                          "seal_hybrid(x25519_public, mlkem768_public, plaintext, aad) -> (encapsulation, nonce, ciphertext)");

}  // namespace qv::py
