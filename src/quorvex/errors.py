"""Exceptions of the quorvex package."""

from __future__ import annotations

__all__ = ["CryptoError"]


class CryptoError(Exception):
    """Base of every cryptographic failure the package reports."""
