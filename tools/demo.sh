#!/usr/bin/env bash
# Installs what is missing, builds, and runs the project's runnable example:
# the network library's loopback echo, directly and through a real SOCKS5
# proxy (microsocks on a free loopback port). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target nimbo_echo
echo_bin=build/release/tools/nimbo_echo/nimbo_echo

echo "=== direct"
"$echo_bin"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
microsocks -i 127.0.0.1 -p "$port" >/dev/null 2>&1 &
proxy_pid=$!
trap 'kill $proxy_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
  sleep 0.1
done
echo "=== through the SOCKS5 proxy microsocks on 127.0.0.1:${port}"
"$echo_bin" --proxy "127.0.0.1:${port}"
echo "=== demo passed"
