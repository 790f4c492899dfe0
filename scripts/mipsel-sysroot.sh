#!/usr/bin/env bash
# Builds the mipsel sysroot for the target build: Debian's mipsel packages of
# the libraries the plug-in, the tools and the tests build against, unpacked
# with dpkg-deb (installing :mipsel packages through multiarch fails on a PC
# whose amd64 packages are newer).
#
# usage: scripts/mipsel-sysroot.sh [SYSROOT]   (default: build/sysroot-mipsel)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sysroot=${1:-$root/build/sysroot-mipsel}
packages=(
    libjsoncpp-dev libjsoncpp25
    libgtest-dev libgmock-dev
    libboost1.74-dev
    libboost-program-options1.74-dev libboost-program-options1.74.0
    libbenchmark-dev libbenchmark1debian
    libsqlite3-dev libsqlite3-0
)

stamp="$sysroot/.packages"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${packages[*]}" ]; then
    exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    dpkg --add-architecture mipsel
    apt-get update -qq
fi

debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
(
    cd "$debs"
    if ! apt-get download -qq -o APT::Sandbox::User=root "${packages[@]/%/:mipsel}"; then
        apt-get update -qq
        apt-get download -qq -o APT::Sandbox::User=root "${packages[@]/%/:mipsel}"
    fi
)

rm -rf "$sysroot"
mkdir -p "$sysroot"
for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
done
echo "${packages[*]}" > "$stamp"
echo "mipsel sysroot ready: $sysroot"
