"""Secrets held in guarded, mlock-ed memory by the native enclave ``quorvex._secure``."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quorvex._secure import (
        MLKEM768_CIPHERTEXT_BYTES,
        MLKEM768_PUBLIC_BYTES,
        MLKEM768_SECRET_BYTES,
        SECRETSTREAM_ABYTES,
        SECRETSTREAM_HEADER_BYTES,
        X25519_PUBLIC_BYTES,
        X25519_SECRET_BYTES,
        EntropyPool,
        HybridKeyPair,
        PanicException,
        SecretBox,
        SecretStreamPull,
        SecretStreamPush,
        SecureError,
        __version__ as __version__,
        harden_process,
        memory_status,
        seal_hybrid,
    )
    from quorvex.errors import CryptoError

__all__ = [
    "SecretBox",
    "HybridKeyPair",
    "SecretStreamPush",
    "SecretStreamPull",
    "EntropyPool",
    "seal_hybrid",
    "harden_process",
    "memory_status",
    "SecureError",
    "PanicException",
    "CryptoError",
    "SECRETSTREAM_HEADER_BYTES",
    "SECRETSTREAM_ABYTES",
    "X25519_PUBLIC_BYTES",
    "X25519_SECRET_BYTES",
    "MLKEM768_PUBLIC_BYTES",
    "MLKEM768_SECRET_BYTES",
    "MLKEM768_CIPHERTEXT_BYTES",
]

# Names the enclave provides; CryptoError is the errors module's.
_ENCLAVE = frozenset(__all__) - {"CryptoError"} | {"__version__"}


# Every name is loaded on first use: importing the package (for its errors
# module, say) never loads the extension, and importing the extension runs
# nothing here first. Type checkers see the imports above instead, so a
# misspelt name is an error there too.
if not TYPE_CHECKING:

    def __getattr__(name: str) -> Any:
        if name in _ENCLAVE:
            from quorvex import _secure

            return getattr(_secure, name)
        if name == "CryptoError":
            from quorvex.errors import CryptoError

            return CryptoError
        raise AttributeError(f"module 'quorvex' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({n for n in globals() if n.startswith("__")} | _ENCLAVE | set(__all__))
