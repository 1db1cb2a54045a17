"""Shared fixtures: the module, live-region counting, and child processes
with their own environment, lock limit and capabilities."""

from __future__ import annotations

import gc
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Iterator

import pytest

from quorvex import _secure

ROOT = Path(__file__).resolve().parent.parent
VECTORS = ROOT.parent / "shared" / "vectors"


def live() -> int:
    # Unreachable objects from earlier tests would otherwise be collected
    # (and their regions released) in the middle of a count.
    gc.collect()
    return int(_secure.memory_status()["live_secrets"])


@pytest.fixture
def no_leak() -> Iterator[None]:
    """Fails the test if it leaves a region mapped."""
    before = live()
    yield
    assert live() == before


def run_python(
    code: str,
    *,
    env: dict[str, str] | None = None,
    memlock: int | None = None,
    drop_ipc_lock: bool = False,
) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter. `memlock` sets RLIMIT_MEMLOCK
    (soft and hard); `drop_ipc_lock` removes CAP_IPC_LOCK so that the limit
    binds even for root."""
    cmd = [sys.executable, "-c", textwrap.dedent(code)]
    if drop_ipc_lock:
        if shutil.which("setpriv") is None:
            pytest.skip("setpriv is not installed")
        cmd = ["setpriv", "--bounding-set=-ipc_lock", *cmd]
    if memlock is not None:
        cmd = ["prlimit", f"--memlock={memlock}:{memlock}", *cmd]
    full_env = {k: v for k, v in os.environ.items() if k != "QUORVEX_MEMORY_LOCK"}
    full_env.update(env or {})
    return subprocess.run(cmd, env=full_env, capture_output=True, text=True, timeout=120)
