#!/usr/bin/env bash
# Installs everything norvel needs to build, test, benchmark and run its demo on Debian 12.
# Idempotent: packages already present are left alone. Every other script calls this first.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ccache
  libboost-dev libboost-system-dev libboost-thread-dev libboost-filesystem-dev
  libboost-program-options-dev libsystemd-dev zlib1g-dev
  libjsoncpp-dev libmariadb-dev mariadb-server mariadb-client
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev redis-server
  procps netcat-openbsd python3 iproute2 util-linux
  logrotate prometheus systemd gdb tmux
  nats-server libnats-dev
  python3-pytest nodejs mypy node-typescript
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "installing: ${missing[*]}"
$SUDO apt-get update -q
# The server packages must not start system-wide services: not a database (the project runs its
# own), nor a Prometheus on :9090 or its node exporter (the tests start their own, on private ports).
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  remove_policy=1
fi
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
if [ "${remove_policy:-0}" = 1 ]; then
  $SUDO rm -f /usr/sbin/policy-rc.d
fi
