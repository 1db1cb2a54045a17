"""Every operation that maps a region, under an mlock limit of zero and of one
page without CAP_IPC_LOCK, in both lock policies: it succeeds with the unlocked
regions counted, or fails with the `LockRequired` errno and leaves nothing mapped."""

from __future__ import annotations

import json
import sys

import pytest

from conftest import OPERATIONS, lock_required, run_python

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads Linux /proc")

EPERM, ENOMEM = 1, 12
ROOM = 65536  # hard limit of the child: room for the objects made before the limit drops

CHILD = OPERATIONS + r"""
import gc, json, resource

HARD = resource.getrlimit(resource.RLIMIT_MEMLOCK)[1]

def guard_pages():
    # Anonymous inaccessible mappings: only regions' guard pages in this
    # thread-less child. Counted in bytes, so that merged neighbours count too.
    total = 0
    with open("/proc/self/maps") as maps:
        for span, perms, *rest in map(str.split, maps):
            if perms == "---p" and len(rest) == 3:
                lo, hi = span.split("-")
                total += int(hi, 16) - int(lo, 16)
    return total // PAGE

def state():
    with open("/proc/self/status") as status:
        locked = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmLck:"))
    s = q.memory_status()
    return s["live_secrets"], s["unlocked_allocations"], s["last_lock_errno"], locked // PAGE, guard_pages()

rows = []
for name, (pages, make) in OPERATIONS.items():
    if not pages:
        continue
    gc.collect()
    before = state()
    resource.setrlimit(resource.RLIMIT_MEMLOCK, (0 if LIMIT == "zero" else (before[3] + 1) * PAGE, HARD))
    try:
        held, outcome = make(), "ok"
    except q.SecureError as exc:
        held, outcome = None, str(exc)
    during = state()
    resource.setrlimit(resource.RLIMIT_MEMLOCK, (HARD, HARD))
    del held
    gc.collect()
    change = dict(zip(("made", "unlocked", "errno", "locked_pages", "guard_pages"), map(int.__sub__, during, before)))
    rows.append(change | {"name": name, "pages": pages, "outcome": outcome, "errno": during[2],
                          "errno_before": before[2], "released": state()[0::3] == before[0::3]})
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
    result = run_python(f"LIMIT = {limit!r}\n" + CHILD, env=env, memlock=ROOM, drop_ipc_lock=True)
    assert result.returncode == 0, result.stderr
    failures = []
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
        if got != want:
            failures.append(f"{row['name']}: got {got}, want {want}")
    assert not failures, "\n".join(failures)
