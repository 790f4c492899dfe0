#!/usr/bin/env bash
# Runs lintian on the .debs of a build (made by scripts/package-trial.sh or
# cpack) and counts its tags: fails on any error; warnings and notes are
# listed and counted.
#
# usage: scripts/package-lint.sh BUILD_DIR
# Prints "summary: N errors, N warnings, N notes in K packages (lintian V)"
# last; exits 1 with "FAILED: ..." when lintian reports an error or cannot
# run.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
debs=("$1"/packages/*.deb)
if [ ! -f "${debs[0]}" ]; then
    echo "FAILED: no .deb in $1/packages (run scripts/package-trial.sh $1 first)"
    echo "summary: FAILED: no packages"
    exit 1
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Exit status 2 means tags at the --fail-on level; anything else is lintian's
# own failure.
status=0
lintian --allow-root --display-info --fail-on error "${debs[@]}" >"$log" 2>&1 || status=$?
cat "$log"
if [ "$status" -ne 0 ] && [ "$status" -ne 2 ]; then
    echo "FAILED: lintian exited with status $status"
    echo "summary: FAILED: lintian did not run"
    exit 1
fi
errors=$(grep -c '^E: ' "$log" || true)
warnings=$(grep -c '^W: ' "$log" || true)
notes=$(grep -c '^I: ' "$log" || true)
counts="$errors errors, $warnings warnings, $notes notes in ${#debs[@]} packages ($(lintian --version))"
if [ "$errors" -ne 0 ]; then
    echo "FAILED: lintian reports $errors errors"
    echo "summary: FAILED: $counts"
    exit 1
fi
echo "summary: $counts"
