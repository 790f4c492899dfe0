#!/usr/bin/env bash
# Makes the .debs of a build (deltanhnt-plugin, libhalxhost1, libhalxhost-dev,
# deltanhnt-tools) and tries them as a unit, a bench PC and an integrator
# use them:
#  - each package holds its copyright file and changelog; the plug-in's
#    package depends on no Boost library; the host library's holds its
#    shlibs file and ldconfig trigger; the tools depend on the host library
#    and the plug-in; on a PC build, apt can satisfy every dependency;
#  - no installed file carries a path of the build machine (the source tree,
#    the build tree, the sysroot), and no ELF file its debug information;
#  - the plug-in has no run path, halx-host only its $ORIGIN-relative one;
#  - the packages unpacked into a scratch root (for a cross build: beside
#    the sysroot's libraries, as on the unit) run their own
#    `halx-host --sim --cycles 2 --json` (under qemu for the target), which
#    must report two records;
#  - an integrator's out-of-tree build against the unpacked libhalxhost-dev
#    (tests/packaging/integrator): a plug-in built through find_package
#    and one built through pkg-config, each loaded by the
#    packaged halx-host, and a host application linking the packaged host
#    library that loads it.
#
# usage: scripts/package-trial.sh BUILD_DIR [SYSROOT]
#   e.g. scripts/package-trial.sh build/mipsel build/sysroot-mipsel
#        scripts/package-trial.sh build/native
# Prints "summary: ..." last; exits 1 with "FAILED: ..." lines on a fault.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [SYSROOT]" >&2
    exit 2
fi
build=$(realpath "$1")
sysroot=${2:+$(realpath "$2")}
readelf=${READELF:-readelf}

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

scratch=$(mktemp -d "$build/package-trial.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

rm -f "$build"/packages/*.deb
if ! (cd "$build" && cpack -G DEB >"$scratch/cpack.log" 2>&1); then
    tail -n 20 "$scratch/cpack.log"
    echo "summary: FAILED: cpack could not make the packages"
    exit 1
fi
names=(deltanhnt-plugin libhalxhost1 libhalxhost-dev deltanhnt-tools)
declare -A deb
for name in "${names[@]}"; do
    deb[$name]=$(ls "$build"/packages/"${name}"_*.deb 2>/dev/null | head -n 1)
    if [ -z "${deb[$name]}" ]; then
        fail "cpack made no package $name"
        continue
    fi
    echo "package: ${deb[$name]} ($(stat -c %s "${deb[$name]}") bytes)"
    echo "  Depends: $(dpkg-deb -f "${deb[$name]}" Depends)"
done
if [ "$failures" -ne 0 ]; then
    echo "summary: FAILED: $failures packages missing"
    exit 1
fi

# What each package declares.
for name in "${names[@]}"; do
    listing=$(dpkg-deb -c "${deb[$name]}" | awk '{print $6}')
    for file in copyright changelog.gz; do
        grep -qx "./usr/share/doc/$name/$file" <<<"$listing" ||
            fail "$name has no /usr/share/doc/$name/$file"
    done
done
depends() { dpkg-deb -f "${deb[$1]}" Depends; }
if grep -qi boost <<<"$(depends deltanhnt-plugin)"; then
    fail "deltanhnt-plugin depends on Boost: $(depends deltanhnt-plugin)"
fi
grep -q 'libc6 (>= ' <<<"$(depends deltanhnt-plugin)" ||
    fail "deltanhnt-plugin has no computed dependency on libc6: $(depends deltanhnt-plugin)"
for needed in 'libhalxhost1 (>= ' 'deltanhnt-plugin (= '; do
    grep -qF "$needed" <<<"$(depends deltanhnt-tools)" ||
        fail "deltanhnt-tools does not depend on ${needed%% *}: $(depends deltanhnt-tools)"
done
control=$(dpkg-deb --ctrl-tarfile "${deb[libhalxhost1]}" | tar -tf - | sed 's|^\./||')
for file in shlibs triggers; do
    grep -qx "$file" <<<"$control" || fail "libhalxhost1 has no $file control file"
done
if [ -z "$sysroot" ] && ! apt-get --simulate --no-install-recommends install \
    "${deb[@]}" >"$scratch/apt.log" 2>&1; then
    tail -n 5 "$scratch/apt.log"
    fail "apt cannot install the packages on this system"
fi

unit="$scratch/root"
if [ -n "$sysroot" ]; then
    # The unit's own libraries, hard-linked (or copied) from the sysroot.
    cp -al "$sysroot" "$unit" 2>/dev/null || cp -a "$sysroot" "$unit"
else
    mkdir -p "$unit"
fi
contents="$scratch/contents"
for name in "${names[@]}"; do
    dpkg-deb -x "${deb[$name]}" "$contents"
    dpkg-deb -x "${deb[$name]}" "$unit"
done

# Paths of this machine that must not reach the unit.
machine_paths=("$root" "$build")
[ -n "$sysroot" ] && machine_paths+=("$sysroot")
files=0
while IFS= read -r -d '' file; do
    files=$((files + 1))
    shown=${file#"$contents"}
    for path in "${machine_paths[@]}"; do
        if grep -a -q -F "$path" "$file"; then
            fail "$shown carries the build machine's path $path"
        fi
    done
    if [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' \n')" = "7f454c46" ]; then
        if "$readelf" -W -S "$file" | grep -q '\.debug_info'; then
            fail "$shown carries its debug information"
        fi
        run_path=$("$readelf" -W -d "$file" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
        case "$shown" in
        */deltanhnt/deltanhnt.so)
            [ -z "$run_path" ] || fail "$shown has a run path: $run_path" ;;
        */bin/halx-host)
            [ "$run_path" = '$ORIGIN/../lib' ] || fail "$shown has the run path '$run_path'" ;;
        *)
            case "$run_path" in
            '' | '$ORIGIN'*) ;;
            *) fail "$shown has the run path '$run_path'" ;;
            esac
            ;;
        esac
    fi
