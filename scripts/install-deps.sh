#!/usr/bin/env bash
# Installs, with apt-get, the Debian 12 packages the build and the tests need
# that are not installed yet.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config file
    libboost-dev libboost-program-options-dev libjsoncpp-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libsqlite3-dev sqlite3
    crossbuild-essential-mipsel qemu-user
    valgrind
    # The real upsc and upsmon for the UPS network protocol server's tests:
    # the client package only, never nut-server or any driver.
    nut-client
    clang libclang-rt-14-dev llvm clang-format
    python3
    libsnmp-dev snmpd snmp snmptrapd
    prometheus
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    # The snmpd and snmptrapd packages start system services where systemd
    # runs; the tests start their own instances (private socket and ports),
    # so the ones just installed are stopped rather than left listening.
    if [[ " ${missing[*]} " =~ " snmpd " || " ${missing[*]} " =~ " snmptrapd " ]] &&
        [ -d /run/systemd/system ]; then
        $sudo systemctl disable --now snmpd.service snmptrapd.service snmptrapd.socket \
            >/dev/null 2>&1 || true
    fi
    # Where systemd runs, Debian's prometheus package starts a server of its
    # own (port 9090) on install; the tests start theirs, so stop that one.
    if [[ " ${missing[*]} " == *" prometheus "* ]] && [ -d /run/systemd/system ]; then
        $sudo systemctl disable --now prometheus.service >/dev/null 2>&1 || true
    fi
fi
