# The module's messages, live-region counting, child processes with their own
# environment and limits, a getentropy(3) that fails or replays on demand, and the
# table of every operation that the child-process tests run.

from __future__ import annotations

import base64
import gc
import os
import re
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
FORKED = ("secret box is empty in this fork() child; secrets never survive a fork · "
          "a caixa está vazia neste filho de fork(); segredos nunca sobrevivem a um fork")
STR_REFUSED = ("expected a bytes-like object, got str; encode it first · "
               "esperava um objeto tipo bytes, recebeu str; codifique antes")


def bad_length(what: str, expected: int, got: int) -> str:
    return f"{what}: expected {expected} bytes, got {got} · esperava {expected} bytes, recebeu {got}"


def b64(data: bytes | bytearray) -> str:  # base64url without padding, the form records use
    return base64.urlsafe_b64encode(bytes(data)).decode().rstrip("=")


def lock_required(errno: int) -> str:
    return (
        f"mlock failed (errno {errno}) and QUORVEX_MEMORY_LOCK=require; raise `ulimit -l` or grant CAP_IPC_LOCK · "
        f"mlock falhou (errno {errno}) com QUORVEX_MEMORY_LOCK=require; aumente `ulimit -l` ou conceda CAP_IPC_LOCK"
    )


def wiped() -> _secure.SecretBox:
    box = _secure.SecretBox.random(16)
    box.wipe()
    return box


def restore(x: bytes, dk: bytes) -> _secure.HybridKeyPair:  # a key pair from its two raw secrets
    return _secure.HybridKeyPair.from_secrets(_secure.SecretBox.from_bytes(x), _secure.SecretBox.from_bytes(dk))


def live() -> int:
    gc.collect()  # or unreachable objects of earlier tests would be released in the middle of a count
    return int(_secure.memory_status()["live_secrets"])


# The vectors, made once at collection, are frozen out of every gc.collect().
def pytest_collection_finish(session: pytest.Session) -> None:
    gc.collect()
    gc.freeze()


@pytest.fixture
def no_leak() -> Iterator[None]:  # fails the test if it leaves a region mapped
    before = live()
    yield
    assert live() == before


@pytest.fixture
def release_cycles() -> Iterator[None]:  # collects the frames pytest.raises keeps in cycles, and their regions
    yield
    gc.collect()


# With QV_SCRIPTED_ENTROPY (hex) set, serves its bytes to successive requests
# and fails once they are used up, so that an unexpected draw shows. Otherwise
# fails every request while QV_TEST_FAIL_SIZE is unset or 0, else only requests
# of that many bytes, and serves the others from getrandom(2).
GETENTROPY = r"""
#include <stdio.h>
#include <stdlib.h>
#include <sys/random.h>
static size_t used;
int getentropy(void *buf, size_t n) {
    const char *script = getenv("QV_SCRIPTED_ENTROPY"), *fail = getenv("QV_TEST_FAIL_SIZE");
    if (script) {
        for (size_t i = 0; i < n; i++, used++)
            if (sscanf(script + 2 * used, "%2hhx", (unsigned char *)buf + i) != 1) return -1;
        return 0;
    }
    if (!fail || atol(fail) == 0 || (size_t)atol(fail) == n) return -1;
    return getrandom(buf, n, 0) == (ssize_t)n ? 0 : -1;
}
"""


@pytest.fixture(scope="session")
def failing_rng(tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:  # preloads that getentropy
    compiler = shutil.which("cc") or shutil.which("gcc") or pytest.skip("no C compiler for the getentropy shim")
    src = tmp_path_factory.mktemp("rng") / "getentropy.c"
    src.write_text(GETENTROPY)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(src.with_suffix(".so")), str(src)], check=True)
    return {"LD_PRELOAD": str(src.with_suffix(".so"))}


def run_python(code: str, *, env: dict[str, str] | None = None, memlock: int | None = None,
               drop_ipc_lock: bool = False) -> subprocess.CompletedProcess[str]:
    # `memlock` sets RLIMIT_MEMLOCK (soft and hard); without CAP_IPC_LOCK it binds even for root.
    cmd = [sys.executable, "-c", textwrap.dedent(code)]
    if drop_ipc_lock:
        if shutil.which("setpriv") is None:
            pytest.skip("setpriv is not installed")
        cmd = ["setpriv", "--bounding-set=-ipc_lock", *cmd]
    if memlock is not None:
        cmd = ["prlimit", f"--memlock={memlock}:{memlock}", *cmd]
    full_env = {k: v for k, v in os.environ.items() if k != "QUORVEX_MEMORY_LOCK"}
    return subprocess.run(cmd, env=full_env | (env or {}), capture_output=True, text=True, timeout=120)


