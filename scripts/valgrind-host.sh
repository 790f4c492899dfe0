#!/usr/bin/env bash
# Valgrind memcheck of halx-host with the plug-in and the stand-in host
# library loaded, and of ups-sim:
#
#   1. halx-host --sim: five cycles from the built-in simulated UPS (replies
#      in 7-byte pieces), the readable view, a trace that rotates, history;
#   2. halx-host --port against a separate ups-sim (also under memcheck) on a
#      pseudo-terminal, whose script injects an overflowing noise burst, noise
#      between cycles, a truncated reply, a wrong address, a dropped reply, a
#      cable pull and a silence before eight cycles complete (--json);
#   3. halx-host --decode and --load-cache on the history file of run 2.
#
# Each run must end with status 0 after doing its work, with no memcheck
# error and no byte definitely or indirectly lost (--error-exitcode=1
# --leak-check=full --errors-for-leak-kinds=definite,indirect).  No
# suppression file: none of the libraries involved (libstdc++, glibc,
# Boost.Asio, jsoncpp) reports anything here.
#
# usage: scripts/valgrind-host.sh [--build-dir DIR] [--no-build] [--out DIR]
#
#   --build-dir DIR  build of halx-host, ups-sim and deltanhnt.so, made by
#                    scripts/build-tools.sh (default build/tools; CI passes
#                    build/native)
#   --no-build       use DIR as it is
#   --out DIR        memcheck logs and program output (default DIR/valgrind)
set -euo pipefail
source "$(dirname "$0")/lib.sh"

out=""
parse_options "--build-dir=build_dir --no-build:no_build=1 --out=out" "$@"
out=${out:-$build_dir/valgrind}
build_tools
host=$build_dir/tools/halx-host/halx-host
sim=$build_dir/tools/sim/ups-sim
plugin=$build_dir/deltanhnt.so

rm -rf "$out"
mkdir -p "$out"
memcheck=(valgrind --error-exitcode=1 --leak-check=full
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
    --track-origins=yes --num-callers=40)

runs=0

# "N errors, definitely lost N, indirectly lost N, possibly lost N" from a
# memcheck log.
figures() {
    local log=$1
    local errors definite indirect possible
    errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$log" | tail -n 1)
    definite=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -n 1)
    indirect=$(sed -n 's/.*indirectly lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -n 1)
    possible=$(sed -n 's/.*possibly lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -n 1)
    echo "${errors:-?} errors, lost ${definite:-0}/${indirect:-0}/${possible:-0} B" \
        "(definitely/indirectly/possibly)"
}

# check NAME STATUS LOG [PROBLEM]: one run's result.
check() {
    local name=$1 status=$2 log=$3 problem=${4:-}
    runs=$((runs + 1))
    echo "$name: $(figures "$log")"
    if [ "$status" -ne 0 ]; then
        problem="${problem:+$problem; }exit status $status"
    fi
    if [ -n "$problem" ]; then
        fail "$name: $problem (see $log)"
    fi
}

# --- 1. the built-in simulated UPS
echo "=== valgrind: halx-host --sim"
status=0
timeout 300 "${memcheck[@]}" --log-file="$out/host-sim.memcheck" \
    "$host" --plugin "$plugin" --sim --cycles 5 --interval 0.2 --sim-chunk 7 \
    --trace "$out/sim.trace" --trace-limit 2048 --history "$out/sim.history" \
    >"$out/host-sim.out" 2>&1 || status=$?
problem=""
grep -q '^stopped; link *cycles completed 5,' "$out/host-sim.out" ||
    problem="5 cycles did not complete"
check "halx-host --sim" "$status" "$out/host-sim.memcheck" "$problem"

# --- 2. a separate ups-sim with faults
echo "=== valgrind: halx-host --port against ups-sim with faults"
cat >"$out/faults.ups" <<'EOF'
# Faults for halx-host under memcheck, then healthy cycles until stopped.
wait 1 cycle
noise 5000 before           # overflows the reception buffer
wait 1 cycle
truncate 1
wait 1 cycle
address 01
wait 1 cycle
address 00
drop STI
wait 1 cycle
drop none
noise 300                   # between cycles
wait 1 cycle
close 500ms                 # cable pull
wait 1 cycle
silence 2500ms
wait 2500ms
wait 100000 cycles
EOF
link=$out/ups
"${memcheck[@]}" --log-file="$out/ups-sim.memcheck" \
    "$sim" --link "$link" --script "$out/faults.ups" --log --json >"$out/ups-sim.jsonl" 2>&1 &
sim_pid=$!
for _ in $(seq 300); do
    [ -L "$link" ] && break
    sleep 0.1
done
status=0
timeout 300 "${memcheck[@]}" --log-file="$out/host-port.memcheck" \
    "$host" --plugin "$plugin" --port "$link" --json --cycles 8 --interval 0.2 \
    --reply-timeout 1 --reopen-interval 0.2 --history "$out/port.history" \
    --trace "$out/port.trace" >"$out/host-port.out" 2>"$out/host-port.err" || status=$?
kill -TERM "$sim_pid" 2>/dev/null || true
sim_status=0
wait "$sim_pid" || sim_status=$?
problem=""
if ! grep -q '"event":"counters","completed":8,' "$out/host-port.out"; then
    problem="8 cycles did not complete"
fi
for want in '"state":"lost"' '"state":"reopened"' '"state":"silent"'; do
    grep -q "$want" "$out/host-port.out" || problem="${problem:+$problem; }no $want event"
done
check "halx-host --port" "$status" "$out/host-port.memcheck" "$problem"
check "ups-sim" "$sim_status" "$out/ups-sim.memcheck"

# --- 3. the stored records
echo "=== valgrind: halx-host --decode, --load-cache"
touch "$out/port.history"
status=0
"${memcheck[@]}" --log-file="$out/host-decode.memcheck" \
    "$host" --decode "$out/port.history" --json >"$out/host-decode.out" 2>&1 || status=$?
problem=""
[ "$(grep -c '"event":"decoded"' "$out/host-decode.out")" -eq 8 ] ||
    problem="8 records not decoded"
check "halx-host --decode" "$status" "$out/host-decode.memcheck" "$problem"
head -c 338 "$out/port.history" >"$out/one-record.bin"
status=0
"${memcheck[@]}" --log-file="$out/host-cache.memcheck" \
    "$host" --plugin "$plugin" --load-cache "$out/one-record.bin" \
    >"$out/host-cache.out" 2>&1 || status=$?
check "halx-host --load-cache" "$status" "$out/host-cache.memcheck"

finish valgrind "$runs runs, 0 errors, 0 bytes definitely or indirectly lost"
