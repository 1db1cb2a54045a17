"""SecretBox keyed operations: HMAC-SHA512, HKDF-SHA256, AES-256-GCM and the
sealed JSON field. Failure tables in the order the checks run, exact texts,
and no region or change left behind by a failure."""

from __future__ import annotations

import base64
import gc
import json
import os

import pytest

from quorvex import _secure

from conftest import EMPTY, FORKED, NO_PAGE, OPEN_FAILED, STR_REFUSED, WIPED, b64, bad_length, live, malformed

SecretBox = _secure.SecretBox
SecureError = _secure.SecureError
KEY_16 = bad_length("aes-gcm key", 32, 16)
NONCE_11 = bad_length("aes-gcm nonce", 12, 11)
NONCE = bytes(range(12))


class Boxes:
    """A live 32-byte key, a 16-byte box, wiped boxes of 16 and 32 bytes."""

    def __init__(self) -> None:
        self.key = SecretBox.from_bytes(bytes(range(32)))
        self.short = SecretBox.from_bytes(bytes(16))
        self.wiped = SecretBox.random(32)
        self.wiped.wipe()
        self.wiped_short = SecretBox.random(16)
        self.wiped_short.wipe()
        self.sealed = self.key.aes_gcm_seal(NONCE, b"payload", b"ad")


def seal_json(b: Boxes, doc: bytes | str) -> bytes:
    return b.key.aes_gcm_seal(NONCE, doc.encode() if isinstance(doc, str) else doc)


