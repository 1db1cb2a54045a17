#!/usr/bin/env bash
# Installs what building (and, with --test, testing) quorvex needs on a
# Debian 12 or 13 machine, as root. Skips apt-get when all is present.
set -euo pipefail

major=$(cut -d. -f1 /etc/debian_version 2>/dev/null || echo 12)
case "$major" in
  12) boost=libboost-json1.81-dev ;;
  *) boost=libboost-json1.83-dev ;;
esac
packages=(g++ libssl-dev "$boost" util-linux)
if [[ "${1:-}" == "--test" ]]; then
  packages+=(libgtest-dev)
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
