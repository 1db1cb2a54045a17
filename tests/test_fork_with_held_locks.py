"""fork() while other threads are inside push/pull (which hold the stream's
lock with the GIL released) must not hang the child: objects from before
the fork refuse their secrets with the fork message and keep their flags.
A watchdog kills a child that hangs, so the test fails instead of hanging.
(The native lock tests hold the lock of every owner kind across a fork.)"""

from __future__ import annotations

import os

import pytest

from conftest import FORKED, run_python

SCRIPT = """
import os, signal, threading, time
from quorvex._secure import EntropyPool, HybridKeyPair, SecretBox, SecretStreamPull, SecretStreamPush, SecureError

key = SecretBox.random(32)
push = SecretStreamPush(key)
pull = SecretStreamPull(key, push.header)
big = bytes(32 << 20)
chunk = push.push(big)
box, kp, pool = SecretBox.random(32), HybridKeyPair.generate(), EntropyPool()
stop = threading.Event()

def busy(call):
    while not stop.is_set():
        try:
            call()
        except SecureError:  # the pulled chunk no longer opens: the lock was held all the same
            pass

workers = [threading.Thread(target=busy, args=(f,)) for f in (lambda: push.push(big), lambda: pull.pull(chunk))]
for w in workers:
    w.start()

def in_child():
    signal.alarm(20)
    answers = []
    for call in (lambda: push.push(b"x"), lambda: pull.pull(chunk), box.reveal,
                 lambda: kp.open(bytes(1120), bytes(12), bytes(16), b""), lambda: pool.random(8)):
        try:
            call()
            answers.append("ok")
        except SecureError as e:
            answers.append(str(e))
    kept = (push.is_finished, pull.is_finished, len(box), box.is_wiped, kp.is_wiped)
    return answers, kept

for _ in range(3):
    time.sleep(0.05)
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        os.write(w, repr(in_child()).encode())
        os._exit(0)
    os.close(w)
    deadline = time.monotonic() + 15
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            print("child hung")
            break
        time.sleep(0.01)
    else:
        print(os.read(r, 65536).decode())
    os.close(r)

stop.set()
for w in workers:
    w.join()
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_fork_child_never_waits_on_a_lock_held_at_the_fork() -> None:
    result = run_python(SCRIPT)
    expected = repr(([FORKED] * 5, (False, False, 32, False, False)))
    assert result.stdout.splitlines() == [expected] * 3, result.stdout + result.stderr[-2000:]
