"""Threads hammering shared objects, and the headroom rows of `quorvex
status`. Each runs in its own interpreter: a deadlock is caught by the
watchdog there, and the counters of this process stay untouched."""

from __future__ import annotations

import json
import sys

import pytest

from quorvex import _secure

from conftest import run_python

STRESS = """
import faulthandler, gc, os, random, sys, threading, time
from quorvex import _secure as q
from quorvex._secure import SecretBox, SecureError

faulthandler.dump_traceback_later(90, exit=True)  # a hang holding the GIL
sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
gc.collect()
start = q.memory_status()["live_secrets"]
THREADS, OPS = 8, 5000
WIPED = "secret box was wiped \u00b7 a caixa de segredo foi apagada"

boxes = [SecretBox.from_bytes(bytes([i]) * 32) for i in range(4)]
key = SecretBox.random(32)
spray = q.SecretStreamPush(key)                 # pushed from every thread at once
push = q.SecretStreamPush(key)                  # ordered channel: chunks recorded in push order
pull = q.SecretStreamPull(key, push.header)
pool = q.EntropyPool()
order, pull_lock, sent, received = threading.Lock(), threading.Lock(), [], []
errors = []

def one(rng, t, i):
    a, b = boxes[rng.randrange(4)], boxes[rng.randrange(4)]
    op = rng.randrange(10)
    try:
        if op == 0:
            assert a.clone() == a
        elif op == 1:
            assert (a == b) == (a is b or a.reveal() == b.reveal())
        elif op == 2:
            assert SecretBox.from_bytes(a.reveal()) == a
        elif op == 3:
            assert a.hkdf_sha256(info=b"stress", length=48) == a.hkdf_sha256(info=b"stress", length=48)
        elif op == 4 and i % 100 == 0:
            a.wipe()
            boxes[rng.randrange(4)] = SecretBox.from_bytes(os.urandom(32))  # the old one is released by whoever drops it last
        elif op == 5:
            msg = os.urandom(rng.randrange(1, 300))
            assert len(spray.push(msg, ad=b"x")) == len(msg) + q.SECRETSTREAM_ABYTES
        elif op == 6:
            with order:
                msg = b"%d:%d" % (t, i)
                sent.append((push.push(msg), msg))
        elif op == 7:
            with pull_lock:  # popped and pulled under one lock, so pulls keep push order
                with order:
                    item = sent.pop(0) if sent else None
                if item is not None:
                    received.append((pull.pull(item[0]), item[1]))
        elif op == 8:
            assert not (push.is_finished or pull.is_finished or spray.is_finished)
        else:
            assert len(pool.random(rng.randrange(1, 100))) > 0
            if i % 50 == 0:
                assert len(pool.random_secret(16)) == 16
    except SecureError as exc:
        if str(exc) != WIPED:
            raise

def worker(t):
    rng = random.Random(t)
    try:
        for i in range(OPS):
            one(rng, t, i)
    except BaseException as exc:
        errors.append(repr(exc))

threads = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(THREADS)]
for th in threads:
    th.start()
deadline = time.monotonic() + 60
for th in threads:
    th.join(timeout=max(0.0, deadline - time.monotonic()))
if any(th.is_alive() for th in threads):
    faulthandler.dump_traceback(all_threads=True)
    print("DEADLOCK", flush=True)
    os._exit(3)
assert not errors, errors[:3]
# Pull order must have matched push order.
assert all(got == (msg, False) for got, msg in received), received[:3]
last = push.push(b"end", final=True)
for chunk, msg in sent:
    assert pull.pull(chunk) == (msg, False)
assert pull.pull(last) == (b"end", True) and push.is_finished and pull.is_finished
del boxes, key, spray, push, pull, pool, threads
gc.collect()
print("ops", THREADS * OPS, "pulled", len(received) + len(sent) + 1, "live back", q.memory_status()["live_secrets"] == start)
"""


def test_threads_on_shared_objects_neither_deadlock_nor_leak() -> None:
    result = run_python(STRESS)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.split()[-1] == "True", result.stdout


HEADROOM = """
import contextlib, io, json
from quorvex import _secure as q
from quorvex.__main__ import main

def status(*flags):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert main(["status", *flags]) == 0
    return out.getvalue()

snapshots = [json.loads(status("--json"))]
boxes = [q.SecretBox.random(32) for _ in range(5)]
snapshots.append(json.loads(status("--json")))
boxes += [q.SecretBox.random(32) for _ in range(295)]
snapshots.append(json.loads(status("--json")))
table = {line.split()[0]: line.split(maxsplit=1)[1] for line in status().splitlines()[2:]}
print(json.dumps([snapshots, table]))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads Linux /proc")
def test_status_shows_regions_left_before_the_map_and_mlock_limits() -> None:
    limit = 65536
    result = run_python(HEADROOM, memlock=limit, drop_ipc_lock=True)
    assert result.returncode == 0, result.stderr
    (empty, five, many), table = json.loads(result.stdout)
    keys = ["regions_before_max_map_count", "regions_before_mlock_limit", "libcrypto"]
    assert list(empty) == [*_secure.memory_status(), *keys]  # extra rows after the module's own keys
    assert (empty["live_secrets"], many["live_secrets"]) == (0, 300)
    # One locked page per 32-byte box, until the limit; the rest live unlocked.
    per_limit = limit // empty["page_size"]
    assert [s["regions_before_mlock_limit"] for s in (empty, five, many)] == [per_limit, per_limit - 5, 0]
    # Two or three new mappings per region: neighbouring guard pages may merge.
    dropped = empty["regions_before_max_map_count"] - many["regions_before_max_map_count"]
    assert 300 * 2 // 3 - 3 <= dropped <= 300 + 3
    assert table["regions_before_mlock_limit"] == "0"
    # Read a moment later: the interpreter's allocator may have mapped a page since.
    assert abs(int(table["regions_before_max_map_count"]) - many["regions_before_max_map_count"]) <= 3
