"""Argument binding and the bytes-like / SecretBox conversions."""

from __future__ import annotations

import array
import ctypes

import numpy as np
import pytest

from quorvex import _secure

from conftest import STR_REFUSED

SecretBox = _secure.SecretBox
U8_REFUSED = "buffer contents are not compatible with u8"
FORTRAN = np.arange(12, dtype=np.uint8).reshape(3, 4).T


class Text(str):
    pass


# (source, copied bytes, or the exception type and its exact message)
SOURCES = [
    (b"abc", b"abc"),
    (bytearray(b"abc"), b"abc"),
    (memoryview(b"abcdef")[::2], b"ace"),
    (array.array("B", [1, 2, 3]), b"\x01\x02\x03"),
    (memoryview(b"abcdef").cast("B", (2, 3)), b"abcdef"),
    (FORTRAN, bytes(FORTRAN.copy())),  # copied in C order
    (memoryview(b"xyz").cast("c"), b"xyz"),
    (np.frombuffer(b"\x01\x02", dtype=">u1"), b"\x01\x02"),
    ("text", (TypeError, STR_REFUSED)),
    (Text("text"), (TypeError, STR_REFUSED)),
    (array.array("h", [1]), (BufferError, U8_REFUSED)),
    (array.array("b", [1]), (BufferError, U8_REFUSED)),
    (np.zeros(2, dtype=np.int8), (BufferError, U8_REFUSED)),
    (np.zeros(2, dtype=np.uint16), (BufferError, U8_REFUSED)),
    (memoryview(ctypes.c_uint8(1)), (BufferError, "shape is null")),
    (None, (TypeError, "a bytes-like object is required, not 'NoneType'")),
    (42, (TypeError, "a bytes-like object is required, not 'int'")),
]


@pytest.mark.parametrize(("source", "want"), SOURCES, ids=range(len(SOURCES)))
def test_bytes_like_sources(source: object, want: bytes | tuple[type[Exception], str]) -> None:
    if isinstance(want, bytes):
        assert bytes(SecretBox.from_bytes(source).reveal()) == want
        return
    with pytest.raises(want[0]) as info:
        SecretBox.from_bytes(source)
    assert (type(info.value), str(info.value)) == want
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize(
    ("value", "error"),
    [("32", TypeError), (None, TypeError), (3.0, TypeError), (-1, OverflowError), (2**64, OverflowError)],
)
def test_integer_conversion_errors_name_the_argument(value: object, error: type[Exception]) -> None:
    with pytest.raises(error) as info:
        SecretBox.random(value)
    assert info.value.__notes__ == ["argument 'length'"]
    assert len(SecretBox.random(np.uint8(7))) == 7  # the index protocol is accepted


@pytest.mark.parametrize(
    ("call", "fragment"),
    [
        (lambda: SecretBox.random(), "random() missing required argument 'length'"),
        (lambda: SecretBox.random(1, 2), "random() takes at most 1 positional argument (2 given)"),
        (lambda: SecretBox.random(lenght=1), "random() got an unexpected keyword argument 'lenght'"),
        (lambda: SecretBox.random(1, length=1), "random() given by name ('length') and position (1)"),
        (lambda: SecretBox.from_bytes(), "from_bytes() missing required argument 'data'"),
    ],
)
def test_argument_list_errors_name_the_function(call, fragment: str) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(TypeError) as info:
        call()
    assert fragment in str(info.value)
    assert len(SecretBox.random(length=3)) == 3 and SecretBox.from_bytes(data=b"k").reveal() == b"k"
