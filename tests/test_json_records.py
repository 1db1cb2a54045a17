"""The JSON reader end to end, through the sealed JSON field and the sealed
session: the cases of tests/vectors/json_records.json, exact texts, no region
left by a refusal. (The reader's budget and JSONTestSuite: native/tests/json.)"""

from __future__ import annotations

import base64
import json
import os
from typing import Any

import pytest

from quorvex import _secure

from conftest import VECTORS, b64, live

SecretBox = _secure.SecretBox
SecureError = _secure.SecureError
CASES = json.loads((VECTORS / "json_records.json").read_text())
NONCE = bytes(12)


# A case's text: a string, or pieces: text, [text, times] or one byte as a number.
def text_of(pieces: str | list[Any]) -> bytes:
    if isinstance(pieces, str):
        return pieces.encode()
    out = bytearray()
    for piece in pieces:
        if isinstance(piece, int):
            out.append(piece)
        else:
            text, times = (piece, 1) if isinstance(piece, str) else piece
            out += text.encode() * times
    return bytes(out)


@pytest.mark.parametrize("case", CASES["fields"])
def test_json_field_extraction(case: dict[str, Any]) -> None:
    key = SecretBox.random(32)
    sealed = key.aes_gcm_seal(NONCE, text_of(case["doc"]), b"ad")
    before = live()
    if "want" in case:
        box = key.aes_gcm_open_json_field(NONCE, sealed, b"ad", case["field"])
        assert box.reveal() == bytes.fromhex(text_of(case["want"]).decode()) and not box.is_wiped
        assert live() == before + 1  # born in a locked region
    else:
        with pytest.raises(SecureError) as info:
            key.aes_gcm_open_json_field(NONCE, sealed, b"ad", case["field"])
        assert str(info.value) == case["error"]
        del info
        assert live() == before


@pytest.fixture(scope="module")
def kp() -> _secure.HybridKeyPair:
    return _secure.HybridKeyPair.generate()


@pytest.mark.parametrize("case", CASES["sessions"])
def test_open_session_records(kp: _secure.HybridKeyPair, case: dict[str, Any], no_leak: None) -> None:
    seal = _secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, text_of(case["doc"]), b"ad")
    if "error" in case:
        with pytest.raises(SecureError) as info:
            kp.open_session(*seal, b"ad")
        assert str(info.value) == case["error"]
        return
    session_id, expires_at, sign_key, enc_key = kp.open_session(*seal, b"ad")
    assert type(sign_key) is SecretBox and type(enc_key) is SecretBox
    assert [session_id, expires_at, sign_key.reveal().hex(), enc_key.reveal().hex()] == case["want"]
    del sign_key, enc_key


# Against Python's encoder, padded and not, on random bytes (the empty
# text is in the table).
@pytest.mark.parametrize("length", range(1, 65))
def test_base64url_round_trip(length: int) -> None:
    key = SecretBox.random(32)
    data = os.urandom(length)
    for text in (base64.urlsafe_b64encode(data).decode(), b64(data)):
        sealed = key.aes_gcm_seal(NONCE, json.dumps({"seed": text}).encode())
        assert key.aes_gcm_open_json_field(NONCE, sealed, None, "seed").reveal() == data
