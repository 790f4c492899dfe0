#!/usr/bin/env bash
# The MQTT outbox's backlog delivered after the broker returns: 100,000
# entries (10 UPSes x 10,000 rounds, ~3.5 KB each) committed by mqtt-tool
# --fill while no broker runs, then a real mosquitto on 127.0.0.1 with a
# mosquitto_sub consumer, and mqtt-tool --drain timing the delivery from
# the accepted session to the empty outbox (every entry acknowledged by the
# broker and deleted from the database).  By hand, not in CI; figures in
# BENCHMARKS.md.
#
# With --live SECONDS instead: 64 UPSes, a round each every 2 s with an alarm
# change every 10 rounds, published live for that long, and mqtt-tool's CPU
# time and largest RSS.
#
# usage: bench/mqtt_bench.sh [--build DIR] [--entries N] [--in-flight N] [--live SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/native
entries=100000
in_flight=64
live=0
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$2; shift 2 ;;
    --entries) entries=$2; shift 2 ;;
    --in-flight) in_flight=$2; shift 2 ;;
    --live) live=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--entries N] [--in-flight N] [--live SECONDS]" >&2; exit 2 ;;
    esac
done
tool=$build/tools/mqtt/mqtt-tool
[ -x "$tool" ] || { echo "$0: $tool not built" >&2; exit 2; }

scratch=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$scratch"
}
trap cleanup EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
ups=10
[ "$live" -eq 0 ] || ups=64
per_ups=$((entries / ups))
list=$(for i in $(seq 1 $ups); do printf '%s{"name": "ups%d", "sim": true}' "$([ "$i" -gt 1 ] && echo ,)" "$i"; done)
cat >"$scratch/site.conf" <<CONF
{"site": "bench", "database": "$scratch/site.db", "ups": [$list],
 "mqtt": {"host": "127.0.0.1", "port": $port, "outbox_max": $((entries + 1)),
          "max_in_flight": $in_flight, "discovery": false}}
CONF
printf 'user %s\nlistener %s 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n' \
    "$(id -un)" "$port" >"$scratch/mosquitto.conf"

if [ "$live" -gt 0 ]; then
    /usr/sbin/mosquitto -c "$scratch/mosquitto.conf" >"$scratch/broker.log" 2>&1 &
    pids+=($!)
    sleep 0.5
    mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -t 'ups/#' >"$scratch/received" &
    pids+=($!)
    sleep 0.5
    echo "--- live: $ups UPSes, a round every 2 s each, for $live s"
    /usr/bin/time -f "mqtt-tool: %e s wall, %U s user, %S s system, %M KiB max RSS" \
        "$tool" --config "$scratch/site.conf" --rate 0.5 --rounds $((live / 2)) \
        --alarm-every 10 --linger 10 2>&1 | grep -v '^halx-host: mqtt:'
    sleep 1
    echo "consumer received $(wc -l <"$scratch/received") messages"
    exit 0
fi

echo "--- filling the outbox: $ups UPSes x $per_ups rounds, no broker"
start=$(date +%s.%N)
"$tool" --config "$scratch/site.conf" --fill "$per_ups" 2>/dev/null
echo "filled in $(echo "$(date +%s.%N) - $start" | bc) s; database $(du -h "$scratch/site.db" | cut -f1)"

/usr/sbin/mosquitto -c "$scratch/mosquitto.conf" >"$scratch/broker.log" 2>&1 &
pids+=($!)
sleep 0.5
mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -t 'ups/bench/+/round' >"$scratch/received" &
pids+=($!)
sleep 0.5

echo "--- draining: max_in_flight $in_flight"
/usr/bin/time -f "mqtt-tool: %e s wall, %U s user, %S s system, %M KiB max RSS" \
    "$tool" --config "$scratch/site.conf" --drain --linger 600 2>&1 | grep -v '^halx-host: mqtt:'
sleep 1
echo "consumer received $(wc -l <"$scratch/received") rounds"
