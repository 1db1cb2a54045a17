"""Running out of memory is transient: under an address-space limit, a call on a 256 MiB
input raises, then the same call on a valid input gives what it gave before."""

from __future__ import annotations

import sys

import pytest

from conftest import NO_PAGE, OPERATIONS, run_python

# name: (the call on `arg`, a valid input, the 256 MiB input, what the call on that raises)
CASES = {
    **{f"keypair_{m}": (f"kp.{m}(*shallow[:2], arg, b'')", "shallow[2]", "forged", "MemoryError")
       for m in ("open", "open_secret", "open_session")},
    "box_open_json_field": ("key.aes_gcm_open_json_field(nonce, arg, None, 'seed')", "deep_field", "forged",
                            "MemoryError"),
    # Opened in place: what runs out is the new box's region.
    "box_open_secret": ("key.aes_gcm_open_secret(nonce, arg)", "sealed", "key.aes_gcm_seal(nonce, forged)", NO_PAGE),
    "box_seal_secret": ("key.aes_gcm_seal_secret(nonce, arg)", "other", "q.SecretBox.from_bytes(forged)",
                        "MemoryError"),
}  # fmt: skip

CHILD = """
import pathlib, resource

SIZE = 256 << 20
forged = bytes(SIZE)  # as a ciphertext, no valid tag
call = lambda arg: {call}
valid, huge = {valid}, {huge}
want = call(valid)
address_space = int(pathlib.Path("/proc/self/statm").read_text().split()[0]) * PAGE
# Room for one more copy of the input and a little more, not for two.
resource.setrlimit(resource.RLIMIT_AS, (address_space + SIZE + (64 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    call(huge)
    print("no error")
except MemoryError:
    print("MemoryError")
except q.SecureError as e:
    print(e)
assert call(valid) == want
print("valid call ok")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.parametrize("case", CASES)
def test_running_out_of_memory_leaves_the_object_usable(case: str) -> None:
    call, valid, huge, raised = CASES[case]
    result = run_python(OPERATIONS + CHILD.format(call=call, valid=valid, huge=huge))
    assert result.stdout.splitlines() == [raised, "valid call ok"], result.stderr[-2000:]
