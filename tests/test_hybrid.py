"""HybridKeyPair: identities and a failing random source (sealed sessions: test_json_records.py;
threads: test_stress.py)."""
# Refusals, in the order the checks run: test_conversion.py; outside references: test_references.py.

from __future__ import annotations

import os

import pytest

from quorvex._secure import HybridKeyPair

from conftest import RNG_FAILED, restore, run_python

REPR = "HybridKeyPair(<x25519 + ml-kem-768, secrets redacted>)"


# --- identity -----------------------------------------------------------------


def test_generate_restore_and_wipe() -> None:
    kp = HybridKeyPair.generate()
    x, dk = bytes(kp.x25519_secret().reveal()), bytes(kp.mlkem768_secret().reveal())
    publics = (kp.x25519_public, kp.mlkem768_public)
    again = restore(x, dk)
    assert (again.x25519_public, again.mlkem768_public) == publics
    for raw in (os.urandom(1152) + dk[1152:], dk[:2368] + os.urandom(32)):  # dk_pke and z are not checked
        assert restore(x, raw).mlkem768_public == publics[1]
    zero = restore(bytes(32), dk)  # all-zero X25519 secret: the clamped scalar 2^254
    assert zero.x25519_public == restore(bytes(31) + b"\x40", dk).x25519_public
    assert zero.x25519_secret().reveal() == bytes(32)  # clamped on a copy, never in place
    assert (repr(again), again.is_wiped, again.wipe(), again.wipe()) == (REPR, False, None, None)
    assert (again.is_wiped, again.x25519_public, again.mlkem768_public, repr(again)) == (True, *publics, REPR)


# --- a failing random source ------------------------------------------------------

SEAL = "s.seal_hybrid(kp.x25519_public, kp.mlkem768_public, b'x', b'')"
PANIC = "PanicException operating system RNG failed while drawing key material"
FAILED = f"SecureError {RNG_FAILED}"


# (the size of the draw that fails, 0 for every draw; the call; what it prints)
@pytest.mark.parametrize(("fail_size", "call", "want"), [
    (32, "s.HybridKeyPair.generate()", PANIC),
    (32, SEAL, PANIC),
    (12, SEAL, FAILED),
    (0, "pool.random(0)", "ok b''"),
    (0, "pool.random(1)", FAILED),
    (0, "pool.random_secret(64)", FAILED),
    (0, "s.SecretStreamPush(key)", FAILED),
])  # fmt: skip
def test_failing_random_source(failing_rng: dict[str, str], fail_size: int, call: str, want: str) -> None:
    # Key material draws end as PanicException, nonce, header and pool draws
    # as RngFailed; the interpreter survives and no region is left.
    out = run_python(
        f"""
        import os
        from quorvex import _secure as s
        kp, pool, key = s.HybridKeyPair.generate(), s.EntropyPool(), s.SecretBox.from_bytes(bytes(32))
        before = s.memory_status()["live_secrets"]
        os.environ["QV_TEST_FAIL_SIZE"] = "{fail_size}"
        try:
            print("ok", repr({call}))
        except BaseException as e:
            print(type(e).__name__, e)
        print(s.memory_status()["live_secrets"] == before)
        """,
        env={**failing_rng, "QV_TEST_FAIL_SIZE": "-1"},  # no failure until the call
    )
    assert out.stdout == f"{want}\nTrue\n", out.stderr
