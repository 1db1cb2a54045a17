"""quorvex.openbao against a real OpenBao: round trips, versions, the
overwrite refusal and its race, every failure's exact message, the record
format as another client (hvac) sees it, a server killed mid-write, the CLI."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import threading
import time
import uuid

import pytest

from conftest import INVALID_KEY, b64
from openbao_server import Bao, RaftBao, api
from quorvex import _secure
from quorvex.errors import CryptoError
from quorvex.openbao import Store, StoreError

hvac = pytest.importorskip("hvac")


def refused(path: str) -> str:
    return f"OpenBao refused the token for {path} (HTTP 403) · o OpenBao recusou o token para {path} (HTTP 403)"


def missing(path: str) -> str:
    return f"nothing stored at {path} (HTTP 404) · nada guardado em {path} (HTTP 404)"


def exists(path: str) -> str:
    return (
        f"a secret already exists at {path} (HTTP 400); pass replace=True to add a version · "
        f"já existe um segredo em {path} (HTTP 400); passe replace=True para adicionar uma versão"
    )


def malformed(path: str, status: int) -> str:
    return (
        f"malformed response from OpenBao for {path} (HTTP {status}) · "
        f"resposta malformada do OpenBao para {path} (HTTP {status})"
    )


def unique() -> str:
    return f"t/{uuid.uuid4().hex}"


@pytest.fixture
def store(bao: Bao) -> Store:
    return Store(bao.addr, bao.token, timeout=5.0)


@pytest.fixture
def peer(bao: Bao):  # type: ignore[no-untyped-def]
    return hvac.Client(url=bao.addr, token=bao.token)


@pytest.mark.parametrize("length", [1, 2, 3, 32, 1000])
def test_box_round_trip_versions_and_record_format(store: Store, peer, length: int) -> None:  # type: ignore[no-untyped-def]
    path = unique()
    first, second = _secure.SecretBox.random(length), _secure.SecretBox.random(length)
    assert store.put_box(path, first) == 1
    with pytest.raises(StoreError) as refusal:
        store.put_box(path, second)
    assert str(refusal.value) == exists(f"secret/{path}") and refusal.value.status == 400
    assert store.put_box(path, second, replace=True) == 2
    assert store.get_box(path) == second and store.get_box(path, version=1) == first
    # Another client reads exactly the documented record: base64url, no padding.
    record = peer.secrets.kv.v2.read_secret_version(path=path, version=1, raise_on_deleted_version=True)
    assert record["data"]["data"] == {"secret": b64(first.reveal())}
    # ... and what another client writes in that format reads back as a box.
    peer.secrets.kv.v2.create_or_update_secret(path=path, secret={"secret": b64(b"\x00\xff" * length)})
    assert store.get_box(path, version=3) == _secure.SecretBox.from_bytes(b"\x00\xff" * length)


def test_restored_identity_opens_seals_made_before_it_was_stored(store: Store, peer) -> None:  # type: ignore[no-untyped-def]
    path = unique()
    kp = _secure.HybridKeyPair.generate()
    sealed = _secure.seal_hybrid(kp.x25519_public, kp.mlkem768_public, b"made before storing", b"aad")
    assert store.put_identity(path, kp) == 1
    del kp
    restored = store.get_identity(path)
    assert restored.open(*sealed, b"aad") == b"made before storing"
    record = peer.secrets.kv.v2.read_secret_version(path=path, raise_on_deleted_version=True)["data"]["data"]
    assert sorted(record) == ["mlkem768_secret", "x25519_secret"]
    assert record["x25519_secret"] == b64(restored.x25519_secret().reveal())
    assert record["mlkem768_secret"] == b64(restored.mlkem768_secret().reveal())
    other = _secure.HybridKeyPair.generate()
    with pytest.raises(StoreError, match="already exists"):
        store.put_identity(path, other)
    assert store.put_identity(path, other, replace=True) == 2
    assert store.get_identity(path).x25519_public == other.x25519_public
    assert store.get_identity(path, 1).mlkem768_public == restored.mlkem768_public


BAD_BOX_RECORDS = {
    "padding": {"secret": "AAAAAA=="},
    "standard alphabet": {"secret": "ab+/"},
    "4k+1 characters": {"secret": "AAAAA"},
    "unused bits set": {"secret": "AB"},
    "escaped text": {"secret": "AAé"},  # sent as \u00e9
    "empty": {"secret": ""},
    "not a string": {"secret": 5},
    "no field": {"key": "AAAA"},
}


def test_records_not_in_the_format_are_refused(store: Store, peer) -> None:  # type: ignore[no-untyped-def]
    for name, record in BAD_BOX_RECORDS.items():
        path = unique()
        peer.secrets.kv.v2.create_or_update_secret(path=path, secret=record)
        with pytest.raises(StoreError) as caught:
            store.get_box(path)
        assert str(caught.value) == malformed(f"secret/{path}", 200), name
    kp = _secure.HybridKeyPair.generate()
    good_x, good_ml = bytes(kp.x25519_secret().reveal()), bytearray(kp.mlkem768_secret().reveal())
    good_ml[2340] ^= 1  # the stored hash of the encapsulation key
    for record, error in [
        ({"x25519_secret": b64(good_x[:31]), "mlkem768_secret": b64(good_ml)}, StoreError),
        ({"x25519_secret": b64(good_x), "mlkem768_secret": b64(good_ml)}, _secure.SecureError),
    ]:
        path = unique()
        peer.secrets.kv.v2.create_or_update_secret(path=path, secret=record)
        with pytest.raises(error) as failed:
            store.get_identity(path)
        assert str(failed.value) == (malformed(f"secret/{path}", 200) if error is StoreError else INVALID_KEY)


def test_a_box_too_large_to_read_back_is_not_written(store: Store) -> None:
    path = unique()
    with pytest.raises(ValueError, match="^a box of 16385 bytes is too large to store; at most 16384 · "):
        store.put_box(path, _secure.SecretBox.random(16385))
    with pytest.raises(StoreError, match="nothing stored"):
        store.get_box(path)
    largest = _secure.SecretBox.random(16384)
    store.put_box(path, largest)
    assert store.get_box(path) == largest


def race(stores: list[Store], path: str, boxes: list[_secure.SecretBox]) -> list[int | str]:
    """Both stores put a box on `path` at once; each outcome is a version or a message."""
    start, outcome = threading.Barrier(2), ["", ""]

    def write(i: int) -> None:
        start.wait()
        try:
            outcome[i] = stores[i].put_box(path, boxes[i])
        except StoreError as exc:
            outcome[i] = str(exc)

    threads = [threading.Thread(target=write, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return outcome


def test_of_two_racing_writers_exactly_one_wins(bao: Bao) -> None:
    stores = [Store(bao.addr, bao.token) for _ in range(2)]
    for _ in range(5):
        path, boxes = unique(), [_secure.SecretBox.random(32) for _ in range(2)]
        outcome = race(stores, path, boxes)
        assert sorted(outcome, key=str) == sorted([1, exists(f"secret/{path}")], key=str)
        assert stores[0].get_box(path) == boxes[outcome.index(1)]


def test_failures_name_path_and_status(bao: Bao, store: Store) -> None:
    path = unique()
    store.put_identity(path, _secure.HybridKeyPair.generate())
    cases = [
        (lambda: Store(bao.addr, "not-the-token").get_box(path), refused(f"secret/{path}"), 403),
        (lambda: Store(bao.addr, "bad").put_box(path, _secure.SecretBox.random(8)), refused(f"secret/{path}"), 403),
        (lambda: store.get_box("t/absent"), missing("secret/t/absent"), 404),
        (lambda: store.get_identity(path, version=2), missing(f"secret/{path}?version=2"), 404),
        (lambda: store.get_box(path), malformed(f"secret/{path}", 200), 200),  # an identity is no box
        (lambda: Store(bao.addr, bao.token, "absent-mount").get_box(path), None, None),
    ]
    for call, message, status in cases:
        with pytest.raises(StoreError) as caught:
            call()
        assert isinstance(caught.value, CryptoError)
        if message is not None:
            assert (str(caught.value), caught.value.status) == (message, status)
        else:  # a path under no mount: the server's own words, its status
            assert "HTTP 403" in str(caught.value) or "HTTP 404" in str(caught.value)


def test_a_server_that_is_not_there_fails_fast_and_one_that_is_silent_within_the_timeout() -> None:
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
    with pytest.raises(StoreError) as caught:
        Store(f"http://127.0.0.1:{port}", "t").get_box("a/b")
    assert str(caught.value) == (
        f"OpenBao at http://127.0.0.1:{port} is unreachable for secret/a/b (ECONNREFUSED) · "
        f"o OpenBao em http://127.0.0.1:{port} está inacessível para secret/a/b (ECONNREFUSED)"
    )
    with socket.socket() as silent:  # accepts connections (backlog) and never answers
        silent.bind(("127.0.0.1", 0))
        silent.listen(4)
        addr = f"http://127.0.0.1:{silent.getsockname()[1]}"
        begun = time.monotonic()
        with pytest.raises(StoreError) as caught:
            Store(addr, "t", timeout=0.5).put_box("a/b", _secure.SecretBox.random(32))
        assert time.monotonic() - begun < 2.0
    assert str(caught.value) == (
        f"OpenBao at {addr} did not answer within 0.5 s for secret/a/b · "
        f"o OpenBao em {addr} não respondeu em 0.5 s para secret/a/b"
    )


def test_store_from_environment_prefers_bao_names(bao: Bao, monkeypatch: pytest.MonkeyPatch) -> None:
    for name in (p + n for p in ("BAO_", "VAULT_") for n in ("ADDR", "TOKEN", "CACERT", "NAMESPACE")):
        monkeypatch.delenv(name, raising=False)
    with pytest.raises(
        StoreError, match=r"^BAO_ADDR \(VAULT_ADDR\) is not set · BAO_ADDR \(VAULT_ADDR\) não está definida$"
    ):
        Store.from_env()
    monkeypatch.setenv("VAULT_ADDR", bao.addr)
    monkeypatch.setenv("VAULT_TOKEN", bao.token)
    path = unique()
    Store.from_env().put_box(path, _secure.SecretBox.random(4))
    monkeypatch.setenv("VAULT_TOKEN", "wrong")
    monkeypatch.setenv("BAO_TOKEN", bao.token)
    assert len(Store.from_env().get_box(path)) == 4


def test_a_server_killed_mid_write_keeps_every_acknowledged_version(raft_bao: RaftBao) -> None:
    server = raft_bao.start()
    status, body = api(
        server.addr, "POST", "/v1/sys/mounts/secret", {"type": "kv", "options": {"version": "2"}}, server.token
    )
    assert status in (200, 204), body
    # Keep every version the writer makes (the mount's default keeps ten),
    # once the new mount has finished its setup.
    for _ in range(50):
        status, body = api(server.addr, "POST", "/v1/secret/config", {"max_versions": 100000}, server.token)
        if status in (200, 204):
            break
        time.sleep(0.1)
    assert status in (200, 204), body
    store, path = Store(server.addr, server.token, timeout=5.0), "kept/key"
    written: dict[int, _secure.SecretBox] = {}
    box = _secure.SecretBox.random(32)
    written[store.put_box(path, box)] = box
    attempted: list[_secure.SecretBox] = []
    failure: list[StoreError] = []

    def writer() -> None:
        while True:
            box = _secure.SecretBox.random(32)
            attempted.append(box)
            try:
                written[store.put_box(path, box, replace=True)] = box
            except StoreError as exc:
                failure.append(exc)
                return

    thread = threading.Thread(target=writer)
    thread.start()
    time.sleep(0.3)
    server.kill()
    thread.join(10)
    assert failure and not thread.is_alive()
    server = raft_bao.start()
    store = Store(server.addr, server.token)
    latest = max(written)
    for version, box in written.items():
        assert store.get_box(path, version) == box
    time.sleep(0.5)  # the server drops the idle kept-alive connection; the store reconnects
    assert store.get_box(path, 1) == written[1]
    # The write in flight at the kill either landed whole or not at all.
    try:
        in_flight = store.get_box(path, latest + 1)
    except StoreError as exc:
        assert exc.status == 404
        assert store.get_box(path) == written[latest]
    else:
        assert in_flight == attempted[-1] and store.get_box(path) == in_flight


def run_cli(bao: Bao, *args: str) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("BAO_", "VAULT_"))}
    env.update(BAO_ADDR=bao.addr, BAO_TOKEN=bao.token)
    return subprocess.run([sys.executable, "-m", "quorvex", *args], env=env, capture_output=True, text=True, timeout=60)


def test_cli_makes_and_shows_an_identity_and_a_box_held_only_in_openbao(bao: Bao, store: Store) -> None:
    path = unique()
    made = run_cli(bao, "identity", "new", path)
    assert made.returncode == 0, made.stderr
    shown = run_cli(bao, "identity", "show", path)
    kp = store.get_identity(path)
    expected = f"x25519_public: {b64(kp.x25519_public)}\nmlkem768_public: {b64(kp.mlkem768_public)}\n"
    assert shown.returncode == 0 and shown.stdout == expected
    assert made.stdout == f"wrote secret/{path} version 1\n" + expected
    again = run_cli(bao, "identity", "new", path)
    refusal = exists(f"secret/{path}").replace("replace=True", "--replace")
    assert again.returncode == 1 and again.stderr == f"quorvex identity: StoreError: {refusal}\n"
    assert run_cli(bao, "identity", "new", path, "--replace").stdout.startswith(f"wrote secret/{path} version 2\n")
    box = run_cli(bao, "box", "new", path + "b", "--length", "48")
    assert box.returncode == 0 and box.stdout == f"wrote secret/{path}b version 1\n"
    assert len(store.get_box(path + "b")) == 48
