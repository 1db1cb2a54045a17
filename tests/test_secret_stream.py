"""SecretStreamPush / SecretStreamPull: argument rules, failures in order,
finished semantics, refused chunks that leave the stream usable, and the
GIL released while a chunk is encrypted."""

from __future__ import annotations

import copy
import gc
import pickle
import sys
import threading
import time
from typing import Iterator

import numpy as np
import pytest

from quorvex import _secure

from conftest import live, run_python
from failing_rng import failing_rng_env

SecretBox = _secure.SecretBox
Push = _secure.SecretStreamPush
Pull = _secure.SecretStreamPull
SecureError = _secure.SecureError

FINISHED = "stream already finished · stream já terminou"
NOT_OPENED = "ciphertext did not open · ciphertext não abriu"
WIPED = "secret box was wiped · a caixa de segredo foi apagada"
RNG = "operating system RNG failed · RNG do sistema operacional falhou"
STR_REFUSED = "expected a bytes-like object, got str; encode it first · esperava um objeto tipo bytes, recebeu str; codifique antes"


def bad_length(what: str, expected: int, got: int) -> str:
    return f"{what}: expected {expected} bytes, got {got} · esperava {expected} bytes, recebeu {got}"


@pytest.fixture(autouse=True)
def _release_cycles() -> Iterator[None]:
    """pytest.raises keeps frames (and the pools, streams and boxes in them)
    in reference cycles; collect them so no region outlives its test."""
    yield
    gc.collect()


@pytest.fixture
def no_leak() -> Iterator[None]:
    """The test leaves no region mapped (earlier tests' garbage collected first)."""
    gc.collect()
    before = live()
    yield
    gc.collect()
    assert live() == before


@pytest.fixture
def key() -> SecretBox:
    return SecretBox.random(32)


def pair(key: SecretBox) -> tuple[_secure.SecretStreamPush, _secure.SecretStreamPull]:
    push = Push(key)
    return push, Pull(key, push.header)


def test_header_is_fresh_and_stays_readable(key: SecretBox) -> None:
    a, b = Push(key), Push(key)
    assert type(a.header) is bytes and len(a.header) == _secure.SECRETSTREAM_HEADER_BYTES == 24
    assert a.header != b.header
    a.push(b"", final=True)
    assert len(a.header) == 24


def test_chunks_with_ad_then_final_and_both_sides_finish(key: SecretBox) -> None:
    push, pull = pair(key)
    messages = [b"first", b"", b"x" * 1000, b"last"]
    chunks = [push.push(m, ad=b"hdr", final=i == len(messages) - 1) for i, m in enumerate(messages)]
    assert [len(c) for c in chunks] == [len(m) + _secure.SECRETSTREAM_ABYTES for m in messages]
    assert push.is_finished is True
    results = [pull.pull(c, ad=b"hdr") for c in chunks]
    assert results == [(m, i == len(messages) - 1) for i, m in enumerate(messages)]
    assert pull.is_finished is True
    for call in (lambda: push.push(b"more"), lambda: pull.pull(chunks[-1], ad=b"hdr")):
        with pytest.raises(SecureError) as info:
            call()
        assert str(info.value) == FINISHED


def test_empty_message_is_a_17_byte_chunk(key: SecretBox) -> None:
    push, pull = pair(key)
    chunk = push.push(b"")
    assert len(chunk) == 17 and pull.pull(chunk) == (b"", False)
    assert push.is_finished is False and pull.is_finished is False


@pytest.mark.parametrize("push_ad", [{}, {"ad": None}, {"ad": b""}])
@pytest.mark.parametrize("pull_ad", [{}, {"ad": None}, {"ad": b""}])
def test_absent_none_and_empty_ad_authenticate_alike(key: SecretBox, push_ad: dict, pull_ad: dict) -> None:
    push, pull = pair(key)
    assert pull.pull(push.push(b"m", **push_ad), **pull_ad) == (b"m", False)


@pytest.mark.parametrize(
    "spoil",
    [
        pytest.param(lambda c, n: c[:16], id="16 bytes"),
        pytest.param(lambda c, n: b"", id="empty"),
        pytest.param(lambda c, n: c[:-1], id="truncated"),
        pytest.param(lambda c, n: bytes([c[0] ^ 1]) + c[1:], id="tag byte"),
        pytest.param(lambda c, n: c[:5] + bytes([c[5] ^ 0x80]) + c[6:], id="ciphertext"),
        pytest.param(lambda c, n: c[:-1] + bytes([c[-1] ^ 1]), id="mac"),
        pytest.param(lambda c, n: n, id="reordered"),
    ],
)
def test_refused_chunk_leaves_the_stream_going_on(key: SecretBox, spoil) -> None:  # type: ignore[no-untyped-def]
    push, pull = pair(key)
    c1, c2 = push.push(b"chunk one", ad=b"a"), push.push(b"chunk two", ad=b"a")
    with pytest.raises(SecureError) as info:
        pull.pull(spoil(c1, c2), ad=b"a")
    assert str(info.value) == NOT_OPENED and pull.is_finished is False
    assert pull.pull(c1, ad=b"a") == (b"chunk one", False)
    with pytest.raises(SecureError, match="ciphertext did not open"):
        pull.pull(c1, ad=b"a")  # repeated
    assert pull.pull(c2, ad=b"a") == (b"chunk two", False)


