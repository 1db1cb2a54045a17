"""The keyed SecretBox methods against outside references: Wycheproof vectors
and the `cryptography` package on random keys, nonces, AAD and sizes."""

from __future__ import annotations

import json
import os
import random

import pytest
from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from quorvex import _secure

from conftest import VECTORS

SecretBox = _secure.SecretBox
SecureError = _secure.SecureError
WYCHEPROOF = VECTORS / "wycheproof"


def vector_cases(name: str, keep=lambda group: True) -> list[tuple[dict, dict]]:  # type: ignore[no-untyped-def]
    doc = json.loads((WYCHEPROOF / name).read_text())
    return [(g, t) for g in doc["testGroups"] if keep(g) for t in g["tests"]]


HMAC = vector_cases("hmac_sha512_test.json")
HKDF_CASES = vector_cases("hkdf_sha256_test.json")
GCM = vector_cases("aes_gcm_test.json", lambda g: (g["keySize"], g["ivSize"], g["tagSize"]) == (256, 96, 128))


@pytest.mark.parametrize("group, t", HMAC, ids=[f"tc{t['tcId']}" for _, t in HMAC])
def test_wycheproof_hmac_sha512(group: dict, t: dict) -> None:
    key = bytes.fromhex(t["key"])
    if not key:
        pytest.skip("a box cannot be empty")
    tag = SecretBox.from_bytes(key).hmac_sha512(bytes.fromhex(t["msg"]))
    truncated = tag[: group["tagSize"] // 8]
    assert (truncated == bytes.fromhex(t["tag"])) == (t["result"] == "valid")


@pytest.mark.parametrize("group, t", HKDF_CASES, ids=[f"tc{t['tcId']}" for _, t in HKDF_CASES])
def test_wycheproof_hkdf_sha256(group: dict, t: dict) -> None:
    box = SecretBox.from_bytes(bytes.fromhex(t["ikm"]))
    salt = bytes.fromhex(t["salt"])
    derive = lambda: box.hkdf_sha256(info=bytes.fromhex(t["info"]), length=t["size"], salt=salt)  # noqa: E731
    if t["result"] == "valid":
        assert derive().reveal() == bytes.fromhex(t["okm"])
    else:
        assert t["size"] > 8160
        with pytest.raises(SecureError) as info:
            derive()
        assert str(info.value) == (
            f"hkdf output length: expected 8160 bytes, got {t['size']} · esperava 8160 bytes, recebeu {t['size']}"
        )


@pytest.mark.parametrize("group, t", GCM, ids=[f"tc{t['tcId']}" for _, t in GCM])
def test_wycheproof_aes_256_gcm(group: dict, t: dict) -> None:
    key = SecretBox.from_bytes(bytes.fromhex(t["key"]))
    iv, aad, msg = bytes.fromhex(t["iv"]), bytes.fromhex(t["aad"]), bytes.fromhex(t["msg"])
    sealed = bytes.fromhex(t["ct"]) + bytes.fromhex(t["tag"])
    if t["result"] == "valid":
        assert key.aes_gcm_seal(iv, msg, aad) == sealed
        assert key.aes_gcm_open(iv, sealed, aad) == msg
        if msg:
            assert key.aes_gcm_open_secret(iv, sealed, aad).reveal() == msg
    else:
        for open_ in (key.aes_gcm_open, key.aes_gcm_open_secret):
            with pytest.raises(SecureError, match="^ciphertext did not open · ciphertext não abriu$"):
                open_(iv, sealed, aad)


SIZES = [0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 255, 256, 1000, 4095, 4096, 4097, 16384, 65535, 65536, 65537, 70000]


@pytest.mark.parametrize("size", SIZES)
def test_aes_gcm_matches_cryptography_both_ways(size: int) -> None:
    rng = random.Random(size)
    raw_key, nonce = os.urandom(32), os.urandom(12)
    plaintext = os.urandom(size)
    aad = os.urandom(rng.choice([0, 1, 13, 16, 100, 5000]))
    key, peer = SecretBox.from_bytes(raw_key), AESGCM(raw_key)
    sealed = key.aes_gcm_seal(nonce, plaintext, aad or None)
    assert sealed == peer.encrypt(nonce, plaintext, aad)
    assert peer.decrypt(nonce, sealed, aad) == plaintext
    theirs = peer.encrypt(nonce, plaintext, aad)
    assert key.aes_gcm_open(nonce, theirs, aad) == plaintext
    if size:
        assert key.aes_gcm_open_secret(nonce, theirs, aad).reveal() == plaintext
    wrapped = key.aes_gcm_seal_secret(nonce, SecretBox.from_bytes(plaintext), aad) if size else None
    if wrapped is not None:
        assert peer.decrypt(nonce, wrapped, aad) == plaintext


@pytest.mark.parametrize("seed", range(20))
def test_hmac_and_hkdf_match_cryptography(seed: int) -> None:
    rng = random.Random(seed)
    raw = os.urandom(rng.choice([1, 16, 32, 64, 127, 128, 129, 200, 1000]))
    message = os.urandom(rng.randrange(0, 70000))
    box = SecretBox.from_bytes(raw)

    h = hmac.HMAC(raw, hashes.SHA512())
    h.update(message)
    assert box.hmac_sha512(message) == h.finalize()

    info, length = os.urandom(rng.randrange(0, 300)), rng.randrange(1, 8161)
    salt = os.urandom(rng.randrange(0, 80)) if seed % 2 else None
    expected = HKDF(hashes.SHA256(), length, salt, info).derive(raw)
    assert box.hkdf_sha256(info=info, length=length, salt=salt).reveal() == expected
