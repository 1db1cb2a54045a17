"""Locked memory as the kernel shows it (each live region's mappings in /proc/self/smaps, and VmLck)
and as the module reports it (lock policy, counters, limits, `quorvex status`, hardening), the
latter in fresh child processes, where the process-wide values start unset."""

from __future__ import annotations

import ast
import errno
import gc
import re
import sys
import textwrap
from typing import Any, Callable

import pytest

from conftest import lock_required, run_python
from quorvex import _secure
from quorvex._secure import EntropyPool, HybridKeyPair, SecretBox, SecretStreamPush

LINUX = sys.platform.startswith("linux")
PAGE = int(_secure.memory_status()["page_size"])


def vm_lck_kb() -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmLck:"))


# One mapping in /proc/<pid>/smaps: start, end, perms, path, its "kB" lines and its VmFlags.
SMAPS_ENTRY = re.compile(r"^([0-9a-f]+)-([0-9a-f]+) (\S+) \S+ \S+ \S+ *(\S*)\n(.*?)^VmFlags:(.*?)$", re.M | re.S)


def guarded_data_areas() -> dict[tuple[int, int], list[dict[str, Any]]]:
    """Anonymous rw-p mappings with a ---p mapping touching each end, found without
    looking at the flags under test: [guard, data, guard] by the data's range."""
    with open("/proc/self/smaps") as f:
        vmas = [
            {"range": (int(start, 16), int(end, 16)), "perms": perms, "path": path, "flags": set(flags.split()),
             **{key: int(kb) for key, kb in re.findall(r"^(\w+): +(\d+) kB", counts, re.M)}}
            for start, end, perms, path, counts, flags in SMAPS_ENTRY.findall(f.read())
        ]  # fmt: skip
    return {
        data["range"]: [lead, data, trail]
        for lead, data, trail in zip(vmas, vmas[1:], vmas[2:])
        if data["perms"] == "rw-p" and not data["path"] and lead["perms"] == trail["perms"] == "---p"
        and lead["range"][1] == data["range"][0] and data["range"][1] == trail["range"][0]
    }


# Each maker gives the objects to hold and the data pages of every region they own.
MAKERS: dict[str, tuple[Callable[[], list[object]], list[int]]] = {
    "boxes": (lambda: [SecretBox.random(1), SecretBox.random(4088), SecretBox.from_bytes(bytes(4089))], [1, 1, 2]),
    "large box": (lambda: [SecretBox.random(3 * PAGE)], [4]),
    "key pair": (lambda: [HybridKeyPair.generate()], [1, 1]),  # X25519 secret, expanded ML-KEM-768 secret
    "stream": (lambda: [SecretStreamPush(SecretBox.random(32))], [1]),  # the state; the key box is gone
    "pool": (lambda: [EntropyPool()], [1]),
}


