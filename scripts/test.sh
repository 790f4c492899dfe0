#!/usr/bin/env bash
# The test command: installs what is missing, checks the formatting, builds
# the plug-in, the host tools and the tests for the PC and for the MIPS
# target, and runs the test suite natively and under qemu-mipsel; the
# plug-in suite again for the target with the old string ABI and built by
# clang, each plug-in's load-compatibility check, the target report, a
# trial of the .debs (with an integrator's build against them) and lintian
# on them; then the whole suite again built with AddressSanitizer
# and UBSan, a short run of each fuzz target, a short fault-injection soak of
# halx-host against ups-sim and a memcheck run.
#
# DELTANHNT_FUZZ_SECONDS (default 60): how long each fuzz target runs.
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

# A short fuzzing run of one target (build/fuzz): its seed corpus and saved
# crashes as seeds, new inputs in a scratch folder, any crash or failed check
# (or an input running over 10 s: a spin) saved under
# build/fuzz/artifacts/<target>/ and failing the script.
fuzz_seconds=${DELTANHNT_FUZZ_SECONDS:-60}
run_fuzz() {
    local target=$1 dict=$2
    local name="fuzz-$target"
    local binary=build/fuzz/fuzz/fuzz_$target
    local artifacts=build/fuzz/artifacts/$target
    local scratch log
    scratch=$(mktemp -d)
    log=build/fuzz/fuzz_$target.log
    mkdir -p "$artifacts"
    echo "=== $name: ${fuzz_seconds} s"
    if "$binary" -max_len=12288 -dict="$dict" -max_total_time="$fuzz_seconds" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$scratch" "fuzz/corpus/$target" "fuzz/regressions/$target" >"$log" 2>&1; then
        local runs
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        summary[$name]="${runs} runs in ${fuzz_seconds} s: 0 crashes, 0 failed checks, 0 timeouts"
        echo "${summary[$name]}"
        rm -rf "$scratch"
    else
        tail -n 40 "$log"
        summary[$name]="FAILED: crash, failed check or timeout; input saved in $artifacts/"
        rm -rf "$scratch"
        return 1
    fi
}

status=0
# Formatting first: a diff from the project's clang-format layout fails.
if lint=$(scripts/lint.sh 2>&1); then
    summary[lint]=$lint
else
    echo "$lint" | tail -n 20
    summary[lint]="FAILED: files differ from .clang-format (scripts/lint.sh)"
    status=1
fi
# The target's sysroot first: the native suite checks the toolchain file's
# refusals against it.
if [ "$(uname -m)" != "mips" ]; then
    scripts/mipsel-sysroot.sh
fi
run_suite native || status=1
if [ "$(uname -m)" != "mips" ]; then
    run_suite mipsel || status=1
fi

