"""The module surface: registration, constants, exception classes, final
classes, copy refusals, docstrings and stubs."""

from __future__ import annotations

import copy
import importlib.util
import operator
import pickle
import re

import pytest

import quorvex.errors
from quorvex import _secure

from conftest import run_python

SECURE_ERROR_DOC = (
    "🇺🇸 Raised by the native enclave: locking, key material or authentication failed. "
    "🇧🇷 Lançada pelo enclave nativo: travamento, material de chave ou autenticação falhou."
)


def test_all_lists_the_registered_names_in_order() -> None:
    assert _secure.__all__ == [
        "SecretBox", "HybridKeyPair", "SecretStreamPush", "SecretStreamPull", "EntropyPool",
        "seal_hybrid", "harden_process", "memory_status", "SecureError", "__version__",
        "SECRETSTREAM_HEADER_BYTES", "SECRETSTREAM_ABYTES", "X25519_PUBLIC_BYTES", "X25519_SECRET_BYTES",
        "MLKEM768_PUBLIC_BYTES", "MLKEM768_SECRET_BYTES", "MLKEM768_CIPHERTEXT_BYTES",
    ]  # fmt: skip
    assert _secure.__version__ == "0.1.0"
    assert "PanicException" not in _secure.__all__
    assert _secure.__doc__ == (
        "🇺🇸 Module entry point: registers the classes, functions and constants Python sees.\n"
        "🇧🇷 Ponto de entrada do módulo: registra as classes, funções e constantes que o Python vê."
    )


def test_size_constants_and_exception_classes() -> None:
    values = [getattr(_secure, n) for n in _secure.__all__[10:]]
    assert values == [24, 17, 32, 32, 1184, 2400, 1088] and all(type(v) is int for v in values)
    err = _secure.SecureError
    assert issubclass(err, quorvex.errors.CryptoError)
    assert (err.__module__, err.__name__, err.__doc__) == ("quorvex._secure", "SecureError", SECURE_ERROR_DOC)
    assert set(vars(err)) <= {"__module__", "__doc__", "__weakref__"}
    assert _secure.PanicException.__bases__ == (BaseException,)


def _stream_pull() -> _secure.SecretStreamPull:
    key = _secure.SecretBox.random(32)
    return _secure.SecretStreamPull(key, _secure.SecretStreamPush(key).header)


# Boxes and key pairs say why; the other classes have no reduce protocol at all.
COPY_REFUSALS = [
    (lambda: _secure.SecretBox.random(4), "SecretBox cannot be pickled, copied or deep-copied; use clone() deliberately · "
     "SecretBox não pode ser serializado, copiado ou deep-copiado; use clone() de propósito"),
    (_secure.HybridKeyPair.generate,
     "HybridKeyPair cannot be pickled or copied · HybridKeyPair não pode ser serializado nem copiado"),
    (lambda: _secure.SecretStreamPush(_secure.SecretBox.random(32)), None),
    (_stream_pull, None),
    (_secure.EntropyPool, None),
]  # fmt: skip


@pytest.mark.parametrize(("make", "message"), COPY_REFUSALS, ids=["box", "keypair", "push", "pull", "pool"])
@pytest.mark.parametrize("refuse", [pickle.dumps, copy.copy, copy.deepcopy, operator.methodcaller("__reduce__")])
def test_copies_are_refused(make, message: str | None, refuse) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$" if message else "^cannot pickle"):
        refuse(make())


@pytest.mark.parametrize("cls", ["SecretBox", "HybridKeyPair", "SecretStreamPush", "SecretStreamPull", "EntropyPool"])
def test_classes_are_final_and_live_in_the_module(cls: str) -> None:
    klass = getattr(_secure, cls)
    assert klass.__module__ == "quorvex._secure"
    with pytest.raises(TypeError):
        type("Sub", (klass,), {})
    if cls in ("SecretBox", "HybridKeyPair"):  # no constructor
        with pytest.raises(TypeError):
            klass()


