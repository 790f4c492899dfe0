#!/usr/bin/env bash
# The test command: installs what is missing, builds the plug-in, the host
# tools and the tests for the PC and for the MIPS target, and runs the test
# suite natively and under qemu-mipsel.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
scripts/install-deps.sh

declare -A summary

run_suite() {
    local preset=$1
    echo "=== $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "=== $preset: tests"
    local log
    log=$(mktemp)
    if ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"; then
        summary[$preset]=$(grep -E 'tests passed' "$log" | tail -n 1)
        rm -f "$log"
    else
        summary[$preset]="FAILED: $(grep -E 'tests passed|tests failed' "$log" | tail -n 1)"
        rm -f "$log"
        return 1
    fi
}

status=0
run_suite native || status=1
if [ "$(uname -m)" != "mips" ]; then
    scripts/mipsel-sysroot.sh
    run_suite mipsel || status=1
fi

echo
echo "=== summary"
for preset in native mipsel; do
    [ -n "${summary[$preset]:-}" ] && printf '%-8s %s\n' "$preset" "${summary[$preset]}"
done
exit $status
