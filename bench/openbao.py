"""A 32-byte key stored in and loaded back from a local OpenBao (dev server,
KV version 2): quorvex.openbao's put_box + get_box against the same round trip
through hvac, the usual client. Skipped when bao or hvac is missing."""

from __future__ import annotations

import atexit
import base64
import ctypes
import secrets
import shutil
import signal
import socket
import subprocess
import time
import urllib.request

from bench.harness import Case
from quorvex import _secure


def _start_bao(binary: str) -> tuple[str, str]:
    with socket.socket() as s:  # bao also takes the next port, for its cluster
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    token = secrets.token_hex(16)
    proc = subprocess.Popen(
        [binary, "server", "-dev", f"-dev-root-token-id={token}", f"-dev-listen-address=127.0.0.1:{port}",
         "-dev-no-store-token"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL),  # dies with this process
    )  # fmt: skip
    atexit.register(lambda: (proc.terminate(), proc.wait()))
    addr = f"http://127.0.0.1:{port}"
    for _ in range(300):
        try:
            with urllib.request.urlopen(f"{addr}/v1/sys/health", timeout=1):
                return addr, token
        except OSError:
            if proc.poll() is not None:
                break
            time.sleep(0.05)
    raise RuntimeError("bao did not start")


def cases(quick: bool) -> list[Case]:
    binary = shutil.which("bao")
    try:
        import hvac
    except ImportError:
        return []
    if binary is None:
        return []
    from quorvex.openbao import Store

    addr, token = _start_bao(binary)
    store = Store(addr, token)
    client = hvac.Client(url=addr, token=token)
    box = _secure.SecretBox.random(32)

    def ours() -> object:
        store.put_box("bench/ours", box, replace=True)
        return store.get_box("bench/ours")

    def peer() -> object:
        secret = box.reveal()
        text = base64.urlsafe_b64encode(secret).rstrip(b"=").decode()
        client.secrets.kv.v2.create_or_update_secret(path="bench/peer", secret={"secret": text})
        read = client.secrets.kv.v2.read_secret_version(path="bench/peer", raise_on_deleted_version=True)
        return _secure.SecretBox.from_bytes(bytearray(base64.urlsafe_b64decode(read["data"]["data"]["secret"] + "=")))

    return [Case("OpenBao put_box + get_box", 32, ours, peer, "hvac (requests)")]
