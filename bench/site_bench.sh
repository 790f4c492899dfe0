#!/usr/bin/env bash
# The site monitor at scale, by hand (not run by CI):
#
#   bench/site_bench.sh [--publish] [--site-only] [SECONDS]   (default 60 s per phase)
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
# --publish: phase 1 also publishes every round to a real mosquitto broker on
# 127.0.0.1 (the site config's "mqtt" section, QoS 1, discovery on; a
# mosquitto_sub consumer of the site's topics counts what arrives) and a real
# Prometheus scrapes halx-host's /metrics every second (a temp config and
# data dir); the end says how many messages arrived and scrapes succeeded.
# --site-only: no phase 2.
#
# Environment: BUILD (default build/native), N (default 64), CLIENTS
# (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
publish=0
singles_phase=1
while [[ $# -gt 0 ]]; do
    case $1 in
    --publish) publish=1 ;;
    --site-only) singles_phase=0 ;;
    -*) echo "site_bench: unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
    shift
done
seconds=${1:-60}
build=${BUILD:-build/native}
n=${N:-64}
clients=${CLIENTS:-10}
host="$build/tools/halx-host/halx-host"
sim="$build/tools/sim/ups-sim"
upsc=$(command -v upsc || true)
[[ -x "$host" && -x "$sim" ]] || { echo "site_bench: build $host and $sim first" >&2; exit 1; }
if [[ $publish -eq 1 ]]; then
    for tool in /usr/sbin/mosquitto mosquitto_sub prometheus curl; do
        command -v "$tool" >/dev/null || { echo "site_bench: --publish needs $tool" >&2; exit 1; }
    done
fi

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
extra=
if [[ $publish -eq 1 ]]; then
    broker_port=$(free_port)
    metrics_port=$(free_port)
    web_port=$(free_port)
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$broker_port" \
        >"$work/mosquitto.conf"
    [[ $(id -u) -ne 0 ]] || printf 'user %s\n' "$(id -un)" >>"$work/mosquitto.conf"
    /usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/broker.log" 2>&1 &
    pids+=($!)
    sleep 0.5
    mosquitto_sub -h 127.0.0.1 -p "$broker_port" -q 1 -t 'ups/bench/#' >"$work/received" &
    pids+=($!)
    cat >"$work/prometheus.yml" <<CONF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: halx
    static_configs:
      - targets: ['127.0.0.1:$metrics_port']
CONF
    prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/prometheus" \
        --web.listen-address="127.0.0.1:$web_port" >"$work/prometheus.log" 2>&1 &
    pids+=($!)
    extra=', "mqtt": { "host": "127.0.0.1", "port": '"$broker_port"', "qos": 1 }'
    extra+=', "prometheus": { "listen": ["127.0.0.1:'"$metrics_port"'"] }'
fi
{
    echo '{ "site": "bench", "database": "'"$work"'/site.db", "ups": ['
    for i in $(seq 1 "$n"); do
        sep=$([[ $i -lt $n ]] && echo , || true)
        echo '  { "name": "ups'"$i"'", "port": "'"$work/tty$i"'", "interval": 2 }'"$sep"
    done
    echo '], "nut": { "listen": ["127.0.0.1:'"$port"'"] }'"$extra"' }'
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
if [[ $publish -eq 1 ]]; then
    sleep 1
    received=$(grep -c "" "$work/received" || true)
    # Scrapes over the measured period (warm-up, measure, the rest): the
    # successful ones, and how many samples the last one took.
    scrapes=$(curl -sG "http://127.0.0.1:$web_port/api/v1/query" \
        --data-urlencode "query=sum_over_time(up{job=\"halx\"}[$((seconds + 8))s])" |
        python3 -c 'import json,sys; r=json.load(sys.stdin)["data"]["result"]; print(r[0]["value"][1] if r else 0)')
    samples=$(curl -sG "http://127.0.0.1:$web_port/api/v1/query" \
        --data-urlencode "query=max_over_time(scrape_samples_scraped{job=\"halx\"}[$((seconds + 8))s])" |
        python3 -c 'import json,sys; r=json.load(sys.stdin)["data"]["result"]; print(r[0]["value"][1] if r else 0)')
fi

# --- Phase 2: one process per UPS.
singles_cpu=0
singles_rss=0
singles=()
for i in $(seq 1 "$((n * singles_phase))"); do
    "$host" --port "$work/tty$i" --interval 2 --lock-dir "" >/dev/null 2>&1 &
    singles+=($!)
    pids+=($!)
done
if [[ $singles_phase -eq 1 ]]; then
    read -r singles_cpu singles_rss < <(measure "${singles[@]}")
    kill "${singles[@]}" 2>/dev/null || true
fi

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
what="$clients upsc clients/s, history"
[[ $publish -eq 0 ]] || what+=", MQTT + Prometheus every 1 s"
echo "one site process ($n UPSes, $what): cpu ${site_cpu} % of one core, rss $((site_rss / 1024)) MiB (peak $((site_hwm / 1024)) MiB), $rounds rounds stored"
if [[ $publish -eq 1 ]]; then
    echo "published: $received messages received by the consumer; Prometheus: $scrapes successful scrapes (up to $samples samples each)"
fi
if [[ $singles_phase -eq 1 ]]; then
    echo "$n single-port processes: cpu ${singles_cpu} % of one core, rss $((singles_rss / 1024)) MiB in all"
    python3 -c "print(f'ratio ($n processes / one site process): cpu {$singles_cpu / max($site_cpu, 0.01):.1f}x, rss {$singles_rss / max($site_rss, 1):.1f}x')"
fi
grep -c "" "$work/site.err" | xargs -I{} echo "site process stderr lines: {}"