@pytest.mark.skipif(not LINUX, reason="reads Linux /proc")
@pytest.mark.parametrize(("maker", "pages"), list(MAKERS.values()), ids=list(MAKERS))
def test_live_regions_are_locked_undumpable_wiped_on_fork_and_guarded(
    maker: Callable[[], list[object]], pages: list[int]
) -> None:
    gc.collect()
    before_areas, before_lck = guarded_data_areas(), vm_lck_kb()
    held = maker()
    if any(isinstance(b, SecretBox) and not b.is_locked for b in held):
        pytest.skip("the mlock limit of this environment is exhausted")
    new = {k: v for k, v in guarded_data_areas().items() if k not in before_areas}
    assert sorted((end - start) // PAGE for start, end in new) == sorted(pages)
    for (start, end), (lead, data, trail) in new.items():
        assert data["Locked"] == data["Size"] == (end - start) // 1024
        assert {"lo", "dd", "wf"} <= data["flags"]
        for guard in (lead, trail):  # no page, neither accessible nor locked
            assert (guard["Rss"], guard["Locked"], guard["flags"] & {"rd", "wr", "ex", "lo"}) == (0, 0, set())
    assert vm_lck_kb() - before_lck == sum(pages) * PAGE // 1024
    del held
    gc.collect()
    assert vm_lck_kb() == before_lck
    assert not set(guarded_data_areas()) - set(before_areas)


def child(code: str, **kwargs: Any) -> list[Any]:
    """What a fresh interpreter prints (one Python literal a line) after `code`, then its memory_status()."""
    code = f"from quorvex import _secure\n{textwrap.dedent(code)}\nprint(repr(_secure.memory_status()))"
    result = run_python(code, **kwargs)
    assert result.returncode == 0, result.stderr
    return [ast.literal_eval(line) for line in result.stdout.splitlines()]


# Each way to make a box, under a zero lock limit and a trimmed, case-folded require: the refusals.
ZERO_LIMIT = """
    source = bytearray(b"must not linger")
    refusals = []
    for make in (lambda: _secure.SecretBox.random(16), lambda: _secure.SecretBox.from_bytes(source)):
        try:
            make()
        except _secure.SecureError as exc:
            refusals.append(str(exc))
    assert source == bytearray(len(source))
    print(refusals)
"""


def test_zero_lock_limit_under_require_maps_nothing() -> None:
    env = {"QUORVEX_MEMORY_LOCK": "\u3000REQUIRE\u00a0"}
    refusals, status = child(ZERO_LIMIT, env=env, memlock=0, drop_ipc_lock=True)
    assert refusals == [lock_required(errno.EPERM)] * 2
    keys = ("live_secrets", "unlocked_allocations", "last_lock_errno", "ipc_lock_permitted", "ipc_lock_effective")
    assert [status[k] for k in keys] == [0, 0, 0, False, False]  # CAP_IPC_LOCK dropped by setpriv (Linux)
    assert (status["lock_policy"], status["memlock_soft"], status["memlock_hard"]) == ("require", 0, 0)


# In a process whose lock policy is fixed at first need ("required" is not "require", and the
# variable set later does not count), under a 64 KiB soft lock limit: `quorvex status` with 0, 5
# and 300 boxes, then harden_process() twice.
STATUS = """
import contextlib, io, json, os, resource
from quorvex.__main__ import main

def status(*flags):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert main(["status", *flags]) == 0
    return out.getvalue()

hard = resource.getrlimit(resource.RLIMIT_MEMLOCK)[1]
resource.setrlimit(resource.RLIMIT_MEMLOCK, (65536, hard))
_secure.memory_status()
os.environ["QUORVEX_MEMORY_LOCK"] = "require"
boxes, snapshots = [], []
for count in (0, 5, 295):
    boxes += [_secure.SecretBox.random(32) for _ in range(count)]
    snapshots.append(json.loads(status("--json")))
table = status()
hardened = [_secure.harden_process(), _secure.harden_process()]
print(repr([snapshots, table, hard, hardened, resource.getrlimit(resource.RLIMIT_CORE)]))
"""


@pytest.mark.skipif(not LINUX, reason="reads Linux /proc")
def test_cli_status_and_json() -> None:
    ((empty, five, many), table, hard, (first, second), core), _ = child(
        STATUS, env={"QUORVEX_MEMORY_LOCK": "required"}, drop_ipc_lock=True
    )
    keys = ("lock_policy", "live_secrets", "unlocked_allocations", "last_lock_errno", "guard_pages", "wipe_on_fork")
    assert [empty[k] for k in keys] == ["best-effort", 0, 0, 0, True, True]
    # One locked page per 32-byte box, until the limit; the rest live unlocked, counted, with mlock's errno.
    per_limit = 65536 // empty["page_size"]
    counts = [many[k] for k in ("live_secrets", "unlocked_allocations", "last_lock_errno")]
    assert counts == [300, 300 - per_limit, errno.ENOMEM]
    assert [s["regions_before_mlock_limit"] for s in (empty, five, many)] == [per_limit, per_limit - 5, 0]
    # Two or three new mappings per region: neighbouring guard pages may merge.
    dropped = empty["regions_before_max_map_count"] - many["regions_before_max_map_count"]
    assert 300 * 2 // 3 - 3 <= dropped <= 300 + 3
    row = {line.split()[0]: line.split(maxsplit=1)[1] for line in table.splitlines()[2:]}
    assert (row["live_secrets"], row["regions_before_mlock_limit"], row["lock_policy"]) == ("300", "0", "best-effort")
    info = _secure._libcrypto  # type: ignore[attr-defined]
    source = f" (Debian source {info['debian_source']})" if info["debian_source"] else ""
    assert row["libcrypto"] == many["libcrypto"] == f"{info['version']}, {info['origin']}{source}"
    # harden_process raises the soft lock limit to the hard one, once, and turns off core dumps and ptrace.
    assert first["memlock_soft_raised"] and not second["memlock_soft_raised"]
    assert first["memlock_soft"] == first["memlock_hard"] == (None if hard == -1 or hard >= 2**63 - 1 else hard)
    assert first["core_dumps_disabled"] and first["ptrace_restricted"] and core == (0, 0)
