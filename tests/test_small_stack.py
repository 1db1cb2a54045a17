"""Every operation in a thread made after threading.stack_size(32768), the
smallest stack the interpreter allows, each in its own interpreter so that a
stack overflow is a failed test. The thread's stack below the caller is
painted first, so each case also reports the deepest stack it used."""

from __future__ import annotations

import platform
import re

import pytest

from conftest import run_python

CHILD = r"""
import base64, ctypes, os, sys, threading
from quorvex import _secure as q

libc = ctypes.CDLL(None, use_errno=True)
libc.pthread_self.restype = ctypes.c_ulong
libc.pthread_getattr_np.argtypes = [ctypes.c_ulong, ctypes.c_void_p]
PAINT = 0xA5

def stack_of_this_thread():
    attr = ctypes.create_string_buffer(128)
    assert libc.pthread_getattr_np(libc.pthread_self(), attr) == 0
    addr, size = ctypes.c_void_p(), ctypes.c_size_t()
    libc.pthread_attr_getstack(attr, ctypes.byref(addr), ctypes.byref(size))
    libc.pthread_attr_destroy(attr)
    ctx = ctypes.create_string_buffer(1024)
    libc.getcontext(ctx)  # x86-64 glibc: REG_RSP at offset 160
    sp = int.from_bytes(ctx.raw[160:168], "little")
    return addr.value, size.value, sp

def b64(raw):
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()

def escaped(text):  # the first character as a \u escape: the parser resolves it on its stack
    return "\\u%04x" % ord(text[0]) + text[1:]

def nest(depth, inner):
    return "[" * depth + inner + "]" * depth

HIDDEN = "HIDDEN-member-text-0123456789"
sign, enc, seed = os.urandom(32), os.urandom(32), os.urandom(48)
MARKERS = [HIDDEN[1:].encode(), b64(sign)[-24:].encode(), b64(seed)[-24:].encode(), sign[:16], seed[:16]]
key = q.SecretBox.random(32)
nonce = os.urandom(12)
kp = q.HybridKeyPair.generate()
x_secret, m_secret = kp.x25519_secret(), kp.mlkem768_secret()

def session(extra):
    return ('{"session_id":"s","h":%s,"sign_key":"%s","enc_key":"%s","expires_at":1}'
            % (extra, escaped(b64(sign)), b64(enc))).encode()

plain, shallow, deep = (q.seal_hybrid(kp.x25519_public, kp.mlkem768_public, t, b"")
                        for t in (b"text", session(nest(500, '"%s"' % escaped(HIDDEN))),
                                  session(nest(1_000_000, "1e2147483648"))))
field = key.aes_gcm_seal(nonce, b'{"seed":"AAAA"}', None)
deep_field = key.aes_gcm_seal(nonce, ('{"d":%s,"seed":"%s"}' % (nest(125, '"%s"' % escaped(HIDDEN)),
                                                               escaped(b64(seed)))).encode(), None)
sealed = key.aes_gcm_seal(nonce, os.urandom(64), None)
push = q.SecretStreamPush(key)
chunk = push.push(b"hello")
pool = q.EntropyPool()

CASES = {
    "memory_status": lambda: q.memory_status(),
    "harden_process": lambda: q.harden_process(),
    "box_random": lambda: q.SecretBox.random(64),
    "box_from_bytes": lambda: q.SecretBox.from_bytes(bytearray(64)),
    "box_clone_reveal_eq": lambda: key.clone().reveal() and key == key.clone(),
    "box_hmac_sha512": lambda: key.hmac_sha512(b"m" * 4096),
    "box_hkdf_sha256": lambda: key.hkdf_sha256(info=b"i", length=64, salt=b"s"),
    "box_aes_gcm_seal": lambda: key.aes_gcm_seal(nonce, b"p" * 4096),
    "box_aes_gcm_seal_secret": lambda: key.aes_gcm_seal_secret(nonce, key),
    "box_aes_gcm_open": lambda: key.aes_gcm_open(nonce, sealed),
    "box_aes_gcm_open_secret": lambda: key.aes_gcm_open_secret(nonce, sealed),
    "box_open_json_field": lambda: key.aes_gcm_open_json_field(nonce, field, None, "seed"),
    "box_open_json_field_deep": lambda: key.aes_gcm_open_json_field(nonce, deep_field, None, "seed"),
    "stream_push": lambda: q.SecretStreamPush(key).push(b"p" * 4096, final=True),
    "stream_pull": lambda: q.SecretStreamPull(key, push.header).pull(chunk),
    "pool": lambda: (pool.mix(key), pool.mix(b"seed"), pool.random(300), pool.random_secret(64)),
    "keypair_generate": lambda: q.HybridKeyPair.generate(),
    "keypair_from_secrets": lambda: q.HybridKeyPair.from_secrets(x_secret, m_secret),
    "keypair_open": lambda: kp.open(*plain, b""),
    "keypair_open_secret": lambda: kp.open_secret(*plain, b""),
    "keypair_open_session": lambda: kp.open_session(*shallow, b""),
    "keypair_open_session_deep": lambda: kp.open_session(*deep, b""),
    "seal_hybrid": lambda: q.seal_hybrid(kp.x25519_public, kp.mlkem768_public, b"p" * 4096, b"ad"),
}

def run(case):
    addr, size, sp = stack_of_this_thread()
    low, high = addr, sp - 1024  # clear of this call's own frames
    ctypes.memset(low, PAINT, high - low)
    CASES[case]()
    painted = ctypes.string_at(low, high - low)
    untouched = len(painted) - len(painted.lstrip(bytes([PAINT])))
    print(case, "stack used:", addr + size - (low + untouched), "of", size, flush=True)
    for m in MARKERS:
        assert m not in painted, (case, "left on the stack", m)

def fail(args):
    print(args.exc_type.__name__, args.exc_value, file=sys.stderr, flush=True)
    os._exit(3)

threading.excepthook = fail
threading.stack_size(STACK)
t = threading.Thread(target=run, args=(sys.argv[1],))
t.start()
t.join()
"""

CASES = re.findall(r'^    "(\w+)": lambda', CHILD, re.M)
X86_64 = pytest.mark.skipif(platform.machine() != "x86_64", reason="reads the stack pointer from an x86-64 ucontext")


def run_case(case: str, stack: int) -> None:
    r = run_python(CHILD.replace("sys.argv[1]", repr(case)).replace("STACK", str(stack)))
    assert r.returncode == 0, f"{case}: exit {r.returncode}\n{r.stderr[-2000:]}"
    assert "stack used:" in r.stdout, r.stderr[-2000:]
    print(r.stdout.strip())
    # Room left for the interpreter's own frames in a 32 KiB thread.
    assert int(r.stdout.split("stack used:")[1].split()[0]) <= 24 * 1024, r.stdout


@X86_64
@pytest.mark.parametrize("case", CASES)
def test_operation_runs_in_a_32k_thread(case: str) -> None:
    run_case(case, 32768)


# On a roomy stack too, where a reader that recursed would not crash but could
# leave decrypted text behind.
@X86_64
@pytest.mark.parametrize("case", ["box_open_json_field_deep", "keypair_open_session"])
def test_no_decrypted_text_is_left_on_a_large_stack(case: str) -> None:
    run_case(case, 1 << 20)
