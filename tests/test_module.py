"""The module surface: exception classes, final classes, copy refusals,
docstrings and stubs (stubtest compares every registered name and constant)."""

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
    assert issubclass(_secure.SecureError, quorvex.errors.CryptoError)
    assert _secure.PanicException.__bases__ == (BaseException,) and "PanicException" not in _secure.__all__


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
