#!/usr/bin/env bash
# Runs the SChannel session's test (a Windows program, under Wine) against
# OpenSSL servers on the Linux side:
#
#   tests/windows/schannel_wine.sh SCHANNEL_TEST_EXE
#
# Makes a CA and three server certificates with the openssl command (one
# signed by the CA for im.kelvo.test and 127.0.0.1, the same one expired, a
# self-signed one), starts one `openssl s_server -rev` on 127.0.0.1 for
# each and a clear-text server (python3), and hands ports, the folder and
# the self-signed key's pin to the test through the environment. Exit 77
# (skip) without openssl.
set -euo pipefail
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
if ! command -v openssl >/dev/null; then
  echo "SKIPPED: the openssl command is missing (apt-get install openssl)"
  exit 77
fi
# shellcheck source=tests/windows/test_certificates.sh
. "$(dirname "${BASH_SOURCE[0]}")/test_certificates.sh" schannel
pin=$(pin self.pem)

# One server per certificate; each prints "ACCEPT 127.0.0.1:PORT" once up,
# and the port goes to variable $4. Not called in a $(...) subshell: the
# server's pid must reach pids, or it outlives the test.
serve() {
  local name=$1 cert=$2 key=$3 var=$4
  openssl s_server -accept 127.0.0.1:0 -cert "$cert" -key "$key" -rev </dev/null \
    >"$name.out" 2>&1 &
  pids+=($!)
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^ACCEPT 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$name.out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    echo "*** openssl s_server ($name) did not start:" >&2
    cat "$name.out" >&2
    exit 1
  fi
  printf -v "$var" '%s' "$port"
}
# And one that speaks the protocol in clear: a message, then it hangs up.
python3 -c '
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(4)
print("ACCEPT 127.0.0.1:%d" % s.getsockname()[1], flush=True)
while True:
    c, _ = s.accept()
    c.sendall(bytes([8, 0, 0x2C, 9, 1, 2, 3, 4]))
    c.close()
' >clear.out 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  KELVO_TLS_CLEAR_PORT=$(sed -n 's/^ACCEPT 127\.0\.0\.1:\([0-9]*\)$/\1/p' clear.out)
  [ -n "$KELVO_TLS_CLEAR_PORT" ] && break
  sleep 0.1
done
export KELVO_TLS_CLEAR_PORT
serve good good.pem leaf.key KELVO_TLS_GOOD_PORT
serve expired expired.pem leaf.key KELVO_TLS_EXPIRED_PORT
serve self self.pem self.key KELVO_TLS_SELF_PORT
export KELVO_TLS_GOOD_PORT KELVO_TLS_EXPIRED_PORT KELVO_TLS_SELF_PORT
export KELVO_TLS_SELF_PIN=$pin
# Wine's drive Z: is the Linux root.
export KELVO_TLS_DIR="Z:$work"

status=0
wine "$exe" 2>&1 | tee test.out || status=$?
if [ "$status" -ne 0 ] || ! grep -q '^\[  PASSED  \] 2 tests' test.out ||
   grep -q 'SKIPPED' test.out; then
  echo "*** the SChannel test failed or did not run (exit status ${status})" >&2
  exit 1
fi
