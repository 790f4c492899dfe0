#!/usr/bin/env bash
# The cost of one append to the history database, with 64 UPSes taking
# turns, on the PC and under qemu-mipsel: history-tool bench flat out (CPU
# per append, bytes written per round) and paced at 32 appends a second,
# the rate of 64 UPSes polled every 2 s (the time one append holds up the
# poll loop); and the MIPS instructions of one append, counted from
# qemu-mipsel's block trace (bench/qemu_insn_count.py) as the difference
# between runs of 1001 rounds and 1 round.  The figures are in
# docs/HISTORY.md; nothing here passes or fails on them.
#
# usage: bench/history_bench.sh [--native DIR] [--mipsel DIR] [--quick]
#   DIR: build trees with history-tool built (default build/native and
#   build/mipsel; a missing one is left out).  --quick: fewer rounds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=$root/build/native
mipsel=$root/build/mipsel
flat=20000
paced=2000
quick=0
while [ $# -gt 0 ]; do
    case $1 in
    --native) native=$2; shift 2 ;;
    --mipsel) mipsel=$2; shift 2 ;;
    --quick) quick=1; flat=2000; paced=200; shift ;;
    *) echo "usage: $0 [--native DIR] [--mipsel DIR] [--quick]" >&2; exit 2 ;;
    esac
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sysroot=$root/build/sysroot-mipsel
qemu=(qemu-mipsel -L /usr/mipsel-linux-gnu -E "LD_LIBRARY_PATH=$sysroot/usr/lib/mipsel-linux-gnu")

bench() { # label command...
    local label=$1
    shift
    rm -f "$scratch"/b.db*
    echo "--- $label"
    "$@"
}

run_all() { # name tool...
    local name=$1
    shift
    for checkpoints in 1000 0; do
        bench "$name, flat out, checkpoint pages $checkpoints" \
            "$@" bench "$scratch/b.db" --rounds "$flat" --checkpoint-pages "$checkpoints"
        bench "$name, 32 appends/s, checkpoint pages $checkpoints" \
            "$@" bench "$scratch/b.db" --rounds "$paced" --rate 32 --checkpoint-pages "$checkpoints"
    done
}

instructions() { # rounds bench args...
    local rounds=$1
    shift
    rm -f "$scratch"/i.db* "$scratch/trace"
    mkfifo "$scratch/trace"
    python3 "$root/bench/qemu_insn_count.py" "$scratch/trace" >"$scratch/count" &
    "${qemu[@]}" -d in_asm,exec,nochain -D "$scratch/trace" "$mipsel/tools/history/history-tool" \
        bench "$scratch/i.db" --rounds "$rounds" "$@" >/dev/null
    wait
    cat "$scratch/count"
}

echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ -x "$native/tools/history/history-tool" ]; then
    run_all "PC" "$native/tools/history/history-tool"
fi
if [ -x "$mipsel/tools/history/history-tool" ]; then
    run_all "qemu-mipsel" "${qemu[@]}" "$mipsel/tools/history/history-tool"
    if [ $quick -eq 0 ]; then
        for checkpoints in 0 1000; do
            base=$(instructions 1 --checkpoint-pages "$checkpoints")
            full=$(instructions 1001 --checkpoint-pages "$checkpoints")
            echo "--- MIPS instructions per append, checkpoint pages $checkpoints:" \
                "$(((full - base) / 1000)) (qemu-mipsel block trace, 1001 rounds minus 1)"
        done
    fi
fi
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
