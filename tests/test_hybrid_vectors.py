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

from conftest import INVALID_KEY, OPEN_FAILED, VECTORS, bad_length

SecretBox, SecureError, seal_hybrid = _secure.SecretBox, _secure.SecureError, _secure.seal_hybrid
unhex = bytes.fromhex


def wycheproof(name: str) -> list[dict[str, str]]:
    doc = json.loads((VECTORS / "wycheproof" / name).read_text())
    return [t for g in doc["testGroups"] for t in g["tests"]]


def restore(x: bytes, dk: bytes) -> _secure.HybridKeyPair:
    return _secure.HybridKeyPair.from_secrets(SecretBox.from_bytes(x), SecretBox.from_bytes(dk))


def seal_key(ss_x: bytes, ss_m: bytes, enc: bytes) -> bytes:
    return HKDF(hashes.SHA256(), 32, salt=None, info=b"plenvik-sdk-hybrid-seal-v1" + enc).derive(ss_x + ss_m)


@lru_cache(maxsize=1)
def peer_identity() -> tuple[X25519PrivateKey, mlkem.MLKEM768PrivateKey, _secure.HybridKeyPair]:
    """One identity held by both sides: `cryptography` from a keygen vector's
    seed, ours restored from the same vector's expanded key."""
    case = random.Random(11).choice(wycheproof("mlkem_768_keygen_seed_test.json"))
    x = X25519PrivateKey.generate()
    m = mlkem.MLKEM768PrivateKey.from_seed_bytes(unhex(case["seed"]))
    return x, m, restore(x.private_bytes_raw(), unhex(case["dk"]))


def check_keygen(t: dict[str, str]) -> None:
    assert restore(os.urandom(32), unhex(t["dk"])).mlkem768_public == unhex(t["ek"])


def check_decapsulation(t: dict[str, str]) -> None:
    dk, c = unhex(t["dk"]), unhex(t["c"])
    if "Decapsulation key" in t["comment"] and t["result"] == "invalid":
        with pytest.raises(SecureError) as info:
            restore(os.urandom(32), dk)
        assert str(info.value) in (INVALID_KEY, bad_length("ml-kem-768 secret key", 2400, len(dk)))
        return
    x, eph = X25519PrivateKey.generate(), X25519PrivateKey.generate()
    kp, enc = restore(x.private_bytes_raw(), dk), eph.public_key().public_bytes_raw() + c
    if len(c) != 1088:
        with pytest.raises(SecureError, match=f"^{bad_length('encapsulation', 1120, len(enc))}$"):
            kp.open(enc, bytes(12), bytes(16), b"")
        return
    # A seal built around the vector's ciphertext opens only if Decaps gives K.
    key, nonce = seal_key(eph.exchange(x.public_key()), unhex(t["K"]), enc), os.urandom(12)
    assert kp.open(enc, nonce, AESGCM(key).encrypt(nonce, b"vector", b"ad"), b"ad") == b"vector"


def check_encapsulation_key(t: dict[str, str]) -> None:
    ek = unhex(t["ek"])
    with pytest.raises(SecureError) as info:
        seal_hybrid(X25519PrivateKey.generate().public_key().public_bytes_raw(), ek, b"p", b"")
    assert str(info.value) == (INVALID_KEY if len(ek) == 1184 else bad_length("ml-kem-768 public key", 1184, len(ek)))


def check_low_order_x25519(t: dict[str, str]) -> None:
    kp, low = peer_identity()[2], unhex(t["public"])
    with pytest.raises(SecureError, match=f"^{INVALID_KEY}$"):
        seal_hybrid(low, kp.mlkem768_public, b"p", b"")
    enc, nonce, ct = seal_hybrid(kp.x25519_public, kp.mlkem768_public, b"p", b"")
    with pytest.raises(SecureError, match=f"^{OPEN_FAILED}$"):
        kp.open(low + enc[32:], nonce, ct, b"")


# file: (check, the cases it applies to)
CHECKS = {
    "mlkem_768_keygen_seed_test.json": (check_keygen, lambda t: True),
    "mlkem_768_semi_expanded_decaps_test.json": (check_decapsulation, lambda t: True),
    "mlkem_768_encaps_test.json": (check_encapsulation_key, lambda t: t["result"] == "invalid"),
    "x25519_test.json": (check_low_order_x25519, lambda t: t["shared"] == "00" * 32),
}
CASES = [(name, t) for name, (_, wanted) in CHECKS.items() for t in wycheproof(name) if wanted(t)]


@pytest.mark.parametrize(("name", "t"), CASES, ids=[f"{n.split('_test')[0]}-tc{t['tcId']}" for n, t in CASES])
def test_wycheproof(name: str, t: dict[str, str]) -> None:
    CHECKS[name][0](t)


@pytest.mark.parametrize(("size", "aad_size"), [(0, 0), (1, 0), (17, 7), (random.randrange(5000), 300)])
def test_cryptography_and_we_open_each_others_seals(size: int, aad_size: int) -> None:
    x, m, kp = peer_identity()
    plaintext, aad = os.urandom(size), os.urandom(aad_size)
    assert (kp.x25519_public, kp.mlkem768_public) == (
        x.public_key().public_bytes_raw(), m.public_key().public_bytes_raw())  # fmt: skip
    enc, nonce, ct = seal_hybrid(kp.x25519_public, kp.mlkem768_public, plaintext, aad)
    ss_x, ss_m = x.exchange(X25519PublicKey.from_public_bytes(enc[:32])), m.decapsulate(enc[32:])
    assert AESGCM(seal_key(ss_x, ss_m, enc)).decrypt(nonce, ct, aad) == plaintext

    eph = X25519PrivateKey.generate()
    ss_m, c = m.public_key().encapsulate()
    enc = eph.public_key().public_bytes_raw() + c
    ct = AESGCM(seal_key(eph.exchange(x.public_key()), ss_m, enc)).encrypt(nonce, plaintext, aad)
    assert kp.open(enc, nonce, ct, aad) == plaintext
    if plaintext:
        assert kp.open_secret(enc, nonce, ct, aad).reveal() == plaintext
