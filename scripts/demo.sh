#!/usr/bin/env bash
# The main job: install quorvex, show what the enclave guarantees here, and
# run the short demo (a box made, used, and released).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
python3 -m pip install -q --root-user-action=ignore --disable-pip-version-check --no-build-isolation .
quorvex status
echo
quorvex demo
