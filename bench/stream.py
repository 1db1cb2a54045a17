"""Secret-stream push and pull beside libsodium's (through PyNaCl), and the
entropy pool beside os.urandom."""

from __future__ import annotations

import os
from typing import Callable

import nacl.bindings as sodium

from bench.harness import Case
from quorvex import _secure

SIZES = [64, 4 << 10, 64 << 10, 1 << 20]
TAG_MESSAGE = sodium.crypto_secretstream_xchacha20poly1305_TAG_MESSAGE


class Replay:
    """Pulls a fixed run of chunks in order; after the last one a fresh
    pulling state starts over (its cost spread over the whole run)."""

    def __init__(self, chunks: list[bytes], start: Callable[[], object], pull: Callable[[object, bytes], object]):
        self.chunks, self.start, self.pull = chunks, start, pull
        self.state = start()
        self.i = 0

    def __call__(self) -> object:
        if self.i == len(self.chunks):
            self.state, self.i = self.start(), 0
        chunk = self.chunks[self.i]
        self.i += 1
        return self.pull(self.state, chunk)


def sodium_push_state(raw: bytes) -> object:
    state = sodium.crypto_secretstream_xchacha20poly1305_state()
    sodium.crypto_secretstream_xchacha20poly1305_init_push(state, raw)
    return state


def sodium_pull_state(raw: bytes, header: bytes) -> object:
    state = sodium.crypto_secretstream_xchacha20poly1305_state()
    sodium.crypto_secretstream_xchacha20poly1305_init_pull(state, header, raw)
    return state


def stream_cases(size: int) -> list[Case]:
    raw = os.urandom(32)
    key = _secure.SecretBox.from_bytes(raw)
    message = os.urandom(size)
    ours_push = _secure.SecretStreamPush(key)
    peer_push = sodium_push_state(raw)

    # One run of chunks (at most 32 MiB) that both sides can pull.
    writer = _secure.SecretStreamPush(key)
    chunks = [writer.push(message) for _ in range(max(8, min(4096, (32 << 20) // size)))]
    ours_pull = Replay(chunks, lambda: _secure.SecretStreamPull(key, writer.header),
                       lambda s, c: s.pull(c))  # type: ignore[attr-defined]  # fmt: skip
    peer_pull = Replay(chunks, lambda: sodium_pull_state(raw, writer.header),
                       lambda s, c: sodium.crypto_secretstream_xchacha20poly1305_pull(s, c, None))  # fmt: skip
    return [
        Case("SecretStreamPush.push", size, lambda: ours_push.push(message),
             lambda: sodium.crypto_secretstream_xchacha20poly1305_push(peer_push, message, None, TAG_MESSAGE),
             "PyNaCl secretstream push"),  # fmt: skip
        Case("SecretStreamPull.pull", size, ours_pull, peer_pull, "PyNaCl secretstream pull"),
    ]


def cases(quick: bool) -> list[Case]:
    out: list[Case] = []
    for size in SIZES:
        out += stream_cases(size)
    pool = _secure.EntropyPool()
    pool.mix(os.urandom(32))
    out += [
        Case("EntropyPool.random", 32, lambda: pool.random(32), lambda: os.urandom(32), "os.urandom"),
        Case("EntropyPool.random", 4096, lambda: pool.random(4096), lambda: os.urandom(4096), "os.urandom"),
        Case("EntropyPool.random_secret", 32, lambda: pool.random_secret(32), lambda: os.urandom(32), "os.urandom"),
    ]
    return out
