"""Secrets held in guarded, mlock-ed memory by the native enclave ``quorvex._secure``."""

from __future__ import annotations

from typing import Any

__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    # The enclave's public names are reachable from the package, loaded on
    # first use, so that importing the package (for its errors module, say)
    # never maps or locks anything.
    if not name.startswith("_"):
        from quorvex import _secure

        if name in _secure.__all__:
            return getattr(_secure, name)
    raise AttributeError(f"module 'quorvex' has no attribute {name!r}")
