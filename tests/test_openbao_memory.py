"""No copy of a stored secret is left in the process that stored and loaded it: a child stores and
reloads a box and an identity through OpenBao, then waits while this test reads its memory through
/proc/<pid>/mem (all but the enclave's own regions) for the secrets, raw or in base64 of either
alphabet. A box the child handled the obvious way (bytes, base64) must be found, in every form."""

from __future__ import annotations

import base64
import collections
import os
import re
import subprocess
import sys
import textwrap
import uuid
from typing import Iterator

import pytest

from openbao_server import Bao

np = pytest.importorskip("numpy")
pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads Linux /proc")

CHILD = """
    import base64, sys
    from quorvex import HybridKeyPair, SecretBox
    from quorvex.openbao import Store

    store, prefix = Store(sys.argv[1], sys.argv[2], ca_file=sys.argv[4] or None), sys.argv[3]
    box, identity = SecretBox.random(32), HybridKeyPair.generate()
    store.put_box(prefix + "/box", box)
    store.put_identity(prefix + "/identity", identity)
    loaded_box, loaded_identity = store.get_box(prefix + "/box"), store.get_identity(prefix + "/identity")
    assert loaded_box == box and loaded_identity.x25519_public == identity.x25519_public
    store.put_box(prefix + "/control", SecretBox.random(32))
    leaked = bytes(store.get_box(prefix + "/control").reveal())  # the obvious way
    leaked_b64 = (base64.b64encode(leaked), base64.urlsafe_b64encode(leaked))
    print("ready", flush=True)
    sys.stdin.read()
"""


def forms(name: str, secret: bytes) -> Iterator[tuple[str, bytes]]:
    """The secret parts of a secret, raw and as the base64 groups that encode only them (the
    ML-KEM-768 secret embeds the public key and its hash, bytes 1152..2368, rightly in plain memory)."""
    standard, url = base64.b64encode(secret), base64.urlsafe_b64encode(secret)
    for start, end in [(0, 1152), (2368, 2400)] if name.endswith("mlkem768_secret") else [(0, len(secret))]:
        groups = slice(-(-start // 3) * 4, end // 3 * 4 if end < len(secret) else None)
        for form, text in [("raw", secret[start:end]), ("base64", standard[groups]), ("base64url", url[groups])]:
            yield f"{name} {form}", text


def memory_hits(pid: int, needles: dict[int, set[str]]) -> dict[str, int]:
    """Counts, per label, the aligned words of the child's readable memory that equal an 8-byte window
    of a secret (any copy of 15 bytes or more holds one), skipping the enclave's regions (wiped on fork)."""
    keys, hits = np.array(sorted(needles), dtype=np.uint64), collections.Counter[str]()
    with open(f"/proc/{pid}/smaps") as smaps, open(f"/proc/{pid}/mem", "rb", buffering=0) as mem:
        areas = re.findall(r"^([0-9a-f]+)-([0-9a-f]+) (\S+) .*?\nVmFlags:([^\n]*)", smaps.read(), re.M | re.S)
        for start, end, perms, flags in areas:
            if not perms.startswith("r") or "wf" in flags.split():
                continue
            try:
                data = os.pread(mem.fileno(), int(end, 16) - int(start, 16), int(start, 16))
            except OSError:  # [vvar] and the like
                continue
            words = np.frombuffer(data, dtype=np.uint64, count=len(data) // 8)
            for word in words[np.isin(words, keys)]:
                hits.update(needles[int(word)])
    return hits


@pytest.mark.parametrize("transport", ["http", "tls"])
def test_no_copy_of_a_stored_secret_is_left_in_the_process(transport: str, request: pytest.FixtureRequest) -> None:
    bao: Bao = request.getfixturevalue("bao" if transport == "http" else "tls_bao")
    prefix = f"memory/{uuid.uuid4().hex}"
    with subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(CHILD), bao.addr, bao.token, prefix, bao.ca or ""],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    ) as child:  # which leaves when its stdin closes
        assert child.stdout is not None and child.stdout.readline() == "ready\n"
        needles: dict[int, set[str]] = {}  # a window common to both alphabets has both labels
        for path, field in [("box", "secret"), ("identity", "x25519_secret"), ("identity", "mlkem768_secret"),
                            ("control", "secret")]:  # fmt: skip
            text = bao.api("GET", f"/v1/secret/data/{prefix}/{path}")[1]["data"]["data"][field]
            for label, needle in forms(f"{path} {field}", base64.urlsafe_b64decode(text + "==")):
                for i in range(len(needle) - 7):
                    needles.setdefault(int.from_bytes(needle[i : i + 8], sys.byteorder), set()).add(label)
        hits = memory_hits(child.pid, needles)
    assert set(hits) == {"control secret raw", "control secret base64", "control secret base64url"}, hits
