"""🇺🇸 Boxes and identities persisted to OpenBao (KV version 2), with no copy of a secret left on the Python heap.
🇧🇷 Caixas e identidades persistidas no OpenBao (KV versão 2), sem cópia de segredo deixada no heap do Python."""

from __future__ import annotations

from quorvex.openbao.errors import StoreError
from quorvex.openbao.store import Store

__all__ = ["Store", "StoreError"]
