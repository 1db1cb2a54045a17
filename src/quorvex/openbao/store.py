"""`Store`: boxes and identities kept in an OpenBao KV version 2 mount.

Secret bytes leave locked memory only into buffers this module owns and zeroes
on every path: the `bytearray` of `reveal()`, the one request buffer each
write builds at its final size, the answer buffer of the connection, and the
decoded field handed to `SecretBox.from_bytes` (which zeroes it)."""

from __future__ import annotations

import os
import ssl
import threading
import time
from typing import Callable, Sequence, TypeVar
from urllib.parse import quote, urlsplit

from quorvex._secure import MLKEM768_SECRET_BYTES, X25519_SECRET_BYTES, HybridKeyPair, SecretBox
from quorvex.openbao import base64url, errors, http, json_spans
from quorvex.openbao.json_spans import Span

T = TypeVar("T")

# Field names of the records (documented in docs/openbao.md).
BOX_FIELD = "secret"
X25519_FIELD = "x25519_secret"
MLKEM768_FIELD = "mlkem768_secret"
ANSWER_BYTES = 64 * 1024  # the largest answer read: records are a few KiB
# The largest box stored: its record, in base64url, must fit an answer, so
# that nothing is written that could not be read back.
MAX_BOX_BYTES = 16 * 1024
_CAS_MISMATCH = "check-and-set parameter did not match"


def _env(*names: str) -> str | None:
    for name in names:
        value = os.environ.get(name)
        if value:
            return value
    return None


def _header_value(name: str, value: str) -> str:
    if any(c in value for c in "\r\n\0") or not value.isascii():
        raise ValueError(f"{name} must be ASCII text on one line · {name} deve ser texto ASCII numa só linha")
    return value


