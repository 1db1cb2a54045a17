"""Argument binding and the bytes-like / SecretBox conversions."""

from __future__ import annotations

import array
import ctypes

import numpy as np
import pytest

from quorvex import _secure

SecretBox = _secure.SecretBox
STR_REFUSED = (
    "expected a bytes-like object, got str; encode it first · "
    "esperava um objeto tipo bytes, recebeu str; codifique antes"
)
U8_REFUSED = "buffer contents are not compatible with u8"


class Text(str):
    pass


@pytest.mark.parametrize(
    ("source", "expected"),
    [
        (b"abc", b"abc"),
        (bytearray(b"abc"), b"abc"),
        (memoryview(b"abcdef")[::2], b"ace"),
        (array.array("B", [1, 2, 3]), b"\x01\x02\x03"),
        (memoryview(b"abcdef").cast("B", (2, 3)), b"abcdef"),
        (np.arange(12, dtype=np.uint8).reshape(3, 4).T, bytes(np.arange(12, dtype=np.uint8).reshape(3, 4).T.copy())),
        (memoryview(b"xyz").cast("c"), b"xyz"),
        (np.frombuffer(b"\x01\x02", dtype=">u1"), b"\x01\x02"),
    ],
    ids=["bytes", "bytearray", "strided", "array-B", "2d", "fortran-order", "format-c", "explicit-order"],
)
def test_accepted_exporters_are_copied_in_c_order(source: object, expected: bytes) -> None:
    assert bytes(SecretBox.from_bytes(source).reveal()) == expected


@pytest.mark.parametrize(
    ("source", "error", "message"),
    [
        ("text", TypeError, STR_REFUSED),
        (Text("text"), TypeError, STR_REFUSED),
        (array.array("h", [1]), BufferError, U8_REFUSED),
        (array.array("b", [1]), BufferError, U8_REFUSED),
        (np.zeros(2, dtype=np.int8), BufferError, U8_REFUSED),
        (np.zeros(2, dtype=np.uint16), BufferError, U8_REFUSED),
        (memoryview(ctypes.c_uint8(1)), BufferError, "shape is null"),
    ],
    ids=["str", "str-subclass", "array-h", "array-b", "int8", "uint16", "zero-dim"],
)
def test_refused_exporters(source: object, error: type[Exception], message: str) -> None:
    with pytest.raises(error) as info:
        SecretBox.from_bytes(source)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("source", [None, 42, [1, 2]])
def test_objects_without_buffers_raise_the_interpreters_type_error(source: object) -> None:
    with pytest.raises(TypeError, match="bytes-like object is required"):
        SecretBox.from_bytes(source)


@pytest.mark.parametrize(
    ("value", "error"),
    [("32", TypeError), (None, TypeError), (3.0, TypeError), (-1, OverflowError), (2**64, OverflowError)],
)
def test_integer_conversion_errors_name_the_argument(value: object, error: type[Exception]) -> None:
    with pytest.raises(error) as info:
        SecretBox.random(value)
    assert info.value.__notes__ == ["argument 'length'"]


def test_integer_index_protocol_is_accepted() -> None:
    assert len(SecretBox.random(np.uint8(7))) == 7


@pytest.mark.parametrize(
    ("call", "fragment"),
    [
        (lambda: SecretBox.random(), "missing required argument 'length'"),
        (lambda: SecretBox.random(1, 2), "takes at most 1 positional argument (2 given)"),
        (lambda: SecretBox.random(lenght=1), "unexpected keyword argument 'lenght'"),
        (lambda: SecretBox.random(1, length=1), "given by name ('length') and position (1)"),
        (lambda: SecretBox.from_bytes(), "missing required argument 'data'"),
    ],
)
def test_argument_list_errors_name_the_function(call, fragment: str) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(TypeError) as info:
        call()
    assert fragment in str(info.value)
    assert "random()" in str(info.value) or "from_bytes()" in str(info.value)


def test_keyword_arguments_are_accepted() -> None:
    assert len(SecretBox.random(length=3)) == 3
    assert SecretBox.from_bytes(data=b"k").reveal() == b"k"
