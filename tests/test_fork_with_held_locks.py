"""fork() while threads are inside push/pull, holding the stream's lock, must not hang the child:
objects of every kind from before the fork refuse with the fork message and keep their flags."""

from __future__ import annotations

import os

import pytest

from conftest import FORKED, OPERATIONS, run_python

CHILD = OPERATIONS + """
import contextlib, signal, threading, time

big = bytes(32 << 20)
big_chunk = push.push(big)

def busy(call):
    while True:
        with contextlib.suppress(q.SecureError):  # out of order: refused, after holding the lock all the same
            call()

# Only push and pull run without the GIL, so theirs is the only lock a fork from Python can find held.
for call in (lambda: push.push(big), lambda: pull.pull(big_chunk)):
    threading.Thread(target=busy, args=(call,)).start()

def in_child():
    signal.alarm(10)  # a child that hangs dies of SIGALRM: exit status 14
    answers = []
    # A box answers so before its length and limit checks too.
    for call in (lambda: push.push(b"x"), lambda: pull.pull(chunk), key.reveal, lambda: key.aes_gcm_seal(b"n", b""),
                 lambda: key.hkdf_sha256(info=b"", length=9000), lambda: kp.open(*plain, b""), lambda: pool.random(8),
                 lambda: pool.mix(b"seed")):
        try:
            call()
            answers.append("ok")
        except q.SecureError as e:
            answers.append(str(e))
    return answers, (push.is_finished, pull.is_finished, len(key), key.is_wiped, kp.is_wiped)

for _ in range(3):
    time.sleep(0.05)
    pid = os.fork()
    if pid == 0:
        os.write(1, repr(in_child()).encode() + b"\\n")
        os._exit(0)
    print("child exit status", os.waitpid(pid, 0)[1], flush=True)
os._exit(0)  # with the workers still busy
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_fork_child_never_waits_on_a_lock_held_at_the_fork() -> None:
    result = run_python(CHILD)
    answer = repr(([FORKED] * 8, (False, False, 32, False, False)))
    assert result.stdout.splitlines() == [answer, "child exit status 0"] * 3, result.stdout + result.stderr[-2000:]
