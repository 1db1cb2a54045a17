"""SecretBox lifecycle, equality, refusals and thread safety."""

from __future__ import annotations

import os

import numpy as np
import pytest

from quorvex import _secure

from conftest import EMPTY, FORKED, WIPED, live

SecretBox = _secure.SecretBox
SecureError = _secure.SecureError


@pytest.mark.parametrize("make", [lambda: SecretBox.random(0), lambda: SecretBox.from_bytes(b"")])
def test_empty_secret_is_refused_and_maps_nothing(make, no_leak) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(SecureError) as info:
        make()
    assert str(info.value) == EMPTY and info.value.args == (EMPTY,)


@pytest.mark.parametrize("length", [1, 32, 255, 256, 257, 4088, 4089, 100_000])
def test_random_boxes_have_their_length_and_differ(length: int) -> None:
    a, b = SecretBox.random(length), SecretBox.random(length)
    raw = a.reveal()
    assert type(raw) is bytearray and len(raw) == length == len(a)
    if length >= 16:
        assert a != b and not (a == b)


def test_from_bytes_zeroes_writable_contiguous_sources() -> None:
    ba, under, arr = bytearray(b"secret"), bytearray(b"abcd"), np.frombuffer(bytearray(b"abcd"), dtype=np.uint8)
    box = SecretBox.from_bytes(ba)
    assert ba == bytearray(6) and box == SecretBox.from_bytes(b"secret")
    SecretBox.from_bytes(memoryview(under))
    SecretBox.from_bytes(arr)
    assert under == bytearray(4) and not arr.any()
    ro, strided = b"keep", bytearray(b"abcdef")  # read-only and strided sources are left alone
    SecretBox.from_bytes(ro)
    assert SecretBox.from_bytes(memoryview(strided)[::2]).reveal() == b"ace"
    assert (ro, strided) == (b"keep", bytearray(b"abcdef"))


def test_wiped_box_keeps_length_and_flags_but_refuses_access() -> None:
    box, other = SecretBox.random(24), SecretBox.random(24)
    locked = box.is_locked
    live_before = live()
    assert box.wipe() is None
    assert (box.is_wiped, len(box), box.is_locked, live()) == (True, 24, locked, live_before)
    assert repr(box) == f"SecretBox(<24 bytes, redacted, locked={str(locked).lower()}, wiped=true>)"
    for op in (box.reveal, box.clone, lambda: box == other, lambda: other == box, lambda: box != other):
        with pytest.raises(SecureError, match=f"^{WIPED}$"):
            op()
    assert box == box and not (box != box)
    assert box.wipe() is None


def test_clone_and_equality() -> None:
    box = SecretBox.from_bytes(b"same")
    twin = box.clone()
    assert twin == box and twin is not box
    assert (box == b"same", box != b"same") == (False, True)
    assert box != SecretBox.from_bytes(b"same!") and box == SecretBox.from_bytes(bytearray(b"same"))
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(box, op)(box) is NotImplemented
    for bad in (lambda: box < box, lambda: hash(box)):
        with pytest.raises(TypeError):
            bad()
    box.wipe()
    assert twin.reveal() == b"same" and not twin.is_wiped


def test_repr_is_redacted() -> None:
    box = SecretBox.from_bytes(b"\x41" * 16)
    assert repr(box) == f"SecretBox(<16 bytes, redacted, locked={str(box.is_locked).lower()}, wiped=false>)"
    with pytest.raises(AttributeError):
        box.extra = 1  # type: ignore[attr-defined]
    with pytest.raises(AttributeError):
        box.is_wiped = True  # type: ignore[misc]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_fork_child_finds_boxes_empty() -> None:
    box = SecretBox.from_bytes(b"parent secret")
    pid = os.fork()
    if pid == 0:  # pragma: no cover - runs in the child
        try:
            box.reveal()
            os._exit(3)
        except SecureError as exc:
            os._exit(0 if str(exc) == FORKED else 4)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    assert box.reveal() == b"parent secret"
