"""The built extension carries the hardening of the link: every symbol bound
at load time (BIND_NOW), a read-only relocation segment (GNU_RELRO) and a
stack that is not executable. Read straight from the ELF headers."""

from __future__ import annotations

import struct
import sys
from pathlib import Path

import pytest

from quorvex import _secure

PT_DYNAMIC, PT_GNU_STACK, PT_GNU_RELRO = 2, 0x6474E551, 0x6474E552
DT_NULL, DT_BIND_NOW, DT_FLAGS, DT_FLAGS_1 = 0, 24, 30, 0x6FFFFFFB
DF_BIND_NOW, DF_1_NOW, PF_X = 0x8, 0x1, 0x1


def read_elf(path: Path) -> tuple[dict[int, int], dict[int, int]]:
    """Program header flags by type, and the dynamic entries, of a 64-bit
    little-endian ELF file."""
    data = path.read_bytes()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1, "not a 64-bit little-endian ELF"
    phoff, = struct.unpack_from("<Q", data, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
    flags: dict[int, int] = {}
    dynamic: dict[int, int] = {}
    for i in range(phnum):
        p_type, p_flags, p_offset, _, _, p_filesz = struct.unpack_from("<IIQQQQ", data, phoff + i * phentsize)
        flags[p_type] = p_flags
        if p_type == PT_DYNAMIC:
            for at in range(p_offset, p_offset + p_filesz, 16):
                tag, value = struct.unpack_from("<qQ", data, at)
                if tag == DT_NULL:
                    break
                dynamic[tag] = value
    return flags, dynamic


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF platforms only")
def test_module_is_bound_now_with_relro_and_no_executable_stack() -> None:
    flags, dynamic = read_elf(Path(_secure.__file__))
    bind_now = (
        DT_BIND_NOW in dynamic
        or dynamic.get(DT_FLAGS, 0) & DF_BIND_NOW
        or dynamic.get(DT_FLAGS_1, 0) & DF_1_NOW
    )
    assert bind_now, "lazy binding: the module was not linked with -z now"
    assert PT_GNU_RELRO in flags, "no GNU_RELRO segment: the module was not linked with -z relro"
    assert PT_GNU_STACK in flags and not flags[PT_GNU_STACK] & PF_X, "the stack would be executable"