class Store:
    """🇺🇸 Boxes and identities kept in an OpenBao KV version 2 mount, with nothing left behind on the Python heap.
    🇧🇷 Caixas e identidades guardadas num mount KV versão 2 do OpenBao, sem deixar nada para trás no heap do Python."""

    def __init__(
        self,
        addr: str,
        token: str,
        mount: str = "secret",
        *,
        namespace: str | None = None,
        ca_file: str | None = None,
        timeout: float = 10.0,
    ) -> None:
        url = urlsplit(addr)
        if url.scheme not in ("http", "https") or not url.hostname:
            raise ValueError(
                f"addr must be an http:// or https:// URL, got {addr!r} · "
                f"addr deve ser uma URL http:// ou https://, recebeu {addr!r}"
            )
        if not timeout > 0:
            raise ValueError("timeout must be positive · timeout deve ser positivo")
        mount = mount.strip("/")
        if not mount:
            raise ValueError("mount must not be empty · mount não pode ser vazio")
        self.addr = f"{url.scheme}://{url.netloc}"
        self.mount = mount
        self.timeout = float(timeout)
        tls = None
        if url.scheme == "https":
            tls = ssl.create_default_context(cafile=ca_file)
            # OpenSSL 3 keeps the last decrypted record in its read buffer
            # until the next one overwrites it; SSL_OP_CLEANSE_PLAINTEXT
            # (not named by the ssl module) has it cleansed once delivered.
            if ssl.OPENSSL_VERSION_INFO >= (3, 0):
                tls.options |= 0x2
        host = url.hostname
        port = url.port or (443 if tls else 80)
        self._prefix = url.path.rstrip("/")
        host_header = f"[{host}]" if ":" in host else host
        if url.port:
            host_header += f":{url.port}"
        fixed = f"Host: {host_header}\r\nX-Vault-Token: {_header_value('token', token)}\r\n"
        if namespace:
            fixed += f"X-Vault-Namespace: {_header_value('namespace', namespace)}\r\n"
        self._fixed_headers = fixed
        self._conn = http.Connection(host, port, tls)
        self._answer = bytearray(ANSWER_BYTES)
        self._lock = threading.Lock()

    @classmethod
    def from_env(cls, mount: str = "secret", *, timeout: float = 10.0) -> Store:
        """🇺🇸 A store from BAO_ADDR, BAO_TOKEN, BAO_CACERT and BAO_NAMESPACE (or the VAULT_* names).
        🇧🇷 Um store a partir de BAO_ADDR, BAO_TOKEN, BAO_CACERT e BAO_NAMESPACE (ou dos nomes VAULT_*)."""
        addr = _env("BAO_ADDR", "VAULT_ADDR")
        if addr is None:
            raise errors.not_configured("BAO_ADDR (VAULT_ADDR)")
        token = _env("BAO_TOKEN", "VAULT_TOKEN")
        if token is None:
            raise errors.not_configured("BAO_TOKEN (VAULT_TOKEN)")
        return cls(
            addr,
            token,
            mount,
            namespace=_env("BAO_NAMESPACE", "VAULT_NAMESPACE"),
            ca_file=_env("BAO_CACERT", "VAULT_CACERT"),
            timeout=timeout,
        )

    def __repr__(self) -> str:
        return f"Store({self.addr!r}, mount={self.mount!r})"

    def close(self) -> None:
        with self._lock:
            self._conn.close()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # --- boxes and identities ---------------------------------------------

    def put_box(self, path: str, box: SecretBox, *, replace: bool = False) -> int:
        """🇺🇸 Writes the box's bytes to `path`; refuses an existing secret unless
        `replace` (then a new version). Returns the version written.
        🇧🇷 Grava os bytes da caixa em `path`; recusa um segredo existente salvo
        com `replace` (aí uma nova versão). Devolve a versão gravada."""
        url = self._url(path)
        if not isinstance(box, SecretBox):
            name = type(box).__name__
            raise TypeError(f"box must be a SecretBox, not {name} · box deve ser um SecretBox, não {name}")
        if len(box) > MAX_BOX_BYTES:
            raise ValueError(
                f"a box of {len(box)} bytes is too large to store; at most {MAX_BOX_BYTES} · "
                f"uma caixa de {len(box)} bytes é grande demais para guardar; no máximo {MAX_BOX_BYTES}"
            )
        secret = box.reveal()
        try:
            return self._write(path, url, ((BOX_FIELD, secret),), replace)
        finally:
            http.zero(secret)

    def get_box(self, path: str, version: int | None = None) -> SecretBox:
        """🇺🇸 The box stored at `path` (the latest version, or `version`).
        🇧🇷 A caixa guardada em `path` (a versão mais recente, ou `version`)."""
        url = self._url(path, version)

        def take(buf: bytearray, fields: dict[str, Span], shown: str, status: int) -> SecretBox:
            return _decode_box(buf, fields.get(BOX_FIELD), None, shown, status)

        return self._read(path, url, version, take)

    def put_identity(self, path: str, keypair: HybridKeyPair, *, replace: bool = False) -> int:
        """🇺🇸 Writes both secrets of the identity to `path` as one record; refuses an
        existing secret unless `replace`. Returns the version written.
        🇧🇷 Grava os dois segredos da identidade em `path` num só registro; recusa um
        segredo existente salvo com `replace`. Devolve a versão gravada."""
        url = self._url(path)
        if not isinstance(keypair, HybridKeyPair):
            name = type(keypair).__name__
            raise TypeError(
                f"keypair must be a HybridKeyPair, not {name} · keypair deve ser um HybridKeyPair, não {name}"
            )
        revealed: list[bytearray] = []
        try:
            for export in (keypair.x25519_secret, keypair.mlkem768_secret):
                box = export()
                try:
                    revealed.append(box.reveal())
                finally:
                    box.wipe()
            fields = ((X25519_FIELD, revealed[0]), (MLKEM768_FIELD, revealed[1]))
            return self._write(path, url, fields, replace)
        finally:
            for secret in revealed:
                http.zero(secret)

    def get_identity(self, path: str, version: int | None = None) -> HybridKeyPair:
        """🇺🇸 The identity stored at `path`, rebuilt with `HybridKeyPair.from_secrets`.
        🇧🇷 A identidade guardada em `path`, refeita com `HybridKeyPair.from_secrets`."""
        url = self._url(path, version)

        def take(buf: bytearray, fields: dict[str, Span], shown: str, status: int) -> HybridKeyPair:
            x25519 = _decode_box(buf, fields.get(X25519_FIELD), X25519_SECRET_BYTES, shown, status)
            try:
                mlkem = _decode_box(buf, fields.get(MLKEM768_FIELD), MLKEM768_SECRET_BYTES, shown, status)
                try:
                    return HybridKeyPair.from_secrets(x25519, mlkem)
                finally:
                    mlkem.wipe()
            finally:
                x25519.wipe()

        return self._read(path, url, version, take)

    # --- requests ----------------------------------------------------------

    def _url(self, path: str, version: int | None = None) -> str:
        if not isinstance(path, str):
            raise TypeError(
                f"path must be a str, not {type(path).__name__} · path deve ser str, não {type(path).__name__}"
            )
        parts = path.strip("/").split("/")
        if not path.strip("/") or any(p in ("", ".", "..") for p in parts):
            raise ValueError(
                f"path must be non-empty segments separated by '/', got {path!r} · "
                f"path deve ter segmentos não vazios separados por '/', recebeu {path!r}"
            )
        if version is not None and (isinstance(version, bool) or not isinstance(version, int) or version < 1):
            raise ValueError(
                f"version must be a positive int, got {version!r} · "
                f"version deve ser um int positivo, recebeu {version!r}"
            )
        url = f"{self._prefix}/v1/{quote(self.mount)}/data/{quote('/'.join(parts), safe='/')}"
        return url if version is None else f"{url}?version={version}"

    def _shown(self, path: str, version: int | None = None) -> str:
        shown = f"{self.mount}/{path.strip('/')}"
        return shown if version is None else f"{shown}?version={version}"

    def _head(self, method: str, url: str, body_length: int | None) -> bytes:
        head = f"{method} {url} HTTP/1.1\r\n{self._fixed_headers}"
        if body_length is not None:
            head += f"Content-Type: application/json\r\nContent-Length: {body_length}\r\n"
        return (head + "\r\n").encode("ascii")

    def _write(self, path: str, url: str, fields: Sequence[tuple[str, bytearray]], replace: bool) -> int:
        # {"options":{"cas":0},"data":{"name":"<base64url>",...}}: every
        # piece's length is known, so the request is allocated once at its
        # final size and filled in place.
        opening = b'{"data":{' if replace else b'{"options":{"cas":0},"data":{'
        pieces = [
            (b'%s"%s":"' % (b"," if i else b"", name.encode()), secret) for i, (name, secret) in enumerate(fields)
        ]
        body_length = len(opening) + sum(len(p) + base64url.encoded_length(len(s)) + 1 for p, s in pieces) + 2
        head = self._head("POST", url, body_length)
        request = bytearray(len(head) + body_length)
        try:
            pos = _put(request, 0, head)
            pos = _put(request, pos, opening)
            for prefix, secret in pieces:
                pos = _put(request, pos, prefix)
                pos = base64url.encode_into(secret, request, pos)
                pos = _put(request, pos, b'"')
            pos = _put(request, pos, b"}}")
            assert pos == len(request)
            shown = self._shown(path)

            def version(buf: bytearray, tree: json_spans.Value, status: int) -> int:
                data = tree.get("data") if isinstance(tree, dict) else None
                number = data.get("version") if isinstance(data, dict) else None
                if not isinstance(number, Span) or number.string:
                    raise errors.malformed(shown, status)
                try:
                    return json_spans.number(buf, number)
                except ValueError:
                    raise errors.malformed(shown, status) from None

            return self._call(request, shown, version, writing=not replace)
        finally:
            http.zero(request)

    def _read(
        self,
        path: str,
        url: str,
        version: int | None,
        take: Callable[[bytearray, dict[str, Span], str, int], T],
    ) -> T:
        shown = self._shown(path, version)

        def record(buf: bytearray, tree: json_spans.Value, status: int) -> T:
            data = tree.get("data") if isinstance(tree, dict) else None
            fields = data.get("data") if isinstance(data, dict) else None
            if not isinstance(fields, dict):  # a deleted version answers data: null
                raise errors.malformed(shown, status)
            # Only strings hold secrets: a number in a field is no record of ours.
            spans = {k: v for k, v in fields.items() if isinstance(v, Span) and v.string}
            return take(buf, spans, shown, status)

        return self._call(bytearray(self._head("GET", url, None)), shown, record, writing=False)

    def _call(
        self,
        request: bytearray,
        shown: str,
        handle: Callable[[bytearray, json_spans.Value, int], T],
        *,
        writing: bool,
    ) -> T:
        """Sends the request and hands a 2xx answer's JSON to `handle` while
        the answer is still in the buffer; zeroes the buffer on every path."""
        deadline = time.monotonic() + self.timeout
        with self._lock:
            buf = self._answer
            answer: http.Answer | None = None
            try:
                try:
                    answer = self._conn.exchange(request, buf, deadline)
                except http.Unreachable as exc:
                    raise errors.unreachable(self.addr, shown, exc.reason) from None
                except http.Lost:
                    raise errors.lost(self.addr, shown) from None
                except http.TooLate:
                    raise errors.timed_out(self.addr, shown, self.timeout) from None
                except http.Malformed:
                    raise errors.malformed(shown, None) from None
                status = answer.status
                try:
                    tree = (
                        json_spans.parse(buf, answer.body_start, answer.body_end)
                        if answer.body_end > answer.body_start
                        else None
                    )
                except json_spans.JsonError:
                    tree = None
                if 200 <= status < 300:
                    if tree is None:
                        raise errors.malformed(shown, status)
                    return handle(buf, tree, status)
                messages = _error_texts(buf, tree)
                if status == 403:
                    raise errors.refused(shown, status)
                if status == 404:
                    raise errors.missing(shown)
                if writing and status == 400 and any(_CAS_MISMATCH in m for m in messages):
                    raise errors.exists(shown, status)
                raise errors.failed(shown, status, _clip("; ".join(messages)) or "-")
            finally:
                http.zero(buf, answer.used if answer else len(buf))


