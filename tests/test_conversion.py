"""Refusals of every class, one per binder branch and per check-order step; none changes an object or maps a region."""

from __future__ import annotations

import array
import ctypes
import hashlib

import numpy as np
import pytest

from quorvex._secure import EntropyPool, HybridKeyPair, SecretBox, SecureError, seal_hybrid
from quorvex._secure import SecretStreamPull as Pull, SecretStreamPush as Push

from conftest import EMPTY, INVALID_KEY, NO_PAGE, OPEN_FAILED, STR_REFUSED, WIPED, bad_length, live

box, from_secrets = SecretBox.from_bytes, HybridKeyPair.from_secrets
NONCE = bytes(range(12))
U8_REFUSED = "buffer contents are not compatible with u8"
NOT_INT = "object cannot be interpreted as an integer"
NOT_BOX = "'bytes' object is not an instance of 'SecretBox'"
NO_BYTES = "a bytes-like object is required, not "
KEY_16, NONCE_11 = bad_length("aes-gcm key", 32, 16), bad_length("aes-gcm nonce", 12, 11)
Text = type("Text", (str,), {})  # a str subclass


# (a buffer of unusual shape or format, the bytes a box copies from it)
SOURCES = [
    (memoryview(b"abcdef").cast("B", (2, 3)), b"abcdef"),
    (np.arange(12, dtype=np.uint8).reshape(3, 4).T, bytes([0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11])),  # in C order
    (memoryview(b"xyz").cast("c"), b"xyz"),
    (np.frombuffer(b"\x01\x02", dtype=">u1"), b"\x01\x02"),
]


@pytest.mark.parametrize(("source", "want"), SOURCES, ids=range(len(SOURCES)))
def test_bytes_like_sources(source: object, want: bytes) -> None:
    assert bytes(box(source).reveal()) == want


class Objects:
    """Live and wiped objects of each kind, made fresh for every row."""

    def __init__(self) -> None:
        self.key, self.short = box(bytes(range(32))), box(bytes(16))
        self.wiped, self.kp, self.gone = SecretBox.random(16), HybridKeyPair.generate(), HybridKeyPair.generate()
        for obj in (self.wiped, self.gone):  # the wiped box is also too short for a key
            obj.wipe()
        self.x, self.dk = bytes(self.kp.x25519_secret().reveal()), bytes(self.kp.mlkem768_secret().reveal())
        self.xpub, self.mpub = self.kp.x25519_public, self.kp.mlkem768_public
        self.enc, self.nonce, self.ct = seal_hybrid(self.xpub, self.mpub, b"payload", b"ad")
        self.sealed = self.key.aes_gcm_seal(NONCE, b"payload", b"ad")
        self.pool, self.push = EntropyPool(), Push(self.key)

    def assert_unchanged(self) -> None:
        assert self.key.reveal() == bytes(range(32)) and self.key.aes_gcm_open(NONCE, self.sealed, b"ad") == b"payload"
        assert self.kp.open(self.enc, self.nonce, self.ct, b"ad") == b"payload"
        assert len(self.pool.random(8)) == 8 and self.push.is_finished is False
        assert Pull(self.key, self.push.header).pull(self.push.push(b"ok")) == (b"ok", False)


def noted(error: BaseException, argument: str) -> BaseException:
    error.add_note(f"argument '{argument}'")
    return error


def coefficient_over_q(dk: bytes) -> bytes:
    """The first coefficient of t̂ in ek made 4095, with the hash of ek kept consistent."""
    ek = b"\xff" + bytes([dk[1153] | 0x0F]) + dk[1154:2336]
    return dk[:1152] + ek + hashlib.sha3_256(ek).digest() + dk[2368:]


