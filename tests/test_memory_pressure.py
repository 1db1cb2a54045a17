"""Running out of memory in the middle of an operation is transient: under
an address-space limit a 256 MiB input that cannot be processed raises, and
a valid call on the same object right after (still under the limit)
succeeds. Each case runs in its own interpreter. (Streams and pools make
their buffers before they lock and use them in place; the native lock tests
cover them.)"""

from __future__ import annotations

import sys

import pytest

from conftest import NO_PAGE, run_python

PRELUDE = """
import base64, resource
from quorvex._secure import HybridKeyPair, SecretBox, SecureError, seal_hybrid

SIZE = 256 << 20
big = bytes(SIZE)  # forged: no valid tag
nonce = bytes(12)
key = SecretBox.random(32)
kp = HybridKeyPair.generate()
k = base64.urlsafe_b64encode(bytes(32)).decode()
record = ('{"session_id":"s","sign_key":"%s","enc_key":"%s","expires_at":1}' % (k, k)).encode()
enc, n, ct = seal_hybrid(kp.x25519_public, kp.mlkem768_public, record, b"")
"""

# name: (set-up, the call that runs out of memory, a valid call, what the first raises)
CASES = {
    "keypair_open": ("", "kp.open(enc, n, big, b'')", "assert kp.open(enc, n, ct, b'') == record", "MemoryError"),
    "keypair_open_secret": ("", "kp.open_secret(enc, n, big, b'')",
                            "assert kp.open_secret(enc, n, ct, b'').reveal() == record", "MemoryError"),
    "keypair_open_session": ("", "kp.open_session(enc, n, big, b'')", "kp.open_session(enc, n, ct, b'')", "MemoryError"),
    "box_open_json_field": (
        "ct = key.aes_gcm_seal(nonce, b'{\"seed\":\"AAAA\"}')",
        "key.aes_gcm_open_json_field(nonce, big, b'', 'seed')",
        "assert key.aes_gcm_open_json_field(nonce, ct, b'', 'seed').reveal() == bytes(3)",
        "MemoryError",
    ),
    # Opened in place: what runs out is the new box's region.
    "box_open_secret": (
        "ct = key.aes_gcm_seal(nonce, b'hello'); big = key.aes_gcm_seal(nonce, bytes(SIZE))",
        "key.aes_gcm_open_secret(nonce, big)",
        "assert key.aes_gcm_open_secret(nonce, ct).reveal() == b'hello'",
        NO_PAGE,
    ),
    "box_seal_secret": (
        "secret = SecretBox.from_bytes(bytearray(SIZE)); small = SecretBox.random(8)",
        "key.aes_gcm_seal_secret(nonce, secret)",
        "assert key.aes_gcm_open_secret(nonce, key.aes_gcm_seal_secret(nonce, small)) == small; assert len(secret) == SIZE",
        "MemoryError",
    ),
}  # fmt: skip

SCRIPT = """
{setup}

def address_space():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

# Room for one more copy of the input and a little more, not for two.
_, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + SIZE + (64 << 20), hard))
try:
    {call}
    print("no error")
except MemoryError:
    print("MemoryError")
except SecureError as e:
    print(e)
{valid}
print("valid call ok")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.parametrize("case", CASES)
def test_running_out_of_memory_leaves_the_object_usable(case: str) -> None:
    setup, call, valid, raised = CASES[case]
    result = run_python(PRELUDE + SCRIPT.format(setup=setup, call=call, valid=valid))
    assert result.stdout.splitlines() == [raised, "valid call ok"], result.stderr[-2000:]
