"""Threads hammering shared boxes, a stream, a pool and a key pair (wiped while others open with it) in
an interpreter of their own: a deadlock trips the watchdog there, and no secret is left live."""

from __future__ import annotations

from conftest import run_python

STRESS = """
import faulthandler, gc, os, random, sys
from concurrent.futures import ThreadPoolExecutor
from quorvex import _secure as q
from quorvex._secure import SecretBox, SecureError

faulthandler.dump_traceback_later(60, exit=True)  # a deadlock: every thread's stack, and the child fails
sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
gc.collect()
start = q.memory_status()["live_secrets"]
WIPED = "secret box was wiped \\u00b7 a caixa de segredo foi apagada"
boxes = [SecretBox.from_bytes(bytes([i]) * 32) for i in range(4)]
stream, pool, kp = q.SecretStreamPush(SecretBox.random(32)), q.EntropyPool(), q.HybridKeyPair.generate()
seal = q.seal_hybrid(kp.x25519_public, kp.mlkem768_public, b"shared", b"")
OPS = [
    lambda a, b, n: a.clone() == a,
    lambda a, b, n: (a == b) == (a is b or a.reveal() == b.reveal()),  # two locks, taken in either order
    lambda a, b, n: SecretBox.from_bytes(a.reveal()) == a,
    lambda a, b, n: a.hkdf_sha256(info=b"stress", length=48) == a.hkdf_sha256(info=b"stress", length=48),
    lambda a, b, n: len(stream.push(os.urandom(n))) == n + q.SECRETSTREAM_ABYTES and not stream.is_finished,
    lambda a, b, n: len(pool.random(n)) == n and len(pool.random_secret(16)) == 16,
    lambda a, b, n: kp.open(*seal, b"") == b"shared",
]

def work(seed):
    rng = random.Random(seed)
    for i in range(5000):
        a, b = rng.choice(boxes), rng.choice(boxes)
        try:
            if i % 100 == 99:  # the old box is released by whichever thread drops it last
                a.wipe()
                if i == 2499:  # while the other threads open with it
                    kp.wipe()
                boxes[rng.randrange(4)] = SecretBox.from_bytes(os.urandom(32))
            else:
                assert rng.choice(OPS)(a, b, rng.randrange(1, 300))
        except SecureError as exc:
            if str(exc) != WIPED:
                raise

with ThreadPoolExecutor(8) as workers:
    list(workers.map(work, range(8)))
del boxes, stream, pool, kp, OPS
gc.collect()
print(q.memory_status()["live_secrets"] - start)
"""


def test_threads_on_shared_objects_neither_deadlock_nor_leak() -> None:
    result = run_python(STRESS)
    assert (result.returncode, result.stdout) == (0, "0\n"), result.stderr
