"""Lock policy, counters, mlock limits, status and hardening, seen from
fresh child processes so that the process-wide values start unset."""

from __future__ import annotations

import ast
import json
import subprocess
import sys

import pytest

from quorvex import _secure

from conftest import lock_required, run_python

STATUS_KEYS = [
    "platform", "backend", "guard_pages", "wipe_on_fork", "page_size", "lock_policy", "live_secrets",
    "unlocked_allocations", "last_lock_errno", "memlock_soft", "memlock_hard", "ipc_lock_permitted",
    "ipc_lock_effective",
]  # fmt: skip
HARDEN_KEYS = ["platform", "core_dumps_disabled", "ptrace_restricted", "memlock_soft_raised", "memlock_soft", "memlock_hard"]
EPERM = 1


def child_status(code: str = "", **kwargs) -> dict:  # type: ignore[no-untyped-def]
    result = run_python(
        f"""
        from quorvex import _secure
        {code}
        print(repr(_secure.memory_status()))
        """,
        **kwargs,
    )
    assert result.returncode == 0, result.stderr
    return ast.literal_eval(result.stdout.strip().splitlines()[-1])


def test_fresh_process_status() -> None:
    status = child_status()
    assert list(status) == STATUS_KEYS == list(_secure.memory_status())
    linux = sys.platform.startswith("linux")
    assert (status["platform"], status["backend"], status["guard_pages"], status["wipe_on_fork"]) == (
        "linux" if linux else "macos", "mmap+mlock", True, linux)  # fmt: skip
    assert (status["live_secrets"], status["unlocked_allocations"], status["last_lock_errno"]) == (0, 0, 0)
    assert status["lock_policy"] == "best-effort"
    assert status["page_size"] >= 4096


FIX_AT_FIRST_NEED = "import os; _secure.memory_status(); os.environ['QUORVEX_MEMORY_LOCK'] = 'require'"


@pytest.mark.parametrize(
    ("value", "code", "policy"),
    [("\u3000REQUIRE\u00a0", "", "require"), ("required", "", "best-effort"), ("", FIX_AT_FIRST_NEED, "best-effort")],
)
def test_policy_follows_the_variable_at_first_need(value: str, code: str, policy: str) -> None:
    assert child_status(code, env={"QUORVEX_MEMORY_LOCK": value})["lock_policy"] == policy


def test_best_effort_under_zero_lock_limit_counts_unlocked_regions() -> None:
    status = child_status(
        """
        boxes = [_secure.SecretBox.random(16) for _ in range(3)]
        assert not any(b.is_locked for b in boxes)
        assert repr(boxes[0]).endswith("locked=false, wiped=false>)")
        """,
        memlock=0,
        drop_ipc_lock=True,
    )
    assert (status["unlocked_allocations"], status["last_lock_errno"], status["live_secrets"]) == (3, EPERM, 3)
    assert (status["memlock_soft"], status["memlock_hard"]) == (0, 0)
    if sys.platform.startswith("linux"):
        assert (status["ipc_lock_permitted"], status["ipc_lock_effective"]) == (False, False)


def test_require_under_zero_lock_limit_refuses_and_maps_nothing() -> None:
    status = child_status(
        f"""
        source = bytearray(b"must not linger")
        for make in (lambda: _secure.SecretBox.random(16), lambda: _secure.SecretBox.from_bytes(source)):
            try:
                make()
                raise SystemExit("allocation succeeded")
            except _secure.SecureError as exc:
                assert str(exc) == {lock_required(EPERM)!r}, str(exc)
        assert source == bytearray(len(source))
        """,
        env={"QUORVEX_MEMORY_LOCK": "require"},
        memlock=0,
        drop_ipc_lock=True,
    )
    assert (status["live_secrets"], status["unlocked_allocations"], status["last_lock_errno"]) == (0, 0, 0)
    assert status["lock_policy"] == "require"


def test_harden_raises_soft_limit_once_and_reports_in_order() -> None:
    result = run_python(
        """
        import resource
        from quorvex import _secure
        hard = resource.getrlimit(resource.RLIMIT_MEMLOCK)[1]
        resource.setrlimit(resource.RLIMIT_MEMLOCK, (65536, hard))
        first, second = _secure.harden_process(), _secure.harden_process()
        print(repr((first, second, hard, resource.getrlimit(resource.RLIMIT_CORE))))
        """
    )
    first, second, hard, core = ast.literal_eval(result.stdout.strip())
    assert list(first) == HARDEN_KEYS == list(second)
    assert first["memlock_soft_raised"] and not second["memlock_soft_raised"]
    expected_hard = None if hard == -1 or hard >= 2**63 - 1 else hard
    assert first["memlock_soft"] == first["memlock_hard"] == expected_hard
    assert first["core_dumps_disabled"] and core == (0, 0)
    assert first["ptrace_restricted"]


def test_unlimited_limits_are_none() -> None:
    probe = run_python("pass", memlock="unlimited")  # type: ignore[arg-type]
    if probe.returncode != 0:
        pytest.skip("this sandbox cannot raise RLIMIT_MEMLOCK to unlimited")
    status = child_status(memlock="unlimited")  # type: ignore[arg-type]
    assert (status["memlock_soft"], status["memlock_hard"]) == (None, None)


def test_cli_status_and_json() -> None:
    env_run = lambda *a: subprocess.run([sys.executable, "-m", "quorvex", *a], capture_output=True, text=True)  # noqa: E731
    table = env_run("status")
    assert table.returncode == 0 and "live_secrets" in table.stdout and "lock_policy" in table.stdout
    as_json = env_run("status", "--json")
    assert list(json.loads(as_json.stdout))[: len(STATUS_KEYS)] == STATUS_KEYS  # headroom rows follow (test_stress)
    demo = env_run("demo")
    assert demo.returncode == 0 and "live_secrets after: 0" in demo.stdout
    bad = env_run("nonsense")
    assert bad.returncode != 0