# --- Load compatibility with the units in the field, and the packages as
# shipped: the plug-in built with the old string ABI (jsoncpp and GoogleTest
# built from Debian's sources for it) and by clang with the same sysroot, each
# running the plug-in suite under qemu-mipsel; every plug-in checked against
# its load-compatibility baseline; the target report; the .debs tried as a
# unit uses them.
compat_started=$SECONDS
compat_suite() {
    local preset=$1
    local started=$SECONDS
    if [ "$preset" = mipsel-oldabi ] && ! scripts/source-deps.sh mipsel-oldabi; then
        summary[$preset]="FAILED: jsoncpp or GoogleTest from source"
        return 1
    fi
    run_suite "$preset" || return 1
    summary[$preset]="${summary[$preset]} ($((SECONDS - started)) s)"
}
compat_check() {
    local preset=$1 abi=$2
    local line
    if line=$(python3 scripts/check-load-compat.py --abi "$abi" "build/$preset/deltanhnt.so"); then
        echo "$line"
        summary[compat-$preset]=${line#load compatibility OK: build/$preset/deltanhnt.so, }
    else
        echo "$line"
        summary[compat-$preset]="FAILED: $(echo "$line" | grep -c -v '^load compatibility') symbols above the $abi baseline"
        return 1
    fi
}
package_trial() {
    local preset=$1
    shift
    local started=$SECONDS log=build/$preset/package-trial.log
    echo "=== package-$preset"
    if scripts/package-trial.sh "build/$preset" "$@" 2>&1 | tee "$log"; then
        summary[package-$preset]="$(sed -n 's/^summary: //p' "$log" | tail -n 1) ($((SECONDS - started)) s)"
    else
        summary[package-$preset]="FAILED: $(grep -m 1 '^FAILED: ' "$log" | cut -c 9-) (see $log)"
        return 1
    fi
}
compat_plugins=(build/native/deltanhnt.so)
if [ "$(uname -m)" != "mips" ]; then
    compat_suite mipsel-oldabi || status=1
    compat_suite mipsel-clang || status=1
    compat_plugins+=(build/mipsel/deltanhnt.so build/mipsel-oldabi/deltanhnt.so
        build/mipsel-clang/deltanhnt.so)
fi
echo "=== load compatibility"
compat_check native c++11 || status=1
if [ "$(uname -m)" != "mips" ]; then
    compat_check mipsel c++11 || status=1
    compat_check mipsel-oldabi old || status=1
    compat_check mipsel-clang c++11 || status=1
fi
echo "=== target report"
existing=()
for plugin in "${compat_plugins[@]}"; do
    [ -f "$plugin" ] && existing+=("$plugin")
done
if python3 scripts/target-report.py "${existing[@]}" | tee build/target-report.txt; then
    summary[target-report]="${#existing[@]} plug-ins (build/target-report.txt)"
else
    summary[target-report]="FAILED: see build/target-report.txt"
    status=1
fi
# lintian on the packages the trials made: no error allowed.
package_lint() {
    local preset=$1 log=build/$1/package-lint.log
    echo "=== lintian-$preset"
    if scripts/package-lint.sh "build/$preset" 2>&1 | tee "$log"; then
        summary[lintian-$preset]=$(sed -n 's/^summary: //p' "$log" | tail -n 1)
    else
        summary[lintian-$preset]="FAILED: $(sed -n 's/^summary: FAILED: //p' "$log" | tail -n 1) (see $log)"
        return 1
    fi
}
package_trial native && package_lint native || status=1
if [ "$(uname -m)" != "mips" ]; then
    package_trial mipsel build/sysroot-mipsel && package_lint mipsel || status=1
fi
summary[compat-time]="$((SECONDS - compat_started)) s for the stages above"

run_suite sanitize || status=1

echo "=== fuzz: configure and build"
if cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "$jobs"; then
    run_fuzz reassembly fuzz/deltanhnt.dict || status=1
    run_fuzz settings fuzz/settings.dict || status=1
else
    summary[fuzz]="FAILED: configure or build"
    status=1
fi

# A short fault-injection soak (scripts/soak.py) and memcheck of halx-host
# and ups-sim (scripts/valgrind-host.sh), with the native build's tools.
run_check() {
    local name=$1
    shift
    local log=build/native/$name.log
    mkdir -p build/native
    echo "=== $name"
    if "$@" 2>&1 | tee "$log"; then
        summary[$name]=$(sed -n 's/^summary: //p' "$log" | tail -n 1)
    else
        summary[$name]="FAILED: $(grep -m 1 '^FAILED: ' "$log" | cut -c 9-) (see $log)"
        return 1
    fi
}
run_check soak scripts/soak.py --quick --build-dir build/native \
    --out build/native/soak-quick || status=1
run_check valgrind scripts/valgrind-host.sh --build-dir build/native || status=1

echo
echo "=== summary"
for suite in lint native mipsel mipsel-oldabi mipsel-clang \
    compat-native compat-mipsel compat-mipsel-oldabi compat-mipsel-clang target-report \
    package-native lintian-native package-mipsel lintian-mipsel compat-time \
    sanitize fuzz fuzz-reassembly fuzz-settings soak valgrind; do
    [ -n "${summary[$suite]:-}" ] && printf '%-22s %s\n' "$suite" "${summary[$suite]}"
done
exit $status
