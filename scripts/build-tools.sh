#!/usr/bin/env bash
# Builds the plug-in, halx-host and ups-sim (no tests, no benchmarks) in a
# build folder, configuring it first if it has never been configured; a
# folder configured by a preset (build/native) is built as it is.
#
# usage: scripts/build-tools.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:?usage: scripts/build-tools.sh BUILD_DIR}
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DDELTANHNT_BUILD_TESTS=OFF -DDELTANHNT_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)" \
    --target deltanhnt halx-host ups-sim
