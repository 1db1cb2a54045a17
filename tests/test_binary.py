"""The built extension as the loader sees it (every symbol bound at load time, read-only relocations,
a stack that is not executable, no library it should not need, one exported symbol), and the
libcrypto it reports, working beside the system's in one process."""

from __future__ import annotations

import re
import shutil
import subprocess
import sys

import pytest

from conftest import run_python
from quorvex import _secure

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF platforms only"),
    pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf is not installed"),
]
INFO = _secure._libcrypto  # type: ignore[attr-defined]
BUNDLED = INFO["origin"] == "bundled"


def readelf(option: str) -> str:
    return subprocess.check_output(["readelf", option, "-W", _secure.__file__], text=True)


def test_module_is_bound_now_with_relro_no_executable_stack_and_links_only_what_it_should() -> None:
    dynamic, segments = readelf("-d"), readelf("-l")
    assert re.search(r"\(BIND_NOW\)|\(FLAGS\) .*\bBIND_NOW\b|\(FLAGS_1\) .*\bNOW\b", dynamic), "no BIND_NOW (-z now)"
    assert re.search(r"^ *GNU_RELRO ", segments, re.M), "no GNU_RELRO (-z relro)"
    stack = re.search(r"^ *GNU_STACK(?: +0x[0-9a-f]+){5} +(\w+)", segments, re.M)
    assert stack and "E" not in stack[1], "an executable GNU_STACK"
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    assert not [n for n in needed if n.startswith(("libboost", "libpython"))], needed
    if not BUNDLED:
        assert INFO["debian_source"] is None and re.fullmatch(r"OpenSSL 3\.\d+\.\d+.*", INFO["version"]), INFO
        assert any(n.startswith("libcrypto.so") for n in needed), needed
        return
    assert re.fullmatch(r"OpenSSL 3\.5\.\d+ .*", INFO["version"]), INFO
    assert INFO["debian_source"].startswith(INFO["version"].split()[1] + "-"), INFO
    assert not [n for n in needed if n.startswith(("libcrypto", "libssl", "libstdc++", "libgcc_s"))], needed
    symbols = [line.split() for line in readelf("--dyn-syms").splitlines()]
    defined = {f[7].split("@")[0] for f in symbols if len(f) >= 8 and f[6] != "UND" and f[4] in ("GLOBAL", "WEAK")}
    assert defined == {"PyInit__secure"}


# Python's ssl and hashlib use the system libcrypto, loaded here first: the
# enclave's must not bind to it. (The other way round, the enclave exports
# nothing for them to bind to, as the test above shows.)
BESIDE_SYSTEM = """
import _hashlib, _ssl, hashlib, hmac, os, ssl
from quorvex import _secure
ssl.create_default_context().load_default_certs()
raw, msg = os.urandom(32), os.urandom(1000)
assert _secure.SecretBox.from_bytes(raw).hmac_sha512(msg) == hmac.new(raw, msg, hashlib.sha512).digest()
kp = _secure.HybridKeyPair.generate()
assert kp.open(*_secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, msg, b"aad"), b"aad") == msg
"""


def test_beside_system_libcrypto() -> None:
    result = run_python(BESIDE_SYSTEM)
    assert result.returncode == 0, result.stderr
