"""SecretBox keyed operations beside `cryptography`, same key, nonce and AAD.
Our side keys the cipher from the locked region on every call; AESGCM keeps
its expanded key in ordinary memory between calls."""

from __future__ import annotations

import ctypes
import os
import subprocess
import tempfile
from functools import lru_cache
from pathlib import Path

from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from bench.harness import Case
from quorvex import _secure

SIZES = [64, 1024, 4096, 64 * 1024, 1024 * 1024]


@lru_cache(maxsize=1)
def gcm_floor() -> ctypes.CDLL | None:
    """bench/gcm_floor.c against the system libcrypto; None without a compiler or headers."""
    out = Path(tempfile.mkdtemp(prefix="quorvex-bench-")) / "gcm_floor.so"
    src = Path(__file__).with_name("gcm_floor.c")
    try:
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", str(out), str(src), "-lcrypto"], check=True,
                       capture_output=True)  # fmt: skip
    except (OSError, subprocess.CalledProcessError):
        return None
    lib = ctypes.CDLL(str(out))
    lib.gcm_seal.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p,
                             ctypes.c_size_t, ctypes.c_char_p]  # fmt: skip
    lib.libcrypto_version.restype = ctypes.c_char_p
    return lib


def _hmac(key: bytes, message: bytes) -> bytes:
    h = hmac.HMAC(key, hashes.SHA512())
    h.update(message)
    return h.finalize()


def cases(quick: bool) -> list[Case]:
    raw = os.urandom(32)
    box, peer = _secure.SecretBox.from_bytes(raw), AESGCM(raw)
    nonce, aad = os.urandom(12), os.urandom(32)
    out: list[Case] = []
    for size in SIZES:
        data = os.urandom(size)
        sealed = peer.encrypt(nonce, data, aad)
        out.append(Case("SecretBox.aes_gcm_seal", size, lambda d=data: box.aes_gcm_seal(nonce, d, aad),
                        lambda d=data: peer.encrypt(nonce, d, aad), "cryptography AESGCM.encrypt"))  # fmt: skip
        out.append(Case("SecretBox.aes_gcm_open", size, lambda s=sealed: box.aes_gcm_open(nonce, s, aad),
                        lambda s=sealed: peer.decrypt(nonce, s, aad), "cryptography AESGCM.decrypt"))  # fmt: skip
    for size in (64, 1024):
        message = os.urandom(size)
        out.append(Case("SecretBox.hmac_sha512", size, lambda m=message: box.hmac_sha512(m),
                        lambda m=message: _hmac(raw, m), "cryptography HMAC(SHA512)"))  # fmt: skip
    floor = gcm_floor()
    if floor is not None:
        # The same seal through the system libcrypto from C (keyed per call):
        # what is left of the gap to `cryptography` at large sizes is that
        # library's AES-GCM against the newer one `cryptography` bundles.
        for size in (64 * 1024, 1024 * 1024):
            data, buf = os.urandom(size), ctypes.create_string_buffer(size + 16)
            out.append(Case("SecretBox.aes_gcm_seal", size, lambda d=data: box.aes_gcm_seal(nonce, d, aad),
                            lambda d=data, b=buf: floor.gcm_seal(raw, nonce, d, len(d), aad, len(aad), b),
                            "system libcrypto EVP (C)"))  # fmt: skip
    info, salt = b"bench info", os.urandom(32)
    for length in (32, 1024):
        out.append(Case("SecretBox.hkdf_sha256", length,
                        lambda n=length: box.hkdf_sha256(info=info, length=n, salt=salt),
                        lambda n=length: HKDF(hashes.SHA256(), n, salt, info).derive(raw),
                        "cryptography HKDF(SHA256)"))  # fmt: skip
    return out
