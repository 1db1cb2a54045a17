"""python -m bench [--quick] [--only NAME ...]: every benchmark module under
bench/, as a table of ratios, a JSON file and (with matplotlib) a chart."""

from __future__ import annotations

import argparse
import importlib
import json
import platform
import pkgutil
import ssl
import subprocess
import sys
from pathlib import Path

from bench import builds
from bench.harness import Case, Row, human_ns, human_size, measure

HERE = Path(__file__).resolve().parent
SKIP = {"harness", "floor", "builds", "__main__"}


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def peers() -> str:
    found = []
    try:
        import cryptography
        from cryptography.hazmat.backends.openssl.backend import backend

        found.append(f"cryptography {cryptography.__version__} ({backend.openssl_version_text()})")
    except ImportError:
        pass
    try:
        import nacl
        import nacl.bindings

        found.append(f"PyNaCl {nacl.__version__} (libsodium {nacl.bindings.sodium_version_string().decode()})"
                     if hasattr(nacl.bindings, "sodium_version_string") else f"PyNaCl {nacl.__version__}")  # fmt: skip
    except ImportError:
        pass
    return ", ".join(found) or "none"


PEERS = ("quorvex", "cryptography", "nacl", "matplotlib", "numpy")


def ensure_set_up() -> None:
    """The benchmark's own set-up (bench/setup.sh) runs once, when quorvex or
    a peer is not installed yet."""
    import importlib.util

    missing = [name for name in PEERS if importlib.util.find_spec(name) is None]
    if missing:
        print(f"installing {', '.join(missing)} with bench/setup.sh ...", flush=True)
        subprocess.run(["bash", str(HERE / "setup.sh")], check=True)
        importlib.invalidate_caches()


def main() -> int:
    ensure_set_up()
    parser = argparse.ArgumentParser(prog="python -m bench")
    parser.add_argument("--quick", action="store_true", help="fewer, shorter repeats (under a minute)")
    parser.add_argument("--only", nargs="*", help="benchmark modules to run (default: all)")
    parser.add_argument("--out", type=Path, default=HERE / "results", help="folder for latest.json and latest.png")
    args = parser.parse_args()

    repeats, budget = (3, 0.02) if args.quick else (9, 0.1)
    names = sorted(m.name for m in pkgutil.iter_modules([str(HERE)]) if m.name not in SKIP)
    if args.only:
        names = [n for n in names if n in args.only]

    from quorvex import _secure

    other = builds.other_build(_secure)
    libcrypto = builds.describe(_secure)
    print(f"CPU: {cpu_model()}")
    print(f"enclave libcrypto: {libcrypto}")
    if other is not None:
        print(f"second build:      {builds.describe(other)}")
        print(f"  (rows tagged [{builds.origin(_secure)}] / [{builds.origin(other)}] ran on one build each)")
    print(f"peers: {peers()}")
    print(f"Python {sys.version.split()[0]} ({ssl.OPENSSL_VERSION} in its ssl module), quorvex {_secure.__version__}")
    print(f"each figure: median of {repeats} runs, spread = (max - min) / median\n")
    header = f"{'operation':34} {'size':>8} {'ours':>11} {'peer':>11} {'ratio':>6}  peer"
    print(header)
    print("-" * len(header))
    rows: list[Row] = []
    def tagged(case: Case, build: object) -> Case:
        return Case(f"{case.operation} [{builds.origin(build)}]", case.size, case.ours, case.peer, case.peer_name)  # type: ignore[arg-type]

    for name in names:
        module = importlib.import_module(f"bench.{name}")
        todo = module.cases(args.quick)
        if other is not None and name in builds.REPEATED:
            prefixes = builds.REPEATED[name]
            todo = [tagged(c, _secure) if c.operation.startswith(prefixes) else c for c in todo]
            todo += [tagged(c, other) for c in builds.cases_for(name, other, args.quick)]
        for case in todo:
            row = measure(case, repeats, budget)
            rows.append(row)
            print(f"{row.operation:34} {human_size(row.size):>8} {human_ns(row.ours_ns):>11} "
                  f"{human_ns(row.peer_ns):>11} {row.ratio:6.2f}  {row.peer_name} "
                  f"(spread {row.ours_spread:.0%}/{row.peer_spread:.0%})", flush=True)  # fmt: skip

    args.out.mkdir(parents=True, exist_ok=True)
    report = {
        "cpu": cpu_model(),
        "enclave_libcrypto": libcrypto,
        "second_build_libcrypto": builds.describe(other) if other is not None else None,
        "peers": peers(),
        "repeats": repeats,
        "python": sys.version.split()[0],
        "rows": [dict(vars(r), ratio=r.ratio) for r in rows],
    }
    (args.out / "latest.json").write_text(json.dumps(report, indent=2))
    lines = ["| operation | size | ours | peer | ratio | spread ours / peer | peer |", "|---|---:|---:|---:|---:|---:|---|"]
    lines += [f"| {r.operation} | {human_size(r.size)} | {human_ns(r.ours_ns)} | {human_ns(r.peer_ns)} | {r.ratio:.2f} | "
              f"{r.ours_spread:.0%} / {r.peer_spread:.0%} | {r.peer_name} |" for r in rows]  # fmt: skip
    (args.out / "latest.md").write_text("\n".join(lines) + "\n")
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\n(matplotlib not installed: no chart)")
        return 0
    labels = [f"{r.operation} {human_size(r.size)}" for r in rows]
    # A row compared with a second peer is told apart by that peer's name.
    labels = [f"{label} vs {r.peer_name}" if labels.count(label) > 1 and i != labels.index(label) else label
              for i, (label, r) in enumerate(zip(labels, rows))]  # fmt: skip
    fig, ax = plt.subplots(figsize=(9, 0.3 * len(rows) + 1.5))
    # The bar is the ratio of medians; the whisker spans the ratio's range
    # when both sides' spreads are added.
    spread = [r.ratio * (r.ours_spread + r.peer_spread) / 2 for r in rows]
    colors = ["tab:green" if r.ratio <= 1.0 else "tab:orange" for r in rows]
    ax.barh(labels, [r.ratio for r in rows], xerr=spread, color=colors)
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")  # ratios from 0.3 to 40 on one axis
    ax.set_xlabel("time ratio, ours / peer (lower is faster)")
    ax.set_title(f"quorvex vs peers: {cpu_model()}", fontsize=9)
    ax.invert_yaxis()
    fig.tight_layout()
    fig.savefig(args.out / "latest.png", dpi=110)
    return 0


if __name__ == "__main__":
    sys.exit(main())
