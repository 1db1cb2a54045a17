"""SecretBox lifecycle: lengths, zeroed sources, wiping, equality and redaction; the keyed
methods' layout and argument forms (a fork child's refusals: test_fork_with_held_locks.py)."""
# Refusals, in the order the checks run: test_conversion.py; outside references:
# test_references.py; sealed JSON fields: test_json_records.py.

from __future__ import annotations

import numpy as np
import pytest

from quorvex._secure import SecretBox, SecureError

from conftest import WIPED, live


@pytest.mark.parametrize("length", [1, 32, 255, 256, 257, 4088, 4089, 100_000])
def test_random_boxes_have_their_length_and_differ(length: int) -> None:
    a, b = SecretBox.random(length), SecretBox.random(length=np.uint64(length))  # by keyword, an index object
    raw = a.reveal()
    assert type(raw) is bytearray and len(raw) == length == len(a)
    assert length < 16 or a != b


def test_from_bytes_zeroes_writable_contiguous_sources() -> None:
    for source in (bytearray(b"abcd"), memoryview(bytearray(b"abcd")), np.frombuffer(bytearray(b"abcd"), np.uint8)):
        assert SecretBox.from_bytes(data=source) == SecretBox.from_bytes(b"abcd") and not any(bytes(source))
    # Read-only and strided sources are left alone (a fresh object, not a shared constant).
    ro, strided = bytes(bytearray(b"keep")), bytearray(b"abcdef")
    assert SecretBox.from_bytes(ro).reveal() == b"keep" and ro == b"keep"
    assert SecretBox.from_bytes(memoryview(strided)[::2]).reveal() == b"ace" and strided == b"abcdef"


def test_clone_equality_redacted_repr_and_wipe() -> None:
    box, other = SecretBox.from_bytes(b"same"), SecretBox.from_bytes(b"same!")
    twin, locked, live_before = box.clone(), box.is_locked, live()
    assert twin == box and twin is not box and box != other and (box == b"same", box != b"same") == (False, True)
    assert [getattr(box, op)(box) for op in ("__lt__", "__le__", "__gt__", "__ge__")] == [NotImplemented] * 4
    shown = f"SecretBox(<4 bytes, redacted, locked={str(locked).lower()}, wiped={{}}>)"
    assert repr(box) == shown.format("false")
    assert box.wipe() is None and box.wipe() is None
    assert (box.is_wiped, len(box), box.is_locked, live()) == (True, 4, locked, live_before)
    assert repr(box) == shown.format("true")
    for read in (box.reveal, box.clone, lambda: box == other, lambda: other != box):
        with pytest.raises(SecureError, match=f"^{WIPED}$"):
            read()
    assert box == box and not (box != box)  # identity needs no read
    assert twin.reveal() == b"same" and not twin.is_wiped


NONCE = bytes(range(12))


def test_keyed_methods_leave_sources_alone_and_wrap_a_box_under_itself() -> None:
    key = SecretBox.random(32)
    nonce, plain, aad, info, salt = sources = [bytearray(b) for b in (NONCE, b"abc", b"aad", b"info", b"salt")]
    key.hmac_sha512(plain)
    key.hkdf_sha256(info=info, salt=salt)
    sealed = bytearray(key.aes_gcm_seal(nonce, plain, aad))
    assert key.aes_gcm_open(nonce, sealed, aad) == key.aes_gcm_open_secret(nonce, sealed, aad).reveal() == b"abc"
    assert sources == [NONCE, b"abc", b"aad", b"info", b"salt"] and sealed == key.aes_gcm_seal(NONCE, b"abc", b"aad")
    wrapped = key.aes_gcm_seal_secret(NONCE, key)  # a box wrapped under itself
    assert wrapped == key.aes_gcm_seal(NONCE, key.reveal()) and key.aes_gcm_open_secret(NONCE, wrapped) == key
