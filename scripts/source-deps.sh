#!/usr/bin/env bash
# Builds from source the libraries that a build variant cannot take from
# Debian's binary packages because it compiles C++ differently (the old
# std::string ABI): jsoncpp from Debian's own source package, the version
# Debian 12 ships as libjsoncpp-dev, and GoogleTest from the sources that
# Debian's libgtest-dev installs in /usr/src/googletest.  Both are built with
# the variant's toolchain and flags and installed into PREFIX (include/,
# lib/); the variant's configuration searches PREFIX before its sysroot
# (DELTANHNT_DEPS_PREFIX).
#
# usage: scripts/source-deps.sh mipsel-oldabi
#          what the preset mipsel-oldabi needs, in build/deps-mipsel-oldabi
#        scripts/source-deps.sh PREFIX [CMAKE_ARGUMENT...]
#          e.g. scripts/source-deps.sh /opt/deps-oldabi \
#                 -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchains/mipsel-linux-gnu.cmake \
#                 -DDELTANHNT_SYSROOT=/opt/unit-sdk/sysroot \
#                 -DCMAKE_CXX_FLAGS=-D_GLIBCXX_USE_CXX11_ABI=0
#
# Nothing is rebuilt while PREFIX holds a build of the same sources with the
# same arguments.  The source package is fetched once, into build/src/, with
# `apt-get source` through a private list of Debian's deb-src entries made
# from the machine's own apt sources (the machine's apt setup is left alone).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ]; then
    echo "usage: $0 PREFIX [CMAKE_ARGUMENT...]" >&2
    exit 2
fi
case "$1" in
mipsel-oldabi)
    prefix="$root/build/deps-mipsel-oldabi"
    set -- "$1" "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchains/mipsel-linux-gnu.cmake" \
        "-DDELTANHNT_SYSROOT=$root/build/sysroot-mipsel" -DCMAKE_CXX_FLAGS=-D_GLIBCXX_USE_CXX11_ABI=0
    ;;
*)
    prefix=$(realpath -m "$1")
    ;;
esac
shift
jobs=${DELTANHNT_JOBS:-2}

jsoncpp_version=$(dpkg-query -W -f='${Version}' libjsoncpp-dev 2>/dev/null || true)
if [ -z "$jsoncpp_version" ]; then
    echo "source-deps: libjsoncpp-dev is not installed (scripts/install-deps.sh)" >&2
    exit 1
fi
gtest_source=/usr/src/googletest
gtest_version=$(dpkg-query -W -f='${Version}' libgtest-dev 2>/dev/null || true)
if [ ! -f "$gtest_source/CMakeLists.txt" ] || [ -z "$gtest_version" ]; then
    echo "source-deps: $gtest_source is missing (libgtest-dev, scripts/install-deps.sh)" >&2
    exit 1
fi

stamp="$prefix/.source-deps"
wanted="jsoncpp $jsoncpp_version; googletest $gtest_version; $*"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
    echo "source-deps: $prefix is up to date"
    exit 0
fi

# Debian's source package of jsoncpp (source name libjsoncpp), unpacked with
# its Debian patches applied.
src="$root/build/src"
jsoncpp_src="$src/libjsoncpp-$jsoncpp_version"
if [ ! -f "$jsoncpp_src/.unpacked" ]; then
    apt_dir="$src/apt"
    rm -rf "$apt_dir" "$jsoncpp_src"
    mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" \
        "$apt_dir/download"
    # deb-src twins of the machine's Debian entries, one-line and deb822 style.
    shopt -s nullglob
    for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$list" ] || continue
        sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$list" >>"$apt_dir/sources/debian.list"
    done
    for list in /etc/apt/sources.list.d/*.sources; do
        sed 's/^Types:.*/Types: deb-src/' "$list" >"$apt_dir/sources/$(basename "$list")"
    done
    shopt -u nullglob
    apt_options=(
        -o Dir::Etc::SourceList=/dev/null
        -o "Dir::Etc::SourceParts=$apt_dir/sources"
        -o "Dir::State::Lists=$apt_dir/lists"
        -o "Dir::Cache=$apt_dir/cache"
        -o APT::Sandbox::User=root
    )
    apt-get "${apt_options[@]}" update -qq
    (cd "$apt_dir/download" &&
        apt-get "${apt_options[@]}" source --download-only -qq "libjsoncpp-dev=$jsoncpp_version")
    dpkg-source --no-check -x "$apt_dir"/download/libjsoncpp_*.dsc "$jsoncpp_src" >/dev/null
    rm -rf "$apt_dir"
    touch "$jsoncpp_src/.unpacked"
fi

build="$prefix.build"
rm -rf "$build" "$prefix"
mkdir -p "$build"
# Each step's output goes to a log, shown when the step fails.
step() {
    local log=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        tail -n 30 "$log" >&2
        echo "source-deps: failed: $* (log: $log)" >&2
        exit 1
    fi
}

# jsoncpp as Debian configures it (debian/rules): the shared library only,
# headers under include/jsoncpp; no tests.
step "$build/jsoncpp.log" cmake -S "$jsoncpp_src" -B "$build/jsoncpp" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DCMAKE_INSTALL_INCLUDEDIR=include/jsoncpp \
    -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF -DBUILD_OBJECT_LIBS=OFF \
    -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
    "$@"
step "$build/jsoncpp.log" cmake --build "$build/jsoncpp" -j "$jobs"
step "$build/jsoncpp.log" cmake --install "$build/jsoncpp"

# GoogleTest: gtest and gtest_main, static, as Debian's libgtest-dev has them.
step "$build/googletest.log" cmake -S "$gtest_source" -B "$build/googletest" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON "$@"
step "$build/googletest.log" cmake --build "$build/googletest" -j "$jobs"
step "$build/googletest.log" cmake --install "$build/googletest"

rm -rf "$build"
echo "$wanted" >"$stamp"
echo "source-deps: jsoncpp $jsoncpp_version and googletest $gtest_version built in $prefix"
