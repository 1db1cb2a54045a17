"""SecretBox's keyed methods and the hybrid identity against Wycheproof and the `cryptography` package."""

from __future__ import annotations

import json
import os
from functools import lru_cache

import pytest
from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.asymmetric import mlkem
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from quorvex._secure import HybridKeyPair, SecretBox, SecureError, seal_hybrid

from conftest import INVALID_KEY, OPEN_FAILED, VECTORS, bad_length, restore

unhex = bytes.fromhex


def wycheproof(name: str) -> list[tuple[dict, dict]]:
    return [(g, t) for g in json.loads((VECTORS / "wycheproof" / name).read_text())["testGroups"] for t in g["tests"]]


def seal_key(ss_x: bytes, ss_m: bytes, enc: bytes) -> bytes:
    return HKDF(hashes.SHA256(), 32, salt=None, info=b"plenvik-sdk-hybrid-seal-v1" + enc).derive(ss_x + ss_m)


@lru_cache(maxsize=1)
def peer_identity() -> tuple[X25519PrivateKey, mlkem.MLKEM768PrivateKey, HybridKeyPair]:
    """One identity on both sides: `cryptography`'s from a keygen vector's seed, ours from its expanded key."""
    case = wycheproof("mlkem_768_keygen_seed_test.json")[11][1]
    x, m = X25519PrivateKey.generate(), mlkem.MLKEM768PrivateKey.from_seed_bytes(unhex(case["seed"]))
    return x, m, restore(x.private_bytes_raw(), unhex(case["dk"]))


def check_hmac(group: dict, t: dict) -> None:
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


def check_decapsulation(group: dict, t: dict) -> None:
    dk, c = unhex(t["dk"]), unhex(t["c"])
    if "Decapsulation key" in t["comment"] and t["result"] == "invalid":  # its length, then its hash
        want = INVALID_KEY if len(dk) == 2400 else bad_length("ml-kem-768 secret key", 2400, len(dk))
        with pytest.raises(SecureError, match=f"^{want}$"):
            restore(os.urandom(32), dk)
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


def check_encapsulation_key(group: dict, t: dict) -> None:
    ek = unhex(t["ek"])
    with pytest.raises(SecureError) as info:
        seal_hybrid(X25519PrivateKey.generate().public_key().public_bytes_raw(), ek, b"p", b"")
    assert str(info.value) == (INVALID_KEY if len(ek) == 1184 else bad_length("ml-kem-768 public key", 1184, len(ek)))


def check_low_order_x25519(group: dict, t: dict) -> None:
    kp, low = peer_identity()[2], unhex(t["public"])
    with pytest.raises(SecureError, match=f"^{INVALID_KEY}$"):
        seal_hybrid(low, kp.mlkem768_public, b"p", b"")
    enc, nonce, ct = seal_hybrid(kp.x25519_public, kp.mlkem768_public, b"p", b"")
    with pytest.raises(SecureError, match=f"^{OPEN_FAILED}$"):
        kp.open(low + enc[32:], nonce, ct, b"")


# file: (check, the cases it applies to)
CHECKS = {
    "hmac_sha512_test.json": (check_hmac, lambda g, t: t["key"] != ""),  # a box cannot be empty
    "hkdf_sha256_test.json": (check_hkdf, lambda g, t: True),
    "aes_gcm_test.json": (check_aes_gcm, lambda g, t: (g["keySize"], g["ivSize"], g["tagSize"]) == (256, 96, 128)),
    "mlkem_768_semi_expanded_decaps_test.json": (check_decapsulation, lambda g, t: True),
    "mlkem_768_encaps_test.json": (check_encapsulation_key, lambda g, t: t["result"] == "invalid"),
    "x25519_test.json": (check_low_order_x25519, lambda g, t: t["shared"] == "00" * 32),
}
CASES = [(name, g, t) for name, (_, wanted) in CHECKS.items() for g, t in wycheproof(name) if wanted(g, t)]


@pytest.mark.parametrize(("name", "group", "t"), CASES, ids=[f"{n[:-10]}-tc{t['tcId']}" for n, _, t in CASES])
def test_wycheproof(name: str, group: dict, t: dict) -> None:
    CHECKS[name][0](group, t)


# Empty, one byte, a partial block, an HMAC key over its 128-byte block, over
# a page, and beyond HKDF's 8160-byte limit (which it then reaches).
@pytest.mark.parametrize("size", [0, 1, 17, 129, 4097, 70000])
def test_keyed_methods_match_cryptography(size: int) -> None:
    raw, nonce, data, aad = os.urandom(32), os.urandom(12), os.urandom(size), os.urandom(size % 97)
    key, peer = SecretBox.from_bytes(raw), AESGCM(raw)
    sealed = key.aes_gcm_seal(nonce, data, aad or None)
    assert sealed == peer.encrypt(nonce, data, aad) and key.aes_gcm_open(nonce, sealed, aad) == data
    assert not size or key.aes_gcm_seal_secret(nonce, SecretBox.from_bytes(data), aad) == sealed

    secret, length, salt = data or b"k", min(size, 8160) or 1, aad if size % 2 else None
    h = hmac.HMAC(secret, hashes.SHA512())
    h.update(data)
    assert SecretBox.from_bytes(secret).hmac_sha512(data) == h.finalize()
    expected = HKDF(hashes.SHA256(), length, salt, nonce).derive(secret)
    assert SecretBox.from_bytes(secret).hkdf_sha256(info=nonce, length=length, salt=salt).reveal() == expected


@pytest.mark.parametrize(("size", "aad_size"), [(0, 0), (1, 0), (17, 7), (4099, 300)])
def test_cryptography_and_we_open_each_others_seals(size: int, aad_size: int) -> None:
    x, m, kp = peer_identity()
    plaintext, aad = os.urandom(size), os.urandom(aad_size)
    enc, nonce, ct = seal_hybrid(kp.x25519_public, kp.mlkem768_public, plaintext, aad)
    ss_x, ss_m = x.exchange(X25519PublicKey.from_public_bytes(enc[:32])), m.decapsulate(enc[32:])
    assert AESGCM(seal_key(ss_x, ss_m, enc)).decrypt(nonce, ct, aad) == plaintext

    eph = X25519PrivateKey.generate()
    ss_m, c = m.public_key().encapsulate()
    enc = eph.public_key().public_bytes_raw() + c
    ct = AESGCM(seal_key(eph.exchange(x.public_key()), ss_m, enc)).encrypt(nonce, plaintext, aad)
    assert kp.open(encapsulation=bytearray(enc), nonce=memoryview(nonce), ciphertext=ct, aad=aad) == plaintext
    assert not plaintext or kp.open_secret(enc, nonce, ct, aad).reveal() == plaintext
