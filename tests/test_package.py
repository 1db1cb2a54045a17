"""The package as a user meets it: its public names and their types under
mypy --strict, the enclave loaded on first use, one version everywhere and
an sdist that builds and tests."""

from __future__ import annotations

import importlib.metadata
import subprocess
import sys
import tarfile
import textwrap
import tomllib
from pathlib import Path

import pytest

import quorvex
from quorvex import _secure

from conftest import ROOT


# Every line is checked: assert_type fails on a name mypy sees as Any, and
# under --strict an ignore that no error needs is an error itself, so each
# marked misuse must be caught. The program also runs, and finds that
# importing the package (or its errors) does not load the enclave.
USER_PROGRAM = """
    import os
    import sys
    from typing import Any, assert_type

    import quorvex
    import quorvex.errors

    assert "quorvex._secure" not in sys.modules
    from quorvex import (
        MLKEM768_CIPHERTEXT_BYTES, MLKEM768_PUBLIC_BYTES, MLKEM768_SECRET_BYTES, SECRETSTREAM_ABYTES, CryptoError,
        SECRETSTREAM_HEADER_BYTES, X25519_PUBLIC_BYTES, X25519_SECRET_BYTES, EntropyPool, HybridKeyPair,
        PanicException, SecretBox, SecretStreamPull, SecretStreamPush, SecureError, harden_process, memory_status,
        seal_hybrid,
    )

    assert_type(quorvex.__version__, str)
    assert_type(memory_status(), dict[str, Any])
    key, nonce = SecretBox.random(32), os.urandom(12)
    assert_type(key.aes_gcm_open(nonce, key.aes_gcm_seal(nonce, b"payload", b"header"), b"header"), bytes)
    assert_type(key.hkdf_sha256(info=b"context", length=32), SecretBox)
    assert_type(key.reveal(), bytearray)
    push = SecretStreamPush(key)
    assert_type(SecretStreamPull(key, push.header).pull(push.push(b"last", final=True)), tuple[bytes, bool])
    kp = HybridKeyPair.generate()
    assert_type(kp.open_secret(*seal_hybrid(kp.x25519_public, kp.mlkem768_public, b"m", b""), b""), SecretBox)
    assert_type(EntropyPool().random_secret(16), SecretBox)
    assert issubclass(SecureError, CryptoError) and not issubclass(PanicException, Exception)

    def misuses() -> None:  # never called: mypy alone must refuse each line
        key.aes_gcm_seal("a str is not bytes", b"x")  # type: ignore[arg-type]
        key.hkdf_sha256(b"info")  # type: ignore[call-arg]
        quorvex.NoSuchName  # type: ignore[attr-defined]
    print("ran")
"""


def test_mypy_strict_accepts_a_user_program_and_catches_misuse(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    mypy = pytest.importorskip("mypy.api")
    program = tmp_path / "user_program.py"
    program.write_text(textwrap.dedent(USER_PROGRAM))
    monkeypatch.chdir(tmp_path)  # away from the project's own mypy settings
    out, err, status = mypy.run(["--strict", "--cache-dir", str(tmp_path / "cache"), str(program)])
    assert status == 0, out + err
    assert subprocess.check_output([sys.executable, str(program)], text=True, timeout=60) == "ran\n"


def test_one_version_everywhere() -> None:
    written = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert _secure.__version__ == quorvex.__version__ == importlib.metadata.version("quorvex") == written
    cli = Path(sys.executable).parent / "quorvex"
    assert subprocess.check_output([cli, "--version"], text=True) == f"quorvex {written}\n"


def test_sdist_holds_what_a_build_and_the_tests_need(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    build_sdist = pytest.importorskip("scikit_build_core.build").build_sdist
    monkeypatch.chdir(ROOT)
    with tarfile.open(tmp_path / build_sdist(str(tmp_path))) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    assert {"CMakeLists.txt", "LICENSE", "scripts/deps.sh", "fuzz/run.sh", "native/binding/module.cpp",
            "src/quorvex/py.typed", "tests/conftest.py", "tests/vectors/README.md"} <= names  # fmt: skip
    assert {n for n in names if n.endswith(".png") or n.startswith(("build/", ".venv/"))} == set()
