# What the shell scripts share.  Sourced right after `set -euo pipefail`; it
# moves to the top of the source tree:
#
#   source "$(dirname "$0")/../scripts/lib.sh"
#
#   parse_options OPTIONS "$@"
#                            the command line: OPTIONS' words are "--name=var"
#                            (an option with a value, stored in var) and
#                            "--name:var=value" (a switch); anything else
#                            prints the usage
#   usage                    the script's header comment (its second line up
#                            to `set -euo pipefail`) on stderr, status 2
#   build_tools              the plug-in, halx-host and ups-sim in
#                            $build_dir (scripts/build-tools.sh) unless
#                            no_build=1; build_dir defaults to build/tools
#   fail MESSAGE             a failure: "FAILED: MESSAGE" now, and again
#                            before the summary
#   finish NAME SUMMARY      the result lines scripts/test.sh reads:
#                            "summary: SUMMARY" and "NAME: PASS", or, after
#                            any failure, "summary: FAILED: <the first>" and
#                            "NAME: FAIL" with status 1
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build_dir=build/tools
no_build=0
failures=()

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}

parse_options() {
    local options=$1 word
    shift
    while [ $# -gt 0 ]; do
        local known=0
        for word in $options; do
            if [ "${word%%=*}" = "$1" ]; then
                [ $# -ge 2 ] || usage
                printf -v "${word#*=}" '%s' "$2"
                shift
                known=1
                break
            elif [ "${word%%:*}" = "$1" ]; then
                local assignment=${word#*:}
                printf -v "${assignment%%=*}" '%s' "${assignment#*=}"
                known=1
                break
            fi
        done
        [ "$known" = 1 ] || usage
        shift
    done
}

build_tools() {
    [ "$no_build" = 1 ] || scripts/build-tools.sh "$build_dir"
}

fail() {
    failures+=("$*")
    echo "FAILED: $*"
}

finish() {
    local name=$1 summary=$2
    echo
    if [ ${#failures[@]} -eq 0 ]; then
        echo "summary: $summary"
        echo "$name: PASS"
        return 0
    fi
    printf 'FAILED: %s\n' "${failures[@]}"
    echo "summary: FAILED: ${failures[0]}"
    echo "$name: FAIL"
    exit 1
}
