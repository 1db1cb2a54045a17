#!/usr/bin/env bash
# The main job: install quorvex into the project's environment (.venv), show
# what the enclave guarantees here, and run the short demo (a box made, used,
# and released).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
export PATH="$PWD/.venv/bin:$PATH"
python -m pip install -q --disable-pip-version-check --no-build-isolation .
quorvex status
echo
quorvex demo
