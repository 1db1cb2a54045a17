"""Interoperation with libsodium's crypto_secretstream_xchacha20poly1305
through PyNaCl: what one side pushes the other pulls, in both directions,
across many chunks, with the final tag."""

from __future__ import annotations

import os

import pytest

nacl = pytest.importorskip("nacl.bindings")

from quorvex import _secure  # noqa: E402

SecretBox = _secure.SecretBox
MESSAGE_SIZES = [0, 1, 15, 16, 17, 63, 64, 65, 1000, 100_000]
AD_SIZES = [0, 1, 15, 16, 17, 33, 1000]

TAG_MESSAGE = nacl.crypto_secretstream_xchacha20poly1305_TAG_MESSAGE
TAG_PUSH = nacl.crypto_secretstream_xchacha20poly1305_TAG_PUSH
TAG_REKEY = nacl.crypto_secretstream_xchacha20poly1305_TAG_REKEY
TAG_FINAL = nacl.crypto_secretstream_xchacha20poly1305_TAG_FINAL


def sodium_state() -> object:
    return nacl.crypto_secretstream_xchacha20poly1305_state()


def script(ad_len: int) -> list[tuple[bytes, bytes]]:
    """Every message size, each with its own random ad of `ad_len` bytes."""
    return [(os.urandom(n), os.urandom(ad_len)) for n in MESSAGE_SIZES]


@pytest.mark.parametrize("ad_len", AD_SIZES)
def test_each_side_opens_what_the_other_pushes(ad_len: int) -> None:
    raw = os.urandom(32)
    key = SecretBox.from_bytes(raw)
    ours, theirs_pull, theirs_push = _secure.SecretStreamPush(key), sodium_state(), sodium_state()
    nacl.crypto_secretstream_xchacha20poly1305_init_pull(theirs_pull, ours.header, raw)
    pull = _secure.SecretStreamPull(key, nacl.crypto_secretstream_xchacha20poly1305_init_push(theirs_push, raw))
    items = script(ad_len)
    for i, (message, ad) in enumerate(items):
        final = i == len(items) - 1
        got = nacl.crypto_secretstream_xchacha20poly1305_pull(theirs_pull, ours.push(message, final=final, ad=ad), ad or None)
        assert got == (message, TAG_FINAL if final else TAG_MESSAGE)
        tag = TAG_FINAL if final else TAG_MESSAGE
        chunk = nacl.crypto_secretstream_xchacha20poly1305_push(theirs_push, message, ad or None, tag)
        assert pull.pull(chunk, ad=ad) == (message, final)
    assert pull.is_finished is True and ours.is_finished is True


def test_libsodium_rekey_and_push_tags_keep_both_sides_in_step() -> None:
    raw = os.urandom(32)
    state = sodium_state()
    header = nacl.crypto_secretstream_xchacha20poly1305_init_push(state, raw)
    pull = _secure.SecretStreamPull(SecretBox.from_bytes(raw), header)
    for i in range(300):
        tag = [TAG_MESSAGE, TAG_PUSH, TAG_REKEY][i % 3]
        message = os.urandom(i)
        chunk = nacl.crypto_secretstream_xchacha20poly1305_push(state, message, None, tag)
        assert pull.pull(chunk) == (message, False)
    # libsodium's explicit rekey (no chunk) is not mirrored, so the next chunk fails
    nacl.crypto_secretstream_xchacha20poly1305_rekey(state)
    with pytest.raises(_secure.SecureError, match="ciphertext did not open"):
        pull.pull(nacl.crypto_secretstream_xchacha20poly1305_push(state, b"x", None, TAG_MESSAGE))
