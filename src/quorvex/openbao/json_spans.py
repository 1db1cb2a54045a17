"""A JSON reader (RFC 8259) that leaves string values where they are.

Objects become dicts and arrays lists, but every string value is returned as a
`Span` into the caller's buffer, so a secret inside a response is never copied
into a Python string; `text()` decodes the spans that are not secret. Numbers
are spans too (`number()`), and true, false and null their Python values."""

from __future__ import annotations

import json
import re
from typing import NamedTuple, Union

_TOKEN = re.compile(
    rb'[ \t\r\n]*(?:"((?:[^"\\\x00-\x1f]|\\["\\/bfnrtu])*)"|(-?[0-9][-+.eE0-9]*)|(true|false|null)|([{}\[\]:,]))'
)
_SPACE = re.compile(rb"[ \t\r\n]*")
_LITERALS = {b"true"[0]: True, b"false"[0]: False, b"null"[0]: None}
MAX_DEPTH = 32


class Span(NamedTuple):
    start: int
    end: int
    escaped: bool  # the text holds a backslash escape
    string: bool = True  # a string's text between its quotes; else a number's


Value = Union[dict[str, "Value"], list["Value"], Span, bool, None]


class JsonError(ValueError):
    pass


class _Reader:
    def __init__(self, buf: bytearray, start: int, end: int) -> None:
        self.buf, self.pos, self.end = buf, start, end

    def token(self) -> re.Match[bytes]:
        m = _TOKEN.match(self.buf, self.pos, self.end)
        if m is None:
            raise JsonError("unexpected input")
        self.pos = m.end()
        return m

    def value(self, depth: int, m: re.Match[bytes] | None = None) -> Value:
        if depth > MAX_DEPTH:
            raise JsonError("nested too deeply")
        m = m or self.token()
        if m.lastindex == 1:
            return Span(m.start(1), m.end(1), self.buf.find(b"\\", m.start(1), m.end(1)) >= 0)
        if m.lastindex == 2:
            return Span(m.start(2), m.end(2), False, string=False)
        if m.lastindex == 3:
            return _LITERALS[self.buf[m.start(3)]]
        punct = self.buf[m.start(4)]
        if punct == ord("{"):
            obj: dict[str, Value] = {}
            m = self.token()
            if m.lastindex == 4 and self.buf[m.start(4)] == ord("}"):
                return obj
            while True:
                if m.lastindex != 1:
                    raise JsonError("expected a member name")
                name = text(self.buf, Span(m.start(1), m.end(1), True))
                if self._punct() != ord(":"):
                    raise JsonError("expected ':'")
                obj[name] = self.value(depth + 1)
                sep = self._punct()
                if sep == ord("}"):
                    return obj
                if sep != ord(","):
                    raise JsonError("expected ',' or '}'")
                m = self.token()
        if punct == ord("["):
            arr: list[Value] = []
            m = self.token()
            if m.lastindex == 4 and self.buf[m.start(4)] == ord("]"):
                return arr
            while True:
                arr.append(self.value(depth + 1, m))
                sep = self._punct()
                if sep == ord("]"):
                    return arr
                if sep != ord(","):
                    raise JsonError("expected ',' or ']'")
                m = self.token()
        raise JsonError("unexpected punctuation")

    def _punct(self) -> int:
        m = self.token()
        if m.lastindex != 4:
            raise JsonError("expected punctuation")
        return self.buf[m.start(4)]


def parse(buf: bytearray, start: int, end: int) -> Value:
    """The JSON text buf[start:end]; trailing whitespace only after it."""
    reader = _Reader(buf, start, end)
    value = reader.value(0)
    if _SPACE.fullmatch(buf, reader.pos, end) is None:
        raise JsonError("trailing data")
    return value


def text(buf: bytearray, span: Span) -> str:
    """A string value as `str`: only for values that are not secret."""
    return str(json.loads(bytes(buf[span.start - 1 : span.end + 1])))


def number(buf: bytearray, span: Span) -> int:
    return int(bytes(buf[span.start : span.end]))
