"""SecretStreamPush / SecretStreamPull: argument rules, failures in order,
finished semantics, refused chunks that leave the stream usable, and the
GIL released while a chunk is encrypted."""

from __future__ import annotations

import sys
import threading
import time

import numpy as np
import pytest

from quorvex import _secure

from conftest import FINISHED, OPEN_FAILED, WIPED, bad_length

SecretBox = _secure.SecretBox
Push = _secure.SecretStreamPush
Pull = _secure.SecretStreamPull
SecureError = _secure.SecureError

pytestmark = pytest.mark.usefixtures("release_cycles")


@pytest.fixture
def key() -> SecretBox:
    return SecretBox.random(32)


def pair(key: SecretBox) -> tuple[_secure.SecretStreamPush, _secure.SecretStreamPull]:
    push = Push(key)
    return push, Pull(key, push.header)


def test_chunks_with_ad_then_final_and_both_sides_finish(key: SecretBox) -> None:
    push, pull = pair(key)
    assert type(push.header) is bytes and push.header != Push(key).header  # a fresh header per stream
    messages = [b"first", b"", b"x" * 1000, b"last"]
    chunks = [push.push(m, ad=b"hdr", final=i == len(messages) - 1) for i, m in enumerate(messages)]
    assert push.is_finished is True and len(push.header) == 24
    results = [pull.pull(c, ad=b"hdr") for c in chunks]
    assert results == [(m, i == len(messages) - 1) for i, m in enumerate(messages)]
    assert pull.is_finished is True
    for call in (lambda: push.push(b"more"), lambda: pull.pull(chunks[-1], ad=b"hdr")):
        with pytest.raises(SecureError) as info:
            call()
        assert str(info.value) == FINISHED


@pytest.mark.parametrize("push_ad", [{}, {"ad": None}, {"ad": b""}])
@pytest.mark.parametrize("pull_ad", [{}, {"ad": None}, {"ad": b""}])
def test_absent_none_and_empty_ad_authenticate_alike(key: SecretBox, push_ad: dict, pull_ad: dict) -> None:
    push, pull = pair(key)
    assert pull.pull(push.push(b"m", **push_ad), **pull_ad) == (b"m", False)


# What the puller gets instead of the first of two chunks pushed with ad b"a":
# (key, push, chunk one, chunk two) -> (puller, chunk, ad)
SPOILED = {
    "16 bytes": lambda k, p, c, n: (None, c[:16], b"a"),
    "empty": lambda k, p, c, n: (None, b"", b"a"),
    "truncated": lambda k, p, c, n: (None, c[:-1], b"a"),
    "tag byte": lambda k, p, c, n: (None, bytes([c[0] ^ 1]) + c[1:], b"a"),
    "ciphertext": lambda k, p, c, n: (None, c[:5] + bytes([c[5] ^ 0x80]) + c[6:], b"a"),
    "mac": lambda k, p, c, n: (None, c[:-1] + bytes([c[-1] ^ 1]), b"a"),
    "reordered": lambda k, p, c, n: (None, n, b"a"),
    "other ad": lambda k, p, c, n: (None, c, b"b"),
    "other key": lambda k, p, c, n: (Pull(SecretBox.random(32), p.header), c, b"a"),
    "other header": lambda k, p, c, n: (Pull(k, bytes([p.header[0] ^ 1]) + p.header[1:]), c, b"a"),
}


@pytest.mark.parametrize("spoil", SPOILED.values(), ids=SPOILED)
def test_refused_chunk_leaves_the_stream_going_on(key: SecretBox, spoil) -> None:  # type: ignore[no-untyped-def]
    push, pull = pair(key)
    c1, c2 = push.push(b"chunk one", ad=b"a"), push.push(b"chunk two", ad=b"a")
    other, chunk, ad = spoil(key, push, c1, c2)
    with pytest.raises(SecureError) as info:
        (other or pull).pull(chunk, ad=ad)
    assert str(info.value) == OPEN_FAILED and pull.is_finished is False
    assert pull.pull(c1, ad=b"a") == (b"chunk one", False)
    with pytest.raises(SecureError, match="ciphertext did not open"):
        pull.pull(c1, ad=b"a")  # repeated
    assert pull.pull(c2, ad=b"a") == (b"chunk two", False)


def test_bool_flags_and_keywords(key: SecretBox) -> None:
    for flag, final in [(False, False), (np.False_, False), (np.True_, True)]:  # bools and numpy bools
        push, pull = pair(key)
        assert pull.pull(push.push(b"m", final=flag)) == (b"m", final)
    push = Push(key=key)  # keywords for positional parameters
    assert Pull(key=key, header=push.header).pull(chunk=push.push(message=b"kw", final=True)) == (b"kw", True)


def wiped() -> SecretBox:
    b = SecretBox.random(16)
    b.wipe()
    return b


KEY = lambda n: bad_length("secretstream key", 32, n)  # noqa: E731
HEADER = lambda n: bad_length("secretstream header", 24, n)  # noqa: E731


# (key box or its length, header length or None for the push side, message);
# argument-type refusals are in test_conversion.py
@pytest.mark.parametrize(
    ("key_box", "header", "message"),
    [(wiped, 23, WIPED), (16, 23, KEY(16)), (33, 24, KEY(33)), (32, 23, HEADER(23)), (32, 25, HEADER(25)),
     (wiped, None, WIPED), (31, None, KEY(31)), (33, None, KEY(33))],
)  # fmt: skip
def test_lengths_in_order(key_box, header: int | None, message: str, no_leak) -> None:  # type: ignore[no-untyped-def]
    k = key_box() if callable(key_box) else SecretBox.random(key_box)
    with pytest.raises(SecureError) as info:
        Push(k) if header is None else Pull(k, bytes(header))
    assert str(info.value) == message
    del info, k


def test_no_reference_to_the_key_box_is_kept(key: SecretBox) -> None:
    before = sys.getrefcount(key)
    push, pull = pair(key)
    assert sys.getrefcount(key) == before
    key.wipe()
    assert pull.pull(push.push(b"after wipe")) == (b"after wipe", False)


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
