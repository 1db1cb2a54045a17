"""The keyed SecretBox methods against outside references: Wycheproof vectors
and the `cryptography` package on random keys, nonces, AAD and sizes."""

from __future__ import annotations

import json
import os

import pytest
from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from quorvex import _secure

from conftest import OPEN_FAILED, VECTORS, bad_length

SecretBox = _secure.SecretBox
SecureError = _secure.SecureError


unhex = bytes.fromhex


def check_hmac(group: dict, t: dict) -> None:
    if not t["key"]:
        pytest.skip("a box cannot be empty")
    tag = SecretBox.from_bytes(unhex(t["key"])).hmac_sha512(unhex(t["msg"]))[: group["tagSize"] // 8]
    assert (tag == unhex(t["tag"])) == (t["result"] == "valid")


def check_hkdf(group: dict, t: dict) -> None:
    box, salt, info = SecretBox.from_bytes(unhex(t["ikm"])), unhex(t["salt"]), unhex(t["info"])
    if t["result"] == "valid":
        assert box.hkdf_sha256(info=info, length=t["size"], salt=salt).reveal() == unhex(t["okm"])
    else:
        with pytest.raises(SecureError, match=f"^{bad_length('hkdf output length', 8160, t['size'])}$"):
            box.hkdf_sha256(info=info, length=t["size"], salt=salt)


def check_aes_gcm(group: dict, t: dict) -> None:
    key, iv, aad, msg = SecretBox.from_bytes(unhex(t["key"])), unhex(t["iv"]), unhex(t["aad"]), unhex(t["msg"])
    sealed = unhex(t["ct"] + t["tag"])
    if t["result"] == "valid":
        assert key.aes_gcm_seal(iv, msg, aad) == sealed and key.aes_gcm_open(iv, sealed, aad) == msg
        assert not msg or key.aes_gcm_open_secret(iv, sealed, aad).reveal() == msg
        return
    for open_ in (key.aes_gcm_open, key.aes_gcm_open_secret):
        with pytest.raises(SecureError, match=f"^{OPEN_FAILED}$"):
            open_(iv, sealed, aad)


def wanted(group: dict) -> bool:
    """AES-GCM groups other than 256-bit keys, 96-bit nonces and 128-bit tags are left out."""
    return group["type"] != "AeadTest" or (group["keySize"], group["ivSize"], group["tagSize"]) == (256, 96, 128)


CHECKS = {"hmac_sha512_test.json": check_hmac, "hkdf_sha256_test.json": check_hkdf, "aes_gcm_test.json": check_aes_gcm}
CASES = [
    (name, group, t)
    for name in CHECKS
    for group in json.loads((VECTORS / "wycheproof" / name).read_text())["testGroups"]
    if wanted(group)
    for t in group["tests"]
]


@pytest.mark.parametrize(("name", "group", "t"), CASES, ids=[f"{n.split('_test')[0]}-tc{t['tcId']}" for n, _, t in CASES])
def test_wycheproof(name: str, group: dict, t: dict) -> None:
    CHECKS[name](group, t)


# Empty, one byte, a partial block, an HMAC key over its 128-byte block, over
# a page, and beyond HKDF's 8160-byte limit (which it then reaches).
@pytest.mark.parametrize("size", [0, 1, 17, 129, 4097, 70000])
def test_keyed_methods_match_cryptography(size: int) -> None:
    raw, nonce, data, aad = os.urandom(32), os.urandom(12), os.urandom(size), os.urandom(size % 97)
    key, peer = SecretBox.from_bytes(raw), AESGCM(raw)
    sealed = key.aes_gcm_seal(nonce, data, aad or None)
    assert sealed == peer.encrypt(nonce, data, aad) and key.aes_gcm_open(nonce, sealed, aad) == data
    if size:
        assert key.aes_gcm_open_secret(nonce, sealed, aad).reveal() == data
        assert key.aes_gcm_seal_secret(nonce, SecretBox.from_bytes(data), aad) == sealed

    secret, length, salt = data or b"k", min(size, 8160) or 1, aad if size % 2 else None
    h = hmac.HMAC(secret, hashes.SHA512())
    h.update(data)
    assert SecretBox.from_bytes(secret).hmac_sha512(data) == h.finalize()
    expected = HKDF(hashes.SHA256(), length, salt, nonce).derive(secret)
    assert SecretBox.from_bytes(secret).hkdf_sha256(info=nonce, length=length, salt=salt).reveal() == expected