# (label, call, exception type, exact message or None, note naming the argument or None)
FAILURES = [
    # hmac_sha512
    ("hmac: no message", lambda b: b.wiped.hmac_sha512(), TypeError, None, None),
    ("hmac: str before wiped", lambda b: b.wiped.hmac_sha512("text"), TypeError, STR_REFUSED, None),
    ("hmac: wiped", lambda b: b.wiped.hmac_sha512(b"m"), SecureError, WIPED, None),
    # hkdf_sha256
    ("hkdf: info by position", lambda b: b.key.hkdf_sha256(b"i"), TypeError, None, None),
    ("hkdf: no info", lambda b: b.key.hkdf_sha256(length=3), TypeError, None, None),
    ("hkdf: length None before info", lambda b: b.wiped.hkdf_sha256(info="s", length=None), TypeError, None, "length"),
    ("hkdf: length negative", lambda b: b.wiped.hkdf_sha256(info="s", length=-1), OverflowError, None, None),
    ("hkdf: length above 64 bits", lambda b: b.key.hkdf_sha256(info=b"", length=1 << 64), OverflowError, None, None),
    ("hkdf: info str", lambda b: b.wiped.hkdf_sha256(info="s", salt="t"), TypeError, STR_REFUSED, None),
    ("hkdf: info None", lambda b: b.wiped.hkdf_sha256(info=None), TypeError, None, None),
    ("hkdf: salt str", lambda b: b.wiped.hkdf_sha256(info=b"", salt="t", length=0), TypeError, STR_REFUSED, None),
    ("hkdf: zero length before box", lambda b: b.wiped.hkdf_sha256(info=b"", length=0), SecureError, EMPTY, None),
    ("hkdf: unmappable length", lambda b: b.wiped.hkdf_sha256(info=b"", length=(1 << 64) - 1), SecureError, NO_PAGE,
     None),
    ("hkdf: wiped before limit", lambda b: b.wiped.hkdf_sha256(info=b"", length=9000), SecureError, WIPED, None),
    ("hkdf: limit", lambda b: b.key.hkdf_sha256(info=b"", length=8161), SecureError,
     bad_length("hkdf output length", 8160, 8161), None),
    # aes_gcm_seal
    ("seal: no plaintext", lambda b: b.key.aes_gcm_seal(NONCE), TypeError, None, None),
    ("seal: surplus", lambda b: b.key.aes_gcm_seal(NONCE, b"", b"", b""), TypeError, None, None),
    ("seal: nonce str before wiped", lambda b: b.wiped.aes_gcm_seal("n", "p"), TypeError, STR_REFUSED, None),
    ("seal: plaintext str", lambda b: b.wiped.aes_gcm_seal(b"", "p"), TypeError, STR_REFUSED, None),
    ("seal: aad int", lambda b: b.wiped.aes_gcm_seal(b"", b"", 5), TypeError, None, None),
    ("seal: wiped before lengths", lambda b: b.wiped_short.aes_gcm_seal(b"", b""), SecureError, WIPED, None),
    ("seal: key before nonce", lambda b: b.short.aes_gcm_seal(bytes(11), b""), SecureError, KEY_16, None),
    ("seal: nonce", lambda b: b.key.aes_gcm_seal(bytes(11), b""), SecureError, NONCE_11, None),
    # aes_gcm_seal_secret
    ("seal_secret: not a box first", lambda b: b.wiped.aes_gcm_seal_secret("n", b"k"), TypeError,
     "'bytes' object is not an instance of 'SecretBox'", "secret"),
    ("seal_secret: None", lambda b: b.key.aes_gcm_seal_secret(NONCE, None), TypeError,
     "'None' is not an instance of 'SecretBox'", "secret"),
    ("seal_secret: nonce str", lambda b: b.wiped.aes_gcm_seal_secret("n", b.wiped), TypeError, STR_REFUSED, None),
    ("seal_secret: aad str", lambda b: b.wiped.aes_gcm_seal_secret(b"", b.wiped, "a"), TypeError, STR_REFUSED, None),
    ("seal_secret: wiped secret", lambda b: b.key.aes_gcm_seal_secret(NONCE, b.wiped), SecureError, WIPED, None),
    ("seal_secret: wiped self", lambda b: b.wiped_short.aes_gcm_seal_secret(b"", b.key), SecureError, WIPED, None),
    ("seal_secret: key", lambda b: b.short.aes_gcm_seal_secret(b"", b.key), SecureError, KEY_16, None),
    ("seal_secret: nonce", lambda b: b.key.aes_gcm_seal_secret(bytes(11), b.key), SecureError, NONCE_11, None),
    # aes_gcm_open / aes_gcm_open_secret
    ("open: no ciphertext", lambda b: b.key.aes_gcm_open(NONCE), TypeError, None, None),
    ("open: ciphertext str", lambda b: b.wiped.aes_gcm_open(b"", "c"), TypeError, STR_REFUSED, None),
    ("open: wiped", lambda b: b.wiped_short.aes_gcm_open(b"", b""), SecureError, WIPED, None),
    ("open: key", lambda b: b.short.aes_gcm_open(bytes(11), b""), SecureError, KEY_16, None),
    ("open: nonce before short input", lambda b: b.key.aes_gcm_open(bytes(11), b""), SecureError, NONCE_11, None),
    ("open: 15 bytes", lambda b: b.key.aes_gcm_open(NONCE, bytes(15)), SecureError, OPEN_FAILED, None),
    ("open: wrong aad", lambda b: b.key.aes_gcm_open(NONCE, b.sealed, b"other"), SecureError, OPEN_FAILED, None),
    ("open: no aad", lambda b: b.key.aes_gcm_open(NONCE, b.sealed), SecureError, OPEN_FAILED, None),
    ("open: wrong key", lambda b: SecretBox.random(32).aes_gcm_open(NONCE, b.sealed, b"ad"), SecureError,
     OPEN_FAILED, None),
    ("open_secret: aad str", lambda b: b.wiped.aes_gcm_open_secret(b"", b"", "a"), TypeError, STR_REFUSED, None),
    ("open_secret: wiped", lambda b: b.wiped.aes_gcm_open_secret(b"", b""), SecureError, WIPED, None),
    ("open_secret: key", lambda b: b.short.aes_gcm_open_secret(bytes(11), b""), SecureError, KEY_16, None),
    ("open_secret: forged", lambda b: b.key.aes_gcm_open_secret(NONCE, bytes(16)), SecureError, OPEN_FAILED, None),
    ("open_secret: empty plaintext", lambda b: b.key.aes_gcm_open_secret(NONCE, b.key.aes_gcm_seal(NONCE, b"")),
     SecureError, EMPTY, None),
    # aes_gcm_open_json_field
    ("json: aad required", lambda b: b.key.aes_gcm_open_json_field(NONCE, b"", field="seed"), TypeError, None, None),
    ("json: field int before box", lambda b: b.wiped.aes_gcm_open_json_field("n", b"", None, 1), TypeError,
     "'int' object is not an instance of 'str'", "field"),
    ("json: field bytes", lambda b: b.key.aes_gcm_open_json_field(NONCE, b"", None, b"seed"), TypeError,
     "'bytes' object is not an instance of 'str'", "field"),
    ("json: field not UTF-8", lambda b: b.wiped.aes_gcm_open_json_field("n", b"", None, "\ud800"),
     UnicodeEncodeError, None, "field"),
    ("json: nonce str", lambda b: b.wiped.aes_gcm_open_json_field("n", b"", None, "seed"), TypeError, STR_REFUSED,
     None),
    ("json: ciphertext str", lambda b: b.wiped.aes_gcm_open_json_field(b"", "c", None, "seed"), TypeError,
     STR_REFUSED, None),
    ("json: wiped", lambda b: b.wiped_short.aes_gcm_open_json_field(b"", b"", None, "seed"), SecureError, WIPED,
     None),
    ("json: key", lambda b: b.short.aes_gcm_open_json_field(bytes(11), b"", None, "seed"), SecureError, KEY_16, None),
    ("json: nonce", lambda b: b.key.aes_gcm_open_json_field(bytes(11), b"", None, "seed"), SecureError, NONCE_11,
     None),
    ("json: not authentic", lambda b: b.key.aes_gcm_open_json_field(NONCE, b.sealed, None, "seed"), SecureError,
     OPEN_FAILED, None),
    ("json: not an object", lambda b: b.key.aes_gcm_open_json_field(NONCE, seal_json(b, '["AQID"]'), None, "seed"),
     SecureError, malformed("json object"), None),
    ("json: no member", lambda b: b.key.aes_gcm_open_json_field(NONCE, seal_json(b, '{"Seed":"AQID"}'), None, "seed"),
     SecureError, malformed("json field"), None),
    ("json: not base64url", lambda b: b.key.aes_gcm_open_json_field(NONCE, seal_json(b, '{"seed":"A+/"}'), None,
     "seed"), SecureError, malformed("base64url"), None),
    ("json: empty value", lambda b: b.key.aes_gcm_open_json_field(NONCE, seal_json(b, '{"seed":"=="}'), None,
     "seed"), SecureError, EMPTY, None),
]