@pytest.mark.parametrize(
    ("prelude", "reason"),
    [
        ("sys.modules['quorvex.errors'] = None", "import of quorvex.errors halted"),
        ("import quorvex.errors; del quorvex.errors.CryptoError", "has no attribute 'CryptoError'"),
        ("import quorvex.errors; quorvex.errors.CryptoError = 42", "is not a class"),
    ],
)
def test_broken_errors_module_makes_import_panic(prelude: str, reason: str) -> None:
    result = run_python(
        f"""
        import sys
        {prelude}
        try:
            import quorvex._secure
        except Exception as exc:
            print("caught as Exception", exc)
        except BaseException as exc:
            print(type(exc).__name__, exc)
        """
    )
    out = result.stdout
    assert out.startswith("PanicException failed to import exception quorvex.errors.CryptoError: "), out
    assert reason in out


def test_stub_matches_the_module() -> None:
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    from mypy import stubtest

    assert stubtest.test_stubs(stubtest.parse_options(["quorvex._secure"])) == 0


# Docstrings: `exact` rows are the whole text after the signature lines,
# the others a fragment that must appear.
DOCS = [
    ("SecretBox", True, "🇺🇸 Bytes that live only in locked memory; see the module docs for the rules.\n"
     "🇧🇷 Bytes que vivem só em memória travada; veja a doc do módulo para as regras."),
    ("SecretBox.random", True, "🇺🇸 `length` fresh bytes from the OS CSPRNG, born directly in locked memory.\n"
     "🇧🇷 `length` bytes novos do CSPRNG do SO, nascidos direto em memória travada."),
    ("SecretBox.wipe", True,
     "🇺🇸 Zeroes the secret now, ahead of garbage collection. 🇧🇷 Zera o segredo agora, antes da coleta de lixo."),
    ("SecretBox.clone", True,
     "🇺🇸 A second, independent box with the same bytes. 🇧🇷 Uma segunda caixa, independente, com os mesmos bytes."),
    ("SecretBox.hmac_sha512", True,
     "🇺🇸 HMAC-SHA512 tag of `message` under this key. 🇧🇷 Tag HMAC-SHA512 de `message` sob esta chave."),
    ("SecretBox.hkdf_sha256", True, "🇺🇸 HKDF-SHA256 with this box as IKM; the output is a new locked box.\n"
     "🇧🇷 HKDF-SHA256 com esta caixa como IKM; a saída é uma caixa travada nova."),
    ("SecretBox.aes_gcm_seal", True, "🇺🇸 AES-256-GCM `ciphertext ‖ tag` of `plaintext` under this key. "
     "🇧🇷 `ciphertext ‖ tag` AES-256-GCM de `plaintext` sob esta chave."),
    ("SecretBox.aes_gcm_seal_secret", True, "🇺🇸 Like `aes_gcm_seal`, but the plaintext is another box (wrapping a key). "
     "🇧🇷 Como `aes_gcm_seal`, mas o texto claro é outra caixa (embrulhar uma chave)."),
    ("SecretBox.aes_gcm_open", True, "🇺🇸 Opens AES-256-GCM `ciphertext ‖ tag` to plain `bytes` (for content). "
     "🇧🇷 Abre `ciphertext ‖ tag` AES-256-GCM em `bytes` (para conteúdo)."),
    ("SecretBox.aes_gcm_open_secret", True,
     "🇺🇸 Opens into a new locked box (for keys). 🇧🇷 Abre para uma caixa travada nova (para chaves)."),
    ("SecretBox.aes_gcm_open_json_field", False, "🇺🇸 Opens `ciphertext`, parses the plaintext as a JSON object and "
     "moves one base64url field straight into a locked box.\n\nThis is how `random_seed` (`docs/PROTOCOL.md §4`: "),
    ("SecretBox.aes_gcm_open_json_field", False, "\n\n🇧🇷 Abre `ciphertext`, interpreta o texto claro como objeto JSON "
     "e move um campo base64url direto para uma caixa travada.\n\nÉ assim que `random_seed` (`docs/PROTOCOL.md §4`: "),
]  # fmt: skip


@pytest.mark.parametrize(("name", "exact", "text"), DOCS, ids=[f"{d[0]}-{i}" for i, d in enumerate(DOCS)])
def test_docstrings(name: str, exact: bool, text: str) -> None:
    doc = operator.attrgetter(name)(_secure).__doc__  # the signature lines are dropped from __doc__
    assert doc == text if exact else text in doc
