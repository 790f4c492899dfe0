#!/usr/bin/env bash
# Builds the mipsel sysroot for the target build: the target's root file
# system as far as the build and the tests need it, from Debian's mipsel
# packages unpacked with dpkg-deb (installing :mipsel packages through
# multiarch fails on a PC whose amd64 packages are newer): the dynamic loader,
# the C library, libstdc++ and libgcc with their development files, and the
# libraries the plug-in, the tools and the tests build against.  Compilers
# build with --sysroot set to it, and target programs run under
# `qemu-mipsel -L <sysroot>`.  The packages' shlibs and symbols files are kept
# in <sysroot>/.control/<package>/, so that dpkg-shlibdeps can compute the
# dependencies of the target's .debs (cmake/DebDependencies.cmake).
#
# usage: scripts/mipsel-sysroot.sh [SYSROOT]   (default: build/sysroot-mipsel)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sysroot=${1:-$root/build/sysroot-mipsel}
packages=(
    libc6 libc6-dev linux-libc-dev
    libgcc-s1 libgcc-12-dev libstdc++6 libstdc++-12-dev
    libjsoncpp-dev libjsoncpp25
    libgtest-dev libgmock-dev
    libboost1.74-dev
    libboost-program-options1.74-dev libboost-program-options1.74.0
    libbenchmark-dev libbenchmark1debian
    libsnmp-dev libsnmp40 libssl-dev libssl3 libwrap0 libnsl2 libtirpc3 libgssapi-krb5-2 libkrb5-3
    libk5crypto3 libkrb5support0 libcom-err2 libkeyutils1 libperl5.36 libcrypt1 libatomic1
    libsqlite3-dev libsqlite3-0
    libmosquitto-dev libmosquitto1
)

stamp="$sysroot/.packages"
contents="${packages[*]} (with .control)"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$contents" ]; then
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
    package=$(dpkg-deb -f "$deb" Package)
    dpkg-deb -e "$deb" "$debs/control-$package"
    for file in shlibs symbols; do
        if [ -f "$debs/control-$package/$file" ]; then
            mkdir -p "$sysroot/.control/$package"
            cp "$debs/control-$package/$file" "$sysroot/.control/$package/"
        fi
    done
done
echo "$contents" > "$stamp"
echo "mipsel sysroot ready: $sysroot"