done < <(find "$contents" -type f -print0)
echo "installed files checked: $files"

# The packaged halx-host, its plug-in and its library, as installed.
host="$unit/usr/bin/halx-host"
emulator=()
if [ -n "$sysroot" ]; then
    emulator=(qemu-mipsel -L "$unit")
fi
log="$scratch/halx-host.jsonl"
if ! "${emulator[@]}" "$host" --sim --cycles 2 --json >"$log" 2>"$scratch/halx-host.err"; then
    tail -n 5 "$scratch/halx-host.err"
    fail "the packaged halx-host --sim --cycles 2 --json exited non-zero"
fi
records=$(grep -c '"event":"record"' "$log" || true)
[ "$records" = 2 ] || fail "the packaged halx-host reported $records records, expected 2"

# An integrator's plug-in and host, built out of the tree against the
# unpacked libhalxhost-dev.  The plug-in serves BattryVlt as 271.5.
integrator="$root/tests/packaging/integrator"
record="$scratch/record.bin"
head -c 338 /dev/zero >"$record"
try_plugin() {
    local how=$1 plugin=$2 out="$scratch/load-$1.jsonl"
    if ! "${emulator[@]}" "$host" --plugin "$plugin" --load-cache "$record" --json \
        >"$out" 2>"$scratch/load-$how.err"; then
        tail -n 5 "$scratch/load-$how.err"
        fail "the packaged halx-host did not load the plug-in built with $how"
    elif ! grep -q '"BattryVlt":271\.5' "$out"; then
        fail "the plug-in built with $how did not serve its value through the packaged halx-host"
    fi
}
cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$unit/usr")
if [ -n "$sysroot" ]; then
    # The unit root is the sysroot: find_package looks there only.
    cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mipsel-linux-gnu.cmake"
        -DDELTANHNT_SYSROOT="$unit")
fi
ways=()
if cmake -S "$integrator" -B "$scratch/integrator" "${cmake_args[@]}" \
    >"$scratch/integrator.log" 2>&1 &&
    cmake --build "$scratch/integrator" >>"$scratch/integrator.log" 2>&1; then
    try_plugin find_package "$scratch/integrator/bench_plugin.so"
    ways+=(find_package)
    # The integrator's host: the packaged library, found as the system's.
    run_host=("${emulator[@]}" "$scratch/integrator/bench_host")
    [ -n "$sysroot" ] || run_host=(env LD_LIBRARY_PATH="$unit/usr/lib" "${run_host[@]}")
    said=$("${run_host[@]}" "$scratch/integrator/bench_plugin.so" 2>&1 || true)
    [ "$said" = "reported 5035 338 BattryVlt=271.5" ] ||
        fail "the integrator's host linked against libhalxhost said: $said"
else
    tail -n 20 "$scratch/integrator.log"
    fail "the integrator's build against libhalxhost-dev (find_package) failed"
fi
# The same plug-in through pkg-config: on the PC the unpacked .pc files (they
# find their prefix from their own place), for the target the sysroot's and
# the unpacked ones, every path moved into the scratch root.
cxx=(c++)
pc_env=()
if [ -n "$sysroot" ]; then
    cxx=("${DELTANHNT_CROSS_PREFIX:-mipsel-linux-gnu-}g++" "--sysroot=$unit")
fi
multiarch=$("${cxx[@]}" -print-multiarch)
if [ -n "$sysroot" ]; then
    pc_env=(PKG_CONFIG_SYSROOT_DIR="$unit"
        PKG_CONFIG_LIBDIR="$unit/usr/lib/$multiarch/pkgconfig:$unit/usr/share/pkgconfig")
else
    pc_env=(PKG_CONFIG_PATH="$unit/usr/lib/$multiarch/pkgconfig")
fi
if flags=$(env "${pc_env[@]}" pkg-config --cflags --libs halx 2>&1) &&
    # shellcheck disable=SC2086 # the flags are words
    "${cxx[@]}" -std=c++17 -shared -fPIC -fvisibility=hidden -Wall -Wextra -Werror \
        "$integrator/bench_plugin.cpp" -o "$scratch/bench_plugin_pc.so" $flags \
        >"$scratch/pkg-config.log" 2>&1; then
    try_plugin pkg-config "$scratch/bench_plugin_pc.so"
    ways+=(pkg-config)
else
    echo "$flags"
    tail -n 20 "$scratch/pkg-config.log" 2>/dev/null || true
    fail "the integrator's build against libhalxhost-dev (pkg-config halx) failed"
fi

if [ "$failures" -ne 0 ]; then
    echo "summary: FAILED: $failures faults in the packages of $(basename "$build")"
    exit 1
fi
how=$(printf '%s and ' "${ways[@]}")
echo "summary: ${#names[@]} packages, $files files without build paths or debug information, plug-in without run path; packaged halx-host reported $records records; integrator's plug-in built against libhalxhost-dev with ${how% and } and loaded, its host ran"