@pytest.mark.parametrize(
    "make_pull",
    [
        pytest.param(lambda k, h: Pull(SecretBox.random(32), h), id="other key"),
        pytest.param(lambda k, h: Pull(k, bytes([h[0] ^ 1]) + h[1:]), id="other header"),
    ],
)
def test_wrong_key_or_header_does_not_open(key: SecretBox, make_pull) -> None:  # type: ignore[no-untyped-def]
    push = Push(key)
    with pytest.raises(SecureError, match="ciphertext did not open"):
        make_pull(key, push.header).pull(push.push(b"m"))


def test_wrong_ad_does_not_open(key: SecretBox) -> None:
    push, pull = pair(key)
    with pytest.raises(SecureError, match="ciphertext did not open"):
        pull.pull(push.push(b"m", ad=b"one"), ad=b"two")


def test_final_accepts_bools_and_numpy_bools(key: SecretBox) -> None:
    for flag in (False, np.False_, np.bool_(False)):
        push, pull = pair(key)
        assert pull.pull(push.push(b"m", final=flag)) == (b"m", False)
    push, pull = pair(key)
    assert pull.pull(push.push(b"m", final=np.True_)) == (b"m", True)


@pytest.mark.parametrize(
    ("call", "message", "note"),
    [
        (lambda p: p.push(b"x", final=1), "'int' object is not an instance of 'bool'", "argument 'final'"),
        (lambda p: p.push(b"x", final=None), "'None' is not an instance of 'bool'", "argument 'final'"),
        (lambda p: p.push(b"x", final="yes"), "'str' object is not an instance of 'bool'", "argument 'final'"),
        (lambda p: p.push(b"x", True), "push() takes at most 1 positional argument (2 given)", None),
        (lambda p: p.push(b"x", b"ad"), "push() takes at most 1 positional argument (2 given)", None),
        (lambda p: p.push("text"), STR_REFUSED, None),
        (lambda p: p.push(b"x", ad="text"), STR_REFUSED, None),
        (lambda p: p.push(), "push() missing required argument 'message' (pos 1)", None),
        (lambda p: p.push(b"x", tag=3), "push() got an unexpected keyword argument 'tag'", None),
        # final is converted before message
        (lambda p: p.push("text", final=0), "'int' object is not an instance of 'bool'", "argument 'final'"),
    ],
)
def test_push_argument_errors(key: SecretBox, call, message: str, note: str | None) -> None:  # type: ignore[no-untyped-def]
    push = Push(key)
    with pytest.raises(TypeError) as info:
        call(push)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)
    assert push.is_finished is False
    assert Pull(key, push.header).pull(push.push(b"ok")) == (b"ok", False)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda k, h: Push(b"k" * 32), "'bytes' object is not an instance of 'SecretBox'"),
        (lambda k, h: Push(None), "'None' is not an instance of 'SecretBox'"),
        (lambda k, h: Pull(b"k" * 32, h), "'bytes' object is not an instance of 'SecretBox'"),
        (lambda k, h: Pull(k, "header"), STR_REFUSED),
        (lambda k, h: Pull(k, h, h), "SecretStreamPull() takes at most 2 positional arguments (3 given)"),
        (lambda k, h: Pull(k), "SecretStreamPull() missing required argument 'header' (pos 2)"),
        (lambda k, h: Push(), "SecretStreamPush() missing required argument 'key' (pos 1)"),
        (lambda k, h: Push(k, header=h), "SecretStreamPush() got an unexpected keyword argument 'header'"),
        (lambda k, h: Pull(k, None), "a bytes-like object is required, not 'NoneType'"),
        (lambda k, h: k.pull(h), "'quorvex._secure.SecretBox' object has no attribute 'pull'"),
    ],
)
def test_constructor_argument_errors(key: SecretBox, call, message: str) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises((TypeError, AttributeError)) as info:
        call(key, bytes(24))
    assert str(info.value) == message or message.startswith("'quorvex")


def test_keywords_for_positional_parameters(key: SecretBox) -> None:
    push = Push(key=key)
    pull = Pull(key=key, header=push.header)
    assert pull.pull(chunk=push.push(message=b"kw", final=True)) == (b"kw", True)


