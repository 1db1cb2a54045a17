"""SecretBox keyed operations and the sealed JSON field (refusals, in check order: test_conversion.py)."""

from __future__ import annotations

import base64
import gc
import json
import os

import pytest

from quorvex._secure import SecretBox, SecureError

from conftest import EMPTY, b64, live, malformed

NONCE = bytes(range(12))


def test_sealed_layout_aad_forms_and_untouched_sources() -> None:
    key = SecretBox.random(32)
    nonce, plain, aad, info, salt = sources = [bytearray(b) for b in (NONCE, b"abc", b"aad", b"info", b"salt")]
    key.hmac_sha512(plain)
    key.hkdf_sha256(info=info, salt=salt)
    sealed = bytearray(key.aes_gcm_seal(nonce, plain, aad))
    assert key.aes_gcm_open(nonce, sealed, aad) == key.aes_gcm_open_secret(nonce, sealed, aad).reveal() == b"abc"
    assert sources == [NONCE, b"abc", b"aad", b"info", b"salt"] and sealed == key.aes_gcm_seal(NONCE, b"abc", b"aad")
    forms = {key.aes_gcm_seal(NONCE, b"abc"), key.aes_gcm_seal(NONCE, b"abc", None),
             key.aes_gcm_seal(NONCE, b"abc", b""), key.aes_gcm_seal(nonce=NONCE, plaintext=b"abc", aad=b"")}
    assert len(forms) == 1 and len(sealed := forms.pop()) == 19 and key.aes_gcm_open(NONCE, sealed, aad=None) == b"abc"
    wrapped = key.aes_gcm_seal_secret(NONCE, key)  # a box wrapped under itself
    assert wrapped == key.aes_gcm_seal(NONCE, key.reveal()) and key.aes_gcm_open_secret(NONCE, wrapped) == key


def nested(depth: int) -> str:
    """`depth` objects in all, the outer one holding the member."""
    inner = "{}"
    for _ in range(depth - 2):
        inner = '{"a":' + inner + "}"
    return '{"seed":"AQ","n":' + inner + "}"


BIG = "A" * 5000
# The reader's rules, through the whole path: a base64url error means that the
# JSON itself was accepted. The decoder's own rules are in native/tests/json.
JSON_CASES = [
    ('{"seed":"AQID"}', "seed", b"\x01\x02\x03"),
    (' \t{"seed" : "AQ"}\r\n', "seed", b"\x01"),
    ('{"se\\u0065d":"AQ"}', "seed", b"\x01"),
    ('{"seed":"A\\u0051"}', "seed", b"\x01"),
    ('{"seed":"AQ","seed":"Ag"}', "seed", b"\x02"),
    ('{"a":{"b":[1,2,{"c":null}]},"seed":"AQ","z":-1.5e3,"t":true}', "seed", b"\x01"),
    ('{"clé":"AQ"}', "clé", b"\x01"),
    ('{"seed":"' + BIG + '\\u0041' + BIG + 'AAA"}', "seed", bytes(7503)),  # unescaped in several parts
    ('{"' + BIG + '\\u006b":1,"seed":"AQ"}', "seed", b"\x01"),
    ('{"seed":"\\ud83d\\ude00"}', "seed", malformed("base64url")),  # a valid surrogate pair
    ('{"seed":"AQ","seed":1}', "seed", malformed("json field")),
    ('{"seed":null}', "seed", malformed("json field")),
    ('{"seed":["AQ"]}', "seed", malformed("json field")),
    ('{"seed":{"seed":"AQ"}}', "seed", malformed("json field")),
    ('{"SEED":"AQ"}', "seed", malformed("json field")),
    ('{"seed":"AQ"} ', "Seed", malformed("json field")),
    ('{"seed":"AQ",}', "seed", malformed("json object")),
    ('{"seed":"AQ"}{}', "seed", malformed("json object")),
    ('{"seed":"AQ"}\x00', "seed", malformed("json object")),
    ("", "seed", malformed("json object")),
    (" \n", "seed", malformed("json object")),
    ('"AQ"', "seed", malformed("json object")),
    ('{"seed":"AQ"/**/}', "seed", malformed("json object")),
    ("{'seed':\"AQ\"}", "seed", malformed("json object")),
    ('{"seed":"AQ","n":NaN}', "seed", malformed("json object")),
    ('{"seed":"AQ","n":01}', "seed", malformed("json object")),
    ('{"seed":"AQ","x":' + "[" * 126 + "]" * 126 + "}", "seed", b"\x01"),  # 127 levels
    ('{"seed":"AQ","x":' + "[" * 127 + "]" * 127 + "}", "seed", malformed("json object")),  # 128
    ('{"x":' + "[" * 127 + "]" * 127 + ',"seed":"AQ"}', "seed", malformed("json object")),
    (nested(127), "seed", b"\x01"),
    (nested(128), "seed", malformed("json object")),
    ('{"seed":"\\ud800AQ"}', "seed", malformed("json object")),  # lone surrogates, anywhere
    ('{"seed":"\\udc00"}', "seed", malformed("json object")),
    ('{"seed":"\\ud800\\u0041"}', "seed", malformed("json object")),
    ('{"\\ud800":"AQ","seed":"AQ"}', "seed", malformed("json object")),
    ('{"x":["\\udfff"],"seed":"AQ"}', "seed", malformed("json object")),
    (b'{"seed":"\xc3\x28"}', "seed", malformed("json object")),  # invalid UTF-8
    (b'{"seed":"\xed\xa0\x80"}', "seed", malformed("json object")),  # a surrogate written in UTF-8
    ('{"seed":"AQ=D"}', "seed", malformed("base64url")),
    ('{"seed":""}', "seed", EMPTY),
    ('{"seed":"==="}', "seed", EMPTY),
]


@pytest.mark.parametrize("doc, field, expected", JSON_CASES, ids=range(len(JSON_CASES)))
def test_json_field_extraction(doc: str | bytes, field: str, expected: bytes | str) -> None:
    key = SecretBox.random(32)
    sealed = key.aes_gcm_seal(NONCE, doc.encode() if isinstance(doc, str) else doc, b"ad")
    gc.collect()
    before = live()
    if isinstance(expected, bytes):
        box = key.aes_gcm_open_json_field(NONCE, sealed, b"ad", field)
        assert box.reveal() == expected and not box.is_wiped
        assert live() == before + 1
    else:
        with pytest.raises(SecureError) as info:
            key.aes_gcm_open_json_field(NONCE, sealed, b"ad", field)
        assert str(info.value) == expected
        del info
        gc.collect()
        assert live() == before


@pytest.mark.parametrize("length", range(0, 65))
def test_base64url_round_trip(length: int) -> None:
    key = SecretBox.random(32)
    data = os.urandom(length)
    for text in (base64.urlsafe_b64encode(data).decode(), b64(data)):
        sealed = key.aes_gcm_seal(NONCE, json.dumps({"seed": text}).encode())
        if length == 0:
            with pytest.raises(SecureError, match="^a secret cannot be empty"):
                key.aes_gcm_open_json_field(NONCE, sealed, None, "seed")
        else:
            assert key.aes_gcm_open_json_field(NONCE, sealed, None, "seed").reveal() == data
