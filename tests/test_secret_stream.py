"""SecretStreamPush / SecretStreamPull: both ways with libsodium (PyNaCl), refusals
in order that leave the stream going on, finishing, and the GIL released."""

from __future__ import annotations

import os
import sys
import threading
import time
from typing import Any

import numpy as np
import pytest

from quorvex._secure import SecretBox, SecretStreamPull as Pull, SecretStreamPush as Push, SecureError

from conftest import FINISHED, OPEN_FAILED, WIPED, bad_length, wiped

nacl = pytest.importorskip("nacl.bindings")

pytestmark = pytest.mark.usefixtures("release_cycles")


def sodium(name: str) -> Any:
    return getattr(nacl, "crypto_secretstream_xchacha20poly1305_" + name)


MESSAGE, PUSH, REKEY, FINAL = (sodium("TAG_" + tag) for tag in ("MESSAGE", "PUSH", "REKEY", "FINAL"))


@pytest.fixture
def key() -> SecretBox:
    return SecretBox.random(32)


def pair(key: SecretBox) -> tuple[Push, Pull]:
    push = Push(key)
    return push, Pull(key, push.header)


@pytest.mark.parametrize("ad_len", [0, 1, 15, 16, 17, 33, 1000])
def test_both_ways_with_libsodium_then_finished(ad_len: int) -> None:
    raw = os.urandom(32)
    ours = Push(key=SecretBox.from_bytes(raw))  # keywords for every parameter
    theirs_pull, theirs_push = sodium("state")(), sodium("state")()
    sodium("init_pull")(theirs_pull, ours.header, raw)
    pull = Pull(key=SecretBox.from_bytes(raw), header=sodium("init_push")(theirs_push, raw))
    sizes = [0, 1, 15, 16, 17, 63, 64, 65, 1000, 100_000]
    for i, size in enumerate(sizes):
        message, ad, final = os.urandom(size), os.urandom(ad_len), i == len(sizes) - 1
        # An empty ad is sent as None one way and as b"" the other: both are libsodium's absent ad.
        chunk = ours.push(message=message, ad=ad or None, final=np.bool_(final))  # a NumPy bool is taken too
        assert sodium("pull")(theirs_pull, chunk, ad or None) == (message, FINAL if final else MESSAGE)
        # libsodium's writer also sends its push and rekey tags, which the reader follows
        chunk = sodium("push")(theirs_push, message, ad or None, FINAL if final else [MESSAGE, PUSH, REKEY][i % 3])
        assert pull.pull(chunk=chunk, ad=ad) == (message, final)
    assert pull.is_finished is True and ours.is_finished is True
    for call in (lambda: ours.push(b"more"), lambda: pull.pull(chunk, ad=ad)):
        with pytest.raises(SecureError, match=f"^{FINISHED}$"):
            call()


def flip(data: bytes, i: int) -> bytes:
    return bytes(b ^ 1 if j == i % len(data) else b for j, b in enumerate(data))


KEY = lambda n: bad_length("secretstream key", 32, n)  # noqa: E731

# Calls refused, given (key, header, pull side, chunk one, chunk two) of a stream
# whose two chunks were pushed with ad b"a", and their messages. The checks of the
# constructors come in order: the key box, its length, the header's length.
# Argument-type refusals are in test_conversion.py.
REFUSED = {
    "16 bytes": (lambda k, h, s, c, n: s.pull(c[:16], ad=b"a"), OPEN_FAILED),
    "tag byte": (lambda k, h, s, c, n: s.pull(flip(c, 0), ad=b"a"), OPEN_FAILED),
    "mac": (lambda k, h, s, c, n: s.pull(flip(c, -1), ad=b"a"), OPEN_FAILED),
    "reordered": (lambda k, h, s, c, n: s.pull(n, ad=b"a"), OPEN_FAILED),
    "pull, wiped key": (lambda *_: Pull(wiped(), bytes(23)), WIPED),
    "pull, short key": (lambda *_: Pull(SecretBox.random(16), bytes(23)), KEY(16)),
    "pull, long key": (lambda *_: Pull(SecretBox.random(33), bytes(24)), KEY(33)),
    "pull, short header": (lambda k, *_: Pull(k, bytes(23)), bad_length("secretstream header", 24, 23)),
    "push, short key": (lambda *_: Push(SecretBox.random(31)), KEY(31)),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refusals_leave_the_stream_going_on(key: SecretBox, case: str, no_leak) -> None:  # type: ignore[no-untyped-def]
    push, pull = pair(key)
    c1, c2 = push.push(b"chunk one", ad=b"a"), push.push(b"chunk two", ad=b"a")
    call, message = REFUSED[case]
    with pytest.raises(SecureError) as info:
        call(key, push.header, pull, c1, c2)
    assert str(info.value) == message and pull.is_finished is False
    assert pull.pull(c1, ad=b"a") == (b"chunk one", False)
    assert pull.pull(c2, ad=b"a") == (b"chunk two", False)


def test_no_reference_to_the_key_box_is_kept(key: SecretBox) -> None:
    before = sys.getrefcount(key)
    push, pull = pair(key)
    assert sys.getrefcount(key) == before
    key.wipe()
    assert pull.pull(push.push(b"after wipe")) == (b"after wipe", False)


def test_gil_is_released_during_push_and_is_finished_never_deadlocks(key: SecretBox) -> None:
    push, pull = pair(key)
    stamps: list[float] = []
    stop = threading.Event()

    def other_thread() -> None:
        while not stop.is_set():
            stamps.append(time.perf_counter())
        # Then polls while pushes run: a poll waiting on the lock with the GIL
        # held would deadlock against a push taking the GIL back under the lock.
        while not push.is_finished:
            pass

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    thread = threading.Thread(target=other_thread, daemon=True)
    thread.start()
    try:
        t0, chunk, t1 = time.perf_counter(), push.push(bytes(64 << 20)), time.perf_counter()
    finally:
        stop.set()
        sys.setswitchinterval(old)
    for _ in range(4):
        push.push(bytes(8 << 20))
    push.push(b"", final=True)
    thread.join(timeout=60)
    assert not thread.is_alive()
    # Time the other thread spent running inside the first push. Holding the
    # GIL, push would allow it at most a switch interval or two around the call.
    inside = [t for t in stamps if t0 <= t <= t1]
    busy = sum(b - a for a, b in zip(inside, inside[1:]) if b - a < 0.0002)
    assert busy > 0.005, (busy, t1 - t0)
    assert pull.pull(chunk) == (bytes(64 << 20), False)
