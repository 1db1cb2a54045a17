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
    obj = make()
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$" if message else "^cannot pickle") as caught:
        refuse(obj)
    # Each class's refusal names that class, never another one's.
    assert message is None or str(caught.value).split()[0] == type(obj).__name__


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


def test_every_public_name_has_a_bilingual_docstring() -> None:
    owners = [(_secure, n) for n in _secure.__all__[:9]]
    owners += [(getattr(_secure, c), n) for c in _secure.__all__[:5] for n in vars(getattr(_secure, c)) if n[0] != "_"]
    for owner, name in owners:
        doc = getattr(owner, name).__doc__ or ""
        english, _, portuguese = doc.partition("🇧🇷 ")
        assert english.startswith("🇺🇸 ") and len(english) > 12 and len(portuguese) > 8, f"{owner.__name__}.{name}"
