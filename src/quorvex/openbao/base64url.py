"""Base64url without padding (RFC 4648, section 5), encoded into and decoded
out of caller-owned bytearrays.

Every value computed here stays within 0..255, so CPython hands out its
cached small integers: no integer object ever holds bits of a secret."""

from __future__ import annotations

ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
_VALUE = tuple(ALPHABET.find(bytes([c])) if bytes([c]) in ALPHABET else 255 for c in range(256))


def encoded_length(n: int) -> int:
    return (4 * n + 2) // 3


def decoded_length(chars: int) -> int:
    """Bytes that `chars` characters carry; -1 for a length no encoding has."""
    return -1 if chars % 4 == 1 else chars * 3 // 4


def encode_into(src: bytearray, dst: bytearray, pos: int) -> int:
    """Writes the encoding of `src` into `dst` from `pos`; returns the end."""
    a = ALPHABET
    n = len(src)
    full = n - n % 3
    i = 0
    while i < full:
        b0, b1, b2 = src[i], src[i + 1], src[i + 2]
        dst[pos] = a[b0 >> 2]
        dst[pos + 1] = a[((b0 & 3) << 4) | (b1 >> 4)]
        dst[pos + 2] = a[((b1 & 15) << 2) | (b2 >> 6)]
        dst[pos + 3] = a[b2 & 63]
        pos += 4
        i += 3
    if n - full == 1:
        b0 = src[i]
        dst[pos] = a[b0 >> 2]
        dst[pos + 1] = a[(b0 & 3) << 4]
        pos += 2
    elif n - full == 2:
        b0, b1 = src[i], src[i + 1]
        dst[pos] = a[b0 >> 2]
        dst[pos + 1] = a[((b0 & 3) << 4) | (b1 >> 4)]
        dst[pos + 2] = a[(b1 & 15) << 2]
        pos += 3
    return pos


def decode_into(text: bytearray, start: int, end: int, dst: bytearray) -> bool:
    """Decodes text[start:end] into `dst`, which must be decoded_length() long.
    Refuses (False) a character outside the URL alphabet and non-zero unused
    trailing bits, so that one value has one encoding. `dst` may hold part of
    the result on refusal: the caller zeroes it."""
    v = _VALUE
    pos = 0
    i = start
    full = end - (end - start) % 4
    while i < full:
        c0, c1, c2, c3 = v[text[i]], v[text[i + 1]], v[text[i + 2]], v[text[i + 3]]
        if c0 == 255 or c1 == 255 or c2 == 255 or c3 == 255:
            return False
        dst[pos] = (c0 << 2) | (c1 >> 4)
        dst[pos + 1] = ((c1 & 15) << 4) | (c2 >> 2)
        dst[pos + 2] = ((c2 & 3) << 6) | c3
        pos += 3
        i += 4
    rest = end - full
    if rest == 2:
        c0, c1 = v[text[i]], v[text[i + 1]]
        if c0 == 255 or c1 == 255 or c1 & 15:
            return False
        dst[pos] = (c0 << 2) | (c1 >> 4)
    elif rest == 3:
        c0, c1, c2 = v[text[i]], v[text[i + 1]], v[text[i + 2]]
        if c0 == 255 or c1 == 255 or c2 == 255 or c2 & 3:
            return False
        dst[pos] = (c0 << 2) | (c1 >> 4)
        dst[pos + 1] = ((c1 & 15) << 4) | (c2 >> 2)
    elif rest == 1:
        return False
    return True
