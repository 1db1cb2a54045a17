"""The hybrid identity against outside references: Wycheproof ML-KEM-768 and
X25519 files, and the `cryptography` package composing the same seal from
X25519, ML-KEM-768, HKDF-SHA256 and AES-256-GCM."""

from __future__ import annotations

import hashlib
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

HybridKeyPair = _secure.HybridKeyPair
SecretBox = _secure.SecretBox
SecureError = _secure.SecureError
LABEL = b"plenvik-sdk-hybrid-seal-v1"


def wycheproof(name: str) -> list[dict[str, str]]:
    doc = json.loads((VECTORS / "wycheproof" / name).read_text())
    return [t for g in doc["testGroups"] for t in g["tests"]]


def restore(x: bytes, dk: bytes) -> HybridKeyPair:
    return HybridKeyPair.from_secrets(SecretBox.from_bytes(x), SecretBox.from_bytes(dk))


def seal_key(ss_x: bytes, ss_m: bytes, enc: bytes) -> bytes:
    return HKDF(hashes.SHA256(), 32, salt=None, info=LABEL + enc).derive(ss_x + ss_m)


# --- an independent expansion of an ML-KEM-768 seed (FIPS 203, Algorithm 16) ---

Q = 3329
ZETAS = [pow(17, int(f"{i:07b}"[::-1], 2), Q) for i in range(128)]


def _ntt(f: list[int]) -> list[int]:
    f, k, length = list(f), 1, 128
    while length >= 2:
        for start in range(0, 256, 2 * length):
            z, k = ZETAS[k], k + 1
            for j in range(start, start + length):
                t = z * f[j + length] % Q
                f[j + length], f[j] = (f[j] - t) % Q, (f[j] + t) % Q
        length //= 2
    return f


