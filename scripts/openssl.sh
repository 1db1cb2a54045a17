#!/usr/bin/env bash
# Builds the static libcrypto that wheels link: OpenSSL 3.5 LTS from Debian 13
# (trixie)'s source package, fetched with `apt-get source` through an apt
# configuration of this script's own (the machine's apt sources are never
# touched), checked by apt against Debian's signed indices. Prints the
# install prefix (include/, lib/libcrypto.a, and the file debian-version with
# the exact Debian version built). The result is cached under
# ${XDG_CACHE_HOME:-~/.cache}/quorvex, keyed by the hash of the source
# tarballs and of the options below, so a second build reuses it.
# Progress goes to stderr; stdout carries only the prefix.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

series=3.5   # the LTS series wheels ship; any other version is refused
cache=${QUORVEX_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvex}
apt_root=$cache/apt
# Only what the enclave calls: no programs, tests, docs, engines, legacy
# algorithms or loadable modules, and no automatic reading of the system's
# openssl.cnf (the wheel's libcrypto behaves the same on every machine).
# Configure's own optimisation flags are kept; the assembly paths are chosen
# at run time from the CPU.
options=(no-shared no-module no-apps no-tests no-docs no-legacy no-engine no-dso
  no-autoload-config no-ssl no-tls no-dtls no-quic no-comp no-srp no-ui-console -fPIC)

log() { echo "openssl.sh: $*" >&2; }

# The Debian mirror this machine already uses (deb.debian.org otherwise).
mirror() {
  local uri
  uri=$(grep -hoE '(https?://[^ ]+)/debian/?$|^deb +(\[[^]]*\] +)?(https?://[^ ]+/debian)/? ' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    grep -oE 'https?://[^ ]+/debian' | head -n1 || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

keyring=
for k in /usr/share/keyrings/debian-archive-keyring.{pgp,gpg}; do
  [[ -r $k ]] && keyring=$k && break
done
if [[ -z $keyring ]]; then
  log "needs Debian's archive keys (Debian package debian-archive-keyring)"
  exit 1
fi
for tool in apt-get dpkg-source make perl; do
  command -v "$tool" >/dev/null || { log "needs $tool"; exit 1; }
done

base=$(mirror)
mkdir -p "$apt_root"/{etc/apt.conf.d,etc/preferences.d,etc/sources.list.d,etc/trusted.gpg.d} \
  "$apt_root"/state/lists/partial "$apt_root"/cache/archives/partial "$cache/src"
cat >"$apt_root/etc/sources.list" <<EOF
deb-src [signed-by=$keyring] $base trixie main
deb-src [signed-by=$keyring] ${base}-security trixie-security main
EOF
: >"$apt_root/status"
apt=(-o "Dir::Etc=$apt_root/etc" -o "Dir::Etc::SourceList=$apt_root/etc/sources.list"
  -o "Dir::Etc::SourceParts=$apt_root/etc/sources.list.d" -o "Dir::Etc::Parts=$apt_root/etc/apt.conf.d"
  -o "Dir::Etc::PreferencesParts=$apt_root/etc/preferences.d" -o "Dir::Etc::TrustedParts=$apt_root/etc/trusted.gpg.d"
  -o "Dir::State=$apt_root/state" -o "Dir::State::status=$apt_root/status"
  -o "Dir::Cache=$apt_root/cache" -o "APT::Sandbox::User=root" -o "Debug::NoLocking=1")

log "apt-get update (trixie, trixie-security sources from $base)"
apt-get "${apt[@]}" -qq update >&2
# Every version the two suites offer, highest first. Debian keeps only the
# current one in each suite, and a mirror's index can run ahead of its pool:
# a version that cannot be fetched falls back to the next one of the series.
versions=$(apt-cache "${apt[@]}" showsrc openssl | awk '/^Package: /{p=$2} /^Version: /{if (p=="openssl") print $2}' |
  sort -Vr -u)
version=
for v in $versions; do
  u=${v#*:}
  u=${u%-*}
  if [[ $u != "$series".* ]]; then
    log "openssl $v is not of the $series series: refused"
    continue
  fi
  src=$cache/src/$v
  if [[ ! -d $src/openssl-$u ]]; then
    log "apt-get source openssl=$v"
    rm -rf "$src" && mkdir -p "$src"
    if ! (cd "$src" && apt-get "${apt[@]}" -qq source "openssl=$v" >"$src.log" 2>&1); then
      log "openssl $v cannot be fetched ($(grep -m1 '^E:' "$src.log" | cut -c1-200)); trying the next version"
      rm -rf "$src" "$src.log"
      continue
    fi
  fi
  rm -f "$src.log"
  version=$v upstream=$u
  break
done
if [[ -z $version ]]; then
  log "no openssl $series source package could be had from Debian 13 (offered: ${versions:-none})"
  exit 1
fi
tarballs=$(cd "$src" && ls openssl_*.orig.tar.* openssl_*.debian.tar.* | grep -v '\.asc$')
key=$( (cd "$src" && sha256sum $tarballs && echo "${options[*]}") | sha256sum | cut -c1-16)
prefix=$cache/openssl-$upstream-$key
if [[ -f $prefix/lib/libcrypto.a && -f $prefix/debian-version ]]; then
  log "reusing $prefix (openssl $version)"
  echo "$prefix"
  exit 0
fi

work=$cache/build-$key
rm -rf "$work" && cp -a "$src/openssl-$upstream" "$work"
log "building libcrypto.a of openssl $version in $work (log: $work.log)"
if ! (
  cd "$work"
  ./Configure linux-x86_64 --prefix="$prefix.tmp" --libdir=lib --openssldir=/usr/lib/ssl "${options[@]}"
  make -j2 build_generated
  make -j2 libcrypto.a
) >"$work.log" 2>&1; then
  tail -n 40 "$work.log" >&2
  log "the OpenSSL build failed; its log: $work.log"
  exit 1
fi
rm -rf "$prefix.tmp" && mkdir -p "$prefix.tmp/lib" "$prefix.tmp/include"
cp "$work/libcrypto.a" "$prefix.tmp/lib/"
cp -r "$work/include/openssl" "$prefix.tmp/include/"
echo "$version" >"$prefix.tmp/debian-version"
rm -rf "$prefix" && mv "$prefix.tmp" "$prefix" && rm -rf "$work" "$work.log"
log "built $prefix"
echo "$prefix"
