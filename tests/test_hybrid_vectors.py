"""The hybrid identity against outside references: Wycheproof ML-KEM-768 and
X25519 files, and the `cryptography` package composing the same seal from
X25519, ML-KEM-768, HKDF-SHA256 and AES-256-GCM."""

from __future__ import annotations

import json
import os
import random
from functools import lru_cache

import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import mlkem
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from quorvex import _secure

from conftest import INVALID_KEY, OPEN_FAILED, VECTORS

SecretBox, SecureError = _secure.SecretBox, _secure.SecureError


def wycheproof(name: str) -> list[dict[str, str]]:
    doc = json.loads((VECTORS / "wycheproof" / name).read_text())
    return [t for g in doc["testGroups"] for t in g["tests"]]


def restore(x: bytes, dk: bytes) -> _secure.HybridKeyPair:
    return _secure.HybridKeyPair.from_secrets(SecretBox.from_bytes(x), SecretBox.from_bytes(dk))


def seal_key(ss_x: bytes, ss_m: bytes, enc: bytes) -> bytes:
    return HKDF(hashes.SHA256(), 32, salt=None, info=b"plenvik-sdk-hybrid-seal-v1" + enc).derive(ss_x + ss_m)


KEYGEN = wycheproof("mlkem_768_keygen_seed_test.json")


@lru_cache(maxsize=1)
def peer_identity() -> tuple[X25519PrivateKey, mlkem.MLKEM768PrivateKey, _secure.HybridKeyPair]:
    """One identity held by both sides: `cryptography` from a keygen vector's
    seed, ours restored from the same vector's expanded key."""
    case = random.Random(11).choice(KEYGEN)
    x = X25519PrivateKey.generate()
    m = mlkem.MLKEM768PrivateKey.from_seed_bytes(bytes.fromhex(case["seed"]))
    return x, m, restore(x.private_bytes_raw(), bytes.fromhex(case["dk"]))


@pytest.mark.parametrize("case", KEYGEN, ids=lambda t: t["tcId"])
def test_keygen_vectors_restore(case: dict[str, str]) -> None:
    assert restore(os.urandom(32), bytes.fromhex(case["dk"])).mlkem768_public == bytes.fromhex(case["ek"])


@pytest.mark.parametrize("case", wycheproof("mlkem_768_semi_expanded_decaps_test.json"), ids=lambda t: t["tcId"])
def test_expanded_decapsulation_vectors(case: dict[str, str]) -> None:
    dk, c = bytes.fromhex(case["dk"]), bytes.fromhex(case["c"])
    if "Decapsulation key" in case["comment"] and case["result"] == "invalid":
        with pytest.raises(SecureError) as info:
            restore(os.urandom(32), dk)
        assert str(info.value) == INVALID_KEY or "ml-kem-768 secret key" in str(info.value)
        return
    x, eph = X25519PrivateKey.generate(), X25519PrivateKey.generate()
    kp = restore(x.private_bytes_raw(), dk)
    enc = eph.public_key().public_bytes_raw() + c
    if len(c) != 1088:
        with pytest.raises(SecureError, match="encapsulation: expected 1120 bytes"):
            kp.open(enc, bytes(12), bytes(16), b"")
        return
    # A seal built around the vector's ciphertext opens only if Decaps gives K.
    key, nonce = seal_key(eph.exchange(x.public_key()), bytes.fromhex(case["K"]), enc), os.urandom(12)
    assert kp.open(enc, nonce, AESGCM(key).encrypt(nonce, b"vector", b"ad"), b"ad") == b"vector"


@pytest.mark.parametrize(
    "case", [t for t in wycheproof("mlkem_768_encaps_test.json") if t["result"] == "invalid"], ids=lambda t: t["tcId"]
)
def test_unreduced_and_misshapen_encapsulation_keys_are_refused(case: dict[str, str]) -> None:
    ek = bytes.fromhex(case["ek"])
    with pytest.raises(SecureError) as info:
        _secure.seal_hybrid(X25519PrivateKey.generate().public_key().public_bytes_raw(), ek, b"p", b"")
    want = INVALID_KEY if len(ek) == 1184 else f"ml-kem-768 public key: expected 1184 bytes, got {len(ek)}"
    assert str(info.value).startswith(want)


@pytest.mark.parametrize("public", sorted({t["public"] for t in wycheproof("x25519_test.json") if t["shared"] == "00" * 32}))
def test_small_order_x25519_keys(public: str) -> None:
    kp, low = peer_identity()[2], bytes.fromhex(public)
    with pytest.raises(SecureError) as info:
        _secure.seal_hybrid(low, kp.mlkem768_public, b"p", b"")
    assert str(info.value) == INVALID_KEY
    enc, nonce, ct = _secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, b"p", b"")
    with pytest.raises(SecureError) as info:
        kp.open(low + enc[32:], nonce, ct, b"")
    assert str(info.value) == OPEN_FAILED


RNG = random.Random(20261206)


@pytest.mark.parametrize(("size", "aad_size"), [(0, 0), (1, 0), (15, 7), (16, 16), (1024, 3), (RNG.randrange(5000), 300)])
def test_cryptography_and_we_open_each_others_seals(size: int, aad_size: int) -> None:
    x, m, kp = peer_identity()
    plaintext, aad = os.urandom(size), os.urandom(aad_size)
    assert (kp.x25519_public, kp.mlkem768_public) == (
        x.public_key().public_bytes_raw(), m.public_key().public_bytes_raw())  # fmt: skip
    enc, nonce, ct = _secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, plaintext, aad)
    ss_x, ss_m = x.exchange(X25519PublicKey.from_public_bytes(enc[:32])), m.decapsulate(enc[32:])
    assert AESGCM(seal_key(ss_x, ss_m, enc)).decrypt(nonce, ct, aad) == plaintext

    eph = X25519PrivateKey.generate()
    ss_m, c = m.public_key().encapsulate()
    enc = eph.public_key().public_bytes_raw() + c
    ct = AESGCM(seal_key(eph.exchange(x.public_key()), ss_m, enc)).encrypt(nonce, plaintext, aad)
    assert kp.open(enc, nonce, ct, aad) == plaintext
    if plaintext:
        assert kp.open_secret(enc, nonce, ct, aad).reveal() == plaintext
