#!/usr/bin/env bash
# Installs what the demo needs and is missing, builds, and runs the
# project's demo: kelvo-server with the demo accounts, a SOCKS5 proxy
# (microsocks) and three scripted kelvo-cli sessions (alice direct, bob
# through the proxy, 小明 direct) that go through the whole flow: login,
# roster, presence, game-server moves, friend requests accepted and
# declined, groups, chat both ways, an offline message, a search, server
# notices and a forced logout.
#
# Every expected event is a `wait` in tools/demo/*.cli: the demo exits
# non-zero when any of them is missing. It is bounded (under a minute even
# when something hangs) and ends every process it started.
#
#   tools/demo.sh                  the link in clear, as the protocol defines it
#   tools/demo.sh --tls stunnel    TLS: stunnel4 in front of the clear-text server
#   tools/demo.sh --tls nginx      TLS: nginx's stream module in front of it
#   tools/demo.sh --tls server     TLS: kelvo-server's own listener
#
# With --tls the demo makes a CA and a server certificate for im.kelvo.test
# (openssl), every session verifies it against the CA, and the proxy asks
# for a username and password, which bob's session gives.
#
# What it installs (Debian packages, only those missing, listed before they
# are installed; `tools/setup.sh` installs what the tests need as well):
# g++, cmake, ninja-build, libssl-dev, libreadline-dev, libasio-dev
# (kelvo-server is built on Asio) and microsocks; libgtest-dev,
# libgmock-dev and libbenchmark-dev, as the release preset also
# configures the tests and benchmarks (the demo builds three programs only);
# with --tls, openssl for the certificates, and stunnel4 for --tls stunnel,
# nginx and libnginx-mod-stream for --tls nginx.
set -euo pipefail
cd "$(dirname "$0")/.."
tls=""
case "${1:-}" in
  "") ;;
  --tls)
    tls=${2:-}
    case "$tls" in
      stunnel|nginx|server) ;;
      *) echo "usage: $0 [--tls stunnel|nginx|server]" >&2; exit 2 ;;
    esac ;;
  *) echo "usage: $0 [--tls stunnel|nginx|server]" >&2; exit 2 ;;
esac
packages=(g++ cmake ninja-build libssl-dev libreadline-dev libasio-dev microsocks
          libgtest-dev libgmock-dev libbenchmark-dev)
case "$tls" in
  stunnel) packages+=(openssl stunnel4) ;;
  nginx) packages+=(openssl nginx libnginx-mod-stream) ;;
  server) packages+=(openssl) ;;
esac
bash tools/apt_install.sh demo "${packages[@]}"
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
  local flags=("${cli_tls[@]}")
  [ "$name" = bob ] && flags+=("${cli_proxy[@]}")
  ( status=0
    timeout 40 "$cli_bin" "${flags[@]}" --script "$scripts/$name.cli" >"$work/$name.out" 2>&1 ||
      status=$?
    echo "$status" >"$work/$name.rc" ) &
  pids+=($!)
}

# With --tls: the certificates, and what each session is told.
cli_tls=()
cli_proxy=()
proxy_auth=()
server_tls=()
server_mode=""
if [ -n "$tls" ]; then
  p256=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
  openssl req -x509 "${p256[@]}" -keyout "$work/ca.key" -out "$work/ca.pem" -days 2 \
    -subj "/CN=Kelvo Demo CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -new "${p256[@]}" -keyout "$work/server.key" -out "$work/server.csr" \
    -subj "/CN=im.kelvo.test" 2>/dev/null
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "extendedKeyUsage=serverAuth" \
    "subjectAltName=DNS:im.kelvo.test" >"$work/server.ext"
  openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -set_serial "0x$(openssl rand -hex 8)" -days 2 -extfile "$work/server.ext" \
    -out "$work/server.pem" 2>/dev/null
  cli_tls=(--tls --tls-server-name im.kelvo.test --tls-ca "$work/ca.pem")
  proxy_auth=(-u demo -P demo-proxy-password)
  cli_proxy=(--proxy-user demo --proxy-password demo-proxy-password)
  if [ "$tls" = server ]; then
    server_tls=(--tls-cert "$work/server.pem" --tls-key "$work/server.key")
    server_mode="TLS"
  else
    server_mode="clear text, behind ${tls}"
  fi
fi

