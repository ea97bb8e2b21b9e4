#!/usr/bin/env bash
# Installs what is missing, builds, and runs the project's demo: kelvo-server
# with the demo accounts, a SOCKS5 proxy (microsocks) and three scripted
# kelvo-cli sessions (alice direct, bob through the proxy, 小明 direct) that
# go through the whole flow: login, roster, presence, game-server moves,
# friend requests accepted and declined, groups, chat both ways, an offline
# message, a search, server notices and a forced logout.
#
# Every expected event is a `wait` in tools/demo/*.cli: the demo exits
# non-zero when any of them is missing. It is bounded (under a minute even
# when something hangs) and ends every process it started.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target kelvocore kelvo-server kelvo-cli

server_bin=build/release/tools/kelvo_server/kelvo-server
cli_bin=build/release/tools/kelvo_cli/kelvo-cli
scripts=tools/demo
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-demo.XXXXXX")
pids=()

cleanup() {
  local status=$?
  exec 9>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "demo FAILED: $*" >&2
  exit 1
}

# Waits (at most $3 seconds) until file $1 contains the line fragment $2.
await_text() {
  local file=$1 text=$2 limit=$(( $3 * 10 ))
  for _ in $(seq "$limit"); do
    grep -qF -- "$text" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Waits until session $1 has printed the marker `--- $2`; fails early when
# the session has already ended without it.
await_marker() {
  local name=$1 marker="--- $2"
  for _ in $(seq 200); do
    grep -qF -- "$marker" "$work/$name.out" 2>/dev/null && return 0
    [ -e "$work/$name.rc" ] && fail "session $name ended before \"$2\""
    sleep 0.1
  done
  fail "session $name did not reach \"$2\" within 20 s"
}

# Starts script tools/demo/$1.cli in the background; its output goes to
# $work/$1.out and its exit status to $work/$1.rc.
start_session() {
  local name=$1
  ( status=0
    timeout 40 "$cli_bin" --script "$scripts/$name.cli" >"$work/$name.out" 2>&1 || status=$?
    echo "$status" >"$work/$name.rc" ) &
  pids+=($!)
}

# The server, with its admin console on a fifo that this script keeps open.
mkfifo "$work/admin"
"$server_bin" --bind 127.0.0.1 --port 0 --admin-stdin <"$work/admin" >"$work/server.out" 2>"$work/server.log" &
pids+=($!)
exec 9>"$work/admin"
await_text "$work/server.out" "listening on 127.0.0.1:" 10 || fail "the server did not start"
KELVO_PORT=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")
export KELVO_PORT
echo "=== kelvo-server listening on 127.0.0.1:${KELVO_PORT}"

# The proxy, on a loopback port that nothing answers on yet.
PROXY_PORT=""
for _ in $(seq 20); do
  candidate=$(( 20000 + RANDOM % 40000 ))
  (exec 3<>/dev/tcp/127.0.0.1/"$candidate") 2>/dev/null && continue
  microsocks -i 127.0.0.1 -p "$candidate" >"$work/proxy.log" 2>&1 &
  proxy_pid=$!
  pids+=($proxy_pid)
  for _ in $(seq 30); do
    if (exec 3<>/dev/tcp/127.0.0.1/"$candidate") 2>/dev/null; then PROXY_PORT=$candidate; break; fi
    kill -0 "$proxy_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$PROXY_PORT" ] && break
  kill "$proxy_pid" 2>/dev/null || true
done
[ -n "$PROXY_PORT" ] || fail "microsocks did not start"
export PROXY_PORT
echo "=== microsocks (SOCKS5) listening on 127.0.0.1:${PROXY_PORT}"

echo "=== alice logs in directly"
start_session alice
await_marker alice "alice ready"
echo "=== bob logs in through the proxy"
start_session bob
await_marker bob "bob left an offline message"
await_marker alice "alice waits for the notices"
echo "=== the server broadcasts two notices"
echo "notice system 1 Maintenance tonight at 23:00, 维护通知" >&9
echo "notice info 4 Double experience this weekend" >&9
echo "=== 小明 logs in directly (and later takes over bob's account)"
start_session xiaoming

failed=0
for name in alice bob xiaoming; do
  for _ in $(seq 450); do [ -e "$work/$name.rc" ] && break; sleep 0.1; done
done
echo "quit" >&9 || true

echo
echo "=== transcript"
for name in alice bob xiaoming; do
  echo
  sed "s/^/[$name] /" "$work/$name.out"
  rc=$(cat "$work/$name.rc" 2>/dev/null || echo "still running")
  if [ "$rc" != "0" ]; then
    echo "[$name] !!! session failed (exit status $rc)"
    failed=1
  fi
done
echo
echo "=== server log"
sed "s/^/[server] /" "$work/server.log"
echo
if [ "$failed" -ne 0 ]; then fail "at least one session missed an expected event"; fi
echo "=== demo passed: every expected event arrived"
