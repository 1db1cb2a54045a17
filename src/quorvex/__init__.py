"""Secrets held in guarded, mlock-ed memory by the native enclave ``quorvex._secure``."""

from __future__ import annotations

from typing import Any

__version__ = "0.1.0"

_NATIVE = frozenset(
    {
        "SecretBox",
        "HybridKeyPair",
        "SecretStreamPush",
        "SecretStreamPull",
        "EntropyPool",
        "seal_hybrid",
        "harden_process",
        "memory_status",
        "SecureError",
    }
)


def __getattr__(name: str) -> Any:
    # The enclave is loaded on first use, so that importing the package (for
    # its errors module, say) never maps or locks anything.
    if name in _NATIVE:
        from quorvex import _secure

        return getattr(_secure, name)
    raise AttributeError(f"module 'quorvex' has no attribute {name!r}")
