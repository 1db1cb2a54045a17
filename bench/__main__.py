"""python -m bench [--quick] [--only NAME ...]: every benchmark module under
bench/, as a table of ratios, a JSON file and (with matplotlib) a chart."""

from __future__ import annotations

import argparse
import importlib
import json
import platform
import pkgutil
import ssl
import sys
from pathlib import Path

from bench.harness import Row, human_ns, human_size, measure

HERE = Path(__file__).resolve().parent
SKIP = {"harness", "floor", "__main__"}


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main() -> int:
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

    print(f"CPU: {cpu_model()}\n{ssl.OPENSSL_VERSION} (Python's ssl; the enclave links the system libcrypto)")
    print(f"Python {sys.version.split()[0]}, quorvex {_secure.__version__}\n")
    header = f"{'operation':34} {'size':>8} {'ours':>11} {'peer':>11} {'ratio':>6}  peer"
    print(header)
    print("-" * len(header))
    rows: list[Row] = []
    for name in names:
        module = importlib.import_module(f"bench.{name}")
        for case in module.cases(args.quick):
            row = measure(case, repeats, budget)
            rows.append(row)
            print(f"{row.operation:34} {human_size(row.size):>8} {human_ns(row.ours_ns):>11} "
                  f"{human_ns(row.peer_ns):>11} {row.ratio:6.2f}  {row.peer_name} "
                  f"(spread {row.ours_spread:.0%}/{row.peer_spread:.0%})", flush=True)  # fmt: skip

    args.out.mkdir(parents=True, exist_ok=True)
    report = {
        "cpu": cpu_model(),
        "openssl": ssl.OPENSSL_VERSION,
        "python": sys.version.split()[0],
        "rows": [dict(vars(r), ratio=r.ratio) for r in rows],
    }
    (args.out / "latest.json").write_text(json.dumps(report, indent=2))
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\n(matplotlib not installed: no chart)")
        return 0
    labels = [f"{r.operation} {human_size(r.size)}" for r in rows]
    fig, ax = plt.subplots(figsize=(9, 0.3 * len(rows) + 1.5))
    ax.barh(labels, [r.ratio for r in rows], xerr=[r.ratio * r.ours_spread / 2 for r in rows])
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xlabel("time ratio, ours / peer (lower is faster)")
    ax.invert_yaxis()
    fig.tight_layout()
    fig.savefig(args.out / "latest.png", dpi=110)
    return 0


if __name__ == "__main__":
    sys.exit(main())
