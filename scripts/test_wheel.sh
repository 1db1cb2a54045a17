#!/usr/bin/env bash
# The Python suite against the wheel users install: builds it
# (scripts/wheel.sh), checks that its extension needs no libcrypto, Boost or
# C++ runtime library of the machine, then installs it into fresh virtual
# environments that hold only the test dependencies (no compiler-side build
# tools) and runs tests/ there, on Python 3.11 and on the newest later
# CPython found on this machine (a clear line says when one is missing).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

wheel=$(bash scripts/wheel.sh | tail -n1)
echo "wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB)"

unpacked=build/wheel-check
rm -rf "$unpacked" && mkdir -p "$unpacked"
python3 -m zipfile -e "$wheel" "$unpacked"
ext=$(ls "$unpacked"/quorvex/_secure.abi3.so)
needed=$(readelf -d -W "$ext" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
echo "extension needs: $needed"
if grep -qE 'libcrypto|libssl|libboost|libstdc\+\+|libgcc_s' <<<"$needed"; then
  echo "the wheel's extension needs a library it should carry inside" >&2
  exit 1
fi
if ldd "$ext" | grep -E 'libcrypto|libssl|libboost|not found'; then
  echo "ldd: the wheel's extension resolves a library it should carry inside" >&2
  exit 1
fi

# Interpreters: python3 first, then versioned names on PATH, then pyenv's;
# one inside a virtual environment stands for the interpreter it was made from.
version_of() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null; }
declare -A found=()
for py in python3 python3.11 python3.12 python3.13 python3.14 \
  "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3; do
  path=$(command -v "$py" 2>/dev/null) || continue
  path=$("$path" -c 'import sys; print(getattr(sys, "_base_executable", sys.executable))' 2>/dev/null) || continue
  v=$(version_of "$path") || continue
  [[ -n ${found[$v]:-} ]] || found[$v]=$path
done
newest=$(printf '%s\n' "${!found[@]}" | awk -F. '$1 == 3 && $2 > 11' | sort -V | tail -n1)
runs=()
if [[ -n ${found[3.11]:-} ]]; then runs+=("${found[3.11]}"); else echo "== skipped: no Python 3.11 on this machine"; fi
if [[ -n $newest ]]; then runs+=("${found[$newest]}"); else echo "== skipped: no CPython newer than 3.11 on this machine"; fi

for py in "${runs[@]}"; do
  v=$(version_of "$py")
  venv=build/venv-wheel-$v
  echo "== Python tests on the wheel, Python $v ($py)"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  # Before 3.12, venv seeds setuptools as well: the tests run without it.
  "$venv/bin/python" -m pip uninstall -q -y setuptools 2>/dev/null || true
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$root/$wheel[test]"
  if "$venv/bin/python" -m pip list 2>/dev/null | grep -iE '^(cmake|ninja|scikit-build|setuptools) '; then
    echo "the test environment holds build tools" >&2
    exit 1
  fi
  "$venv/bin/python" -m quorvex status | grep '^libcrypto'
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
done
