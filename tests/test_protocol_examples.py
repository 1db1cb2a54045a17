"""Every worked example of docs/PROTOCOL.md, recomputed from the page itself:
by the module (its random draws served from the example through a
getentropy(3) preloaded into a child) and by independent implementations
(cryptography, PyNaCl, hashlib, json, base64)."""

from __future__ import annotations

import hashlib
import json
import re
import shutil
import subprocess
from functools import lru_cache
from typing import Callable

import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import mlkem
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from quorvex import _secure

from conftest import ROOT, b64, run_python

nacl = pytest.importorskip("nacl.bindings")

SecretBox = _secure.SecretBox


@lru_cache(maxsize=1)
def examples() -> dict[str, dict[str, bytes]]:
    """The page's ```text blocks that start with "example: NAME": `name = value`
    lines, a quoted value being UTF-8 text, any other hex; an indented line
    continues the value above it."""
    found: dict[str, dict[str, bytes]] = {}
    for block in re.findall(r"```text\nexample: (.*?)```", (ROOT / "docs" / "PROTOCOL.md").read_text(), re.S):
        name, *lines = block.splitlines()
        values: dict[str, str] = {}
        key = ""
        for line in lines:
            if line.startswith(" "):
                values[key] += line.strip()
            else:
                key, _, values[key] = (part.strip() for part in line.partition("="))
        found[name] = {
            k: v[1:-1].encode() if v[0] in "'\"" else bytes.fromhex(v) for k, v in values.items()
        }
    return found


def box(data: bytes) -> _secure.SecretBox:
    return SecretBox.from_bytes(bytearray(data))


# Serves the bytes of QV_SCRIPTED_ENTROPY (hex) to successive requests and
# fails once they are used up, so an unexpected draw shows.
SCRIPTED_GETENTROPY = r"""
#include <stdlib.h>
#include <string.h>
static size_t pos;
static int nibble(char c) { return c <= '9' ? c - '0' : (c | 32) - 'a' + 10; }
int getentropy(void *buf, size_t n) {
    const char *s = getenv("QV_SCRIPTED_ENTROPY");
    if (!s || strlen(s) < 2 * (pos + n)) return -1;
    for (size_t i = 0; i < n; i++, pos++)
        ((unsigned char *)buf)[i] = (unsigned char)(nibble(s[2 * pos]) << 4 | nibble(s[2 * pos + 1]));
    return 0;
}
"""


Scripted = Callable[[str, bytes], list[str]]


