"""HTTP/1.1 over one kept-alive socket (plain, or TLS through `ssl`), reading
each answer with `recv_into` into one fixed buffer that never grows.

A chunked body is joined in place inside that buffer (`memoryview` moves, no
intermediate copies), so a secret in an answer exists once, at a known place,
until the caller zeroes the buffer."""

from __future__ import annotations

import errno
import socket
import ssl
import time
from dataclasses import dataclass


class Unreachable(Exception):
    """No connection could be made; `reason` is short and language-neutral."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


class Lost(Exception):
    """The connection ended before a whole answer arrived."""

    def __init__(self, nothing_received: bool) -> None:
        super().__init__()
        self.nothing_received = nothing_received


class Malformed(Exception):
    """The bytes received are not an HTTP answer this client understands."""


class TooLate(Exception):
    """The deadline passed."""


@dataclass
class Answer:
    status: int
    body_start: int
    body_end: int
    used: int  # bytes of the buffer written, framing included: zero them all


def zero(buf: bytearray, used: int | None = None) -> None:
    """Overwrites buf[:used] (all of it by default) in place, without resizing."""
    n = len(buf) if used is None else used
    if n:
        buf[:n] = bytes(n)


def _reason(exc: BaseException) -> str:
    if isinstance(exc, ssl.SSLCertVerificationError):
        return f"TLS {exc.verify_message or 'certificate verification failed'}"
    if isinstance(exc, ssl.SSLError):
        return f"TLS {exc.reason or type(exc).__name__}"
    if isinstance(exc, socket.gaierror):
        return "DNS"
    if isinstance(exc, OSError) and exc.errno is not None:
        return errno.errorcode.get(exc.errno, f"errno {exc.errno}")
    return type(exc).__name__


class Connection:
    def __init__(self, host: str, port: int, tls: ssl.SSLContext | None) -> None:
        self.host, self.port, self.tls = host, port, tls
        self.sock: socket.socket | None = None

    def close(self) -> None:
        if self.sock is not None:
            try:
                self.sock.close()
            finally:
                self.sock = None

    def exchange(self, request: bytearray, buf: bytearray, deadline: float) -> Answer:
        """Sends `request`, reads the answer into `buf`. A kept-alive
        connection that the server dropped while idle is replaced, once: only
        when sending failed or the connection ended before any byte of an
        answer, which is how such a connection shows. On a fresh connection
        every failure is reported."""
        reused = self.sock is not None
        try:
            return self._exchange_once(request, buf, deadline)
        except Lost as exc:
            if not (reused and exc.nothing_received):
                raise
        return self._exchange_once(request, buf, deadline)

    def _exchange_once(self, request: bytearray, buf: bytearray, deadline: float) -> Answer:
        sock = self._socket(deadline)
        try:
            _settimeout(sock, deadline)
            try:
                sock.sendall(request)
            except (BrokenPipeError, ConnectionResetError) as exc:
                raise Lost(True) from exc
            answer, keep = _read_answer(sock, buf, deadline)
        except socket.timeout as exc:  # TimeoutError: the connection is unusable now
            self.close()
            raise TooLate() from exc
        except ssl.SSLError as exc:
            self.close()
            raise Lost(False) from exc
        except (Lost, Malformed):
            self.close()
            raise
        if not keep:
            self.close()
        return answer

    def _socket(self, deadline: float) -> socket.socket:
        if self.sock is not None:
            return self.sock
        left = deadline - time.monotonic()
        if left <= 0:
            raise TooLate()
        try:
            sock = socket.create_connection((self.host, self.port), timeout=left)
        except socket.timeout as exc:
            raise TooLate() from exc
        except OSError as exc:
            raise Unreachable(_reason(exc)) from exc
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self.tls is not None:
                _settimeout(sock, deadline)
                sock = self.tls.wrap_socket(sock, server_hostname=self.host)
        except socket.timeout as exc:
            sock.close()
            raise TooLate() from exc
        except OSError as exc:  # ssl.SSLError included
            sock.close()
            raise Unreachable(_reason(exc)) from exc
        self.sock = sock
        return sock


def _settimeout(sock: socket.socket, deadline: float) -> None:
    left = deadline - time.monotonic()
    if left <= 0:
        raise socket.timeout()
    sock.settimeout(left)


class _Receiver:
    """Appends what the socket delivers to buf[used:]; never past its end."""

    def __init__(self, sock: socket.socket, buf: bytearray, deadline: float) -> None:
        self.sock, self.buf, self.deadline = sock, buf, deadline
        self.view = memoryview(buf)
        self.used = 0

    def more(self) -> bool:
        """Reads once; False at the end of the stream."""
        if self.used == len(self.buf):
            raise Malformed("answer larger than the buffer")
        _settimeout(self.sock, self.deadline)
        try:
            n = self.sock.recv_into(self.view[self.used :])
        except ConnectionResetError:
            return False
        self.used += n
        return n > 0

    def need(self, end: int) -> None:
        while self.used < end:
            if not self.more():
                raise Lost(False)

    def line(self, start: int) -> int:
        """The index of the CRLF ending the line that starts at `start`."""
        while True:
            at = self.buf.find(b"\r\n", start, self.used)
            if at >= 0:
                return at
            if not self.more():
                raise Lost(False)


def _read_answer(sock: socket.socket, buf: bytearray, deadline: float) -> tuple[Answer, bool]:
    rx = _Receiver(sock, buf, deadline)
    try:
        return _parse(rx)
    except BaseException:
        zero(buf, rx.used)
        raise
    finally:
        rx.view.release()


def _parse(rx: _Receiver) -> tuple[Answer, bool]:
    buf = rx.buf
    while True:
        head_end = buf.find(b"\r\n\r\n", 0, rx.used)
        if head_end >= 0:
            break
        if not rx.more():
            raise Lost(rx.used == 0)
    lines = bytes(buf[:head_end]).decode("latin-1").split("\r\n")  # the head: never secret
    parts = lines[0].split(" ", 2)
    if len(parts) < 2 or not parts[0].startswith("HTTP/1.") or not parts[1].isdigit():
        raise Malformed("status line")
    status = int(parts[1])
    headers: dict[str, str] = {}
    for line in lines[1:]:
        name, sep, value = line.partition(":")
        if not sep:
            raise Malformed("header line")
        headers[name.strip().lower()] = value.strip()
    keep = headers.get("connection", "").lower() != "close" and parts[0] == "HTTP/1.1"
    start = head_end + 4
    if status in (204, 304) or 100 <= status < 200:
        return Answer(status, start, start, rx.used), keep
    if "chunked" in headers.get("transfer-encoding", "").lower():
        return Answer(status, start, _dechunk(rx, start), rx.used), keep
    if "content-length" in headers:
        length = headers["content-length"]
        if not length.isdigit():
            raise Malformed("content-length")
        rx.need(start + int(length))
        return Answer(status, start, start + int(length), rx.used), keep
    while rx.more():  # the body ends with the connection
        pass
    return Answer(status, start, rx.used, rx.used), False


def _dechunk(rx: _Receiver, start: int) -> int:
    """Joins the chunks (RFC 9112, section 7.1) in place from `start`;
    returns the end of the joined body."""
    buf, view = rx.buf, rx.view
    src = dst = start
    while True:
        eol = rx.line(src)
        size_text = bytes(buf[src:eol]).split(b";", 1)[0].strip()  # a hex size: never secret
        try:
            size = int(size_text, 16)
        except ValueError:
            raise Malformed("chunk size") from None
        src = eol + 2
        if size == 0:
            while True:  # trailer lines up to the empty one
                eol = rx.line(src)
                if eol == src:
                    return dst
                src = eol + 2
        rx.need(src + size + 2)
        if buf[src + size] != 13 or buf[src + size + 1] != 10:
            raise Malformed("chunk end")
        view[dst : dst + size] = view[src : src + size]  # memmove inside buf
        dst += size
        src += size + 2
