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

# A free loopback port: one nothing answers on.
port=""
for _ in $(seq 100); do
  candidate=$(( 20000 + RANDOM % 40000 ))
  if ! (exec 3<>/dev/tcp/127.0.0.1/"$candidate") 2>/dev/null; then port=$candidate; break; fi
done
[ -n "$port" ] || { echo "no free loopback port found" >&2; exit 1; }
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
