"""The module surface: copy refusals, final classes, a broken errors module, the stub."""

from __future__ import annotations

import copy
import operator
import pickle
import re

import pytest

from quorvex import _secure
from quorvex._secure import EntropyPool, HybridKeyPair, SecretBox
from quorvex._secure import SecretStreamPull as Pull, SecretStreamPush as Push

from conftest import run_python


def one_of_each() -> list[object]:
    key = SecretBox.random(32)
    return [key, HybridKeyPair.generate(), Push(key), Pull(key, Push(key).header), EntropyPool()]


# Boxes and key pairs say why; the other classes have no reduce protocol at all.
REFUSED = {
    SecretBox: "SecretBox cannot be pickled, copied or deep-copied; use clone() deliberately · "
    "SecretBox não pode ser serializado, copiado ou deep-copiado; use clone() de propósito",
    HybridKeyPair: "HybridKeyPair cannot be pickled or copied · HybridKeyPair não pode ser serializado nem copiado",
}


@pytest.mark.parametrize("index", range(5), ids=["box", "keypair", "push", "pull", "pool"])
def test_copies_are_refused(index: int) -> None:
    obj = one_of_each()[index]
    # Each class's refusal names that class, never another one's.
    message = f"^{re.escape(REFUSED[type(obj)])}$" if type(obj) in REFUSED else "^cannot pickle"
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy, operator.methodcaller("__reduce__")):
        with pytest.raises(TypeError, match=message):
            refuse(obj)
    with pytest.raises(TypeError):  # and the classes are final
        type("Sub", (type(obj),), {})
    if type(obj) in REFUSED:  # boxes and key pairs are made by their factories only
        with pytest.raises(TypeError):
            type(obj)()


@pytest.mark.parametrize(("prelude", "reason"), [
    ("sys.modules['quorvex.errors'] = None", "import of quorvex.errors halted"),
    ("import quorvex.errors; del quorvex.errors.CryptoError", "has no attribute 'CryptoError'"),
    ("import quorvex.errors; quorvex.errors.CryptoError = 42", "is not a class"),
])  # fmt: skip
def test_broken_errors_module_makes_import_panic(prelude: str, reason: str) -> None:
    last = run_python(f"import sys\n{prelude}\nimport quorvex._secure").stderr.splitlines()[-1]
    assert last.startswith("quorvex._secure.PanicException: failed to import exception quorvex.errors.CryptoError: ")
    assert reason in last


def test_stub_matches_the_module() -> None:
    stubtest = pytest.importorskip("mypy.stubtest")
    assert stubtest.test_stubs(stubtest.parse_options(["quorvex._secure"])) == 0
    assert _secure.PanicException.__bases__ == (BaseException,) and "PanicException" not in _secure.__all__
