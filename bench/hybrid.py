"""The hybrid identity and seal beside the same operations composed from
`cryptography` (X25519 + ML-KEM-768 + HKDF-SHA256 + AES-256-GCM), and our
ML-KEM-768 alone beside cryptography's."""

from __future__ import annotations

import ctypes
import itertools
import os
import subprocess
import tempfile
from functools import lru_cache
from pathlib import Path

from cryptography.hazmat.primitives import hashes
try:
    from cryptography.hazmat.primitives.asymmetric import mlkem
except ImportError:  # cryptography before 47 has no ML-KEM
    mlkem = None
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from bench.harness import Case
from quorvex import _secure

LABEL = b"plenvik-sdk-hybrid-seal-v1"
ROOT = Path(__file__).resolve().parent.parent


def _static_libs() -> list[Path] | None:
    """The static ML-KEM and base libraries of the build that made the loaded
    extension: a development tree (build/<dir>/pkg/quorvex/_secure*.so), or
    the wheel build that `pip install .` leaves in build/wheel."""
    here = Path(_secure.__file__).resolve()
    for build in (here.parents[2], ROOT / "build" / "wheel"):
        libs = [build / "native/core/mlkem/libqv_mlkem.a", build / "libquorvex_base.a"]
        if all(p.exists() for p in libs):
            return libs
    return None


@lru_cache(maxsize=1)
def _shim() -> ctypes.CDLL | None:
    """bench/mlkem_shim.cpp linked against those libraries; None (and the
    ML-KEM-only rows skipped) without a build or a compiler."""
    libs = _static_libs()
    if libs is None:
        print("(no quorvex build tree found: ML-KEM-768 rows skipped; run bench/setup.sh)")
        return None
    out = Path(tempfile.mkdtemp(prefix="quorvex-bench-")) / "mlkem_shim.so"
    src = Path(__file__).with_name("mlkem_shim.cpp")
    cmd = ["g++", "-std=c++20", "-O2", "-shared", "-fPIC", f"-I{ROOT / 'native/core'}", "-o", str(out), str(src),
           *map(str, libs), "-lcrypto"]  # fmt: skip
    try:
        subprocess.run(cmd, check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError) as e:
        print(f"(ML-KEM shim not built: {e}; ML-KEM-768 rows skipped)")
        return None
    lib = ctypes.CDLL(str(out))
    lib.qv_bench_keygen.restype = ctypes.c_void_p
    lib.qv_bench_parse.restype = ctypes.c_void_p
    lib.qv_bench_free.argtypes = [ctypes.c_void_p]
    lib.qv_bench_encaps.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]
    lib.qv_bench_decaps.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
    return lib


def _seal_key(ss_x: bytes, ss_m: bytes, enc: bytes) -> bytes:
    return HKDF(hashes.SHA256(), 32, salt=None, info=LABEL + enc).derive(ss_x + ss_m)


def _peer_generate() -> tuple[bytes, bytes]:
    x, m = X25519PrivateKey.generate(), mlkem.MLKEM768PrivateKey.generate()
    return x.public_key().public_bytes_raw(), m.public_key().public_bytes_raw()


def _peer_seal(x_pub: bytes, ek: bytes, plaintext: bytes, aad: bytes) -> tuple[bytes, bytes, bytes]:
    eph = X25519PrivateKey.generate()
    ss_x = eph.exchange(X25519PublicKey.from_public_bytes(x_pub))
    ss_m, c = mlkem.MLKEM768PublicKey.from_public_bytes(ek).encapsulate()
    enc = eph.public_key().public_bytes_raw() + c
    nonce = os.urandom(12)
    return enc, nonce, AESGCM(_seal_key(ss_x, ss_m, enc)).encrypt(nonce, plaintext, aad)


def cases(quick: bool) -> list[Case]:
    if mlkem is None:
        print("(this cryptography has no ML-KEM: hybrid rows skipped)")
        return []
    kp = _secure.HybridKeyPair.generate()
    x_box, dk_box = kp.x25519_secret(), kp.mlkem768_secret()
    seed = os.urandom(64)
    peer_x, peer_m = X25519PrivateKey.generate(), mlkem.MLKEM768PrivateKey.from_seed_bytes(seed)
    x_raw = peer_x.private_bytes_raw()
    plaintext, aad = os.urandom(1024), b"bench"
    ours_seal = _secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, plaintext, aad)
    peer_pub = (peer_x.public_key().public_bytes_raw(), peer_m.public_key().public_bytes_raw())
    peer_sealed = _peer_seal(*peer_pub, plaintext, aad)

    def peer_open() -> bytes:
        enc, nonce, ct = peer_sealed
        ss_x = peer_x.exchange(X25519PublicKey.from_public_bytes(enc[:32]))
        ss_m = peer_m.decapsulate(enc[32:])
        return AESGCM(_seal_key(ss_x, ss_m, enc)).decrypt(nonce, ct, aad)

    composed = "cryptography (X25519+ML-KEM+HKDF+GCM)"
    out = [
        Case("HybridKeyPair.generate", None, _secure.HybridKeyPair.generate, _peer_generate, composed),
        Case("HybridKeyPair.from_secrets", None, lambda: _secure.HybridKeyPair.from_secrets(x_box, dk_box),
             lambda: (X25519PrivateKey.from_private_bytes(x_raw).public_key(),
                      mlkem.MLKEM768PrivateKey.from_seed_bytes(seed).public_key()), composed),  # fmt: skip
        Case("seal_hybrid", 1024, lambda: _secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, plaintext, aad),
             lambda: _peer_seal(*peer_pub, plaintext, aad), composed),  # fmt: skip
        Case("HybridKeyPair.open", 1024, lambda: kp.open(*ours_seal, aad), peer_open, composed),
    ]
    # A new recipient on every call: three of them in turn defeat the cache
    # of the last two recipients' parsed ML-KEM keys.
    others = [_secure.HybridKeyPair.generate() for _ in range(3)]
    turn = itertools.cycle([(o.x25519_public, o.mlkem768_public) for o in others])
    out.append(Case("seal_hybrid (new recipient)", 1024, lambda: _secure.seal_hybrid(*next(turn), plaintext, aad),
                    lambda: _peer_seal(*peer_pub, plaintext, aad), composed))  # fmt: skip

    shim = _shim()
    if shim is not None:
        dk = ctypes.create_string_buffer(2400)
        ek = shim.qv_bench_keygen(seed, dk)
        c, k, m = ctypes.create_string_buffer(1088), ctypes.create_string_buffer(32), os.urandom(32)
        shim.qv_bench_encaps(ek, m, c, k)
        ciphertext = c.raw
        peer_ek = peer_m.public_key()
        peer_c = peer_ek.encapsulate()[1]

        scratch = ctypes.create_string_buffer(2400)

        def ours_keygen() -> None:
            shim.qv_bench_free(shim.qv_bench_keygen(os.urandom(64), scratch))

        out += [
            Case("ML-KEM-768 keygen", None, ours_keygen, mlkem.MLKEM768PrivateKey.generate, "cryptography"),
            Case("ML-KEM-768 encaps", None, lambda: shim.qv_bench_encaps(ek, os.urandom(32), c, k),
                 peer_ek.encapsulate, "cryptography"),  # fmt: skip
            Case("ML-KEM-768 decaps", None, lambda: shim.qv_bench_decaps(dk.raw, ek, ciphertext, k),
                 lambda: peer_m.decapsulate(peer_c), "cryptography"),  # fmt: skip
        ]
    return out
