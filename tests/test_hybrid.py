"""HybridKeyPair, seal_hybrid and sealed sessions: lifecycle, the failure
tables in their order, and the SealedSession record forms."""

from __future__ import annotations

import hashlib
import json
import os
import threading

import pytest

from quorvex import _secure

from conftest import EMPTY, INVALID_KEY, OPEN_FAILED, RNG_FAILED, STR_REFUSED, WIPED, b64, bad_length, malformed, run_python

HybridKeyPair = _secure.HybridKeyPair
SecretBox = _secure.SecretBox
SecureError = _secure.SecureError
seal_hybrid = _secure.seal_hybrid

REPR = "HybridKeyPair(<x25519 + ml-kem-768, secrets redacted>)"


@pytest.fixture(scope="module")
def kp() -> HybridKeyPair:
    return HybridKeyPair.generate()


def secrets_of(kp: HybridKeyPair) -> tuple[bytes, bytes]:
    return bytes(kp.x25519_secret().reveal()), bytes(kp.mlkem768_secret().reveal())


def restore(x: bytes, dk: bytes) -> HybridKeyPair:
    return HybridKeyPair.from_secrets(SecretBox.from_bytes(x), SecretBox.from_bytes(dk))


def seal_to(kp: HybridKeyPair, plaintext: bytes, aad: bytes = b"") -> tuple[bytes, bytes, bytes]:
    return seal_hybrid(kp.x25519_public, kp.mlkem768_public, plaintext, aad)


# --- identity -----------------------------------------------------------------


def test_generate_and_restore_agree(kp: HybridKeyPair) -> None:
    x, dk = secrets_of(kp)
    assert (len(kp.x25519_public), len(kp.mlkem768_public), len(x), len(dk)) == (32, 1184, 32, 2400)
    assert kp.mlkem768_public == dk[1152:2336]
    again = restore(x, dk)
    assert (again.x25519_public, again.mlkem768_public) == (kp.x25519_public, kp.mlkem768_public)
    assert HybridKeyPair.generate().x25519_public != kp.x25519_public
    for where in (slice(0, 1152), slice(2368, 2400)):  # dk_pke and z are not checked
        raw = bytearray(dk)
        raw[where] = os.urandom(where.stop - where.start)
        assert restore(x, bytes(raw)).mlkem768_public == kp.mlkem768_public
    zero = restore(bytes(32), dk)  # all-zero X25519 secret: the clamped scalar 2^254
    assert zero.x25519_public == restore(bytes(31) + b"\x40", dk).x25519_public
    assert zero.x25519_secret().reveal() == bytes(32)  # clamped on a copy, never in place


def _coefficient_over_q(dk: bytearray) -> None:
    dk[1152] = 0xFF  # first coefficient of t̂ becomes 4095, hash kept consistent
    dk[1153] |= 0x0F
    dk[2336:2368] = hashlib.sha3_256(bytes(dk[1152:2336])).digest()


def _wiped(box: SecretBox) -> None:
    box.wipe()


# (x25519 secret length or bytes, ml-kem-768 secret length, None or a change to
# its box, damage to its bytes, exception, message)
FROM_SECRETS_REFUSALS = [
    (31, 2399, None, SecureError, bad_length("x25519 secret key", 32, 31)),
    (33, 2400, None, SecureError, bad_length("x25519 secret key", 32, 33)),
    (32, 2399, None, SecureError, bad_length("ml-kem-768 secret key", 2400, 2399)),
    (32, 2401, None, SecureError, bad_length("ml-kem-768 secret key", 2400, 2401)),
    (32, 2400, lambda dk: dk.__setitem__(2340, dk[2340] ^ 1), SecureError, INVALID_KEY),  # hash of ek
    (32, 2400, _coefficient_over_q, SecureError, INVALID_KEY),
    (bytes, 2400, None, TypeError, "'bytes' object is not an instance of 'SecretBox'"),
    (32, None, None, TypeError, "'None' is not an instance of 'SecretBox'"),
    (31, _wiped, None, SecureError, WIPED),
]


@pytest.mark.parametrize(("x_len", "dk_len", "damage", "exc", "message"), FROM_SECRETS_REFUSALS)
def test_from_secrets_refusals_in_order(kp, x_len, dk_len, damage, exc, message, no_leak) -> None:  # type: ignore[no-untyped-def]
    x, dk = secrets_of(kp)
    raw = bytearray((dk + b"\0")[:dk_len] if isinstance(dk_len, int) else dk)
    if damage:
        damage(raw)
    x_box = bytes(32) if x_len is bytes else SecretBox.from_bytes((x + b"\0")[:x_len])
    dk_box = None if dk_len is None else SecretBox.from_bytes(bytes(raw))
    if callable(dk_len):
        dk_len(dk_box)
    with pytest.raises(exc) as info:
        HybridKeyPair.from_secrets(x25519_secret=x_box, mlkem768_secret=dk_box)
    assert str(info.value) == message
    del info, x_box, dk_box


def test_wipe_keeps_publics_and_refuses_secrets() -> None:
    kp = HybridKeyPair.generate()
    x_pub, m_pub = kp.x25519_public, kp.mlkem768_public
    seal = seal_to(kp, b"data")
    assert repr(kp) == REPR and kp.is_wiped is False
    assert kp.wipe() is None and kp.wipe() is None
    assert kp.is_wiped is True and repr(kp) == REPR
    assert (kp.x25519_public, kp.mlkem768_public) == (x_pub, m_pub)
    for op in (kp.x25519_secret, kp.mlkem768_secret, lambda: kp.open(*seal, b"")):
        with pytest.raises(SecureError) as info:
            op()
        assert str(info.value) == WIPED


