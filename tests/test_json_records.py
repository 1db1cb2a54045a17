"""The JSON reader end to end through sealed fields and sessions: tests/vectors/json_records.json, exact
texts, no region left by a refusal. (The reader's budget and JSONTestSuite: native/tests/json.)"""

from __future__ import annotations

import json
import re
from typing import Any

import pytest

from quorvex._secure import HybridKeyPair, SecretBox, SecureError, seal_hybrid

from conftest import VECTORS, live

CASES = json.loads((VECTORS / "json_records.json").read_text())
NONCE = bytes(12)
KP = HybridKeyPair.generate()


# A case's text: a string, or pieces: text, [text, times] or one byte as a number.
def text_of(pieces: str | list[Any]) -> bytes:
    out = bytearray()
    for piece in [pieces] if isinstance(pieces, str) else pieces:
        if isinstance(piece, int):
            out.append(piece)
        else:
            out += piece.encode() if isinstance(piece, str) else piece[0].encode() * piece[1]
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
        with pytest.raises(SecureError, match=f"^{re.escape(case['error'])}$"):
            key.aes_gcm_open_json_field(NONCE, sealed, b"ad", case["field"])
        assert live() == before


@pytest.mark.parametrize("case", CASES["sessions"])
def test_open_session_records(case: dict[str, Any], no_leak: None) -> None:
    seal = seal_hybrid(KP.x25519_public, KP.mlkem768_public, text_of(case["doc"]), b"ad")
    if "error" in case:
        with pytest.raises(SecureError, match=f"^{re.escape(case['error'])}$"):
            KP.open_session(*seal, b"ad")
        return
    session_id, expires_at, sign_key, enc_key = KP.open_session(*seal, b"ad")
    assert [session_id, expires_at, sign_key.reveal().hex(), enc_key.reveal().hex()] == case["want"]
