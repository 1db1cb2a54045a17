"""`StoreError` and its messages: English · Portuguese, naming the path and
what the server answered, never a byte of a secret."""

from __future__ import annotations

from quorvex.errors import CryptoError


class StoreError(CryptoError):
    """🇺🇸 A secret could not be written to or read from OpenBao.
    🇧🇷 Um segredo não pôde ser gravado no OpenBao nem lido dele."""

    def __init__(self, message: str, *, path: str | None = None, status: int | None = None) -> None:
        super().__init__(message)
        self.path = path  # mount/path as shown in the message
        self.status = status  # the HTTP status, None when no answer came


def refused(path: str, status: int) -> StoreError:
    return StoreError(
        f"OpenBao refused the token for {path} (HTTP {status}) · o OpenBao recusou o token para {path} (HTTP {status})",
        path=path,
        status=status,
    )


def missing(path: str) -> StoreError:
    return StoreError(
        f"nothing stored at {path} (HTTP 404) · nada guardado em {path} (HTTP 404)", path=path, status=404
    )


def exists(path: str, status: int) -> StoreError:
    return StoreError(
        f"a secret already exists at {path} (HTTP {status}); pass replace=True to add a version · "
        f"já existe um segredo em {path} (HTTP {status}); passe replace=True para adicionar uma versão",
        path=path,
        status=status,
    )


def unreachable(addr: str, path: str, reason: str) -> StoreError:
    return StoreError(
        f"OpenBao at {addr} is unreachable for {path} ({reason}) · "
        f"o OpenBao em {addr} está inacessível para {path} ({reason})",
        path=path,
    )


def lost(addr: str, path: str) -> StoreError:
    return StoreError(
        f"OpenBao at {addr} closed the connection before answering for {path}; "
        "a write may or may not have taken effect · "
        f"o OpenBao em {addr} fechou a conexão antes de responder para {path}; "
        "uma escrita pode ou não ter sido aplicada",
        path=path,
    )


def timed_out(addr: str, path: str, timeout: float) -> StoreError:
    return StoreError(
        f"OpenBao at {addr} did not answer within {timeout:g} s for {path} · "
        f"o OpenBao em {addr} não respondeu em {timeout:g} s para {path}",
        path=path,
    )


def malformed(path: str, status: int | None) -> StoreError:
    shown = "no status" if status is None else f"HTTP {status}"
    shown_pt = "sem status" if status is None else f"HTTP {status}"
    return StoreError(
        f"malformed response from OpenBao for {path} ({shown}) · "
        f"resposta malformada do OpenBao para {path} ({shown_pt})",
        path=path,
        status=status,
    )


def failed(path: str, status: int, errors: str) -> StoreError:
    return StoreError(
        f"OpenBao answered HTTP {status} for {path}: {errors} · "
        f"o OpenBao respondeu HTTP {status} para {path}: {errors}",
        path=path,
        status=status,
    )


def not_configured(names: str) -> StoreError:
    return StoreError(f"{names} is not set · {names} não está definida")
