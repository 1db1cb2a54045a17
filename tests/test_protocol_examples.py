"""Every worked example of docs/PROTOCOL.md, recomputed from the page by the module
(its random draws served from the page) and by cryptography, PyNaCl and hashlib."""

from __future__ import annotations

import hashlib
import json
import re

import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import mlkem
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from quorvex import _secure

from conftest import ROOT, b64, restore, run_python

nacl = pytest.importorskip("nacl.bindings")


# ```text blocks "example: NAME" of `name = value` lines: quoted UTF-8 text, or hex
# that indented lines continue.
def read_examples() -> dict[str, dict[str, bytes]]:
    found, page = {}, (ROOT / "docs" / "PROTOCOL.md").read_text()
    for name, body in re.findall(r"```text\nexample: ([\w-]+)\n(.*?)```", page, re.S):
        values = re.findall(r"^(\w+) += +(.+(?:\n +[0-9a-f]+)*)", body, re.M)
        found[name] = {k: v[1:-1].encode() if v[0] in "'\"" else bytes.fromhex("".join(v.split())) for k, v in values}
    return found


EXAMPLES = read_examples()


STREAM, HYBRID, SESSION = EXAMPLES["secret-stream"], EXAMPLES["hybrid-seal"], EXAMPLES["sealed-session"]
EK = mlkem.MLKEM768PrivateKey.from_seed_bytes(HYBRID["mlkem_seed"]).public_key().public_bytes_raw()
ENCAPSULATION = HYBRID["ephemeral_public"] + HYBRID["mlkem_ciphertext"]


# The module's outputs, in a child whose getentropy serves the page's random values
# in the order they are drawn.
@pytest.fixture(scope="module")
def drawn(failing_rng: dict[str, str]) -> list[bytes]:
    code = f"""
        from quorvex._secure import HybridKeyPair, SecretBox, SecretStreamPush, seal_hybrid
        push = SecretStreamPush(SecretBox.from_bytes(bytearray.fromhex("{STREAM['key'].hex()}")))
        print(push.header.hex(), push.push({STREAM['message1']!r}, ad={STREAM['ad']!r}).hex())
        print(push.push({STREAM['message2']!r}, final=True, ad={STREAM['ad']!r}).hex())
        kp = HybridKeyPair.generate()
        print(kp.x25519_secret().reveal().hex(), kp.mlkem768_secret().reveal().hex())
        print(*(value.hex() for value in seal_hybrid(bytes.fromhex("{HYBRID['x25519_public'].hex()}"),
                bytes.fromhex("{EK.hex()}"), {SESSION['plaintext']!r}, {HYBRID['aad']!r})))
    """
    draws = ["x25519_secret", "mlkem_seed", "ephemeral_secret", "mlkem_message", "nonce"]
    entropy = STREAM["header"] + b"".join(HYBRID[name] for name in draws)
    done = run_python(code, env=failing_rng | {"QV_SCRIPTED_ENTROPY": entropy.hex()})
    assert done.returncode == 0, done.stderr
    return [bytes.fromhex(value) for value in done.stdout.split()]


@pytest.mark.parametrize("name", ["aes-256-gcm", "random-seed"])
def test_aes_gcm_examples(name: str) -> None:
    ex = EXAMPLES[name]
    key = _secure.SecretBox.from_bytes(ex["key"])
    assert AESGCM(ex["key"]).encrypt(ex["nonce"], ex["plaintext"], ex["aad"]) == ex["sealed"]
    assert key.aes_gcm_seal(ex["nonce"], ex["plaintext"], ex["aad"]) == ex["sealed"]
    if "seed" in ex:
        assert json.loads(ex["plaintext"]) == {"seed": b64(ex["seed"])}
        assert key.aes_gcm_open_json_field(ex["nonce"], ex["sealed"], ex["aad"], "seed").reveal() == ex["seed"]


def test_secret_stream_example(drawn: list[bytes]) -> None:
    ex = STREAM
    assert drawn[:3] == [ex["header"], ex["chunk1"], ex["chunk2"]]
    state = nacl.crypto_secretstream_xchacha20poly1305_state()
    nacl.crypto_secretstream_xchacha20poly1305_init_pull(state, ex["header"], ex["key"])
    assert nacl.crypto_secretstream_xchacha20poly1305_pull(state, ex["chunk1"], ex["ad"]) == (ex["message1"], 0)
    assert nacl.crypto_secretstream_xchacha20poly1305_pull(state, ex["chunk2"], ex["ad"]) == (ex["message2"], 3)


# The identity the module drew from the page; `cryptography` gives its ML-KEM key.
@pytest.fixture(scope="module")
def identity(drawn: list[bytes]) -> _secure.HybridKeyPair:
    x, dk = drawn[3:5]
    assert x == HYBRID["x25519_secret"]
    assert (hashlib.sha256(EK).digest(), hashlib.sha256(dk).digest()) == (HYBRID["ek_sha256"], HYBRID["dk_sha256"])
    kp = restore(x, dk)
    assert (kp.x25519_public, kp.mlkem768_public) == (HYBRID["x25519_public"], EK)
    return kp


def test_sealed_session_example(identity: _secure.HybridKeyPair) -> None:
    ex, kp = SESSION, identity
    want = (ex["session_id"].decode(), int(ex["expires_at"]), ex["sign_key"], ex["enc_key"])
    members = [want[0], b64(want[2]), b64(want[3]), want[1]]
    assert json.loads(ex["plaintext"]) == dict(zip(["session_id", "sign_key", "enc_key", "expires_at"], members))
    assert json.loads(ex["array"]) == members
    page = (ENCAPSULATION, HYBRID["nonce"], HYBRID["ciphertext"], HYBRID["aad"])
    for sealed in [page] + [(*_secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, text, b""), b"")
                            for text in (ex["plaintext"], ex["array"])]:
        session_id, expires_at, sign_key, enc_key = kp.open_session(*sealed)
        assert (session_id, expires_at, bytes(sign_key.reveal()), bytes(enc_key.reveal())) == want


def test_hybrid_seal_example(drawn: list[bytes]) -> None:
    ex, plaintext = HYBRID, SESSION["plaintext"]
    assert drawn[5:] == [ENCAPSULATION, ex["nonce"], ex["ciphertext"]]

    # The standards, step by step.
    eph = X25519PrivateKey.from_private_bytes(ex["ephemeral_secret"])
    assert eph.public_key().public_bytes_raw() == ex["ephemeral_public"]
    assert eph.exchange(X25519PublicKey.from_public_bytes(ex["x25519_public"])) == ex["ss_x"]
    # K = G(m ‖ H(ek))[0..32]; decapsulation giving that K proves c encapsulates m.
    assert hashlib.sha3_512(ex["mlkem_message"] + hashlib.sha3_256(EK).digest()).digest()[:32] == ex["ss_m"]
    assert mlkem.MLKEM768PrivateKey.from_seed_bytes(ex["mlkem_seed"]).decapsulate(ex["mlkem_ciphertext"]) == ex["ss_m"]
    info = b"plenvik-sdk-hybrid-seal-v1" + ENCAPSULATION
    assert HKDF(hashes.SHA256(), 32, salt=None, info=info).derive(ex["ss_x"] + ex["ss_m"]) == ex["key"]
    assert AESGCM(ex["key"]).encrypt(ex["nonce"], plaintext, ex["aad"]) == ex["ciphertext"]


def test_openbao_box_record_example() -> None:
    # The page's record; the store writes and reads this format against a real server in test_openbao.py.
    ex = EXAMPLES["openbao-box"]
    assert json.loads(ex["record"]) == {"secret": b64(ex["key"])}
