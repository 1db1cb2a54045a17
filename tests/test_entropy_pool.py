"""EntropyPool: sizes, mixing, refusals in order with their exact texts,
secrets born in locked boxes."""

from __future__ import annotations

import copy
import gc
import pickle
from typing import Iterator

import numpy as np
import pytest

from quorvex import _secure

from conftest import live, run_python
from failing_rng import failing_rng_env

EntropyPool = _secure.EntropyPool
SecretBox = _secure.SecretBox
SecureError = _secure.SecureError
EMPTY = "a secret cannot be empty · um segredo não pode ser vazio"
WIPED = "secret box was wiped · a caixa de segredo foi apagada"
RNG = "operating system RNG failed · RNG do sistema operacional falhou"
STR_REFUSED = "expected a bytes-like object, got str; encode it first · esperava um objeto tipo bytes, recebeu str; codifique antes"


@pytest.fixture(autouse=True)
def _release_cycles() -> Iterator[None]:
    """pytest.raises keeps frames (and the pools, streams and boxes in them)
    in reference cycles; collect them so no region outlives its test."""
    yield
    gc.collect()


@pytest.fixture
def no_leak() -> Iterator[None]:
    gc.collect()
    before = live()
    yield
    gc.collect()
    assert live() == before


@pytest.fixture
def pool() -> _secure.EntropyPool:
    return EntropyPool()


@pytest.mark.parametrize("n", [0, 1, 31, 32, 33, 64, 4096, 10_000])
def test_random_has_the_asked_length(pool: _secure.EntropyPool, n: int) -> None:
    out = pool.random(n)
    assert type(out) is bytes and len(out) == n


def test_successive_outputs_differ(pool: _secure.EntropyPool) -> None:
    outputs = {pool.random(32) for _ in range(100)}
    assert len(outputs) == 100
    other = EntropyPool()
    pool.mix(b"same seed")
    other.mix(b"same seed")
    assert pool.random(32) != other.random(32)  # fresh OS bytes in every block


def test_index_objects_are_accepted(pool: _secure.EntropyPool) -> None:
    assert len(pool.random(np.uint8(5))) == 5 and len(pool.random(True)) == 1


@pytest.mark.parametrize(
    ("n", "exc", "message"),
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "'str' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ],
)
@pytest.mark.parametrize("method", ["random", "random_secret"])
def test_bad_sizes_are_refused_by_the_integer_conversion(
    pool: _secure.EntropyPool, method: str, n: object, exc: type, message: str
) -> None:
    with pytest.raises(exc) as info:
        getattr(pool, method)(n)
    assert str(info.value) == message and info.value.__notes__ == ["argument 'n'"]


@pytest.mark.parametrize("n", [2**63, 2**64 - 1])
def test_random_beyond_2_63_is_an_internal_fault_and_the_pool_goes_on(pool: _secure.EntropyPool, n: int) -> None:
    with pytest.raises(_secure.PanicException, match="^capacity overflow$"):
        pool.random(n)
    assert len(pool.random(8)) == 8
    pool.mix(b"")


def test_random_secret_is_a_locked_box(pool: _secure.EntropyPool, no_leak) -> None:  # type: ignore[no-untyped-def]
    before = live()
    box = pool.random_secret(32)
    assert type(box) is SecretBox and len(box) == 32 and live() == before + 1
    assert box.is_locked == SecretBox.random(1).is_locked
    assert pool.random_secret(32) != box
    del box


def test_random_secret_of_zero_is_refused(pool: _secure.EntropyPool, no_leak) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(SecureError) as info:
        pool.random_secret(0)
    assert str(info.value) == EMPTY


def test_random_secret_too_large_for_a_region(pool: _secure.EntropyPool, no_leak) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(SecureError, match="^could not allocate a locked page"):
        pool.random_secret(2**64 - 1)


@pytest.mark.parametrize(
    "seed",
    [b"", b"seed", bytearray(100), memoryview(b"view"), np.arange(10, dtype=np.uint8)],
    ids=["empty", "bytes", "bytearray", "memoryview", "numpy"],
)
def test_mix_takes_bytes_like_seeds(pool: _secure.EntropyPool, seed: object) -> None:
    assert pool.mix(seed) is None
    assert len(pool.random(40)) == 40


def test_mix_takes_a_box_and_leaves_it(pool: _secure.EntropyPool) -> None:
    box = SecretBox.random(32)
    assert pool.mix(box) is None
    assert not box.is_wiped and len(box) == 32


def test_mix_with_a_wiped_box_is_refused_and_the_pool_stays_usable(pool: _secure.EntropyPool) -> None:
    box = SecretBox.random(16)
    box.wipe()
    with pytest.raises(SecureError) as info:
        pool.mix(box)
    assert str(info.value) == WIPED
    assert len(pool.random(32)) == 32


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda p: p.mix("seed"), TypeError, STR_REFUSED),
        (lambda p: p.mix(None), TypeError, "a bytes-like object is required, not 'NoneType'"),
        (lambda p: p.mix(), TypeError, "mix() missing required argument 'seed' (pos 1)"),
        (lambda p: p.random(), TypeError, "random() missing required argument 'n' (pos 1)"),
        (lambda p: p.random(1, 2), TypeError, "random() takes at most 1 positional argument (2 given)"),
        (lambda p: EntropyPool(1), TypeError, "EntropyPool() takes no positional arguments"),
        (lambda p: EntropyPool(seed=b""), TypeError, "EntropyPool() got an unexpected keyword argument 'seed'"),
    ],
)
def test_argument_errors(pool: _secure.EntropyPool, call, exc: type, message: str) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(exc) as info:
        call(pool)
    assert str(info.value) == message


def test_repr_is_redacted(pool: _secure.EntropyPool) -> None:
    assert repr(pool) == "EntropyPool(<state redacted>)"


def test_pool_refuses_pickle_and_copy(pool: _secure.EntropyPool) -> None:
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            refuse(pool)


def test_os_rng_failure(tmp_path_factory: pytest.TempPathFactory) -> None:
    result = run_python(
        """
        from quorvex import _secure
        pool = _secure.EntropyPool()
        before = _secure.memory_status()["live_secrets"]
        print(pool.random(0) == b"")
        for call in (lambda: pool.random(1), lambda: pool.random_secret(64)):
            try:
                call()
            except _secure.SecureError as e:
                print(str(e))
        print(_secure.memory_status()["live_secrets"] == before)
        """,
        env=failing_rng_env(tmp_path_factory),
    )
    assert result.stdout.splitlines() == ["True", RNG, RNG, "True"], result.stderr


def test_no_locked_page() -> None:
    result = run_python(
        """
        from quorvex import _secure
        pool = _secure.EntropyPool()           # takes the one lockable page
        for call in (lambda: pool.random_secret(32), _secure.EntropyPool):
            try:
                call()
            except _secure.SecureError as e:
                print(str(e).split(" ")[0])
        """,
        env={"QUORVEX_MEMORY_LOCK": "require"},
        memlock=4096,
        drop_ipc_lock=True,
    )
    assert result.stdout.splitlines() == ["mlock", "mlock"], result.stderr
