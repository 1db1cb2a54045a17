"""A getentropy(3) that always fails, preloaded into a child interpreter,
so that the operating-system RNG failure paths can be reached from Python."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

SHIM = "#include <stddef.h>\nint getentropy(void *buf, size_t n) { (void)buf; (void)n; return -1; }\n"


def failing_rng_env(tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the getentropy shim")
    out: Path = tmp_path_factory.mktemp("rng") / "failing_getentropy.so"
    src = out.with_suffix(".c")
    src.write_text(SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(out), str(src)], check=True)
    return {"LD_PRELOAD": str(out)}
