#!/usr/bin/env bash
# Makes the .deb of a build and tries it as a unit would use it:
#  - no installed file carries a path of the build machine (the source tree,
#    the build tree, the sysroot), and no ELF file its debug information;
#  - the plug-in has no run path, halx-host only its $ORIGIN-relative one;
#  - the package unpacked into a scratch root (for a cross build: beside the
#    sysroot's libraries, as on the unit) runs its own
#    `halx-host --sim --cycles 2 --json` (under qemu for the target), which
#    must report two records.
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

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/packages/deltanhnt_*.deb | head -n 1)
echo "package: $deb ($(stat -c %s "$deb") bytes)"

scratch=$(mktemp -d "$build/package-trial.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
unit="$scratch/root"
if [ -n "$sysroot" ]; then
    # The unit's own libraries, hard-linked (or copied) from the sysroot.
    cp -al "$sysroot" "$unit" 2>/dev/null || cp -a "$sysroot" "$unit"
else
    mkdir -p "$unit"
fi
contents="$scratch/contents"
dpkg-deb -x "$deb" "$contents"
dpkg-deb -x "$deb" "$unit"

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
run=("$host")
if [ -n "$sysroot" ]; then
    run=(qemu-mipsel -L "$unit" "$host")
fi
log="$scratch/halx-host.jsonl"
if ! "${run[@]}" --sim --cycles 2 --json >"$log" 2>"$scratch/halx-host.err"; then
    tail -n 5 "$scratch/halx-host.err"
    fail "the packaged halx-host --sim --cycles 2 --json exited non-zero"
fi
records=$(grep -c '"event":"record"' "$log" || true)
[ "$records" = 2 ] || fail "the packaged halx-host reported $records records, expected 2"

if [ "$failures" -ne 0 ]; then
    echo "summary: FAILED: $failures faults in $(basename "$deb")"
    exit 1
fi
echo "summary: $(basename "$deb"): $files files without build paths or debug information, plug-in without run path; packaged halx-host reported $records records"
