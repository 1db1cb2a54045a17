"""Command line: ``quorvex status [--json]``, ``quorvex harden``, ``quorvex demo``."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Callable, Sequence

from quorvex._openbao_cli import add_commands as add_openbao_commands


def _read_proc(path: str) -> str | None:
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def _headroom(status: dict[str, Any]) -> dict[str, int | None]:
    """How many more 32-byte regions this process can surely make before the
    kernel refuses: each region is at most three mappings (guard, data, guard;
    guards of neighbouring regions may merge) against vm.max_map_count, and
    one locked data page against the soft mlock limit. None where /proc is
    missing (not Linux) or the limit does not bind."""
    page = int(status["page_size"])
    max_maps, maps = _read_proc("/proc/sys/vm/max_map_count"), _read_proc("/proc/self/maps")
    by_maps = None
    if max_maps is not None and maps is not None:
        by_maps = max(0, (int(max_maps) - len(maps.splitlines())) // 3)
    by_mlock = None
    proc_status = _read_proc("/proc/self/status")
    # CAP_IPC_LOCK lifts the limit; an unlimited soft limit is None already.
    if status["memlock_soft"] is not None and status["ipc_lock_effective"] is not True and proc_status:
        locked_kb = next((int(line.split()[1]) for line in proc_status.splitlines() if line.startswith("VmLck:")), None)
        if locked_kb is not None:
            by_mlock = max(0, (int(status["memlock_soft"]) - locked_kb * 1024) // page)
    return {"regions_before_max_map_count": by_maps, "regions_before_mlock_limit": by_mlock}


def _libcrypto(info: dict[str, Any]) -> str:
    """One line: OpenSSL's version text, where it comes from, and for the
    libcrypto built into the module the Debian source version it was built from."""
    text = f"{info['version']}, {info['origin']}"
    if info.get("debian_source"):
        text += f" (Debian source {info['debian_source']})"
    return text


def _table(title: str, values: dict[str, Any]) -> str:
    width = max(len(k) for k in values)
    lines = [title, "-" * len(title)]
    for key, value in values.items():
        shown = "unlimited / unknown" if value is None and key.startswith(("memlock", "regions")) else value
        if value is None and key.startswith("ipc_lock"):
            shown = "unknown"
        if isinstance(value, bool):
            shown = "yes" if value else "no"
        lines.append(f"{key.ljust(width)}  {shown}")
    return "\n".join(lines)


def _status(args: argparse.Namespace) -> int:
    from quorvex import _secure

    status = _secure.memory_status()
    status.update(_headroom(status))
    status["libcrypto"] = _libcrypto(_secure._libcrypto)  # type: ignore[attr-defined]
    if args.json:
        print(json.dumps(status, indent=2))
    else:
        print(_table("quorvex memory status", status))
    return 0


HARDEN_SCOPE = (
    "These settings hold for this command's own process only, which ends now:\n"
    "a process can harden only itself. A service applies them by calling\n"
    "quorvex.harden_process() once at start-up, before it makes any secret."
)


def _harden(args: argparse.Namespace) -> int:
    from quorvex import _secure

    result = _secure.harden_process()
    if args.json:
        print(json.dumps(result, indent=2))
    else:
        print(_table("what hardening achieves in a process (this one)", result))
        print()
        print(HARDEN_SCOPE)
    return 0


def _demo(args: argparse.Namespace) -> int:
    from quorvex import _secure

    def live() -> int:
        return int(_secure.memory_status()["live_secrets"])

    print(f"live_secrets before: {live()}")
    key = _secure.SecretBox.random(32)
    print(f"made {key!r}; live_secrets: {live()}")
    copy = key.clone()
    print(f"clone equals original: {copy == key}; live_secrets: {live()}")
    copy.wipe()
    print(f"wiped the clone: {copy!r}; live_secrets still: {live()}")
    del key, copy
    print(f"released both; live_secrets after: {live()}")
    return 0


class _Version(argparse.Action):
    """--version: the version of the installed enclave, loaded only when asked."""

    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> None:
        from quorvex import _secure

        print(f"quorvex {_secure.__version__}")
        parser.exit()


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="quorvex", description="Inspect the quorvex native enclave, and keep its keys and identities in OpenBao.")
    parser.add_argument("--version", action=_Version, nargs=0, help="print the version of quorvex and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    status = commands.add_parser(
        "status",
        help="show what the enclave can guarantee right now",
        description="Show what the enclave can guarantee in this process: the memory backend, the lock "
        "policy (QUORVEX_MEMORY_LOCK), the live secret count, the mlock limits, and how many more "
        "secrets fit before the kernel's limits refuse one.",
    )
    status.add_argument("--json", action="store_true", help="print JSON instead of a table")
    harden = commands.add_parser(
        "harden",
        help="show what process hardening achieves (in this command's own process)",
        description="Apply every hardening step available here to this command's own process (soft "
        "mlock limit raised to the hard limit, core files disabled, debugger attachment refused) and "
        "show which took effect. A process can harden only itself, so nothing outlives this command: "
        "a service applies the same steps by calling quorvex.harden_process() at start-up.",
    )
    harden.add_argument("--json", action="store_true", help="print JSON instead of a table")
    commands.add_parser(
        "demo",
        help="make a box, use it, and show live_secrets rise and fall",
        description="Make a random 32-byte secret box, clone it, wipe the clone and release both, "
        "printing the enclave's live_secrets count at each step.",
    )
    openbao_handlers = add_openbao_commands(commands)
    args = parser.parse_args(argv)
    handlers: dict[str, Callable[[argparse.Namespace], int]] = {
        "status": _status,
        "harden": _harden,
        "demo": _demo,
        **openbao_handlers,
    }
    try:
        return handlers[args.command](args)
    except Exception as exc:  # one line, non-zero status
        print(f"quorvex {args.command}: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
