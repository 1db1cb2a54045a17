#!/usr/bin/env bash
# The README's demo command as a new user meets it: a fresh clone of the
# current commit, an empty home, and PATH limited to the system directories,
# so that python3 is the distribution's own (Debian's /usr/bin/python3), not
# a pyenv or CI one. It runs twice: the first run makes the clone's .venv
# from that python3, the second must reuse it and everything the first
# installed, without the package index. Only committed work is cloned.
set -euo pipefail
cd "$(dirname "$0")/.."

commit=$(git rev-parse HEAD)
git diff --quiet HEAD 2>/dev/null || echo "note: uncommitted changes are not part of the clone"
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-fresh.XXXXXX")
trap 'rm -rf "$work"' EXIT
clone="$work/quorvex"
git clone -q --no-checkout . "$clone"
git -C "$clone" checkout -q --detach "$commit"
mkdir "$work/home"

system_path=/usr/sbin:/usr/bin:/sbin:/bin
demo() {  # demo <log> [VAR=value ...]: the README's command, nothing else in the environment
  local log=$1
  shift
  if ! (cd "$clone" && env -i HOME="$work/home" PATH="$system_path" "$@" \
      ${CMAKE_BUILD_PARALLEL_LEVEL:+CMAKE_BUILD_PARALLEL_LEVEL=$CMAKE_BUILD_PARALLEL_LEVEL} \
      ./scripts/demo.sh) >"$log" 2>&1; then
    cat "$log"
    echo "FAIL: ./scripts/demo.sh in a fresh clone ($log above)" >&2
    exit 1
  fi
  grep -q "live_secrets after: 0$" "$log" || { cat "$log"; echo "FAIL: the demo did not finish" >&2; exit 1; }
}

system_python=$(PATH=$system_path command -v python3)
demo "$work/first.log"
venv_home=$(sed -n 's/^home = //p' "$clone/.venv/pyvenv.cfg")
if [[ "$venv_home" != "$(dirname "$system_python")" ]]; then
  echo "FAIL: .venv was made from $venv_home/python3, not $system_python" >&2
  exit 1
fi
made=$(stat -c %Y:%i "$clone/.venv/pyvenv.cfg")
demo "$work/second.log" PIP_NO_INDEX=1
if [[ "$(stat -c %Y:%i "$clone/.venv/pyvenv.cfg")" != "$made" ]]; then
  echo "FAIL: the second run made a new .venv" >&2
  exit 1
fi
echo "fresh clone of ${commit:0:12}: ./scripts/demo.sh passed twice with $system_python" \
  "($("$system_python" -V 2>&1)), PATH=$system_path; the second run reused .venv, offline"
sed -n '/^quorvex memory status/,$p' "$work/second.log"
