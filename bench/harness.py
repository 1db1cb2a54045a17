"""Side-by-side timing: each case pairs our operation with a peer doing the
same work on the same inputs; both run interleaved in this process and the
report is the ratio of medians (ours / peer, lower is faster)."""

from __future__ import annotations

import statistics
import time
from dataclasses import dataclass
from typing import Callable


@dataclass
class Case:
    operation: str
    size: int | None
    ours: Callable[[], object]
    peer: Callable[[], object]
    peer_name: str


@dataclass
class Row:
    operation: str
    size: int | None
    peer_name: str
    ours_ns: float
    peer_ns: float
    ours_spread: float
    peer_spread: float

    @property
    def ratio(self) -> float:
        return self.ours_ns / self.peer_ns if self.peer_ns else float("inf")


def _calls_for(fn: Callable[[], object], budget: float) -> int:
    n = 1
    while True:
        start = time.perf_counter()
        for _ in range(n):
            fn()
        if time.perf_counter() - start >= budget or n >= 1 << 22:
            return n
        n *= 2


def _per_call(fn: Callable[[], object], n: int) -> float:
    start = time.perf_counter_ns()
    for _ in range(n):
        fn()
    return (time.perf_counter_ns() - start) / n


def measure(case: Case, repeats: int, budget: float) -> Row:
    n_ours = _calls_for(case.ours, budget)
    n_peer = _calls_for(case.peer, budget)
    ours: list[float] = []
    peer: list[float] = []
    for _ in range(repeats):  # interleaved, so drift hits both sides alike
        ours.append(_per_call(case.ours, n_ours))
        peer.append(_per_call(case.peer, n_peer))

    def spread(xs: list[float]) -> float:
        return (max(xs) - min(xs)) / statistics.median(xs) if len(xs) > 1 else 0.0

    return Row(case.operation, case.size, case.peer_name, statistics.median(ours), statistics.median(peer),
               spread(ours), spread(peer))  # fmt: skip


def human_ns(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.2f} {unit}"
    return f"{ns:.0f} ns"


def human_size(size: int | None) -> str:
    if size is None:
        return "-"
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= scale and size % scale == 0:
            return f"{size // scale} {unit}"
    return f"{size} B"
