#!/usr/bin/env bash
# The site monitor at scale, by hand (not run by CI):
#
#   bench/site_bench.sh [SECONDS]          (default 60 s per phase)
#
# N (default 64) ups-sim processes serve one pseudo-terminal each, paced at
# 2400 baud, logging their traffic as JSON.  Phase 1: one halx-host --config
# polls all of them every 2 s, writes the history into a site database and
# serves the UPS network protocol, while 10 upsc clients ask it for one UPS
# each every second.  Phase 2: N halx-host --port processes poll the same
# terminals every 2 s (no server, no database).  For each phase: the CPU
# time (user + system, from /proc) of halx-host over the measured period as
# a share of one core, and its resident memory (the sum over the processes
# in phase 2).  From the simulators' logs of phase 1: each line's cycle time
# (MNU query in to the VER reply's last byte out) against its wire time (the
# replies' bytes at 10 bits a byte; on a pseudo-terminal the queries cost
# no wire time), i.e. what the host adds to a cycle.
#
# Environment: BUILD (default build/native), N (default 64), CLIENTS
# (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${BUILD:-build/native}
n=${N:-64}
clients=${CLIENTS:-10}
host="$build/tools/halx-host/halx-host"
sim="$build/tools/sim/ups-sim"
upsc=$(command -v upsc || true)
[[ -x "$host" && -x "$sim" ]] || { echo "site_bench: build $host and $sim first" >&2; exit 1; }

work=$(mktemp -d /tmp/site-bench.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# CPU ticks (utime + stime) of the processes given.
ticks() {
    local total=0 p
    for p in "$@"; do
        local stat
        stat=$(cat "/proc/$p/stat" 2>/dev/null) || continue
        stat=${stat##*) }
        read -r -a f <<<"$stat"
        total=$((total + f[11] + f[12]))
    done
    echo "$total"
}
# Resident memory in KiB, summed.
rss() {
    local total=0 p kb
    for p in "$@"; do
        kb=$(awk '/^VmRSS:/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0)
        total=$((total + kb))
    done
    echo "$total"
}
hz=$(getconf CLK_TCK)

# Measures the processes over `seconds` after a warm-up: prints "cpu% rss_kib".
measure() {
    sleep 8
    local t0 c0 t1 c1
    t0=$(date +%s.%N)
    c0=$(ticks "$@")
    sleep "$seconds"
    t1=$(date +%s.%N)
    c1=$(ticks "$@")
    python3 -c "print(f'{($c1 - $c0) / $hz / ($t1 - $t0) * 100:.2f} $(rss "$@")')"
}

echo "site_bench: $n simulated UPSes at 2400 baud, interval 2 s, $seconds s per phase" >&2
for i in $(seq 1 "$n"); do
    "$sim" --pty --pace --link "$work/tty$i" --json --log >"$work/sim$i.jsonl" &
    pids+=($!)
done
for i in $(seq 1 "$n"); do
    while [[ ! -e "$work/tty$i" ]]; do sleep 0.05; done
done

# --- Phase 1: one site process.
port=$(free_port)
{
    echo '{ "site": "bench", "database": "'"$work"'/site.db", "ups": ['
    for i in $(seq 1 "$n"); do
        sep=$([[ $i -lt $n ]] && echo , || true)
        echo '  { "name": "ups'"$i"'", "port": "'"$work/tty$i"'", "interval": 2 }'"$sep"
    done
    echo '], "nut": { "listen": ["127.0.0.1:'"$port"'"] } }'
} >"$work/site.conf"
"$host" --config "$work/site.conf" --lock-dir "" >/dev/null 2>"$work/site.err" &
site=$!
pids+=($site)
client_pids=()
if [[ -n "$upsc" ]]; then
    for c in $(seq 1 "$clients"); do
        (while :; do "$upsc" "ups$c@127.0.0.1:$port" >/dev/null 2>&1; sleep 1; done) &
        client_pids+=($!)
        pids+=($!)
    done
else
    echo "site_bench: no upsc (nut-client): phase 1 runs without clients" >&2
fi
mark=$(date +%s.%N)
read -r site_cpu site_rss < <(measure "$site")
site_hwm=$(awk '/^VmHWM:/ {print $2}' "/proc/$site/status")
kill "${client_pids[@]}" 2>/dev/null || true
kill "$site"
wait "$site" 2>/dev/null || true
end=$(date +%s.%N)
rounds=$(python3 -c "import sqlite3; print(sqlite3.connect('$work/site.db').execute('select count(*) from round').fetchone()[0])")

# --- Phase 2: one process per UPS.
singles=()
for i in $(seq 1 "$n"); do
    "$host" --port "$work/tty$i" --interval 2 --lock-dir "" >/dev/null 2>&1 &
    singles+=($!)
    pids+=($!)
done
read -r singles_cpu singles_rss < <(measure "${singles[@]}")
kill "${singles[@]}" 2>/dev/null || true

# --- Cycle time against wire time, per line, from phase 1's traffic.
python3 - "$work" "$n" "$mark" "$end" <<'EOF'
import datetime, json, statistics, sys
work, n, mark, end = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
byte_s = 10 / 2400
def t(text):
    return datetime.datetime.fromisoformat(text).timestamp()
ratios, cycles_all, gaps = [], [], []
for i in range(1, n + 1):
    start = None; wire = 0.0; last_end = None; line_cycles = []; line_wire = []
    for line in open(f"{work}/sim{i}.jsonl"):
        e = json.loads(line)
        if e["event"] not in ("query", "reply"):
            continue
        when = t(e["time"])
        if not (mark + 8 <= when <= end):
            start = None
            continue
        if e["event"] == "query":
            if e["query"] == "MNU":
                start, wire = when, 0.0
            elif last_end is not None and start is not None:
                gaps.append(when - last_end)
        else:
            on_wire = e["length"] * byte_s
            wire += on_wire
            # Paced: the reply's last byte leaves one wire time after it is queued.
            last_end = when + on_wire
            if e["query"] == "VER" and start is not None:
                line_cycles.append(last_end - start)
                line_wire.append(wire)
                start = None
    if line_cycles:
        c, w = statistics.mean(line_cycles), statistics.mean(line_wire)
        ratios.append((c - w) / w * 100)
        cycles_all.append(c)
print(f"lines measured: {len(ratios)}; cycle time mean {statistics.mean(cycles_all)*1000:.1f} ms; "
      f"host's share beyond the wire: mean {statistics.mean(ratios):.2f} %, "
      f"worst line {max(ratios):.2f} %, best {min(ratios):.2f} %")
gaps.sort()
print(f"reply's last byte to the next query ({len(gaps)} exchanges): median "
      f"{gaps[len(gaps)//2]*1000:.2f} ms, p99 {gaps[int(len(gaps)*0.99)]*1000:.2f} ms, "
      f"max {gaps[-1]*1000:.2f} ms")
EOF
echo "one site process ($n UPSes, $clients upsc clients/s, history): cpu ${site_cpu} % of one core, rss $((site_rss / 1024)) MiB (peak $((site_hwm / 1024)) MiB), $rounds rounds stored"
echo "$n single-port processes: cpu ${singles_cpu} % of one core, rss $((singles_rss / 1024)) MiB in all"
python3 -c "print(f'ratio ($n processes / one site process): cpu {$singles_cpu / max($site_cpu, 0.01):.1f}x, rss {$singles_rss / max($site_rss, 1):.1f}x')"
grep -c "" "$work/site.err" | xargs -I{} echo "site process stderr lines: {}"
