"""Every operation, under an mlock limit of zero and of one page without CAP_IPC_LOCK, in both lock policies:
it succeeds with unlocked regions counted (none, if it maps none), or fails with the errno and leaves nothing mapped."""

from __future__ import annotations

import json
import sys

import pytest

from conftest import OPERATIONS, lock_required, run_python

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads Linux /proc")

EPERM, ENOMEM = 1, 12
HARD_LIMIT = 65536  # room for the objects the child makes before the limit drops

CHILD = OPERATIONS + r"""
import gc, json, resource

def state():
    with open("/proc/self/status") as status:
        locked = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmLck:"))
    with open("/proc/self/maps") as maps:
        # Anonymous inaccessible mappings: only regions' guard pages in this
        # thread-less child. Counted in bytes, so that merged neighbours count too.
        spans = [span.split("-") for span, perms, *rest in map(str.split, maps) if perms == "---p" and len(rest) == 3]
    guards = sum(int(hi, 16) - int(lo, 16) for lo, hi in spans)
    s = q.memory_status()
    return s["live_secrets"], s["unlocked_allocations"], s["last_lock_errno"], locked // PAGE, guards // PAGE

rows = []
for name, (pages, make) in OPERATIONS.items():
    gc.collect()
    before = state()
    resource.setrlimit(resource.RLIMIT_MEMLOCK, ((before[3] + ROOM) * PAGE if ROOM else 0, HARD))
    try:
        held, outcome = make(), "ok"
    except q.SecureError as exc:
        held, outcome = None, str(exc)
    during = state()
    resource.setrlimit(resource.RLIMIT_MEMLOCK, (HARD, HARD))
    del held
    gc.collect()
    made, unlocked, _, locked, guards = (d - b for d, b in zip(during, before))
    released = state()[0::3] == before[0::3]
    rows.append([name, pages, before[2], outcome, made, unlocked, locked, guards, during[2], released])
print(json.dumps(rows))
"""


# By the kernel's rule (with a zero limit every mlock fails with EPERM; with one page of
# room a region locks if it still fits, else ENOMEM): the outcome, the regions made,
# unlocked, their locked and guard pages, the last errno recorded (a refusal leaves
# it alone), and whether everything was released.
def expected(pages: list[int], room: int, failure: int, require: bool, errno: int) -> list[object]:
    locked = unlocked = 0
    for p in pages:
        if p <= room:
            room, locked = room - p, locked + p
        elif require:
            return [lock_required(failure), 0, 0, 0, 0, errno, True]
        else:
            unlocked, errno = unlocked + 1, failure
    return ["ok", len(pages), unlocked, locked, 2 * len(pages), errno, True]


@pytest.mark.parametrize(("room", "failure"), [(0, EPERM), (1, ENOMEM)], ids=["zero", "page"])
@pytest.mark.parametrize("require", [False, True], ids=["best-effort", "require"])
def test_every_region_constructor_under_a_tight_mlock_limit(room: int, failure: int, require: bool) -> None:
    env = {"QUORVEX_MEMORY_LOCK": "require"} if require else {}
    result = run_python(f"ROOM, HARD = {room}, {HARD_LIMIT}\n" + CHILD, env=env, memlock=HARD_LIMIT, drop_ipc_lock=True)
    assert result.returncode == 0, result.stderr
    failures = [f"{name}: got {got}, want {want}" for name, pages, errno, *got in json.loads(result.stdout)
                if got != (want := expected(pages, room, failure, require, errno))]
    assert not failures, "\n".join(failures)