# --- seal and open --------------------------------------------------------------


@pytest.mark.parametrize(("plaintext", "aad"), [(b"", b""), (b"x", b""), (os.urandom(1000), os.urandom(33))])
def test_seal_open_round_trip(kp: HybridKeyPair, plaintext: bytes, aad: bytes, no_leak) -> None:  # type: ignore[no-untyped-def]
    enc, nonce, ct = seal = seal_to(kp, plaintext, aad)
    assert (len(enc), len(nonce), len(ct)) == (1120, 12, len(plaintext) + 16)
    assert all(a != b for a, b in zip(seal, seal_to(kp, plaintext, aad)))  # fresh ephemeral keys and nonce
    assert kp.open(enc, nonce, ct, aad) == plaintext
    assert kp.open(encapsulation=bytearray(enc), nonce=memoryview(nonce), ciphertext=ct, aad=aad) == plaintext
    if plaintext:
        assert kp.open_secret(enc, nonce, ct, aad).reveal() == plaintext
    else:
        with pytest.raises(SecureError) as info:
            kp.open_secret(*seal, aad)
        assert str(info.value) == EMPTY


@pytest.mark.parametrize(
    ("x_pub", "m_pub", "plaintext", "aad", "error", "message"),
    [
        (b"\1" * 31, b"\0" * 1183, b"", b"", SecureError, bad_length("x25519 public key", 32, 31)),
        (None, b"\0" * 1183, b"", b"", SecureError, bad_length("ml-kem-768 public key", 1184, 1183)),
        (bytes(32), b"\xff\xff" + bytes(1182), b"", b"", SecureError, INVALID_KEY),
        (None, b"\xff\xff" + bytes(1182), b"", b"", SecureError, INVALID_KEY),
        (None, None, "text", b"", TypeError, STR_REFUSED),
        (None, None, b"", None, TypeError, None),
    ],
)
def test_seal_refusals_in_order(kp, x_pub, m_pub, plaintext, aad, error, message) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(error) as info:
        seal_hybrid(x_pub or kp.x25519_public, m_pub or kp.mlkem768_public, plaintext, aad)
    if message:
        assert str(info.value) == message


def _flip(b: bytes, i: int) -> bytes:
    return b[:i] + bytes([b[i] ^ 1]) + b[i + 1 :]


# (changes to (encapsulation, nonce, ciphertext, aad), wipe the identity first, message)
OPEN_REFUSALS = [
    ({0: lambda e: e[:1119]}, True, bad_length("encapsulation", 1120, 1119)),
    ({1: lambda n: n[:11]}, True, WIPED),
    ({1: lambda n: n[:11], 0: lambda e: bytes(32) + e[32:]}, False, OPEN_FAILED),
    ({1: lambda n: n[:11]}, False, bad_length("aes-gcm nonce", 12, 11)),
    *[({0: lambda e, i=i: _flip(e, i)}, False, OPEN_FAILED) for i in (5, 32, 1119)],
    ({1: lambda n: _flip(n, 0)}, False, OPEN_FAILED),
    ({2: lambda c: _flip(c, 3)}, False, OPEN_FAILED),
    ({2: lambda c: c[:15]}, False, OPEN_FAILED),
    ({3: lambda a: _flip(a, 0)}, False, OPEN_FAILED),
]


@pytest.mark.parametrize(("changes", "wipe", "message"), OPEN_REFUSALS)
@pytest.mark.parametrize("method", ["open", "open_secret", "open_session"])
def test_open_refusals_in_order(changes, wipe, message, method, no_leak) -> None:  # type: ignore[no-untyped-def]
    kp = HybridKeyPair.generate()
    args = [*seal_to(kp, b"payload", b"associated"), b"associated"]
    for i, change in changes.items():
        args[i] = change(args[i])
    if wipe:
        kp.wipe()
    with pytest.raises(SecureError) as info:
        getattr(kp, method)(*args)
    assert str(info.value) == message
    if not wipe:  # the identity is unchanged and still opens
        assert kp.open(*seal_to(kp, b"ok", b"ad"), b"ad") == b"ok"
    with pytest.raises(TypeError) as type_info:
        getattr(kp, method)(*args[:3], "aad")
    assert str(type_info.value) == STR_REFUSED
    for bad in (args[:3], [*args[:3], None]):
        with pytest.raises(TypeError):
            getattr(kp, method)(*bad)
    del kp


def test_concurrent_opens_and_wipe_do_not_crash() -> None:
    kp = HybridKeyPair.generate()
    seal = seal_to(kp, b"shared", b"")
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
    with pytest.raises(SecureError, match=WIPED):
        kp.open(*seal, b"")


# --- a failing random source ------------------------------------------------------

SEAL = "s.seal_hybrid(kp.x25519_public, kp.mlkem768_public, b'x', b'')"


@pytest.mark.parametrize(
    ("fail_size", "call", "want"),
    [
        (32, "s.HybridKeyPair.generate()", "PanicException"),
        (32, SEAL, "PanicException"),
        (12, SEAL, f"SecureError {RNG_FAILED}"),
        (None, "pool.random(0)", "ok b''"),
        (None, "pool.random(1)", f"SecureError {RNG_FAILED}"),
        (None, "pool.random_secret(64)", f"SecureError {RNG_FAILED}"),
        (None, "s.SecretStreamPush(key)", f"SecureError {RNG_FAILED}"),
    ],
)
def test_failing_random_source(failing_rng: dict[str, str], fail_size: int | None, call: str, want: str) -> None:
    """Key material draws end as PanicException, nonce, header and pool
    draws as RngFailed; the interpreter survives and no region is left."""
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
