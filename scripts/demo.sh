#!/usr/bin/env bash
# The demo: on a Debian 12 machine (as root, or with sudo), installs what the
# build needs and is missing (scripts/install-deps.sh build: the compiler,
# CMake, Ninja, Boost and jsoncpp; none of the test tools), builds the
# plug-in, halx-host and the simulated UPS (no tests), and polls the
# simulated UPS through a pseudo-terminal for a few cycles, showing the
# decoded values and the alarms.  Only halx-host writes to standard output;
# the installing and building go to standard error, so that
# `scripts/demo.sh --json | jq` reads JSON alone.
#
# usage: scripts/demo.sh [halx-host options]
#        default options: --cycles 3 --interval 1 --sim-value OutptOvrCrrent=1
#        e.g. scripts/demo.sh --cycles 2 --interval 0.5 --json
set -euo pipefail
cd "$(dirname "$0")/.."

# Standard output is halx-host's alone.
exec 3>&1 1>&2

scripts/install-deps.sh build

build=build/demo
echo "=== building halx-host, the plug-in and the simulated UPS in $build"
scripts/build-tools.sh "$build"

args=("$@")
if [ ${#args[@]} -eq 0 ]; then
    # A healthy UPS whose output current is too high: one alarm raised.
    args=(--cycles 3 --interval 1 --sim-value OutptOvrCrrent=1)
fi
echo "=== halx-host --sim ${args[*]}"
exec "$build/tools/halx-host/halx-host" --sim "${args[@]}" 1>&3 3>&-
