#!/usr/bin/env bash
# Installs what building (and, with --test, testing) quorvex needs on a
# Debian 12 or 13 machine, as root. Skips apt-get when all is present.
set -euo pipefail

major=$(cut -d. -f1 /etc/debian_version 2>/dev/null || echo 12)
# The fuzz targets need clang and its libFuzzer / sanitizer runtimes, which
# Debian 12 ships as libclang-rt-14-dev; later releases name the default
# clang's runtimes libclang-rt-dev.
case "$major" in
  12) boost=libboost-json1.81-dev; clang_rt=libclang-rt-14-dev ;;
  *) boost=libboost-json1.83-dev; clang_rt=libclang-rt-dev ;;
esac
packages=(g++ libssl-dev "$boost" util-linux)
if [[ "${1:-}" == "--test" ]]; then
  # valgrind brings valgrind/memcheck.h for the constant-time checks.
  packages+=(libgtest-dev clang "$clang_rt" valgrind)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

pip_packages=("scikit-build-core>=0.10" "cmake>=3.26" ninja typing_extensions)
if [[ "${1:-}" == "--test" ]]; then
  pip_packages+=(pytest mypy cryptography PyNaCl numpy)
fi
python3 -m pip install -q --root-user-action=ignore --disable-pip-version-check "${pip_packages[@]}"