# (call on fresh Objects, the exception it raises, with its argument note if any)
FAILURES = [
    # SecretBox constructors and the argument binder's own texts
    (lambda o: box(Text("text")), TypeError(STR_REFUSED)),  # str and its subclasses
    (lambda o: box(array.array("b", [1])), BufferError(U8_REFUSED)),
    (lambda o: box(memoryview(ctypes.c_uint8(1))), BufferError("shape is null")),
    (lambda o: box(None), TypeError(NO_BYTES + "'NoneType'")),
    (lambda o: box(b""), SecureError(EMPTY)),
    (lambda o: SecretBox.random(0), SecureError(EMPTY)),
    (lambda o: SecretBox.random(3.0), noted(TypeError("'float' " + NOT_INT), "length")),
    (lambda o: SecretBox.random(-1), noted(OverflowError("can't convert negative int to unsigned"), "length")),
    (lambda o: SecretBox.random(1, 2), TypeError("random() takes at most 1 positional argument (2 given)")),
    (lambda o: SecretBox.random(lenght=1), TypeError("random() got an unexpected keyword argument 'lenght'")),
    (lambda o: SecretBox.random(1, length=1),
     TypeError("argument for random() given by name ('length') and position (1)")),
    # reading and comparing a wiped box: test_secret_box.py
    # hmac_sha512
    (lambda o: o.wiped.hmac_sha512("text"), TypeError(STR_REFUSED)),
    (lambda o: o.wiped.hmac_sha512(b"m"), SecureError(WIPED)),
    # hkdf_sha256: length, info and salt; then a zero or unmappable length before the box; the limit last
    (lambda o: o.key.hkdf_sha256(b"i"), TypeError("hkdf_sha256() takes no positional arguments")),
    (lambda o: o.key.hkdf_sha256(length=3), TypeError("hkdf_sha256() missing required keyword-only argument 'info'")),
    (lambda o: o.wiped.hkdf_sha256(info="s", length=None), noted(TypeError("'NoneType' " + NOT_INT), "length")),
    (lambda o: o.wiped.hkdf_sha256(info=b"", salt="t", length=0), TypeError(STR_REFUSED)),
    (lambda o: o.wiped.hkdf_sha256(info=b"", length=0), SecureError(EMPTY)),
    (lambda o: o.wiped.hkdf_sha256(info=b"", length=(1 << 64) - 1), SecureError(NO_PAGE)),
    (lambda o: o.wiped.hkdf_sha256(info=b"", length=9000), SecureError(WIPED)),
    # aes_gcm_seal and aes_gcm_seal_secret: the key's length before the nonce's. Every keyed method checks the
    # box (wiped, then the key's and the nonce's lengths) through the same code: the others keep their own rows.
    (lambda o: o.wiped.aes_gcm_seal("n", "p"), TypeError(STR_REFUSED)),
    (lambda o: o.wiped.aes_gcm_seal(b"", b"", 5), TypeError(NO_BYTES + "'int'")),
    (lambda o: o.wiped.aes_gcm_seal(b"", b""), SecureError(WIPED)),
    (lambda o: o.short.aes_gcm_seal(bytes(11), b""), SecureError(KEY_16)),
    (lambda o: o.key.aes_gcm_seal(bytes(11), b""), SecureError(NONCE_11)),
    (lambda o: o.wiped.aes_gcm_seal_secret("n", b"k"), noted(TypeError(NOT_BOX), "secret")),
    (lambda o: o.key.aes_gcm_seal_secret(NONCE, o.wiped), SecureError(WIPED)),
    (lambda o: o.wiped.aes_gcm_seal_secret(b"", o.key), SecureError(WIPED)),
    # aes_gcm_open, aes_gcm_open_secret and aes_gcm_open_json_field (its records: the JSON record tests)
    (lambda o: o.wiped.aes_gcm_open(b"", "c"), TypeError(STR_REFUSED)),
    (lambda o: o.short.aes_gcm_open(bytes(11), b""), SecureError(KEY_16)),
    (lambda o: o.key.aes_gcm_open(bytes(11), b""), SecureError(NONCE_11)),
    (lambda o: o.key.aes_gcm_open(NONCE, bytes(15)), SecureError(OPEN_FAILED)),
    (lambda o: o.wiped.aes_gcm_open_secret(b"", b"", "a"), TypeError(STR_REFUSED)),
    (lambda o: o.key.aes_gcm_open_secret(NONCE, o.key.aes_gcm_seal(NONCE, b"")), SecureError(EMPTY)),
    (lambda o: o.key.aes_gcm_open_json_field(NONCE, b"", field="seed"),
     TypeError("aes_gcm_open_json_field() missing required argument 'aad' (pos 3)")),
    (lambda o: o.wiped.aes_gcm_open_json_field("n", b"", None, 1),
     noted(TypeError("'int' object is not an instance of 'str'"), "field")),
    (lambda o: o.wiped.aes_gcm_open_json_field("n", b"", None, "\ud800"),
     noted(UnicodeEncodeError("utf-8", "\ud800", 0, 1, "surrogates not allowed"), "field")),
    (lambda o: o.wiped.aes_gcm_open_json_field("n", b"", None, "seed"), TypeError(STR_REFUSED)),
    (lambda o: o.key.aes_gcm_open_json_field(NONCE, o.sealed, None, "seed"), SecureError(OPEN_FAILED)),
    # HybridKeyPair.from_secrets: boxes, wiped, the X25519 length before the ML-KEM key's, then its embedded
    # public key (its length and hash: the Wycheproof decapsulation cases in test_references.py)
    (lambda o: from_secrets(bytes(32), o.wiped), noted(TypeError(NOT_BOX), "x25519_secret")),
    (lambda o: from_secrets(x25519_secret=box(o.x[:31]), mlkem768_secret=o.wiped), SecureError(WIPED)),
    (lambda o: from_secrets(box(o.x[:31]), box(o.dk[:2399])), SecureError(bad_length("x25519 secret key", 32, 31))),
    (lambda o: from_secrets(o.key, box(coefficient_over_q(o.dk))), SecureError(INVALID_KEY)),
    (lambda o: o.gone.x25519_secret(), SecureError(WIPED)),
    (lambda o: o.gone.mlkem768_secret(), SecureError(WIPED)),
    # open: the encapsulation's length before the wiped check, a low-order X25519 point before the nonce's
    # length. open_secret and open_session convert and open through the same path: each one's own way out.
    (lambda o: o.kp.open(o.enc, o.nonce, o.ct, "aad"), TypeError(STR_REFUSED)),
    (lambda o: o.gone.open(o.enc[:1119], o.nonce, o.ct, b"ad"), SecureError(bad_length("encapsulation", 1120, 1119))),
    (lambda o: o.gone.open(o.enc, o.nonce[:11], o.ct, b"ad"), SecureError(WIPED)),
    (lambda o: o.kp.open(bytes(32) + o.enc[32:], o.nonce[:11], o.ct, b"ad"), SecureError(OPEN_FAILED)),
    (lambda o: o.kp.open(o.enc, o.nonce[:11], o.ct, b"ad"), SecureError(NONCE_11)),
    (lambda o: o.kp.open(o.enc, o.nonce, o.ct[:15], b"ad"), SecureError(OPEN_FAILED)),
    (lambda o: o.kp.open_secret(o.enc, o.nonce, o.ct[:15], b"ad"), SecureError(OPEN_FAILED)),
    (lambda o: o.kp.open_session(o.enc, o.nonce, o.ct[:15], b"ad"), SecureError(OPEN_FAILED)),
    (lambda o: o.kp.open_secret(*seal_hybrid(o.xpub, o.mpub, b"", b""), b""), SecureError(EMPTY)),
    # seal_hybrid: the X25519 key's length before the ML-KEM key's (whose checks: Wycheproof, test_references.py)
    (lambda o: seal_hybrid(o.xpub, o.mpub, "text", b""), TypeError(STR_REFUSED)),
    (lambda o: seal_hybrid(o.xpub, o.mpub, b"", None), TypeError(NO_BYTES + "'NoneType'")),
    (lambda o: seal_hybrid(o.xpub[:31], o.mpub[:1183], b"", b""), SecureError(bad_length("x25519 public key", 32, 31))),
    # EntropyPool, SecretStreamPush and SecretStreamPull: `final` before the message
    (lambda o: o.pool.random_secret("3"), noted(TypeError("'str' " + NOT_INT), "n")),
    (lambda o: o.pool.random_secret(0), SecureError(EMPTY)),
    (lambda o: o.pool.random_secret((1 << 64) - 1), SecureError(NO_PAGE)),
    (lambda o: o.pool.mix(o.wiped), SecureError(WIPED)),
    (lambda o: EntropyPool(1), TypeError("EntropyPool() takes no positional arguments")),
    (lambda o: o.push.push("text", final=0), noted(TypeError("'int' object is not an instance of 'bool'"), "final")),
    (lambda o: Push(None), noted(TypeError("'None' is not an instance of 'SecretBox'"), "key")),
]


@pytest.mark.parametrize(("call", "expected"), FAILURES, ids=range(len(FAILURES)))
def test_failures_in_check_order_change_nothing(call, expected: BaseException) -> None:  # type: ignore[no-untyped-def]
    o = Objects()
    before = live()
    with pytest.raises(type(expected)) as info:
        call(o)
    assert (type(info.value), str(info.value)) == (type(expected), str(expected))
    assert getattr(info.value, "__notes__", None) == getattr(expected, "__notes__", None)
    del info
    assert live() == before, "a failed call left a region mapped"
    o.assert_unchanged()