def _put(dst: bytearray, pos: int, src: bytes) -> int:
    end = pos + len(src)
    dst[pos:end] = src
    return end


def _error_texts(buf: bytearray, tree: json_spans.Value) -> list[str]:
    """The server's "errors" list of an error answer (which holds no record)."""
    found = tree.get("errors") if isinstance(tree, dict) else None
    if not isinstance(found, list):
        return []
    texts = []
    for item in found:
        if isinstance(item, Span) and item.string:
            try:
                texts.append(json_spans.text(buf, item))
            except ValueError:
                pass
    return texts


def _clip(text: str, limit: int = 200) -> str:
    text = "".join(c if c.isprintable() else " " for c in text)
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _decode_box(buf: bytearray, span: Span | None, length: int | None, shown: str, status: int) -> SecretBox:
    """A new box from the base64url field at `span`, decoded into a bytearray
    that `SecretBox.from_bytes` zeroes (and this function too, on any path)."""
    if span is None or span.escaped:
        raise errors.malformed(shown, status)
    size = base64url.decoded_length(span.end - span.start)
    if size <= 0 or (length is not None and size != length):
        raise errors.malformed(shown, status)
    out = bytearray(size)
    try:
        if not base64url.decode_into(buf, span.start, span.end, out):
            raise errors.malformed(shown, status)
        return SecretBox.from_bytes(out)
    finally:
        http.zero(out)
