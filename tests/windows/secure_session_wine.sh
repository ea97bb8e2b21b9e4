#!/usr/bin/env bash
# Runs the secure-link session test (a Windows program, under Wine) against
# kelvo-server on the Linux side:
#
#   tests/windows/secure_session_wine.sh SECURE_SESSION_TEST_EXE KELVO_SERVER
#
# Makes a CA and three server certificates with the openssl command (one
# signed by the CA for im.kelvo.test and 127.0.0.1, the same one expired, a
# self-signed one), starts a TLS kelvo-server for each and a clear-text one,
# and microsocks asking for a username and password, and hands ports, the
# folder and the pins to the test through the environment. Exit 77 (skip)
# without the server, openssl or microsocks.
set -euo pipefail
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
server_bin=${2:-}
if [ -z "$server_bin" ] || [ ! -x "$server_bin" ]; then
  echo "SKIPPED: no Linux kelvo-server (KELVO_HOST_SERVER='${server_bin}'; tools/windows.sh builds it)"
  exit 77
fi
for tool in openssl microsocks; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: the $tool command is missing (tools/setup.sh installs it)"
    exit 77
  fi
done
# shellcheck source=tests/windows/test_certificates.sh
. "$(dirname "${BASH_SOURCE[0]}")/test_certificates.sh" secure-wine

# One kelvo-server per certificate (and one in clear); each prints
# "listening on 127.0.0.1:PORT" once up, and the port goes to variable $2.
# Not called in a $(...) subshell: the server's pid must reach pids.
serve() {
  local name=$1 var=$2
  shift 2
  "$server_bin" --bind 127.0.0.1 --port 0 "$@" </dev/null >"$name.out" 2>"$name.log" &
  pids+=($!)
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$name.out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    echo "*** kelvo-server ($name) did not start:" >&2
    cat "$name.log" >&2
    exit 1
  fi
  printf -v "$var" '%s' "$port"
}
serve good KELVO_TLS_GOOD_PORT --tls-cert good.pem --tls-key leaf.key
serve expired KELVO_TLS_EXPIRED_PORT --tls-cert expired.pem --tls-key leaf.key
serve self KELVO_TLS_SELF_PORT --tls-cert self.pem --tls-key self.key
serve clear KELVO_CLEAR_PORT
export KELVO_TLS_GOOD_PORT KELVO_TLS_EXPIRED_PORT KELVO_TLS_SELF_PORT KELVO_CLEAR_PORT
KELVO_TLS_GOOD_PIN=$(pin good.pem)
KELVO_TLS_SELF_PIN=$(pin self.pem)
export KELVO_TLS_GOOD_PIN KELVO_TLS_SELF_PIN

# The proxy, on a loopback port that nothing answers on yet.
export KELVO_PROXY_USER=player KELVO_PROXY_PASSWORD=s3cret-proxy
KELVO_PROXY_PORT=""
for _ in $(seq 20); do
  candidate=$(( 20000 + RANDOM % 40000 ))
  (exec 3<>/dev/tcp/127.0.0.1/"$candidate") 2>/dev/null && continue
  microsocks -i 127.0.0.1 -p "$candidate" -u "$KELVO_PROXY_USER" -P "$KELVO_PROXY_PASSWORD" \
    >proxy.log 2>&1 &
  proxy_pid=$!
  pids+=($proxy_pid)
  for _ in $(seq 30); do
    if (exec 3<>/dev/tcp/127.0.0.1/"$candidate") 2>/dev/null; then
      KELVO_PROXY_PORT=$candidate
      break
    fi
    kill -0 "$proxy_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$KELVO_PROXY_PORT" ] && break
  kill "$proxy_pid" 2>/dev/null || true
done
if [ -z "$KELVO_PROXY_PORT" ]; then
  echo "*** microsocks did not start" >&2
  exit 1
fi
export KELVO_PROXY_PORT
# Wine's drive Z: is the Linux root.
export KELVO_TLS_DIR="Z:$work"

status=0
wine "$exe" 2>&1 | tee test.out || status=$?
if [ "$status" -ne 0 ] || ! grep -q '^\[  PASSED  \] 3 tests' test.out ||
   grep -q 'SKIPPED' test.out; then
  echo "*** the secure session test failed or did not run (exit status ${status})" >&2
  tail -30 good.log >&2
  exit 1
fi