@pytest.mark.parametrize("label, call, exc, message, note", FAILURES, ids=[f[0] for f in FAILURES])
def test_failures_in_check_order_change_nothing(label, call, exc, message, note) -> None:  # type: ignore[no-untyped-def]
    b = Boxes()
    before_key = b.key.reveal()
    gc.collect()
    before = live()
    with pytest.raises(exc) as info:
        call(b)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    if note is not None:
        assert f"argument '{note}'" in getattr(info.value, "__notes__", [])
    del info
    gc.collect()
    assert live() == before, "a failed call left a region mapped"
    assert b.key.reveal() == before_key and not b.key.is_wiped
    assert b.key.aes_gcm_open(NONCE, b.sealed, b"ad") == b"payload"


def test_sealed_layout_aad_forms_and_untouched_sources() -> None:
    key = SecretBox.random(32)
    message, info, salt = bytearray(b"message"), bytearray(b"info"), bytearray(b"salt")
    nonce, plain, aad = bytearray(NONCE), bytearray(b"abc"), bytearray(b"aad")
    key.hmac_sha512(message)
    key.hkdf_sha256(info=info, salt=salt)
    sealed = bytearray(key.aes_gcm_seal(nonce, plain, aad))
    copy = bytes(sealed)
    assert key.aes_gcm_open(nonce, sealed, aad) == key.aes_gcm_open_secret(nonce, sealed, aad).reveal() == b"abc"
    assert (message, info, salt, nonce, plain, aad, sealed) == (
        b"message", b"info", b"salt", NONCE, b"abc", b"aad", copy)  # fmt: skip
    assert len(key.aes_gcm_seal(NONCE, b"")) == 16 and key.aes_gcm_open(NONCE, key.aes_gcm_seal(NONCE, b"")) == b""
    forms = {key.aes_gcm_seal(NONCE, b"abc"), key.aes_gcm_seal(NONCE, b"abc", None), key.aes_gcm_seal(NONCE, b"abc", b""),
             key.aes_gcm_seal(nonce=NONCE, plaintext=b"abc", aad=b"")}  # fmt: skip
    assert len(forms) == 1 and len(sealed := forms.pop()) == 19
    assert key.aes_gcm_open(NONCE, sealed, b"") == key.aes_gcm_open(NONCE, sealed, aad=None) == b"abc"
    wrapped = key.aes_gcm_seal_secret(NONCE, key)  # a box wrapped under itself
    assert wrapped == key.aes_gcm_seal(NONCE, key.reveal())
    unwrapped = key.aes_gcm_open_secret(NONCE, wrapped)
    assert unwrapped == key and len(unwrapped) == 32 and not unwrapped.is_wiped


def test_forked_child_is_refused_before_lengths() -> None:
    key = SecretBox.random(32)
    short = SecretBox.random(16)
    pid = os.fork()
    if pid == 0:  # pragma: no cover - runs in the child
        code = 1
        try:
            short.aes_gcm_seal(bytes(3), b"")
        except SecureError as e:
            code = 0 if str(e) == FORKED else 2
        try:
            key.hkdf_sha256(info=b"", length=9000)
        except SecureError as e:
            code = code if str(e) == FORKED else 3
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
