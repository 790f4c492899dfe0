#!/usr/bin/env bash
# End to end at 2400 baud: halx-host polls ups-sim through a pseudo-terminal,
# the simulator sending its replies at the line's real byte rate (--pace),
# and each poll cycle's time is set against the wire time of its bytes.
#
# usage: bench/e2e.sh [--no-build] [--cycles N] [--interval SECONDS]
#
#   --cycles N          cycles to time (default 10)
#   --interval SECONDS  halx-host's time between cycle starts (default 2; a
#                       cycle takes about 1.56 s, so the line rests between)
#
# Builds halx-host, ups-sim and the plug-in in build/bench (preset bench, two
# compile jobs) unless --no-build.  The simulator holds every measurement at
# its nominal value (--no-drift), so every cycle carries the same bytes.
# Times come from halx-host's --trace (microsecond stamps of each chunk as it
# is written or read); the --json events check that every cycle completed.
# Then a second measure without the trace: cycles back to back (interval
# 1 ms), the run time of N+1 cycles minus that of 1, divided by N.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

build=1
cycles=10
interval=2
while [ $# -gt 0 ]; do
    case $1 in
    --no-build) build=0 ;;
    --cycles)
        cycles=${2:?--cycles needs a number}
        shift
        ;;
    --interval)
        interval=${2:?--interval needs seconds}
        shift
        ;;
    *)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
        exit 2
        ;;
    esac
    shift
done

dir=build/bench
baud=2400
if [ "$build" = 1 ]; then
    cmake --preset bench >/dev/null
    cmake --build --preset bench -j 2 --target deltanhnt halx-host ups-sim
fi
host=$dir/tools/halx-host/halx-host
sim=$dir/tools/sim/ups-sim
plugin=$dir/deltanhnt.so

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