@pytest.fixture(scope="module")
def scripted(tmp_path_factory: pytest.TempPathFactory) -> Scripted:
    """Runs code in a child whose getentropy returns `entropy`; gives its
    printed lines."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the getentropy shim")
    lib = tmp_path_factory.mktemp("entropy") / "scripted_getentropy.so"
    lib.with_suffix(".c").write_text(SCRIPTED_GETENTROPY)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(lib), str(lib.with_suffix(".c"))], check=True)

    def run(code: str, entropy: bytes) -> list[str]:
        done = run_python(code, env={"LD_PRELOAD": str(lib), "QV_SCRIPTED_ENTROPY": entropy.hex()})
        assert done.returncode == 0, done.stderr
        return done.stdout.split()

    return run


def test_every_section_has_its_example() -> None:
    assert set(examples()) == {
        "aes-256-gcm", "secret-stream", "random-seed", "sealed-session", "hybrid-seal", "openbao-box",
    }


def test_aes_gcm_example() -> None:
    ex = examples()["aes-256-gcm"]
    key = box(ex["key"])
    assert key.aes_gcm_seal(ex["nonce"], ex["plaintext"], ex["aad"]) == ex["sealed"]
    assert AESGCM(ex["key"]).encrypt(ex["nonce"], ex["plaintext"], ex["aad"]) == ex["sealed"]
    assert key.aes_gcm_open(ex["nonce"], ex["sealed"], ex["aad"]) == ex["plaintext"]
    assert len(ex["sealed"]) == len(ex["plaintext"]) + 16


def test_secret_stream_example(scripted: Scripted) -> None:
    ex = examples()["secret-stream"]
    code = f"""
        from quorvex._secure import SecretBox, SecretStreamPush
        push = SecretStreamPush(SecretBox.from_bytes(bytearray.fromhex("{ex['key'].hex()}")))
        print(push.header.hex())
        print(push.push({ex['message1']!r}, ad={ex['ad']!r}).hex())
        print(push.push({ex['message2']!r}, final=True, ad={ex['ad']!r}).hex())
    """
    assert scripted(code, ex["header"]) == [ex["header"].hex(), ex["chunk1"].hex(), ex["chunk2"].hex()]

    pull = _secure.SecretStreamPull(box(ex["key"]), ex["header"])
    assert pull.pull(ex["chunk1"], ad=ex["ad"]) == (ex["message1"], False)
    assert pull.pull(ex["chunk2"], ad=ex["ad"]) == (ex["message2"], True)

    state = nacl.crypto_secretstream_xchacha20poly1305_state()
    nacl.crypto_secretstream_xchacha20poly1305_init_pull(state, ex["header"], ex["key"])
    assert nacl.crypto_secretstream_xchacha20poly1305_pull(state, ex["chunk1"], ex["ad"]) == (ex["message1"], 0)
    assert nacl.crypto_secretstream_xchacha20poly1305_pull(state, ex["chunk2"], ex["ad"]) == (ex["message2"], 3)


def test_random_seed_example() -> None:
    ex = examples()["random-seed"]
    assert json.loads(ex["plaintext"]) == {"seed": b64(ex["seed"])}
    assert AESGCM(ex["key"]).encrypt(ex["nonce"], ex["plaintext"], ex["aad"]) == ex["sealed"]
    key = box(ex["key"])
    assert key.aes_gcm_seal(ex["nonce"], ex["plaintext"], ex["aad"]) == ex["sealed"]
    assert key.aes_gcm_open_json_field(ex["nonce"], ex["sealed"], ex["aad"], "seed").reveal() == ex["seed"]


def hybrid_identity(scripted: Scripted) -> tuple[dict[str, bytes], bytes, _secure.HybridKeyPair]:
    """The page's identity: the module expands the seed itself (its draws
    served from the page), `cryptography` gives the encapsulation key."""
    ex = examples()["hybrid-seal"]
    ek = mlkem.MLKEM768PrivateKey.from_seed_bytes(ex["mlkem_seed"]).public_key().public_bytes_raw()
    code = """
        from quorvex._secure import HybridKeyPair
        kp = HybridKeyPair.generate()
        print(kp.x25519_secret().reveal().hex(), kp.mlkem768_secret().reveal().hex())
    """
    x, dk = (bytes.fromhex(v) for v in scripted(code, ex["x25519_secret"] + ex["mlkem_seed"]))
    assert x == ex["x25519_secret"]
    assert (hashlib.sha256(ek).digest(), hashlib.sha256(dk).digest()) == (ex["ek_sha256"], ex["dk_sha256"])
    kp = _secure.HybridKeyPair.from_secrets(box(x), box(dk))
    assert kp.mlkem768_public == ek
    return ex, ek, kp


def test_sealed_session_example(scripted: Scripted) -> None:
    ex = examples()["sealed-session"]
    want = (ex["session_id"].decode(), int(ex["expires_at"]), ex["sign_key"], ex["enc_key"])
    record = json.loads(ex["plaintext"])
    assert json.loads(ex["array"]) == [record[k] for k in ("session_id", "sign_key", "enc_key", "expires_at")]
    assert (record["session_id"], record["expires_at"], record["sign_key"], record["enc_key"]) == (
        want[0], want[1], b64(want[2]), b64(want[3]),
    )
    hybrid, _, kp = hybrid_identity(scripted)
    sealed = (hybrid["ephemeral_public"] + hybrid["mlkem_ciphertext"], hybrid["nonce"], hybrid["ciphertext"])
    session_id, expires_at, sign_key, enc_key = kp.open_session(*sealed, hybrid["aad"])
    assert (session_id, expires_at, bytes(sign_key.reveal()), bytes(enc_key.reveal())) == want
    for text in (ex["plaintext"], ex["array"]):
        enc, nonce, ct = _secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, text, b"")
        session_id, expires_at, sign_key, enc_key = kp.open_session(enc, nonce, ct, b"")
        assert (session_id, expires_at, bytes(sign_key.reveal()), bytes(enc_key.reveal())) == want


def test_hybrid_seal_example(scripted: Scripted) -> None:
    ex, ek, kp = hybrid_identity(scripted)
    plaintext = examples()["sealed-session"]["plaintext"]
    encapsulation = ex["ephemeral_public"] + ex["mlkem_ciphertext"]
    assert kp.x25519_public == ex["x25519_public"] and kp.mlkem768_public == ek

    # The module, its three draws served in the order the page gives.
    code = f"""
        from quorvex._secure import seal_hybrid
        for value in seal_hybrid(bytes.fromhex("{ex['x25519_public'].hex()}"), bytes.fromhex("{ek.hex()}"),
                                 {plaintext!r}, {ex['aad']!r}):
            print(value.hex())
    """
    entropy = ex["ephemeral_secret"] + ex["mlkem_message"] + ex["nonce"]
    assert scripted(code, entropy) == [encapsulation.hex(), ex["nonce"].hex(), ex["ciphertext"].hex()]
    assert kp.open(encapsulation, ex["nonce"], ex["ciphertext"], ex["aad"]) == plaintext

    # The standards, step by step.
    eph = X25519PrivateKey.from_private_bytes(ex["ephemeral_secret"])
    assert eph.public_key().public_bytes_raw() == ex["ephemeral_public"]
    assert X25519PrivateKey.from_private_bytes(ex["x25519_secret"]).public_key().public_bytes_raw() == ex["x25519_public"]
    assert eph.exchange(X25519PublicKey.from_public_bytes(ex["x25519_public"])) == ex["ss_x"]
    # K = G(m ‖ H(ek))[0..32]; decapsulation giving that K proves c encapsulates m.
    assert hashlib.sha3_512(ex["mlkem_message"] + hashlib.sha3_256(ek).digest()).digest()[:32] == ex["ss_m"]
    assert mlkem.MLKEM768PrivateKey.from_seed_bytes(ex["mlkem_seed"]).decapsulate(ex["mlkem_ciphertext"]) == ex["ss_m"]
    info = b"plenvik-sdk-hybrid-seal-v1" + encapsulation
    assert len(info) == 1146
    assert HKDF(hashes.SHA256(), 32, salt=None, info=info).derive(ex["ss_x"] + ex["ss_m"]) == ex["key"]
    assert AESGCM(ex["key"]).encrypt(ex["nonce"], plaintext, ex["aad"]) == ex["ciphertext"]


def test_openbao_box_record_example() -> None:
    from quorvex.openbao import base64url

    ex = examples()["openbao-box"]
    text = json.loads(ex["record"])["secret"].encode()
    assert text == b64(ex["key"]).encode()
    encoded = bytearray(base64url.encoded_length(len(ex["key"])))
    assert base64url.encode_into(bytearray(ex["key"]), encoded, 0) == len(text) and encoded == text
    decoded = bytearray(base64url.decoded_length(len(text)))
    assert base64url.decode_into(bytearray(text), 0, len(text), decoded) and decoded == ex["key"]
