"""Every operation, each in its own interpreter, in a thread of the smallest stack
allowed (32 KiB), painted first: no crash, the depth used, no decrypted text left."""

from __future__ import annotations

import platform

import pytest

from conftest import OPERATION_NAMES, OPERATIONS, run_python

pytestmark = pytest.mark.skipif(platform.machine() != "x86_64", reason="reads the stack pointer of an x86-64 ucontext")

CHILD = OPERATIONS + r"""
import ctypes, threading

libc = ctypes.CDLL(None)
libc.pthread_self.restype = ctypes.c_ulong
libc.pthread_getattr_np.argtypes = [ctypes.c_ulong, ctypes.c_void_p]
MARKERS = [HIDDEN[1:].encode(), b64(sign)[-24:].encode(), b64(seed)[-24:].encode(), sign[:16], seed[:16]]

def run():
    attr, bottom, size = ctypes.create_string_buffer(128), ctypes.c_void_p(), ctypes.c_size_t()
    assert libc.pthread_getattr_np(libc.pthread_self(), attr) == 0
    libc.pthread_attr_getstack(attr, ctypes.byref(bottom), ctypes.byref(size))
    context = ctypes.create_string_buffer(1024)
    libc.getcontext(context)  # x86-64 glibc: REG_RSP at offset 160
    top = int.from_bytes(context.raw[160:168], "little") - 1024  # clear of this call's own frames
    ctypes.memset(bottom.value, 0xA5, top - bottom.value)
    OPERATIONS[NAME][1]()
    painted = ctypes.string_at(bottom.value, top - bottom.value)
    for marker in MARKERS:
        assert marker not in painted, (NAME, "left on the stack", marker)
    print(NAME, "stack used:", size.value - (len(painted) - len(painted.lstrip(b"\xa5"))), "of", size.value)

threading.stack_size(STACK)
thread = threading.Thread(target=run)
thread.start()
thread.join()
"""


# Also on a roomy stack, where a reader that recursed would not crash but
# could leave decrypted text behind.
@pytest.mark.parametrize(("name", "stack"), [(name, 32768) for name in OPERATION_NAMES]
                         + [(name, 1 << 20) for name in ("box_open_json_field_deep", "keypair_open_session")])
def test_operation_in_a_small_thread_stack(name: str, stack: int) -> None:
    r = run_python(f"NAME, STACK = {name!r}, {stack}\n" + CHILD)
    # The line comes last: a crash or text left on the stack leaves it out.
    assert "stack used:" in r.stdout, f"{name}: exit {r.returncode}\n{r.stderr[-2000:]}"
    print(r.stdout.strip())
    # Room left for the interpreter's own frames in a 32 KiB thread.
    assert int(r.stdout.split("stack used:")[1].split()[0]) <= 24 * 1024, r.stdout