# The server, with its admin console on a fifo that this script keeps open.
mkfifo "$work/admin"
"$server_bin" --bind 127.0.0.1 --port 0 --admin-stdin "${server_tls[@]}" <"$work/admin" \
  >"$work/server.out" 2>"$work/server.log" &
pids+=($!)
exec 9>"$work/admin"
await_text "$work/server.out" "listening on 127.0.0.1:" 10 || fail "the server did not start"
KELVO_PORT=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")
export KELVO_PORT
echo "=== kelvo-server listening on 127.0.0.1:${KELVO_PORT}${tls:+ (${server_mode})}"

# A loopback port that nothing answers on yet, into $free_port. It is taken
# below the range the system gives client sockets their ports from: there a
# port can still be held by a closed connection in TIME_WAIT, which no
# connect test sees and which makes stunnel's or nginx's bind fail (on a
# machine busy with loopback connections, a third of the picks did).
read -r client_ports_low _ </proc/sys/net/ipv4/ip_local_port_range || client_ports_low=32768
[ "$client_ports_low" -gt 12000 ] || client_ports_low=61000
pick_port() {
  for _ in $(seq 20); do
    free_port=$(( 10000 + RANDOM % (client_ports_low - 10000) ))
    (exec 3<>/dev/tcp/127.0.0.1/"$free_port") 2>/dev/null || return 0
  done
  fail "no free loopback port"
}
# True once something accepts connections on 127.0.0.1:$1 (3 s at most)
# while process $2 lives.
await_listening() {
  for _ in $(seq 30); do
    (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# A TLS terminator in front of the clear-text server: the configurations of
# the host guide's "Secure link" chapter, on loopback and in the foreground.
if [ "$tls" = stunnel ] || [ "$tls" = nginx ]; then
  pick_port
  if [ "$tls" = stunnel ]; then
    cat >"$work/stunnel.conf" <<CONF
foreground = yes
pid =
[kelvo]
accept = 127.0.0.1:${free_port}
connect = 127.0.0.1:${KELVO_PORT}
cert = ${work}/server.pem
key = ${work}/server.key
sslVersionMin = TLSv1.2
socket = l:TCP_NODELAY=1
socket = r:TCP_NODELAY=1
TIMEOUTidle = 86400
CONF
    stunnel4 "$work/stunnel.conf" >"$work/terminator.log" 2>&1 &
  else
    cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
pid ${work}/nginx.pid;
error_log stderr notice;
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
events { worker_connections 64; }
stream {
    upstream kelvo_server {
        server 127.0.0.1:${KELVO_PORT};
    }
    server {
        listen 127.0.0.1:${free_port} ssl;
        proxy_pass kelvo_server;
        ssl_certificate     ${work}/server.pem;
        ssl_certificate_key ${work}/server.key;
        ssl_protocols       TLSv1.2 TLSv1.3;
        ssl_session_tickets off;
        proxy_timeout       1d;
    }
}
CONF
    nginx -p "$work" -e stderr -c "$work/nginx.conf" >"$work/terminator.log" 2>&1 &
  fi
  pids+=($!)
  await_listening "$free_port" "$!" || { cat "$work/terminator.log" >&2; fail "$tls did not start"; }
  echo "=== ${tls} (TLS) on 127.0.0.1:${free_port}, passing the clear stream to ${KELVO_PORT}"
  KELVO_PORT=$free_port
fi

# The proxy, on a loopback port that nothing answers on yet; with TLS it
# asks for a username and password.
PROXY_PORT=""
for _ in $(seq 5); do
  pick_port
  microsocks -i 127.0.0.1 -p "$free_port" "${proxy_auth[@]}" >"$work/proxy.log" 2>&1 &
  proxy_pid=$!
  pids+=($proxy_pid)
  if await_listening "$free_port" "$proxy_pid"; then PROXY_PORT=$free_port; break; fi
  kill "$proxy_pid" 2>/dev/null || true
done
[ -n "$PROXY_PORT" ] || fail "microsocks did not start"
export PROXY_PORT
echo "=== microsocks (SOCKS5) listening on 127.0.0.1:${PROXY_PORT}${tls:+, asking for a username and password}"

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
if [ -e "$work/terminator.log" ]; then
  echo
  echo "=== ${tls} log"
  sed "s/^/[${tls}] /" "$work/terminator.log"
fi
echo
if [ "$failed" -ne 0 ]; then fail "at least one session missed an expected event"; fi
echo "=== demo passed${tls:+ over TLS (${tls})}: every expected event arrived"
