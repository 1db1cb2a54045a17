"""The kernel's own view of live regions (/proc/self/smaps and /proc/self/status):
each data area is locked, excluded from core dumps and wiped on fork, sits
between two inaccessible guard mappings, and VmLck follows the regions."""

from __future__ import annotations

import gc
import re
import sys
from typing import Any, Callable

import pytest

from quorvex import _secure
from quorvex._secure import EntropyPool, HybridKeyPair, SecretBox, SecretStreamPush

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads Linux /proc")

PAGE = int(_secure.memory_status()["page_size"])


def smaps() -> list[dict[str, Any]]:
    """Each mapping: start, end, perms, path, its "... kB" counts and its VmFlags."""
    vmas: list[dict[str, Any]] = []
    with open("/proc/self/smaps") as f:
        for line in f:
            head = re.match(r"([0-9a-f]+)-([0-9a-f]+) (\S+) \S+ \S+ \S+\s*(.*)", line)
            if head:
                vmas.append({"start": int(head[1], 16), "end": int(head[2], 16), "perms": head[3], "path": head[4]})
            elif line.startswith("VmFlags:"):
                vmas[-1]["flags"] = set(line.split()[1:])
            elif line.rstrip().endswith(" kB"):
                key, value = line.split(":")
                vmas[-1][key] = int(value.split()[0])
    return vmas


def vm_lck_kb() -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmLck:"))


def guarded_data_areas() -> dict[tuple[int, int], tuple[dict[str, Any], ...]]:
    """Anonymous rw-p mappings with a ---p mapping touching each end, found
    without looking at the flags under test."""
    vmas = smaps()
    return {
        (vma["start"], vma["end"]): (before, vma, after)
        for before, vma, after in zip(vmas, vmas[1:], vmas[2:])
        if vma["perms"] == "rw-p" and not vma["path"] and before["perms"] == after["perms"] == "---p"
        and before["end"] == vma["start"] and vma["end"] == after["start"]
    }


# Each maker gives the objects to hold and the data pages of every region they own.
MAKERS: list[tuple[str, Callable[[], object], list[int]]] = [
    ("boxes", lambda: [SecretBox.random(1), SecretBox.random(4088), SecretBox.from_bytes(bytes(4089))], [1, 1, 2]),
    ("large box", lambda: SecretBox.random(3 * PAGE), [4]),
    ("key pair", HybridKeyPair.generate, [1, 1]),  # X25519 secret, expanded ML-KEM-768 secret
    ("stream", lambda: SecretStreamPush(SecretBox.random(32)), [1]),  # the state; the key box is gone
    ("pool", EntropyPool, [1]),
]


@pytest.mark.parametrize(("maker", "pages"), [m[1:] for m in MAKERS], ids=[m[0] for m in MAKERS])
def test_live_regions_are_locked_undumpable_wiped_on_fork_and_guarded(maker: Callable[[], object], pages: list[int]) -> None:
    gc.collect()
    before_areas, before_lck = guarded_data_areas(), vm_lck_kb()
    held = maker()
    boxes = held if isinstance(held, list) else [held]
    if any(isinstance(b, SecretBox) and not b.is_locked for b in boxes):
        pytest.skip("the mlock limit of this environment is exhausted")
    new = {k: v for k, v in guarded_data_areas().items() if k not in before_areas}
    assert sorted((end - start) // PAGE for start, end in new) == sorted(pages)
    for lead, data, trail in new.values():
        assert data["Locked"] == data["Size"] == (data["end"] - data["start"]) // 1024
        assert {"lo", "dd", "wf"} <= data["flags"]
        for guard in (lead, trail):
            assert guard["Rss"] == guard["Locked"] == 0
            assert not guard["flags"] & {"rd", "wr", "ex", "lo"}
    grown = vm_lck_kb() - before_lck
    assert grown == sum(pages) * PAGE // 1024
    for box in boxes:
        if isinstance(box, SecretBox):
            box.wipe()  # zeroed, but the pages stay mapped and locked until release
    assert vm_lck_kb() - before_lck == grown
    del held, boxes, box
    gc.collect()
    assert vm_lck_kb() == before_lck
    assert not set(guarded_data_areas()) - set(before_areas)
