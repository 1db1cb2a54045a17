"""quorvex.openbao against a real OpenBao: round trips, versions, the record format as another
client sees it, every failure's exact message, two racing writers, a server killed mid-write, the
CLI (which stores an identity)."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace
from typing import Any, Callable, Iterator

import pytest

from conftest import b64
from openbao_server import Bao, free_port
from quorvex._secure import SecretBox, seal_hybrid
from quorvex.openbao import Store, StoreError


@pytest.mark.parametrize("length", [1, 2, 3, 16384])  # each base64 tail; the largest box a record holds
def test_box_round_trip_versions_and_record_format(bao: Bao, length: int) -> None:
    path, store = f"t/{uuid.uuid4().hex}", Store(bao.addr, bao.token)
    first, second = SecretBox.random(length), SecretBox.random(length)
    assert (store.put_box(path, first), store.put_box(path, second, replace=True)) == (1, 2)
    assert store.get_box(path) == second and store.get_box(path, version=1) == first
    # Another client reads exactly the documented record: base64url, no padding.
    assert bao.api("GET", f"/v1/secret/data/{path}?version=1")[1]["data"]["data"] == {"secret": b64(first.reveal())}


# Each error as (type, message, status); in a message {path} is the test's path,
# {closed} a port nobody listens on, {silent} a server that never answers.
Expected = tuple[type, str, int | None]


def answer(status: int, english: str, portuguese: str, where: str = "secret/{path}") -> Expected:
    shown = f"{where} (HTTP {status})"
    return StoreError, f"{english.format(shown)} · {portuguese.format(shown)}", status


MALFORMED = answer(200, "malformed response from OpenBao for {}", "resposta malformada do OpenBao para {}")
REFUSED = answer(403, "OpenBao refused the token for {}", "o OpenBao recusou o token para {}")
EXISTS = answer(400, "a secret already exists at {}; pass replace=True to add a version",
                "já existe um segredo em {}; passe replace=True para adicionar uma versão")  # fmt: skip
TOO_LARGE = (ValueError, "a box of 16385 bytes is too large to store; at most 16384 · "
             "uma caixa de 16385 bytes é grande demais para guardar; no máximo 16384", None)  # fmt: skip
NOT_THERE = (StoreError, "OpenBao at {closed} is unreachable for secret/{path} (ECONNREFUSED) · "
             "o OpenBao em {closed} está inacessível para secret/{path} (ECONNREFUSED)", None)  # fmt: skip
SILENT = (StoreError, "OpenBao at {silent} did not answer within 0.5 s for secret/{path} · "
          "o OpenBao em {silent} não respondeu em 0.5 s para secret/{path}", None)  # fmt: skip


def missing(where: str = "secret/{path}") -> Expected:
    return answer(404, "nothing stored at {}", "nada guardado em {}", where)


# Near misses of a box record, one for each way the decoder refuses: the standard alphabet, unused
# bits set, escaped text (sent as \u00e9), empty, a number (whose digits would decode); an identity
# has no box field.
NOT_BOXES = [{"secret": text} for text in ["ab+/", "AB", "AAé", "", 1234]]
BOX, SHORT_X25519 = {"secret": "AAAA"}, {"x25519_secret": b64(bytes(31)), "mlkem768_secret": b64(bytes(2400))}

# The record written at the path first (as another client writes it), the call that fails, and its error.
FAILURES: dict[str, tuple[object, Callable[[Any], object], Expected]] = {
    **{json.dumps(record): (record, lambda c: c.store.get_box(c.path), MALFORMED) for record in NOT_BOXES},
    "identity as a box": (SHORT_X25519, lambda c: c.store.get_box(c.path), MALFORMED),
    "short x25519 secret": (SHORT_X25519, lambda c: c.store.get_identity(c.path), MALFORMED),
    "overwrite": (BOX, lambda c: c.store.put_box(c.path, SecretBox.random(8)), EXISTS),
    "too large": (None, lambda c: c.store.put_box(c.path, SecretBox.random(16385)), TOO_LARGE),
    "wrong token": (BOX, lambda c: Store(c.bao.addr, "bad").get_box(c.path), REFUSED),
    "absent version": (BOX, lambda c: c.store.get_identity(c.path, 2), missing("secret/{path}?version=2")),
    "no mount": (None, lambda c: Store(c.bao.addr, c.bao.token, "none").get_box(c.path), missing("none/{path}")),
    "no server": (None, lambda c: Store(c.closed, "t").get_box(c.path), NOT_THERE),
    "silent server": (None, lambda c: Store(c.silent, "t", timeout=0.5).put_box(c.path, SecretBox.random(8)), SILENT),
}


@pytest.fixture(scope="module")
def elsewhere() -> Iterator[dict[str, str]]:
    """A port nobody listens on, and one whose backlog takes connections that are never answered."""
    with socket.create_server(("127.0.0.1", 0)) as silent:
        yield {"closed": f"http://127.0.0.1:{free_port()}", "silent": f"http://127.0.0.1:{silent.getsockname()[1]}"}


@pytest.mark.parametrize(("stored", "call", "expected"), list(FAILURES.values()), ids=list(FAILURES))
def test_failures_name_path_and_status_and_change_nothing(
    bao: Bao, elsewhere: dict[str, str], stored: object, call: Callable[[Any], object], expected: Expected
) -> None:
    path = f"t/{uuid.uuid4().hex}"
    if stored is not None:
        assert bao.api("POST", f"/v1/secret/data/{path}", {"data": stored})[0] == 200
    versions = bao.api("GET", f"/v1/secret/metadata/{path}")[1].get("data")
    begun = time.monotonic()
    with pytest.raises(expected[0]) as caught:
        call(SimpleNamespace(bao=bao, store=Store(bao.addr, bao.token, timeout=5.0), path=path, **elsewhere))
    assert time.monotonic() - begun < 3.0  # within the store's timeout
    message = expected[1].format(path=path, **elsewhere)
    assert (str(caught.value), getattr(caught.value, "status", None)) == (message, expected[2])
    assert bao.api("GET", f"/v1/secret/metadata/{path}")[1].get("data") == versions


def test_of_two_racing_writers_exactly_one_wins(bao: Bao) -> None:
    stores, start = [Store(bao.addr, bao.token) for _ in range(2)], threading.Barrier(2)

    def put(store: Store, path: str, box: SecretBox) -> int | str:
        start.wait()
        try:
            return store.put_box(path, box)
        except StoreError as exc:
            return str(exc)

    with ThreadPoolExecutor(2) as pool:
        for _ in range(5):
            path, boxes = f"t/{uuid.uuid4().hex}", [SecretBox.random(32) for _ in range(2)]
            outcome = list(pool.map(put, stores, [path] * 2, boxes))
            assert sorted(outcome, key=str) == [1, EXISTS[1].format(path=path)]
            assert stores[0].get_box(path) == boxes[outcome.index(1)]


def test_a_server_killed_mid_write_keeps_every_acknowledged_version(raft_bao: Bao) -> None:
    assert raft_bao.api("POST", "/v1/sys/mounts/secret", {"type": "kv", "options": {"version": "2"}})[0] == 204
    # Keep every version the writer makes (the default keeps ten), once the new mount has finished its setup.
    for _ in range(50):
        if raft_bao.api("POST", "/v1/secret/config", {"max_versions": 100000})[0] == 204:
            break
        time.sleep(0.1)
    store, path = Store(raft_bao.addr, raft_bao.token, timeout=5.0), "kept/key"
    written: dict[int, SecretBox] = {}
    attempted: list[SecretBox] = []
    killer = threading.Timer(0.3, raft_bao.kill)
    killer.start()
    with pytest.raises(StoreError):
        while True:  # until the kill fails a write
            attempted.append(SecretBox.random(32))
            written[store.put_box(path, attempted[-1], replace=True)] = attempted[-1]
    killer.join()
    store = Store(raft_bao.start().addr, raft_bao.token)
    for version, box in written.items():
        assert store.get_box(path, version) == box
    time.sleep(0.5)  # the server drops the idle kept-alive connection; the store reconnects
    # The write in flight at the kill either landed whole as the next version or not at all.
    assert store.get_box(path) in (written[max(written)], attempted[-1])


def run_cli(*args: str, **env: str) -> tuple[int, str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("BAO_", "VAULT_"))} | env
    run = subprocess.run([sys.executable, "-m", "quorvex", *args], env=env, capture_output=True, text=True, timeout=60)
    return run.returncode, run.stdout, run.stderr


def test_cli_makes_and_shows_an_identity_and_a_box_held_only_in_openbao(bao: Bao) -> None:
    assert run_cli("box", "new", "a/b") == (
        1, "", "quorvex box: StoreError: BAO_ADDR (VAULT_ADDR) is not set · BAO_ADDR (VAULT_ADDR) não está definida\n"
    )  # fmt: skip
    # The BAO_ names win over the VAULT_ ones, which stand in for them.
    env, path = {"VAULT_ADDR": bao.addr, "VAULT_TOKEN": "wrong", "BAO_TOKEN": bao.token}, f"t/{uuid.uuid4().hex}"
    made = run_cli("identity", "new", path, **env)
    store = Store(bao.addr, bao.token)
    kp = store.get_identity(path)  # whose seals open: its ML-KEM secret came back whole
    assert kp.open(*seal_hybrid(kp.x25519_public, kp.mlkem768_public, b"m", b""), b"") == b"m"
    publics = f"x25519_public: {b64(kp.x25519_public)}\nmlkem768_public: {b64(kp.mlkem768_public)}\n"
    assert made == (0, f"wrote secret/{path} version 1\n{publics}", "")
    assert run_cli("identity", "show", path, **env) == (0, publics, "")
    refusal = EXISTS[1].format(path=path).replace("replace=True", "--replace")
    assert run_cli("identity", "new", path, **env) == (1, "", f"quorvex identity: StoreError: {refusal}\n")
    assert run_cli("identity", "new", path, "--replace", **env)[1].startswith(f"wrote secret/{path} version 2\n")
    assert run_cli("box", "new", path + "b", "--length", "48", **env) == (0, f"wrote secret/{path}b version 1\n", "")
    assert len(store.get_box(path + "b")) == 48
