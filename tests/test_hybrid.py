"""HybridKeyPair: identities, threads, a failing random source and the SealedSession record forms."""
# Refusals, in the order the checks run: test_conversion.py; outside references: test_references.py.

from __future__ import annotations

import json
import os
import threading

import pytest

from quorvex._secure import HybridKeyPair, SecretBox, SecureError, seal_hybrid

from conftest import RNG_FAILED, WIPED, b64, bad_length, malformed, run_python

REPR = "HybridKeyPair(<x25519 + ml-kem-768, secrets redacted>)"


@pytest.fixture(scope="module")
def kp() -> HybridKeyPair:
    return HybridKeyPair.generate()


def restore(x: bytes, dk: bytes) -> HybridKeyPair:
    return HybridKeyPair.from_secrets(SecretBox.from_bytes(x), SecretBox.from_bytes(dk))


def seal_to(kp: HybridKeyPair, plaintext: bytes, aad: bytes = b"") -> tuple[bytes, bytes, bytes]:
    return seal_hybrid(kp.x25519_public, kp.mlkem768_public, plaintext, aad)


# --- identity -----------------------------------------------------------------


def test_generate_restore_and_wipe(kp: HybridKeyPair) -> None:
    x, dk = bytes(kp.x25519_secret().reveal()), bytes(kp.mlkem768_secret().reveal())
    publics = (kp.x25519_public, kp.mlkem768_public)
    assert (len(publics[0]), len(publics[1]), len(x), len(dk)) == (32, 1184, 32, 2400) and publics[1] == dk[1152:2336]
    assert HybridKeyPair.generate().x25519_public != kp.x25519_public
    again = restore(x, dk)
    assert (again.x25519_public, again.mlkem768_public) == publics
    for raw in (os.urandom(1152) + dk[1152:], dk[:2368] + os.urandom(32)):  # dk_pke and z are not checked
        assert restore(x, raw).mlkem768_public == publics[1]
    zero = restore(bytes(32), dk)  # all-zero X25519 secret: the clamped scalar 2^254
    assert zero.x25519_public == restore(bytes(31) + b"\x40", dk).x25519_public
    assert zero.x25519_secret().reveal() == bytes(32)  # clamped on a copy, never in place
    assert (repr(again), again.is_wiped, again.wipe(), again.wipe()) == (REPR, False, None, None)
    assert (again.is_wiped, again.x25519_public, again.mlkem768_public, repr(again)) == (True, *publics, REPR)


# --- threads --------------------------------------------------------------------


def test_concurrent_opens_and_wipe_do_not_crash() -> None:
    kp = HybridKeyPair.generate()
    seal = seal_to(kp, b"shared")
    outcomes: list[object] = []

    def opener() -> None:
        for _ in range(30):
            try:
                outcomes.append(kp.open(*seal, b""))
            except SecureError as e:
                outcomes.append(str(e))

    threads = [threading.Thread(target=opener) for _ in range(4)]
    for t in threads:
        t.start()
    kp.wipe()
    for t in threads:
        t.join()
    assert set(outcomes) <= {b"shared", WIPED} and len(outcomes) == 120


# --- sealed sessions --------------------------------------------------------------

K1, K2 = bytes(range(32)), bytes(range(100, 132))


T1, T2 = b64(K1), b64(K2)
OK = ("sé", 1_700_000_000, K1, K2)


def obj(**members: object) -> str:
    return json.dumps(members)


