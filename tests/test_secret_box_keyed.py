"""SecretBox keyed operations (refusals, in check order: test_conversion.py; sealed JSON fields: test_json_records.py)."""

from __future__ import annotations

from quorvex._secure import SecretBox

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
