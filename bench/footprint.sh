#!/usr/bin/env bash
# Footprint of the plug-in on the PC and on the MIPS target: instructions and
# heap allocations per poll cycle, the stripped size of deltanhnt.so, its
# shared-library dependencies and the size of one device object.
#
# usage: bench/footprint.sh [--no-build] [--cycles N]
#
#   --no-build   use build/bench and build/bench-mipsel as they are
#   --cycles N   cycles counted on the PC (default 1000); the MIPS trace
#                counts N/50 of them (at least 2), its log being large
#
# Builds (unless --no-build) with the presets bench and bench-mipsel, at most
# two compile jobs.  Needs valgrind, qemu-user, python3 and the mipsel cross
# binutils; scripts/install-deps.sh installs them, scripts/mipsel-sysroot.sh
# makes the sysroot.
#
# Instructions per cycle:
#   PC:   callgrind, collecting only inside deltanhnt_footprint_cycles() (N
#         cycles after one warm-up cycle), total divided by N.
#   MIPS: qemu-mipsel's log of every translated block and of every block it
#         executes (bench/qemu_insn_count.py), for a run of N cycles minus a
#         run of 0 cycles (start-up and the warm-up cycle cancel), divided
#         by N.
# Both count every instruction of the cycle in user space: the plug-in, the
# stand-in host, libstdc++ and libc (the kernel's share of the "rvSize is"
# write is not counted).  The replies are those of a healthy UPS, each
# delivered whole, or one byte per process() call ("bytewise").
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

cycles=1000
parse_options "--no-build:no_build=1 --cycles=cycles" "$@"
mips_cycles=$((cycles / 50))
[ "$mips_cycles" -ge 2 ] || mips_cycles=2

native_dir=build/bench
mipsel_dir=build/bench-mipsel
sysroot=$PWD/build/sysroot-mipsel
qemu=(qemu-mipsel -L /usr/mipsel-linux-gnu -E "LD_LIBRARY_PATH=$sysroot/usr/lib/mipsel-linux-gnu")

if [ "$no_build" = 0 ]; then
    scripts/mipsel-sysroot.sh
    for preset in bench bench-mipsel; do
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j 2 --target deltanhnt deltanhnt_footprint
    done
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# key=value lines of the driver's report -> the value of one key.
field() { sed -n "s/^$1=//p" "$2"; }

callgrind_per_cycle() { # driver args...
    local out=$scratch/callgrind.out
    valgrind --tool=callgrind --toggle-collect=deltanhnt_footprint_cycles \
        --callgrind-out-file="$out" "$@" --cycles "$cycles" >/dev/null 2>"$scratch/valgrind.log"
    local total
    total=$(sed -n 's/^totals: *//p' "$out")
    awk -v t="$total" -v n="$cycles" 'BEGIN { printf "%.0f", t / n }'
}

qemu_instructions() { # cycles driver args...
    local n=$1
    shift
    local log=$scratch/qemu.fifo
    rm -f "$log"
    mkfifo "$log"
    python3 bench/qemu_insn_count.py "$log" >"$scratch/count" &
    local counter=$!
    "${qemu[@]}" -d in_asm,exec,nochain -D "$log" "$@" --cycles "$n" >/dev/null
    wait "$counter"
    cat "$scratch/count"
}

qemu_per_cycle() { # driver args...
    local base full
    base=$(qemu_instructions 0 "$@")
    full=$(qemu_instructions "$mips_cycles" "$@")
    awk -v a="$base" -v b="$full" -v n="$mips_cycles" 'BEGIN { printf "%.0f", (b - a) / n }'
}

stripped_size() { # strip plugin
    "$1" -o "$scratch/stripped.so" "$2"
    stat -c %s "$scratch/stripped.so"
}

needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd' ' -; }

# Libraries the plug-in may depend on (the monitoring unit provides them).
allowed='^(libstdc\+\+\.so\.[0-9]+|libc\.so\.[0-9]+|libm\.so\.[0-9]+|libgcc_s\.so\.[0-9]+|libjsoncpp\.so\.[0-9]+)$'
budget_size=$((128 * 1024))
budget_allocs=150

verdict() { [ "$1" = 1 ] && echo "within budget" || echo "OVER BUDGET"; }

report() { # name dir strip runner...
    local name=$1 dir=$2 strip=$3
    shift 3
    local driver=$dir/bench/deltanhnt_footprint
    local plugin=$dir/deltanhnt.so
    "$@" "$driver" --cycles 100 >"$scratch/whole"
    "$@" "$driver" --cycles 100 --bytewise >"$scratch/bytewise"

    local ins_whole ins_bytewise how
    if [ "$name" = native ]; then
        ins_whole=$(callgrind_per_cycle "$driver")
        ins_bytewise=$(callgrind_per_cycle "$driver" --bytewise)
        how="callgrind, $cycles cycles"
    else
        ins_whole=$(qemu_per_cycle "$driver")
        ins_bytewise=$(qemu_per_cycle "$driver" --bytewise)
        how="qemu-mipsel block trace, $mips_cycles cycles minus 0"
    fi

    local size deps allocs ok_deps=1 ok_allocs ok_size
    size=$(stripped_size "$strip" "$plugin")
    deps=$(needed "$plugin")
    for lib in $deps; do
        [[ $lib =~ $allowed ]] || ok_deps=0
    done
    allocs=$(field allocations_per_cycle "$scratch/whole")
    ok_allocs=$(awk -v a="$allocs" -v b="$budget_allocs" 'BEGIN { print (a <= b) ? 1 : 0 }')

    echo "== $name ($(file -b "$plugin" | cut -d, -f1-2))"
    printf '  %-34s %s (%s)\n' "instructions per cycle, whole" "$ins_whole" "$how"
    printf '  %-34s %s\n' "instructions per cycle, bytewise" "$ins_bytewise"
    printf '  %-34s %s (%s bytes), bytewise %s; budget %s: %s\n' "heap allocations per cycle" \
        "$allocs" "$(field alloc_bytes_per_cycle "$scratch/whole")" \
        "$(field allocations_per_cycle "$scratch/bytewise")" "$budget_allocs" \
        "$(verdict "$ok_allocs")"
    if [ "$name" = mipsel ]; then
        ok_size=$([ "$size" -le "$budget_size" ] && echo 1 || echo 0)
        printf '  %-34s %s bytes (%s KiB); budget 128 KiB: %s\n' "stripped deltanhnt.so" "$size" \
            "$(awk -v s="$size" 'BEGIN { printf "%.1f", s / 1024 }')" "$(verdict "$ok_size")"
    else
        printf '  %-34s %s bytes (%s KiB)\n' "stripped deltanhnt.so" "$size" \
            "$(awk -v s="$size" 'BEGIN { printf "%.1f", s / 1024 }')"
    fi
    printf '  %-34s %s: %s\n' "NEEDED" "$deps" "$(verdict "$ok_deps")"
    printf '  %-34s %s bytes\n' "sizeof(DeltaNHNT)" "$(field sizeof_DeltaNHNT "$scratch/whole")"
}

report native "$native_dir" strip env
report mipsel "$mipsel_dir" mipsel-linux-gnu-strip "${qemu[@]}"
