#!/usr/bin/env bash
# Installs, with apt-get, the Debian 12 packages that are not installed yet
# of the groups named (default: all of them, what the test command needs):
#
#   build     compiler, CMake, Ninja and the libraries that the plug-in,
#             halx-host and ups-sim build against (all that scripts/demo.sh
#             needs)
#   test      GoogleTest, Google Benchmark, Python, what packaging and its
#             checks use (dpkg-dev, file, pkg-config, lintian), and the real
#             peers the tests start: the sqlite3 shell, upsc and upsmon
#             (nut-client only: never nut-server or a driver), snmpd and the
#             snmp tools, Prometheus
#   cross     the MIPS cross compiler and qemu-user
#   analysis  valgrind, clang with its sanitizer and fuzzer run-times,
#             clang-format
#
# usage: scripts/install-deps.sh [build] [test] [cross] [analysis]
# Reports what it installs on standard error.
set -euo pipefail

declare -A groups=(
    [build]="build-essential cmake ninja-build libboost-dev libboost-program-options-dev libjsoncpp-dev libsqlite3-dev libsnmp-dev libmosquitto-dev"
    [test]="libgtest-dev libgmock-dev libbenchmark-dev python3 dpkg-dev file pkg-config lintian sqlite3 nut-client snmpd snmp snmptrapd prometheus mosquitto mosquitto-clients openssl"
    [cross]="crossbuild-essential-mipsel qemu-user"
    [analysis]="valgrind clang libclang-rt-14-dev llvm clang-format"
)
chosen=("$@")
[ ${#chosen[@]} -gt 0 ] || chosen=(build test cross analysis)

packages=()
for group in "${chosen[@]}"; do
    if [ -z "${groups[$group]:-}" ]; then
        echo "install-deps.sh: unknown group '$group' (build, test, cross, analysis)" >&2
        exit 2
    fi
    read -r -a words <<<"${groups[$group]}"
    packages+=("${words[@]}")
done

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "installing: ${missing[*]}" >&2
    $sudo apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
    # The snmpd, snmptrapd and prometheus packages start system services
    # where systemd runs; the tests start their own instances (private
    # sockets and free ports), so the ones just installed are stopped rather
    # than left listening.
    if [[ " ${missing[*]} " =~ " snmpd " || " ${missing[*]} " =~ " snmptrapd " ]] &&
        [ -d /run/systemd/system ]; then
        $sudo systemctl disable --now snmpd.service snmptrapd.service snmptrapd.socket \
            >/dev/null 2>&1 || true
    fi
    if [[ " ${missing[*]} " == *" prometheus "* ]] && [ -d /run/systemd/system ]; then
        $sudo systemctl disable --now prometheus.service >/dev/null 2>&1 || true
    fi
    if [[ " ${missing[*]} " == *" mosquitto "* ]] && [ -d /run/systemd/system ]; then
        $sudo systemctl disable --now mosquitto.service >/dev/null 2>&1 || true
    fi
fi
