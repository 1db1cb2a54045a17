"""Argument binding and the bytes-like / SecretBox / bool / integer
conversions: every class's argument-type refusals in one table."""

from __future__ import annotations

import array
import ctypes

import numpy as np
import pytest

from quorvex import _secure

from conftest import STR_REFUSED

SecretBox, EntropyPool = _secure.SecretBox, _secure.EntropyPool
Push, Pull = _secure.SecretStreamPush, _secure.SecretStreamPull
U8_REFUSED = "buffer contents are not compatible with u8"
FORTRAN = np.arange(12, dtype=np.uint8).reshape(3, 4).T
NOT_INT = "object cannot be interpreted as an integer"
NOT_BOOL = "object is not an instance of 'bool'"
NOT_BOX = "'bytes' object is not an instance of 'SecretBox'"
NO_BYTES = "a bytes-like object is required, not "


class Text(str):
    pass


# (source, the bytes a box copies from it)
SOURCES = [
    (b"abc", b"abc"),
    (bytearray(b"abc"), b"abc"),
    (memoryview(b"abcdef")[::2], b"ace"),
    (array.array("B", [1, 2, 3]), b"\x01\x02\x03"),
    (memoryview(b"abcdef").cast("B", (2, 3)), b"abcdef"),
    (FORTRAN, bytes(FORTRAN.copy())),  # copied in C order
    (memoryview(b"xyz").cast("c"), b"xyz"),
    (np.frombuffer(b"\x01\x02", dtype=">u1"), b"\x01\x02"),
]


@pytest.mark.parametrize(("source", "want"), SOURCES, ids=range(len(SOURCES)))
def test_bytes_like_sources(source: object, want: bytes) -> None:
    assert bytes(SecretBox.from_bytes(source).reveal()) == want


class Objects:
    def __init__(self) -> None:
        self.key, self.pool = SecretBox.random(32), EntropyPool()
        self.push = Push(self.key)