@pytest.mark.parametrize(
    ("key_len", "header_len", "message"),
    [
        (16, 23, bad_length("secretstream key", 32, 16)),  # the key is checked first
        (31, 24, bad_length("secretstream key", 32, 31)),
        (33, 24, bad_length("secretstream key", 32, 33)),
        (32, 23, bad_length("secretstream header", 24, 23)),
        (32, 25, bad_length("secretstream header", 24, 25)),
        (32, 0, bad_length("secretstream header", 24, 0)),
    ],
)
def test_pull_lengths_in_order(key_len: int, header_len: int, message: str, no_leak) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(SecureError) as info:
        Pull(SecretBox.random(key_len), bytes(header_len))
    assert str(info.value) == message


@pytest.mark.parametrize("key_len", [16, 31, 33, 64])
def test_push_refuses_a_key_that_is_not_32_bytes(key_len: int, no_leak) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(SecureError) as info:
        Push(SecretBox.random(key_len))
    assert str(info.value) == bad_length("secretstream key", 32, key_len)


def test_wiped_key_box(key: SecretBox) -> None:
    push, pull = pair(key)
    key.wipe()
    assert pull.pull(push.push(b"after wipe")) == (b"after wipe", False)
    for build in (lambda: Push(key), lambda: Pull(key, push.header)):
        with pytest.raises(SecureError) as info:
            build()
        assert str(info.value) == WIPED


def test_streams_keep_no_reference_to_the_key(key: SecretBox) -> None:
    before = sys.getrefcount(key)
    push, pull = pair(key)
    assert sys.getrefcount(key) == before


@pytest.mark.parametrize("cls", ["push", "pull"])
def test_streams_refuse_pickle_and_copy(key: SecretBox, cls: str) -> None:
    obj = pair(key)[0 if cls == "push" else 1]
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            refuse(obj)


def test_os_rng_failure_refuses_the_push_side(tmp_path_factory: pytest.TempPathFactory) -> None:
    result = run_python(
        """
        from quorvex import _secure
        key = _secure.SecretBox.from_bytes(bytes(32))
        before = _secure.memory_status()["live_secrets"]
        try:
            _secure.SecretStreamPush(key)
        except _secure.SecureError as e:
            print(str(e))
        print(_secure.memory_status()["live_secrets"] == before)
        """,
        env=failing_rng_env(tmp_path_factory),
    )
    assert result.stdout.splitlines() == [RNG, "True"], result.stderr


def test_no_locked_page_for_the_state_is_refused() -> None:
    result = run_python(
        """
        from quorvex import _secure
        key = _secure.SecretBox.random(32)       # takes the one lockable page
        for build in (lambda: _secure.SecretStreamPush(key), lambda: _secure.SecretStreamPull(key, bytes(24))):
            try:
                build()
            except _secure.SecureError as e:
                print(str(e).split(" ")[0])
        """,
        env={"QUORVEX_MEMORY_LOCK": "require"},
        memlock=4096,
        drop_ipc_lock=True,
    )
    assert result.stdout.splitlines() == ["mlock", "mlock"], result.stderr


def test_gil_is_released_while_a_large_chunk_is_encrypted(key: SecretBox) -> None:
    push, pull = pair(key)
    big = bytes(64 << 20)
    stamps: list[float] = []
    stop = threading.Event()

    def tick() -> None:
        while not stop.is_set():
            stamps.append(time.perf_counter())

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        t0 = time.perf_counter()
        chunk = push.push(big)
        t1 = time.perf_counter()
    finally:
        stop.set()
        ticker.join()
        sys.setswitchinterval(old)
    # Time the other thread spent running inside the push call. Holding the
    # GIL, push would allow it at most a switch interval or two around the call.
    inside = [t for t in stamps if t0 <= t <= t1]
    busy = sum(b - a for a, b in zip(inside, inside[1:]) if b - a < 0.0002)
    assert busy > 0.005, (busy, t1 - t0)
    assert pull.pull(chunk) == (big, False)


def test_is_finished_from_another_thread_during_push(key: SecretBox) -> None:
    push, _ = pair(key)
    seen: list[bool] = []
    done = threading.Event()

    def poll() -> None:
        while not done.is_set():
            seen.append(push.is_finished)

    poller = threading.Thread(target=poll)
    poller.start()
    try:
        for _ in range(4):
            push.push(bytes(8 << 20))
        push.push(b"", final=True)
    finally:
        done.set()
        poller.join(timeout=60)
    assert not poller.is_alive() and seen and push.is_finished is True


def test_strided_and_writable_inputs_are_copied_not_kept(key: SecretBox) -> None:
    push, pull = pair(key)
    source = np.arange(200, dtype=np.uint8)
    message = bytearray(b"secret message")
    chunk = push.push(source[::2], ad=memoryview(b"xad")[1:])
    chunk2 = push.push(message)
    message[:] = bytes(len(message))  # changing the source afterwards changes nothing
    wide = np.zeros(2 * len(chunk), dtype=np.uint8)
    wide[::2] = np.frombuffer(chunk, dtype=np.uint8)
    assert pull.pull(wide[::2], ad=b"ad") == (bytes(source[::2]), False)
    assert pull.pull(bytearray(chunk2)) == (b"secret message", False)
