"""EntropyPool: sizes, internal faults, secrets born in locked boxes (refusals: test_conversion.py).
(The native pool tests recompute every output block and count the draws.)"""

from __future__ import annotations

import numpy as np
import pytest

from quorvex._secure import EntropyPool, PanicException, SecretBox

from conftest import live

pytestmark = pytest.mark.usefixtures("release_cycles")


@pytest.fixture
def pool() -> EntropyPool:
    return EntropyPool()


def test_sizes_index_objects_and_seeds(pool: EntropyPool) -> None:
    for n in [0, 1, 31, 32, 33, 64, 4096, 10_000, np.uint8(5), True]:  # index objects too
        out = pool.random(n)
        assert type(out) is bytes and len(out) == int(n)
    assert repr(pool) == "EntropyPool(<state redacted>)"
    # Seeds: bytes and boxes (every bytes-like kind, the refusals and a wiped box: test_conversion.py).
    seed = SecretBox.random(32)
    assert pool.mix(b"") is None and pool.mix(seed) is None
    assert not seed.is_wiped and len(seed) == 32 and len(pool.random(8)) == 8


@pytest.mark.parametrize("n", [2**63, 2**64 - 1])
def test_random_beyond_2_63_is_an_internal_fault_and_the_pool_goes_on(pool: EntropyPool, n: int) -> None:
    with pytest.raises(PanicException, match="^capacity overflow$"):
        pool.random(n)
    assert len(pool.random(8)) == 8


def test_random_secret_is_a_locked_box(pool: EntropyPool, no_leak) -> None:  # type: ignore[no-untyped-def]
    before = live()
    box = pool.random_secret(32)
    assert type(box) is SecretBox and len(box) == 32 and live() == before + 1
    assert box.is_locked == SecretBox.random(1).is_locked