# Child code for the tests that run every public operation in a fresh
# interpreter (tight mlock limits, small stacks, memory pressure, a fork): the
# objects they work on, and OPERATIONS, name -> (data pages of each locked
# region the call makes, the call). A call returns what it makes, so that its
# regions live until the result is dropped; a row of two calls tests the first's
# refusal under a zero mlock limit, the second's under one page of room. The
# records hide text deep in ignored members, which a reader must skip without recursing.
OPERATIONS = r"""
import base64, os
from quorvex import _secure as q

def b64(raw):
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()

def escaped(text):  # the first character as a \u escape, which the reader resolves
    return "\\u%04x" % ord(text[0]) + text[1:]

def nest(depth, inner):
    return "[" * depth + inner + "]" * depth

def session(extra):
    return ('{"session_id":"s","x":%s,"sign_key":"%s","enc_key":"%s","expires_at":1}'
            % (extra, escaped(b64(sign)), b64(enc))).encode()

HIDDEN = "HIDDEN-member-text-0123456789"
sign, enc, seed = os.urandom(32), os.urandom(32), os.urandom(48)
PAGE = q.memory_status()["page_size"]
nonce = os.urandom(12)
key, pool, kp = q.SecretBox.random(32), q.EntropyPool(), q.HybridKeyPair.generate()
other = key.clone()
x_secret, m_secret = kp.x25519_secret(), kp.mlkem768_secret()
plain, shallow, deep = (q.seal_hybrid(kp.x25519_public, kp.mlkem768_public, text, b"")
                        for text in (b"text", session(nest(500, '"%s"' % escaped(HIDDEN))),
                                     session(nest(1_000_000, "1e2147483648"))))
deep_field = key.aes_gcm_seal(nonce, ('{"d":%s,"seed":"%s"}' % (nest(125, '"%s"' % escaped(HIDDEN)),
                                                               escaped(b64(seed)))).encode())
sealed = key.aes_gcm_seal(nonce, os.urandom(64))
push = q.SecretStreamPush(key)
pull = q.SecretStreamPull(key, push.header)
chunk = push.push(b"hello")

OPERATIONS = {
    "module": ([], lambda: (q.memory_status(), q.harden_process())),
    "box_random_two_pages": ([2], lambda: q.SecretBox.random(PAGE)),
    "box_from_bytes_clone": ([1, 1], lambda: (q.SecretBox.from_bytes(bytearray(64)), key.clone())),
    "box_reveal_eq_hmac": ([], lambda: (key.reveal(), key == other, key.hmac_sha512(b"m" * 4096))),
    "box_aes_gcm": ([], lambda: (key.aes_gcm_seal(nonce, b"p" * 4096), key.aes_gcm_seal_secret(nonce, other),
                                 key.aes_gcm_open(nonce, sealed))),
    "box_hkdf_open_secret": ([1, 1], lambda: (key.hkdf_sha256(info=b"i", length=64, salt=b"s"),
                                              key.aes_gcm_open_secret(nonce, sealed))),
    "box_open_json_field_deep": ([1], lambda: key.aes_gcm_open_json_field(nonce, deep_field, None, "seed")),
    "stream_new": ([1, 1], lambda: (q.SecretStreamPush(key), q.SecretStreamPull(key, push.header))),
    "stream_push_pull": ([], lambda: (push.push(b"p" * 4096, final=True), pull.pull(chunk))),
    "pool_mix_random": ([], lambda: (pool.mix(key), pool.mix(b"seed"), pool.random(300))),
    "pool_new_random_secret": ([1, 1], lambda: (q.EntropyPool(), pool.random_secret(64))),
    "keypair_generate": ([1, 1], q.HybridKeyPair.generate),
    "keypair_from_secrets": ([1, 1], lambda: q.HybridKeyPair.from_secrets(x_secret, m_secret)),
    "keypair_secrets": ([1, 1], lambda: (kp.x25519_secret(), kp.mlkem768_secret())),
    "keypair_open_secret": ([1], lambda: kp.open_secret(*plain, b"")),
    "keypair_open_session": ([1, 1], lambda: kp.open_session(*shallow, b"")),
    "keypair_open_session_deep": ([1, 1], lambda: kp.open_session(*deep, b"")),
    "seal_hybrid_open": ([], lambda: (q.seal_hybrid(kp.x25519_public, kp.mlkem768_public, b"p" * 4096, b"ad"),
                                      kp.open(*plain, b""))),
}
"""
OPERATION_NAMES = re.findall(r'^    "(\w+)": \(', OPERATIONS, re.M)
