#!/usr/bin/env bash
# End to end at 2400 baud: halx-host polls ups-sim through a pseudo-terminal,
# the simulator sending its replies at the line's real byte rate (--pace),
# and each poll cycle's time is set against the wire time of its bytes.
#
# usage: bench/e2e.sh [--build-dir DIR] [--no-build] [--cycles N] [--interval SECONDS]
#
#   --build-dir DIR     build of halx-host, ups-sim and deltanhnt.so, made by
#                       scripts/build-tools.sh (default build/tools)
#   --no-build          use DIR as it is
#   --cycles N          cycles to time (default 10)
#   --interval SECONDS  halx-host's time between cycle starts (default 2; a
#                       cycle takes about 1.56 s, so the line rests between)
#
# The simulator holds every measurement at its nominal value (--no-drift), so
# every cycle carries the same bytes.
# Times come from halx-host's --trace (microsecond stamps of each chunk as it
# is written or read); the --json events check that every cycle completed.
# Then a second measure without the trace: cycles back to back (interval
# 1 ms), the run time of N+1 cycles minus that of 1, divided by N.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

cycles=10
interval=2
parse_options "--build-dir=build_dir --no-build:no_build=1 --cycles=cycles --interval=interval" "$@"
build_tools
baud=2400
host=$build_dir/tools/halx-host/halx-host
sim=$build_dir/tools/sim/ups-sim
plugin=$build_dir/deltanhnt.so

scratch=$(mktemp -d)
sim_pid=
stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=
    fi
}
trap 'stop_sim; rm -rf "$scratch"' EXIT

# Starts ups-sim on a new pseudo-terminal; sets sim_pid and pty.
start_sim() {
    "$sim" --pty --pace --baud "$baud" --no-drift --quiet >"$scratch/sim.out" 2>&1 &
    sim_pid=$!
    pty=
    for _ in $(seq 100); do
        pty=$(sed -n 's/^ups-sim: serving on //p' "$scratch/sim.out")
        [ -n "$pty" ] && return 0
        sleep 0.1
    done
    echo "ups-sim did not start:" >&2
    cat "$scratch/sim.out" >&2
    return 1
}

echo "=== halx-host --port <pty> --json --trace, ups-sim --pty --pace: $cycles cycles, one every $interval s"
start_sim
"$host" --plugin "$plugin" --port "$pty" --json --cycles "$cycles" --interval "$interval" \
    --trace "$scratch/trace" >"$scratch/events" 2>"$scratch/host.err" || {
    cat "$scratch/host.err" >&2
    exit 1
}
stop_sim
python3 bench/e2e_cycles.py "$scratch/trace" "$scratch/events" "$baud" "$cycles"

# Seconds that one halx-host run of N back-to-back cycles takes.
run_seconds() {
    start_sim
    local t0 t1
    t0=$(date +%s.%N)
    "$host" --plugin "$plugin" --port "$pty" --json --cycles "$1" --interval 0.001 \
        >"$scratch/events.$1" 2>"$scratch/host.err"
    t1=$(date +%s.%N)
    stop_sim
    local records
    records=$(grep -c '"event":"record"' "$scratch/events.$1" || true)
    if [ "$records" != "$1" ]; then
        echo "FAILED: $1 cycles asked, $records records reported" >&2
        return 1
    fi
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }'
}

echo
echo "=== without the trace: back-to-back cycles, run of $((cycles + 1)) minus run of 1"
one=$(run_seconds 1)
many=$(run_seconds $((cycles + 1)))
per_byte=$(awk -v b="$baud" 'BEGIN { print 10 / b }')
rx=$(python3 bench/e2e_cycles.py --reply-bytes "$scratch/trace")
awk -v one="$one" -v many="$many" -v n="$cycles" -v rx="$rx" -v pb="$per_byte" 'BEGIN {
    c = (many - one) / n; w = rx * pb
    printf "run of 1: %.3f s, run of %d: %.3f s; %.2f ms a cycle; wire time of %d reply bytes %.2f ms; over by %.3f %%\n",
        one, n + 1, many, c * 1e3, rx, w * 1e3, (c / w - 1) * 100
}'
