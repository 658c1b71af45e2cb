#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/install-deps.sh [build|test|site|bench]
set -euo pipefail
what=${1:-build}
pkgs=(g++ cmake make zlib1g-dev libffi-dev libfcgi-dev)
case "$what" in
  test) pkgs+=(libgtest-dev googletest lighttpd apache2 curl clang chromium dpkg-dev)
    pkgs+=(nginx spawn-fcgi python3) ;;
  site) pkgs+=(lighttpd curl ninja-build) ;;
  bench) pkgs+=(nginx spawn-fcgi lighttpd curl wrk apache2-utils php8.2-fpm) ;;
esac
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}" >&2
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