# (call on fresh Objects, exception type, exact message, the argument a note names)
REFUSALS = [
    (lambda o: SecretBox.from_bytes("text"), TypeError, STR_REFUSED, None),
    (lambda o: SecretBox.from_bytes(Text("text")), TypeError, STR_REFUSED, None),
    (lambda o: SecretBox.from_bytes(array.array("h", [1])), BufferError, U8_REFUSED, None),
    (lambda o: SecretBox.from_bytes(array.array("b", [1])), BufferError, U8_REFUSED, None),
    (lambda o: SecretBox.from_bytes(np.zeros(2, dtype=np.int8)), BufferError, U8_REFUSED, None),
    (lambda o: SecretBox.from_bytes(np.zeros(2, dtype=np.uint16)), BufferError, U8_REFUSED, None),
    (lambda o: SecretBox.from_bytes(memoryview(ctypes.c_uint8(1))), BufferError, "shape is null", None),
    (lambda o: SecretBox.from_bytes(None), TypeError, NO_BYTES + "'NoneType'", None),
    (lambda o: SecretBox.from_bytes(42), TypeError, NO_BYTES + "'int'", None),
    (lambda o: SecretBox.from_bytes(), TypeError, "from_bytes() missing required argument 'data' (pos 1)", None),
    (lambda o: SecretBox.random("32"), TypeError, "'str' " + NOT_INT, "length"),
    (lambda o: SecretBox.random(None), TypeError, "'NoneType' " + NOT_INT, "length"),
    (lambda o: SecretBox.random(3.0), TypeError, "'float' " + NOT_INT, "length"),
    (lambda o: SecretBox.random(-1), OverflowError, "can't convert negative int to unsigned", "length"),
    (lambda o: SecretBox.random(2**64), OverflowError, "int too big to convert", "length"),
    (lambda o: SecretBox.random(), TypeError, "random() missing required argument 'length' (pos 1)", None),
    (lambda o: SecretBox.random(1, 2), TypeError, "random() takes at most 1 positional argument (2 given)", None),
    (lambda o: SecretBox.random(lenght=1), TypeError, "random() got an unexpected keyword argument 'lenght'", None),
    (lambda o: SecretBox.random(1, length=1), TypeError, "argument for random() given by name ('length') and position (1)", None),
    (lambda o: o.pool.random(-1), OverflowError, "can't convert negative int to unsigned", "n"),
    (lambda o: o.pool.random(1.5), TypeError, "'float' " + NOT_INT, "n"),
    (lambda o: o.pool.random_secret(2**64), OverflowError, "int too big to convert", "n"),
    (lambda o: o.pool.random_secret("3"), TypeError, "'str' " + NOT_INT, "n"),
    (lambda o: o.pool.mix("seed"), TypeError, STR_REFUSED, None),
    (lambda o: o.pool.mix(None), TypeError, NO_BYTES + "'NoneType'", None),
    (lambda o: o.pool.mix(), TypeError, "mix() missing required argument 'seed' (pos 1)", None),
    (lambda o: o.pool.random(), TypeError, "random() missing required argument 'n' (pos 1)", None),
    (lambda o: o.pool.random(1, 2), TypeError, "random() takes at most 1 positional argument (2 given)", None),
    (lambda o: EntropyPool(1), TypeError, "EntropyPool() takes no positional arguments", None),
    (lambda o: EntropyPool(seed=b""), TypeError, "EntropyPool() got an unexpected keyword argument 'seed'", None),
    (lambda o: o.push.push(b"x", final=1), TypeError, "'int' " + NOT_BOOL, "final"),
    (lambda o: o.push.push(b"x", final=None), TypeError, "'None' is not an instance of 'bool'", "final"),
    (lambda o: o.push.push("text", final=0), TypeError, "'int' " + NOT_BOOL, "final"),  # final before message
    (lambda o: o.push.push(b"x", True), TypeError, "push() takes at most 1 positional argument (2 given)", None),
    (lambda o: o.push.push("text"), TypeError, STR_REFUSED, None),
    (lambda o: o.push.push(b"x", ad="text"), TypeError, STR_REFUSED, None),
    (lambda o: o.push.push(), TypeError, "push() missing required argument 'message' (pos 1)", None),
    (lambda o: o.push.push(b"x", tag=3), TypeError, "push() got an unexpected keyword argument 'tag'", None),
    (lambda o: Push(b"k" * 32), TypeError, NOT_BOX, "key"),
    (lambda o: Push(None), TypeError, "'None' is not an instance of 'SecretBox'", "key"),
    (lambda o: Pull(b"k" * 32, o.push.header), TypeError, NOT_BOX, "key"),
    (lambda o: Pull(o.key, "header"), TypeError, STR_REFUSED, None),
    (lambda o: Pull(o.key, None), TypeError, NO_BYTES + "'NoneType'", None),
    (lambda o: Pull(o.key, b"", b""), TypeError, "SecretStreamPull() takes at most 2 positional arguments (3 given)", None),
    (lambda o: Pull(o.key), TypeError, "SecretStreamPull() missing required argument 'header' (pos 2)", None),
    (lambda o: Push(o.key, header=b""), TypeError, "SecretStreamPush() got an unexpected keyword argument 'header'", None),
]  # fmt: skip


@pytest.mark.parametrize(("call", "exc", "message", "note"), REFUSALS, ids=range(len(REFUSALS)))
def test_argument_refusals(call, exc: type, message: str, note: str | None, no_leak) -> None:  # type: ignore[no-untyped-def]
    o = Objects()
    with pytest.raises(exc) as info:
        call(o)
    assert (type(info.value), str(info.value)) == (exc, message)
    assert getattr(info.value, "__notes__", None) == ([f"argument '{note}'"] if note else None)
    # Nothing was changed: every object still works.
    assert len(o.pool.random(8)) == 8 and o.push.is_finished is False
    assert Pull(o.key, o.push.header).pull(o.push.push(b"ok")) == (b"ok", False)
    del info, o


def test_keywords_and_index_objects_are_accepted() -> None:
    assert len(SecretBox.random(length=3)) == 3 and SecretBox.from_bytes(data=b"k").reveal() == b"k"
    assert len(SecretBox.random(np.uint8(7))) == 7
