"""The libcrypto the enclave runs on: the one it reports, the symbols the
module exports, and a process that also loads the system libcrypto through
Python's ssl and hashlib."""

from __future__ import annotations

import re
import shutil
import subprocess
import sys

import pytest

from conftest import run_python
from quorvex import _secure

INFO = _secure._libcrypto  # type: ignore[attr-defined]
BUNDLED = INFO["origin"] == "bundled"


def test_reported_libcrypto() -> None:
    assert list(INFO) == ["version", "origin", "debian_source"]
    if BUNDLED:
        assert re.fullmatch(r"OpenSSL 3\.5\.\d+ .*", INFO["version"]), INFO
        assert re.fullmatch(r"3\.5\.\d+-\S+", INFO["debian_source"]), INFO
        assert INFO["version"].split()[1] == INFO["debian_source"].split("-")[0]
        shown = f"{INFO['version']}, bundled (Debian source {INFO['debian_source']})"
    else:
        assert INFO["origin"] == "system" and INFO["debian_source"] is None
        assert re.fullmatch(r"OpenSSL 3\.\d+\.\d+.*", INFO["version"]), INFO
        shown = f"{INFO['version']}, system"
    table = subprocess.run([sys.executable, "-m", "quorvex", "status"], capture_output=True, text=True, check=True)
    assert re.search(rf"^libcrypto +{re.escape(shown)}$", table.stdout, re.M), table.stdout


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf is not installed")
def test_module_links_only_what_it_should() -> None:
    path = _secure.__file__
    dynamic = subprocess.run(["readelf", "-d", "-W", path], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    assert not [n for n in needed if n.startswith(("libboost", "libpython"))], needed
    if not BUNDLED:
        assert any(n.startswith("libcrypto.so") for n in needed), needed
        return
    assert not [n for n in needed if n.startswith(("libcrypto", "libssl", "libstdc++", "libgcc_s"))], needed
    symbols = subprocess.run(["readelf", "--dyn-syms", "-W", path], capture_output=True, text=True, check=True).stdout
    defined = {f[7].split("@")[0] for f in (line.split() for line in symbols.splitlines())
               if len(f) >= 8 and f[6] != "UND" and f[4] in ("GLOBAL", "WEAK")}  # fmt: skip
    assert defined == {"PyInit__secure"}


# Python's ssl and hashlib use the system libcrypto; the enclave's must not
# bind to it (nor it to the enclave's), whichever is loaded first.
CHECK = """
import hashlib, hmac, os, ssl
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
{first}
{second}
ctx = ssl.create_default_context()
ctx.load_default_certs()
raw = os.urandom(32)
key = _secure.SecretBox.from_bytes(raw)
nonce, msg, aad = os.urandom(12), os.urandom(1000), b"aad"
sealed = key.aes_gcm_seal(nonce, msg, aad)
assert AESGCM(raw).decrypt(nonce, sealed, aad) == msg
assert key.hmac_sha512(msg) == hmac.new(raw, msg, hashlib.sha512).digest()
assert hashlib.sha3_256(msg).digest() == hashlib.new("sha3_256", msg).digest()
kp = _secure.HybridKeyPair.generate()
enc, n, ct = _secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, msg, aad)
assert kp.open(enc, n, ct, aad) == msg
print(ssl.OPENSSL_VERSION, "|", _secure._libcrypto["version"])
"""


@pytest.mark.parametrize("enclave_first", [True, False])
def test_beside_system_libcrypto(enclave_first: bool) -> None:
    ours, theirs = "from quorvex import _secure", "import _ssl, _hashlib"
    code = CHECK.format(first=ours if enclave_first else theirs, second=theirs if enclave_first else ours)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    system, enclave = result.stdout.strip().split(" | ")
    assert enclave == INFO["version"]
    if BUNDLED:
        assert system.startswith("OpenSSL 3.")
