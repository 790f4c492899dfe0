#!/usr/bin/env bash
# Fault-injection soak: halx-host polls ups-sim through a pseudo-terminal for
# many cycles while the simulator, unpaced, runs a generated scenario of line
# faults: noise bursts up to 8 KiB before a reply or between cycles, dropped
# and truncated replies, wrong addresses, long silences, the terminal closed
# and reopened.  scripts/soak/soak.py generates the scenario, runs both
# programs, samples halx-host's /proc entries and checks:
#
#   - halx-host ends with status 0 on SIGTERM: no crash, no signal;
#   - no record for a cycle the plug-in had to abandon (a reply dropped, cut
#     short or from another address, the line gone), no record mixing the
#     replies of two cycles; cycles with noise may complete, intact;
#   - every cleanly answered cycle completes, so each fault is recovered from
#     in the first clean cycle after it;
#   - VmRSS and open descriptors flat after a warm-up (+256 KiB at most);
#   - CPU under 2 % of one core while the line is silent or closed.
#
# usage: scripts/soak.sh [--cycles N] [--quick] [--seed N] [--build-dir DIR]
#                        [--no-build] [--out DIR]
#
#   --cycles N       poll cycles (RefreshStatus calls) to run (default 10000)
#   --quick          300 cycles, one silence and one cable pull (for CI)
#   --seed N         scenario and simulator seed (default 1)
#   --build-dir DIR  build of halx-host, ups-sim and deltanhnt.so (default
#                    build/soak, configured here if new; CI passes build/native)
#   --no-build       use DIR as it is
#   --out DIR        scenario, logs and summary.txt (default DIR/soak-run)
#
# halx-host runs with --interval 0.02 --reply-timeout 0.2 --reopen-interval
# 0.25: 10,000 cycles take about 8 minutes, --quick about 20 seconds.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

cycles=10000
quick=()
seed=1
build_dir=build/soak
build=1
out=""
while [ $# -gt 0 ]; do
    case $1 in
    --cycles)
        cycles=${2:?--cycles needs a number}
        shift
        ;;
    --quick)
        quick=(--quick)
        cycles=300
        ;;
    --seed)
        seed=${2:?--seed needs a number}
        shift
        ;;
    --build-dir)
        build_dir=${2:?--build-dir needs a folder}
        shift
        ;;
    --no-build) build=0 ;;
    --out)
        out=${2:?--out needs a folder}
        shift
        ;;
    *)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
        exit 2
        ;;
    esac
    shift
done
out=${out:-$build_dir/soak-run}

if [ "$build" = 1 ]; then
    scripts/build-tools.sh "$build_dir"
fi

exec python3 scripts/soak/soak.py \
    --halx-host "$build_dir/tools/halx-host/halx-host" \
    --ups-sim "$build_dir/tools/sim/ups-sim" \
    --plugin "$build_dir/deltanhnt.so" \
    --out "$out" --cycles "$cycles" --seed "$seed" "${quick[@]}"
