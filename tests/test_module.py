"""The module surface: registration, constants, exception classes, stubs."""

from __future__ import annotations

import importlib.util

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


def test_size_constants() -> None:
    values = [getattr(_secure, n) for n in _secure.__all__[10:]]
    assert values == [24, 17, 32, 32, 1184, 2400, 1088]
    assert all(type(v) is int for v in values)


def test_secure_error_derives_from_the_package_error() -> None:
    err = _secure.SecureError
    assert issubclass(err, quorvex.errors.CryptoError)
    assert (err.__module__, err.__name__, err.__doc__) == ("quorvex._secure", "SecureError", SECURE_ERROR_DOC)
    assert set(vars(err)) <= {"__module__", "__doc__", "__weakref__"}


def test_panic_exception_is_not_an_exception() -> None:
    assert _secure.PanicException.__bases__ == (BaseException,)


@pytest.mark.parametrize("cls", ["SecretBox", "HybridKeyPair"])
def test_classes_without_constructor_refuse_instantiation(cls: str) -> None:
    with pytest.raises(TypeError):
        getattr(_secure, cls)()


@pytest.mark.parametrize("cls", ["SecretBox", "HybridKeyPair", "SecretStreamPush", "SecretStreamPull", "EntropyPool"])
def test_classes_are_final_and_live_in_the_module(cls: str) -> None:
    klass = getattr(_secure, cls)
    assert klass.__module__ == "quorvex._secure"
    with pytest.raises(TypeError):
        type("Sub", (klass,), {})


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