SESSION_CASES = [
    (obj(session_id="sé", sign_key=T1, enc_key=T2, expires_at=1_700_000_000), OK),
    (obj(expires_at=1_700_000_000, enc_key=T2, sign_key=T1, session_id="sé"), OK),
    (obj(a=None, session_id="sé", b={"x": [1, {"y": [[]]}]}, sign_key=T1, enc_key=T2, expires_at=1_700_000_000, c="z"), OK),
    ('{"x":' + "[" * 100_000 + "]" * 100_000 + f', "session_id":"s\\u00e9","sign_key":"{T1}","enc_key":"{T2}","expires_at":1700000000}}', OK),
    (json.dumps(["sé", T1, T2, 1_700_000_000]) + " \n\t\r", OK),
    (json.dumps(["s", T1 + "=", T2 + "==", -1]), ("s", -1, K1, K2)),
    (json.dumps(["s", T1, T2, 9223372036854775807]), ("s", 9223372036854775807, K1, K2)),
    (json.dumps(["s", T1, T2, -9223372036854775808]), ("s", -9223372036854775808, K1, K2)),
    (json.dumps(["s", T1, T2, 9223372036854775808]), malformed("sealed session")),
    (json.dumps(["s", T1, T2, -9223372036854775809]), malformed("sealed session")),
    ('["s", "' + T1 + '", "' + T2 + '", 1E3]', malformed("sealed session")),
    (json.dumps(["s", T1, T2, 1.5]), malformed("sealed session")),
    ('["s", "' + T1 + '", "' + T2 + '", 1e3]', malformed("sealed session")),
    (json.dumps(["s", T1, T2, "123"]), malformed("sealed session")),
    (json.dumps(["s", T1, T2]), malformed("sealed session")),
    (json.dumps(["s", T1, T2, 1, 2]), malformed("sealed session")),
    (obj(session_id="s", sign_key=T1, expires_at=1), malformed("sealed session")),
    ('{"session_id":"s","session_id":"t","sign_key":"' + T1 + '","enc_key":"' + T2 + '","expires_at":1}', malformed("sealed session")),
    (obj(session_id=None, sign_key=T1, enc_key=T2, expires_at=1), malformed("sealed session")),
    ('{"session_id":"\\ud800","sign_key":"' + T1 + '","enc_key":"' + T2 + '","expires_at":1}', malformed("sealed session")),
    (json.dumps(["s", T1, T2, 1]) + ",", malformed("sealed session")),
    (json.dumps(["s", T1, T2, 1]) + " []", malformed("sealed session")),
    ('["s","' + T1 + '","' + T2 + '",1,]', malformed("sealed session")),
    ("", malformed("sealed session")),
    ("   ", malformed("sealed session")),
    ('"just a string"', malformed("sealed session")),
    ("7", malformed("sealed session")),
    (b'["\xff\xfe", "' + T1.encode() + b'", "' + T2.encode() + b'", 1]', malformed("sealed session")),
    (json.dumps(["s", T1.replace("A", "+"), T2, 1]), malformed("base64url")),
    (json.dumps(["s", "/" + T1[1:], T2, 1]), malformed("base64url")),
    (json.dumps(["s", b64(K1[:31]), "!", 1]), malformed("base64url")),
    (json.dumps(["s", b64(K1[:31]), T2, 1]), bad_length("sign_key", 32, 31)),
    (json.dumps(["s", T1, "", 1]), bad_length("enc_key", 32, 0)),
]


@pytest.mark.parametrize(("text", "want"), SESSION_CASES)
def test_open_session_records(kp: HybridKeyPair, text: str | bytes, want, no_leak) -> None:  # type: ignore[no-untyped-def]
    seal = seal_to(kp, text.encode() if isinstance(text, str) else text, b"ad")
    if isinstance(want, str):
        with pytest.raises(SecureError) as info:
            kp.open_session(*seal, b"ad")
        assert str(info.value) == want
        return
    session_id, expires_at, sign_key, enc_key = kp.open_session(*seal, b"ad")
    assert (session_id, expires_at) == want[:2]
    assert type(sign_key) is SecretBox and sign_key.reveal() == want[2] and enc_key.reveal() == want[3]
    del sign_key, enc_key


# --- a failing random source ------------------------------------------------------

SEAL = "s.seal_hybrid(kp.x25519_public, kp.mlkem768_public, b'x', b'')"


# (the size of the draw that fails, None for every draw; the call; how it ends)
@pytest.mark.parametrize(("fail_size", "call", "want"), [
    (32, "s.HybridKeyPair.generate()", "PanicException"),
    (32, SEAL, "PanicException"),
    (12, SEAL, f"SecureError {RNG_FAILED}"),
    (None, "pool.random(0)", "ok b''"),
    (None, "pool.random(1)", f"SecureError {RNG_FAILED}"),
    (None, "pool.random_secret(64)", f"SecureError {RNG_FAILED}"),
    (None, "s.SecretStreamPush(key)", f"SecureError {RNG_FAILED}"),
])  # fmt: skip
def test_failing_random_source(failing_rng: dict[str, str], fail_size: int | None, call: str, want: str) -> None:
    # Key material draws end as PanicException, nonce, header and pool draws
    # as RngFailed; the interpreter survives and no region is left.
    out = run_python(
        f"""
        import os
        from quorvex import _secure as s
        kp, pool, key = s.HybridKeyPair.generate(), s.EntropyPool(), s.SecretBox.from_bytes(bytes(32))
        before = s.memory_status()["live_secrets"]
        os.environ["QV_TEST_FAIL_SIZE"] = "{fail_size}"
        if {fail_size} is None:
            del os.environ["QV_TEST_FAIL_SIZE"]  # every draw fails
        try:
            print("ok", repr({call}))
        except BaseException as e:
            print(type(e).__name__, e)
        print(s.memory_status()["live_secrets"] == before)
        """,
        env={**failing_rng, "QV_TEST_FAIL_SIZE": "-1"},  # no failure until the call
    )
    assert out.returncode == 0, out.stderr
    first, second = out.stdout.splitlines()
    assert first.startswith(want) and second == "True"