def _cbd2(b: bytes) -> list[int]:
    bits = [(b[i // 8] >> (i % 8)) & 1 for i in range(len(b) * 8)]
    return [(bits[4 * i] + bits[4 * i + 1] - bits[4 * i + 2] - bits[4 * i + 3]) % Q for i in range(256)]


def _encode12(f: list[int]) -> bytes:
    out = bytearray()
    for a, b in zip(f[::2], f[1::2]):
        out += bytes([a & 0xFF, (a >> 8) | ((b & 0x0F) << 4), b >> 4])
    return bytes(out)


def expanded_dk(seed: bytes, ek: bytes) -> bytes:
    """dk = ByteEncode12(ŝ) ‖ ek ‖ H(ek) ‖ z for the seed d ‖ z."""
    sigma = hashlib.sha3_512(seed[:32] + b"\x03").digest()[32:]
    s = [_ntt(_cbd2(hashlib.shake_256(sigma + bytes([n])).digest(128))) for n in range(3)]
    return b"".join(map(_encode12, s)) + ek + hashlib.sha3_256(ek).digest() + seed[32:]


@lru_cache(maxsize=1)
def peer_identity() -> tuple[X25519PrivateKey, mlkem.MLKEM768PrivateKey, HybridKeyPair]:
    """One identity held by both sides: ours restored with from_secrets."""
    seed = os.urandom(64)
    x = X25519PrivateKey.generate()
    m = mlkem.MLKEM768PrivateKey.from_seed_bytes(seed)
    ek = m.public_key().public_bytes_raw()
    return x, m, restore(x.private_bytes_raw(), expanded_dk(seed, ek))


# --- Wycheproof ML-KEM-768 ---------------------------------------------------------


@pytest.mark.parametrize("case", wycheproof("mlkem_768_keygen_seed_test.json"), ids=lambda t: t["tcId"])
def test_keygen_vectors_restore(case: dict[str, str]) -> None:
    ek, dk = bytes.fromhex(case["ek"]), bytes.fromhex(case["dk"])
    assert expanded_dk(bytes.fromhex(case["seed"]), ek) == dk  # the helper itself holds
    assert restore(os.urandom(32), dk).mlkem768_public == ek


@pytest.mark.parametrize("case", wycheproof("mlkem_768_semi_expanded_decaps_test.json"), ids=lambda t: t["tcId"])
def test_expanded_decapsulation_vectors(case: dict[str, str]) -> None:
    dk, c = bytes.fromhex(case["dk"]), bytes.fromhex(case["c"])
    if "Decapsulation key" in case["comment"] and case["result"] == "invalid":
        with pytest.raises(SecureError) as info:
            restore(os.urandom(32), dk)
        assert str(info.value) == INVALID_KEY or "ml-kem-768 secret key" in str(info.value)
        return
    x = X25519PrivateKey.generate()
    kp = restore(x.private_bytes_raw(), dk)
    eph = X25519PrivateKey.generate()
    enc = eph.public_key().public_bytes_raw() + c
    if len(c) != 1088:
        with pytest.raises(SecureError, match="encapsulation: expected 1120 bytes"):
            kp.open(enc, bytes(12), bytes(16), b"")
        return
    # A seal built around the vector's ciphertext opens only if Decaps gives K.
    key = seal_key(eph.exchange(x.public_key()), bytes.fromhex(case["K"]), enc)
    nonce = os.urandom(12)
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


# --- Wycheproof X25519: non-contributory public keys ----------------------------------

ZERO_RESULT = sorted(
    {t["public"] for t in wycheproof("x25519_test.json") if t["shared"] == "00" * 32}
)


@pytest.mark.parametrize("public", ZERO_RESULT)
def test_small_order_x25519_keys(public: str) -> None:
    _, _, kp = peer_identity()
    low = bytes.fromhex(public)
    with pytest.raises(SecureError) as info:
        _secure.seal_hybrid(low, kp.mlkem768_public, b"p", b"")
    assert str(info.value) == INVALID_KEY
    enc, nonce, ct = _secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, b"p", b"")
    with pytest.raises(SecureError) as info:
        kp.open(low + enc[32:], nonce, ct, b"")
    assert str(info.value) == OPEN_FAILED


# --- cryptography opens our seals and we open its seals -------------------------------

RNG = random.Random(20261206)
SIZES = [(0, 0), (1, 0), (15, 7), (16, 16), (1024, 3), (RNG.randrange(1, 5000), RNG.randrange(0, 300))]


@pytest.mark.parametrize(("size", "aad_size"), SIZES)
def test_cryptography_opens_our_seal(size: int, aad_size: int) -> None:
    x, m, kp = peer_identity()
    plaintext, aad = os.urandom(size), os.urandom(aad_size)
    enc, nonce, ct = _secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, plaintext, aad)
    assert kp.x25519_public == x.public_key().public_bytes_raw()
    assert kp.mlkem768_public == m.public_key().public_bytes_raw()
    ss_x = x.exchange(X25519PublicKey.from_public_bytes(enc[:32]))
    ss_m = m.decapsulate(enc[32:])
    assert AESGCM(seal_key(ss_x, ss_m, enc)).decrypt(nonce, ct, aad) == plaintext


@pytest.mark.parametrize(("size", "aad_size"), SIZES)
def test_we_open_the_seal_of_cryptography(size: int, aad_size: int) -> None:
    x, m, kp = peer_identity()
    plaintext, aad = os.urandom(size), os.urandom(aad_size)
    eph = X25519PrivateKey.generate()
    ss_x = eph.exchange(x.public_key())
    ss_m, c = m.public_key().encapsulate()
    enc = eph.public_key().public_bytes_raw() + c
    nonce = os.urandom(12)
    ct = AESGCM(seal_key(ss_x, ss_m, enc)).encrypt(nonce, plaintext, aad)
    assert kp.open(enc, nonce, ct, aad) == plaintext
    if plaintext:
        assert kp.open_secret(enc, nonce, ct, aad).reveal() == plaintext
