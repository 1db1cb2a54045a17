"""Every constructor that maps a region, under an mlock limit of zero and of
one page, without CAP_IPC_LOCK, in both lock policies: it either succeeds
with the unlocked regions counted, or fails with the `LockRequired` errno and
leaves nothing mapped. One child per (limit, policy) runs them all."""

from __future__ import annotations

import json
import re
import sys

import pytest

from conftest import lock_required, run_python

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads Linux /proc")

EPERM, ENOMEM = 1, 12
ROOM = 65536  # hard limit of the child: room for the inputs, made before the limit drops

CHILD = r"""
import base64, gc, json, resource
from quorvex import _secure as q

LIMIT = %r
PAGE = q.memory_status()["page_size"]
HARD = resource.getrlimit(resource.RLIMIT_MEMLOCK)[1]

def vm_lck():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmLck:"))

def guard_bytes():
    # Anonymous inaccessible mappings: only regions' guard pages in this
    # thread-less child. Counted in bytes, so that merged neighbours count too.
    total = 0
    with open("/proc/self/maps") as f:
        for line in f:
            span, perms, *rest = line.split()
            if perms == "---p" and len(rest) == 3:
                lo, hi = (int(x, 16) for x in span.split("-"))
                total += hi - lo
    return total

def state():
    s = q.memory_status()
    return s["live_secrets"], s["unlocked_allocations"], s["last_lock_errno"], vm_lck(), guard_bytes()

b64 = lambda b: base64.urlsafe_b64encode(b).decode().rstrip("=")
nonce = bytes(12)
key = q.SecretBox.random(32)
wrapped = key.aes_gcm_seal_secret(nonce, q.SecretBox.random(32))
field = key.aes_gcm_seal(nonce, json.dumps({"seed": b64(bytes(range(32)))}).encode())
kp = q.HybridKeyPair.generate()
x_secret, m_secret = kp.x25519_secret(), kp.mlkem768_secret()
sealed = q.seal_hybrid(kp.x25519_public, kp.mlkem768_public, b"secret", b"")
record = json.dumps({"session_id": "s", "sign_key": b64(bytes(32)), "enc_key": b64(bytes(range(32))), "expires_at": 1})
session = q.seal_hybrid(kp.x25519_public, kp.mlkem768_public, record.encode(), b"")
header = q.SecretStreamPush(key).header
pool = q.EntropyPool()

CASES = [  # name, data pages of each region made, constructor
    ("SecretBox.random", [1], lambda: q.SecretBox.random(32)),
    ("SecretBox.random two pages", [2], lambda: q.SecretBox.random(PAGE)),
    ("SecretBox.from_bytes", [1], lambda: q.SecretBox.from_bytes(bytearray(32))),
    ("SecretBox.clone", [1], key.clone),
    ("SecretBox.hkdf_sha256", [1], lambda: key.hkdf_sha256(info=b"i")),
    ("SecretBox.aes_gcm_open_secret", [1], lambda: key.aes_gcm_open_secret(nonce, wrapped)),
    ("SecretBox.aes_gcm_open_json_field", [1], lambda: key.aes_gcm_open_json_field(nonce, field, None, "seed")),
    ("SecretStreamPush", [1], lambda: q.SecretStreamPush(key)),
    ("SecretStreamPull", [1], lambda: q.SecretStreamPull(key, header)),
    ("EntropyPool", [1], q.EntropyPool),
    ("EntropyPool.random_secret", [1], lambda: pool.random_secret(32)),
    ("HybridKeyPair.generate", [1, 1], q.HybridKeyPair.generate),
    ("HybridKeyPair.from_secrets", [1, 1], lambda: q.HybridKeyPair.from_secrets(x_secret, m_secret)),
    ("HybridKeyPair.x25519_secret", [1], kp.x25519_secret),
    ("HybridKeyPair.mlkem768_secret", [1], kp.mlkem768_secret),
    ("HybridKeyPair.open_secret", [1], lambda: kp.open_secret(*sealed, b"")),
    ("HybridKeyPair.open_session", [1, 1], lambda: kp.open_session(*session, b"")),
]

rows = []
for name, pages, make in CASES:
    gc.collect()
    before = state()
    resource.setrlimit(resource.RLIMIT_MEMLOCK, (0 if LIMIT == "zero" else before[3] + PAGE, HARD))
    try:
        held, outcome = make(), "ok"
    except q.SecureError as exc:
        held, outcome = None, str(exc)
    during = state()
    resource.setrlimit(resource.RLIMIT_MEMLOCK, (HARD, HARD))
    del held
    gc.collect()
    rows.append({
        "name": name, "pages": pages, "outcome": outcome,
        "made": during[0] - before[0], "unlocked": during[1] - before[1], "errno": during[2],
        "errno_before": before[2], "locked_pages": (during[3] - before[3]) // PAGE,
        "guard_pages": (during[4] - before[4]) // PAGE, "released": state()[0::3] == before[0::3],
    })
print(json.dumps(rows))
"""


def expected(pages: list[int], limit: str, require: bool) -> tuple[str, list[bool], int | None]:
    """What the kernel's rule gives: with a zero limit every mlock fails with
    EPERM; with one page of room a region locks if it still fits, else ENOMEM.
    Returns the outcome, which regions lock, and the errno of the last failure."""
    room, locks, errno = (0 if limit == "zero" else 1), [], None
    for p in pages:
        fits = limit == "page" and p <= room
        room -= p if fits else 0
        if not fits:
            errno = EPERM if limit == "zero" else ENOMEM
            if require:
                return lock_required(errno), [], errno
        locks.append(fits)
    return "ok", locks, errno


@pytest.mark.parametrize("limit", ["zero", "page"])
@pytest.mark.parametrize("require", [False, True], ids=["best-effort", "require"])
def test_every_region_constructor_under_a_tight_mlock_limit(limit: str, require: bool) -> None:
    env = {"QUORVEX_MEMORY_LOCK": "require"} if require else {}
    result = run_python(CHILD % limit, env=env, memlock=ROOM, drop_ipc_lock=True)
    assert result.returncode == 0, result.stderr
    report, failures = [], []
    for row in json.loads(result.stdout):
        outcome, locks, errno = expected(row["pages"], limit, require)
        made = len(locks) if outcome == "ok" else 0
        want = {
            "outcome": outcome, "made": made, "unlocked": locks.count(False),
            "locked_pages": sum(p for p, lk in zip(row["pages"], locks) if lk),
            "guard_pages": 2 * made, "released": True,
            # A tolerated failure records its errno; a refusal leaves the counter alone.
            "errno": errno if outcome == "ok" and errno is not None else row["errno_before"],
        }
        got = {k: row[k] for k in want}
        shown = "ok" if row["outcome"] == "ok" else "errno " + re.findall(r"errno (\d+)", row["outcome"])[0]
        report.append(f"{row['name']:<36} {shown:<9} made {row['made']} unlocked {row['unlocked']}")
        if got != want:
            failures.append(f"{row['name']}: got {got}, want {want}")
    assert not failures, "\n".join(failures + report)
