#!/usr/bin/env bash
# The whole test suite: native tests (ctest) on a CMake build, the
# constant-time checks under valgrind, the native core and its tests again
# under AddressSanitizer + UndefinedBehaviorSanitizer + LeakSanitizer, the
# fuzz targets for a bounded time, then the Python tests against the
# manylinux wheel (scripts/test_wheel.sh), the docs, and the README's demo in a
# fresh clone. QUORVEX_FUZZ_SECONDS sets the time per fuzz target (30).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --test
export PATH="$PWD/.venv/bin:$PATH"

step() { echo "== $1"; step_start=$SECONDS; }
took() { echo "== took $((SECONDS - step_start)) s"; }

step "native build and tests (Release)"
build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEX_BUILD_TESTS=ON -DQUORVEX_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2 -LE ctgrind
took

# Secrets marked undefined for valgrind memcheck: any branch or memory index
# on them is a report, and a report fails the test (native/tests/ctgrind).
step "constant-time checks (valgrind memcheck, Release code)"
ctest --test-dir "$build" --output-on-failure --no-tests=error -L ctgrind
took

# Every sanitizer report is fatal: ASan and LSan stop at the first error,
# UBSan is built with -fno-sanitize-recover.
step "native build and tests under ASan + UBSan + LSan"
sanitize=build/test-sanitize
cmake -S . -B "$sanitize" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_SANITIZE=ON \
  -DQUORVEX_BUILD_TESTS=ON -DQUORVEX_BUILD_PYTHON=OFF >/dev/null
cmake --build "$sanitize" -j2
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:print_stacktrace=1:check_initialization_order=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir "$sanitize" --output-on-failure -j2
took

step "fuzzing (libFuzzer, ASan + UBSan, ${QUORVEX_FUZZ_SECONDS:-30} s per target)"
./fuzz/run.sh
took

# The wheel (static OpenSSL 3.5 inside), installed into fresh environments
# on Python 3.11 and a newer CPython; the native suites above keep testing
# the system-libcrypto build.
step "wheel, and the Python tests against it"
./scripts/test_wheel.sh
took

# The docs are built from the wheel just tested; a warning (a broken
# reference, a docstring that does not render) fails the run.
step "docs (Sphinx, warnings as errors)"
python -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$(ls -t dist/quorvex-*.whl | head -n1)"
python -m sphinx -W --keep-going -q -b html docs build/docs
took

# The wheel's test environments hold no build tools, so the sdist is checked
# here, in the project's environment.
step "sdist contents"
python -m pytest -q -p no:cacheprovider tests/test_package.py -k sdist
took

step "README demo in a fresh clone, PATH limited to the system directories (twice)"
./scripts/fresh-clone-demo.sh
took
