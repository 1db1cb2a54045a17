#!/usr/bin/env bash
# Runs the README's test command (./scripts/test.sh) inside a fresh Debian 13
# (trixie) root, on a clone of the current commit, as root on a Debian machine.
# Usage: scripts/debian13.sh [--refresh] [command ...]; a command given runs
# instead of ./scripts/test.sh, in the clone, under bash -c.
# The root's base (minbase, python3, python3-venv, python3-dev, git) is made
# once with mmdebstrap from Debian's archive and kept as a tarball under
# ${XDG_CACHE_HOME:-~/.cache}/quorvex/debian13 (--refresh makes it anew);
# every run unpacks it afresh, so scripts/deps.sh installs the build and test
# packages as on a new machine. The root's own caches (the OpenSSL build of
# scripts/openssl.sh, pip's downloads) live there too and are reused. What
# pip needs to reach the package index here is carried in: the CA bundle,
# /etc/pip.conf, /etc/xdg/pip, and the PIP_* / SSL_CERT_FILE variables.
# /proc, /sys, /dev and /dev/pts are mounted inside and unmounted on every
# exit path.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${QUORVEX_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvex}/debian13
base_tar=$cache/trixie-base.tar
mkdir -p "$cache/home-cache" "$cache/pip-cache"

if [[ $(id -u) != 0 ]]; then
  echo "debian13.sh runs as root (chroot and mounts)" >&2
  exit 1
fi
if ! command -v mmdebstrap >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >/dev/null
fi

# The Debian mirror this machine already uses.
mirror=$(grep -hoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
  /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1 | tr -d ' ' || true)
mirror=${mirror%/}
mirror=${mirror:-http://deb.debian.org/debian}

refresh=
if [[ ${1:-} == --refresh ]]; then
  refresh=1
  shift
fi
command=${*:-./scripts/test.sh}

if [[ -n $refresh || ! -f $base_tar ]]; then
  echo "== mmdebstrap: Debian 13 base from $mirror"
  start=$SECONDS
  mmdebstrap --variant=minbase --include=python3,python3-venv,python3-dev,git,ca-certificates \
    trixie "$cache/trixie-base.tmp.tar" \
    "deb $mirror trixie main" "deb $mirror trixie-updates main" "deb ${mirror}-security trixie-security main"
  mv "$cache/trixie-base.tmp.tar" "$base_tar"
  echo "== base made in $((SECONDS - start)) s"
fi

root=$(mktemp -d "$cache/root.XXXXXX")
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
  # Only once nothing is mounted below it any more.
  if ! grep -q " $root/" /proc/mounts; then
    rm -rf "$root"
  else
    echo "debian13.sh: $root still has mounts; left in place" >&2
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

tar -C "$root" -xf "$base_tar"
mnt() {  # mnt <target inside the root> <mount arguments...>
  mkdir -p "$root$1"
  mount "${@:2}" "$root$1"
  mounted+=("$root$1")
}
mnt /proc -t proc proc
mnt /sys --bind /sys
mnt /dev --bind /dev
mnt /dev/pts --bind /dev/pts
mnt /root/.cache/quorvex --bind "$cache/home-cache"
mnt /root/.cache/pip --bind "$cache/pip-cache"

# What pip needs here. The CA bundle goes beside Debian's own, which
# update-ca-certificates rewrites when packages are installed inside.
cp /etc/resolv.conf "$root/etc/resolv.conf"
carried_ca=/etc/ssl/host-ca-certificates.crt
cp /etc/ssl/certs/ca-certificates.crt "$root$carried_ca"
[[ -f /etc/pip.conf ]] && cp /etc/pip.conf "$root/etc/pip.conf"
# pip inside reads the carried bundle from its configuration too, so that a
# step run with a cleared environment (env -i, as the fresh-clone demo does)
# still reaches the package index.
pip_conf=$root/etc/pip.conf
if grep -qE '^\s*cert\s*=' "$pip_conf" 2>/dev/null; then
  sed -i -E "s|^\s*cert\s*=.*|cert = $carried_ca|" "$pip_conf"
elif grep -q '^\[global\]' "$pip_conf" 2>/dev/null; then
  sed -i "/^\[global\]/a cert = $carried_ca" "$pip_conf"
else
  printf '[global]\ncert = %s\n' "$carried_ca" >>"$pip_conf"
fi
[[ -d /etc/xdg/pip ]] && mkdir -p "$root/etc/xdg" && cp -r /etc/xdg/pip "$root/etc/xdg/"
env_in=(HOME=/root LANG=C.UTF-8 TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  "SSL_CERT_FILE=$carried_ca" "PIP_CERT=$carried_ca" "REQUESTS_CA_BUNDLE=$carried_ca")
while IFS='=' read -r name value; do
  case $name in
    PIP_CERT) ;;
    PIP_FIND_LINKS) if [[ $value == *://* ]]; then env_in+=("$name=$value"); fi ;;  # host folders stay out
    PIP_*) env_in+=("$name=$value") ;;
  esac
done < <(env)
[[ -n ${QUORVEX_FUZZ_SECONDS:-} ]] && env_in+=("QUORVEX_FUZZ_SECONDS=$QUORVEX_FUZZ_SECONDS")

commit=$(git -C "$here" rev-parse HEAD)
git clone -q --no-checkout "$here" "$root/work/quorvex"
git -C "$root/work/quorvex" checkout -q --detach "$commit"
echo "== Debian $(cat "$root/etc/debian_version") root, commit $commit: $command"
start=$SECONDS
status=0
chroot "$root" /usr/bin/env -i "${env_in[@]}" bash -c "cd /work/quorvex && $command" || status=$?
echo "== Debian 13 run: exit $status after $((SECONDS - start)) s"
exit "$status"
