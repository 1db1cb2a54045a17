"""Shared fixtures and texts: the module's messages, live-region counting,
child processes with their own environment, lock limit and capabilities, and
a getentropy(3) that fails on demand."""

from __future__ import annotations

import base64
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
from openbao_server import bao, raft_bao, tls_bao  # noqa: F401  (real OpenBao servers for the openbao tests)

ROOT = Path(__file__).resolve().parent.parent
VECTORS = ROOT / "tests" / "vectors"

# The module's messages, byte for byte: English · Portuguese.
WIPED = "secret box was wiped · a caixa de segredo foi apagada"
EMPTY = "a secret cannot be empty · um segredo não pode ser vazio"
OPEN_FAILED = "ciphertext did not open · ciphertext não abriu"
INVALID_KEY = "key failed validation · chave falhou na validação"
RNG_FAILED = "operating system RNG failed · RNG do sistema operacional falhou"
NO_PAGE = "could not allocate a locked page · não foi possível alocar uma página travada"
FINISHED = "stream already finished · stream já terminou"
FORKED = (
    "secret box is empty in this fork() child; secrets never survive a fork · "
    "a caixa está vazia neste filho de fork(); segredos nunca sobrevivem a um fork"
)
STR_REFUSED = (
    "expected a bytes-like object, got str; encode it first · "
    "esperava um objeto tipo bytes, recebeu str; codifique antes"
)


def bad_length(what: str, expected: int, got: int) -> str:
    return f"{what}: expected {expected} bytes, got {got} · esperava {expected} bytes, recebeu {got}"


def b64(data: bytes | bytearray) -> str:
    """base64url without padding, the form records use."""
    return base64.urlsafe_b64encode(bytes(data)).decode().rstrip("=")


def malformed(what: str) -> str:
    return f"malformed {what} · {what} malformado"


def lock_required(errno: int) -> str:
    return (
        f"mlock failed (errno {errno}) and QUORVEX_MEMORY_LOCK=require; raise `ulimit -l` or grant CAP_IPC_LOCK · "
        f"mlock falhou (errno {errno}) com QUORVEX_MEMORY_LOCK=require; aumente `ulimit -l` ou conceda CAP_IPC_LOCK"
    )


def live() -> int:
    # Unreachable objects from earlier tests would otherwise be collected
    # (and their regions released) in the middle of a count.
    gc.collect()
    return int(_secure.memory_status()["live_secrets"])


def pytest_collection_finish(session: pytest.Session) -> None:
    """The test parameters (thousands of vectors) are made once, at
    collection; frozen, they are not walked again by every gc.collect()."""
    gc.collect()
    gc.freeze()


@pytest.fixture
def no_leak() -> Iterator[None]:
    """Fails the test if it leaves a region mapped."""
    before = live()
    yield
    assert live() == before


@pytest.fixture
def release_cycles() -> Iterator[None]:
    """pytest.raises keeps frames (and the objects in them) in reference
    cycles; collect them so that no region outlives its test."""
    yield
    gc.collect()


# Fails every request while QV_TEST_FAIL_SIZE is unset, else only requests
# of that many bytes; other requests are served by getrandom(2).
FAILING_GETENTROPY = r"""
#include <stdlib.h>
#include <sys/random.h>
int getentropy(void *buf, size_t n) {
    const char *fail = getenv("QV_TEST_FAIL_SIZE");
    if (!fail || (size_t)atol(fail) == n) return -1;
    return getrandom(buf, n, 0) == (ssize_t)n ? 0 : -1;
}
"""


@pytest.fixture(scope="session")
def failing_rng(tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    """The environment that preloads the failing getentropy into a child."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the getentropy shim")
    lib = tmp_path_factory.mktemp("rng") / "failing_getentropy.so"
    src = lib.with_suffix(".c")
    src.write_text(FAILING_GETENTROPY)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(lib), str(src)], check=True)
    return {"LD_PRELOAD": str(lib)}


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
