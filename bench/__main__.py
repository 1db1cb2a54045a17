"""python -m bench [--quick] [--only NAME ...]: every benchmark module under
bench/, as a table of ratios, a JSON file and (with matplotlib) a chart."""

from __future__ import annotations

import argparse
import importlib
import json
import os
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
PROJECT_VENV = HERE.parent / ".venv"


def ensure_set_up(argv: list[str]) -> None:
    """The benchmark's own set-up (bench/setup.sh, which installs into the
    project's .venv) runs once, when quorvex or a peer is not installed yet;
    a run started from another interpreter then goes on in .venv's."""
    import importlib.util

    missing = [name for name in PEERS if importlib.util.find_spec(name) is None]
    if not missing:
        return
    python = PROJECT_VENV / "bin" / "python"
    elsewhere = Path(sys.prefix).resolve() != PROJECT_VENV.resolve()
    if elsewhere and python.exists():  # set up earlier: .venv checks for itself
        os.execv(python, [str(python), "-m", "bench", *argv])
    print(f"installing {', '.join(missing)} into .venv with bench/setup.sh ...", flush=True)
    subprocess.run(["bash", str(HERE / "setup.sh")], check=True)
    if elsewhere:
        os.execv(python, [str(python), "-m", "bench", *argv])
    importlib.invalidate_caches()


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m bench",
        description="Time quorvex beside its peers (cryptography, PyNaCl, the system-call and libcrypto "
        "floors) in one process and report ratios, ours / peer. The first run installs what is missing "
        "into the project's .venv with bench/setup.sh.",
        epilog="A full run writes results/latest.json, .md and .png (the committed figures); --quick "
        "writes results/quick.*, and --only results/partial.*, so neither overwrites them.",
    )
    parser.add_argument("--quick", action="store_true", help="fewer, shorter repeats (under a minute)")
    parser.add_argument("--only", nargs="*", help="benchmark modules to run (default: all)")
    parser.add_argument("--out", type=Path, default=HERE / "results", help="folder for the results")
    return parser.parse_args(argv)


def draw_chart(rows: list[Row], path: Path, title: str) -> bool:
    """One bar per row, named by the operation, its size and its peer; False
    when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.lines import Line2D
        from matplotlib.patches import Patch
        from matplotlib.ticker import ScalarFormatter
    except ImportError:
        return False
    labels = [f"{r.operation}{'' if r.size is None else ' ' + human_size(r.size)} vs {r.peer_name}" for r in rows]
    fig, ax = plt.subplots(figsize=(11, 0.3 * len(rows) + 2.2), layout="constrained")
    # The bar is the ratio of medians; the whisker spans the ratio's range
    # when both sides' spreads are added.
    spread = [r.ratio * (r.ours_spread + r.peer_spread) / 2 for r in rows]
    colors = ["tab:green" if r.ratio <= 1.0 else "tab:orange" for r in rows]
    ax.barh(labels, [r.ratio for r in rows], xerr=spread, color=colors)
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")  # ratios from 0.3 to 40 on one axis
    ax.xaxis.set_major_formatter(ScalarFormatter())
    ax.margins(y=0.01)
    ax.set_xlabel("time ratio, quorvex / peer (lower is faster)")
    ax.set_title(title, fontsize=9)
    ax.tick_params(axis="y", labelsize=8)
    ax.invert_yaxis()
    fig.legend(
        handles=[
            Patch(color="tab:green", label="quorvex as fast or faster (ratio ≤ 1)"),
            Patch(color="tab:orange", label="peer faster (ratio > 1)"),
            Line2D([], [], color="black", linewidth=0.8, label="equal time (ratio 1)"),
            Line2D([], [], color="black", marker="|", linestyle="-", label="range from the runs' spreads"),
        ],
        loc="outside lower center", ncol=2, fontsize=8, frameon=False,
    )  # fmt: skip
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    args = parse_args(argv)
    ensure_set_up(argv)

    repeats, budget = (3, 0.02) if args.quick else (9, 0.1)
    names = sorted(m.name for m in pkgutil.iter_modules([str(HERE)]) if m.name not in SKIP)
    if args.only:
        names = [n for n in names if n in args.only]
    stem = "quick" if args.quick else "partial" if args.only else "latest"

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
    (args.out / f"{stem}.json").write_text(json.dumps(report, indent=2))
    lines = ["| operation | size | ours | peer | ratio | spread ours / peer | peer |", "|---|---:|---:|---:|---:|---:|---|"]
    lines += [f"| {r.operation} | {human_size(r.size)} | {human_ns(r.ours_ns)} | {human_ns(r.peer_ns)} | {r.ratio:.2f} | "
              f"{r.ours_spread:.0%} / {r.peer_spread:.0%} | {r.peer_name} |" for r in rows]  # fmt: skip
    (args.out / f"{stem}.md").write_text("\n".join(lines) + "\n")
    title = f"quorvex vs peers{' (quick run)' if args.quick else ''}: {cpu_model()}"
    if not draw_chart(rows, args.out / f"{stem}.png", title):
        print("\n(matplotlib not installed: no chart)")
    print(f"\nresults: {args.out / stem}.*")
    return 0


if __name__ == "__main__":
    sys.exit(main())
