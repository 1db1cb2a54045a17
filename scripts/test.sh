#!/usr/bin/env bash
# The whole test suite: native tests (ctest) on a CMake build, then the
# Python tests against the installed wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --test

build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEX_BUILD_TESTS=ON -DQUORVEX_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2

python3 -m pip install -q --root-user-action=ignore --disable-pip-version-check --no-build-isolation .
python3 -m pytest -q tests
