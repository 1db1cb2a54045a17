"""A box's life and its basic operations beside their floors."""

from __future__ import annotations

import ctypes
import os
import subprocess
import tempfile
from functools import lru_cache
from pathlib import Path

from bench.harness import Case
from quorvex import _secure


@lru_cache(maxsize=1)
def _floor() -> ctypes.CDLL:
    """bench/floor.c, compiled once into a temporary folder."""
    out = Path(tempfile.mkdtemp(prefix="quorvex-bench-")) / "floor.so"
    src = Path(__file__).with_name("floor.c")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", str(out), str(src)], check=True)
    lib = ctypes.CDLL(str(out))
    lib.region_life.argtypes = [ctypes.c_size_t]
    return lib


def cases(quick: bool) -> list[Case]:
    floor = _floor()
    box = _secure.SecretBox.random(32)
    twin = box.clone()
    data = os.urandom(32)
    return [
        Case("SecretBox.random + release", 32, lambda: _secure.SecretBox.random(32), lambda: floor.region_life(32),
             "system-call floor"),  # fmt: skip
        Case("SecretBox.from_bytes + release", 32, lambda: _secure.SecretBox.from_bytes(data),
             lambda: floor.region_life(32), "system-call floor"),  # fmt: skip
        Case("SecretBox.reveal", 32, box.reveal, lambda: bytearray(data), "bytearray(bytes)"),
        Case("SecretBox ==", 32, lambda: box == twin, lambda: data == bytes(data), "bytes =="),
    ]
