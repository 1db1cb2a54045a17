"""🇺🇸 Module entry point: registers the classes, functions and constants Python sees.
🇧🇷 Ponto de entrada do módulo: registra as classes, funções e constantes que o Python vê."""

from typing import Any, Final, final

from typing_extensions import Buffer

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
    "__version__",
    "SECRETSTREAM_HEADER_BYTES",
    "SECRETSTREAM_ABYTES",
    "X25519_PUBLIC_BYTES",
    "X25519_SECRET_BYTES",
    "MLKEM768_PUBLIC_BYTES",
    "MLKEM768_SECRET_BYTES",
    "MLKEM768_CIPHERTEXT_BYTES",
]

__version__: Final[str]
SECRETSTREAM_HEADER_BYTES: Final[int]
SECRETSTREAM_ABYTES: Final[int]
X25519_PUBLIC_BYTES: Final[int]
X25519_SECRET_BYTES: Final[int]
MLKEM768_PUBLIC_BYTES: Final[int]
MLKEM768_SECRET_BYTES: Final[int]
MLKEM768_CIPHERTEXT_BYTES: Final[int]

class SecureError(CryptoError): ...
class PanicException(BaseException): ...

def memory_status() -> dict[str, Any]: ...
def harden_process() -> dict[str, Any]: ...

# --- SecretBox ---------------------------------------------------------------

@final
class SecretBox:
    @staticmethod
    def random(length: int) -> SecretBox: ...
    @staticmethod
    def from_bytes(data: Buffer) -> SecretBox: ...
    def clone(self) -> SecretBox: ...
    def reveal(self) -> bytearray: ...
    def wipe(self) -> None: ...
    @property
    def is_locked(self) -> bool: ...
    @property
    def is_wiped(self) -> bool: ...
    def __len__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __reduce__(self) -> Any: ...
    def __copy__(self) -> SecretBox: ...
    def __deepcopy__(self, _memo: Any) -> SecretBox: ...
    __hash__: None  # type: ignore[assignment]
    # --- SecretBox keyed operations ---

# --- HybridKeyPair -----------------------------------------------------------

@final
class HybridKeyPair: ...

def seal_hybrid(x25519_public: Buffer, mlkem768_public: Buffer, plaintext: Buffer, aad: Buffer) -> Any: ...

# --- SecretStreamPush / SecretStreamPull --------------------------------------

@final
class SecretStreamPush:
    def __new__(cls, key: SecretBox) -> SecretStreamPush: ...
    def push(self, message: Buffer, *, final: bool = False, ad: Buffer | None = None) -> bytes: ...
    @property
    def header(self) -> bytes: ...
    @property
    def is_finished(self) -> bool: ...

@final
class SecretStreamPull:
    def __new__(cls, key: SecretBox, header: Buffer) -> SecretStreamPull: ...
    def pull(self, chunk: Buffer, *, ad: Buffer | None = None) -> tuple[bytes, bool]: ...
    @property
    def is_finished(self) -> bool: ...

# --- EntropyPool ---------------------------------------------------------------

@final
class EntropyPool:
    def __new__(cls) -> EntropyPool: ...
    def mix(self, seed: SecretBox | Buffer) -> None: ...
    def random(self, n: int) -> bytes: ...
    def random_secret(self, n: int) -> SecretBox: ...
