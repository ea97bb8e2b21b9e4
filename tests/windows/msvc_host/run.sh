#!/usr/bin/env bash
# Builds the MSVC-ABI host for one architecture with clang in MSVC mode and
# runs it under Wine against a DLL built by the MinGW presets:
#
#   tests/windows/msvc_host/run.sh x86_64|i686 DLL_DIR KELVO_SERVER
#
# DLL_DIR holds kelvocore.dll (build/win64 or build/win32); KELVO_SERVER is a
# Linux kelvo-server. Everything the host builds goes to DLL_DIR/msvc_host.
# Wine runs in $WINEPREFIX (default DLL_DIR/wineprefix), which the caller may
# keep up with a persistent wineserver.
#
# Three steps, each fatal on failure:
# 1. The public headers compile in MSVC mode at C++14, 17 and 20 without a
#    warning (their static_asserts pin the record layouts).
# 2. The host is built twice: finding CreateKelvoCore with GetProcAddress,
#    and linked to it through an MSVC-style import library.
# 3. Each variant runs a whole session against a fresh kelvo-server on
#    127.0.0.1 and must end with its fixed success line.
set -euo pipefail

arch=$1
dll_dir=$(cd "$2" && pwd)
server_bin=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
out=$dll_dir/msvc_host
export WINEPREFIX=${WINEPREFIX:-$dll_dir/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}

case "$arch" in
  x86_64) machine=x64; dlltool_machine=i386:x86-64; dlltool_k=() ;;
  # i686 imports are decorated __stdcall names (Sleep@4); -k drops the
  # decoration from the name the loader looks up.
  i686) machine=x86; dlltool_machine=i386; dlltool_k=(-k) ;;
  *) echo "usage: $0 x86_64|i686 DLL_DIR KELVO_SERVER" >&2; exit 2 ;;
esac
target=$arch-pc-windows-msvc
clang=clang++-14
command -v "$clang" >/dev/null || clang=clang++

rm -rf "$out"
mkdir -p "$out"

# No Microsoft headers or libraries: the compiler's own freestanding headers,
# and this folder's stand-ins for the three the public headers include.
cxxflags=(--target="$target" -ffreestanding -nostdlibinc -isystem "$here/include"
          -I "$root/include" -Wall -Wextra -Werror)

# Each header on its own, included as a game's source file would.
echo "--- ${arch}: public headers in MSVC mode"
for std in c++14 c++17 c++20; do
  for header in kelvo_types.h im_base.h im_client.h im_client_sink.h kelvo_core.h im_client_pump.h im_client_engine.h im_client_security.h; do
    echo "#include \"kelvo/$header\"" |
      "$clang" "${cxxflags[@]}" -std="$std" -pedantic -fsyntax-only -x c++ -
  done
done

echo "--- ${arch}: build the host"
for def in kernel32 ws2_32 kelvocore; do
  if [ "$arch" = x86_64 ]; then
    sed 's/@[0-9]*$//' "$here/$def.def" >"$out/$def.def"
  else
    cp "$here/$def.def" "$out/$def.def"
  fi
  llvm-dlltool-14 -m "$dlltool_machine" "${dlltool_k[@]}" -d "$out/$def.def" -l "$out/$def.lib"
done
# The game's build: C++14 (the compiler's default), no exceptions or RTTI;
# no stack probes or security cookie, which would need the C runtime.
hostflags=("${cxxflags[@]}" -std=c++14 -O2 -fno-exceptions -fno-rtti -fno-stack-protector
           -mno-stack-arg-probe)
"$clang" "${hostflags[@]}" -c "$here/msvc_host.cpp" -o "$out/host_getproc.obj"
"$clang" "${hostflags[@]}" -DKELVO_HOST_IMPORT_LIB -c "$here/msvc_host.cpp" -o "$out/host_implib.obj"
link=(lld-link-14 /nologo /nodefaultlib /entry:HostMain /subsystem:console "/machine:$machine")
"${link[@]}" "/out:$out/host_getproc.exe" "$out/host_getproc.obj" "$out/kernel32.lib" "$out/ws2_32.lib"
"${link[@]}" "/out:$out/host_implib.exe" "$out/host_implib.obj" "$out/kernel32.lib" "$out/ws2_32.lib" \
  "$out/kelvocore.lib"
cp "$dll_dir/kelvocore.dll" "$out/"

# Whatever ends this script, the server and the host it started end too.
server_pid=""
host_pid=""
cleanup() {
  for pid in $host_pid $server_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $host_pid $server_pid; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# Runs one variant against its own kelvo-server (the session changes the
# server's accounts, so each run starts from the demo set again).
run_variant() {
  local variant=$1 work=$out/$1
  mkdir -p "$work"
  mkfifo "$work/admin"
  "$server_bin" --bind 127.0.0.1 --port 0 --admin-stdin <"$work/admin" \
    >"$work/server.out" 2>"$work/server.log" &
  server_pid=$!
  exec 9>"$work/admin"
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    echo "*** ${arch} ${variant}: kelvo-server did not start" >&2
    return 1
  fi

  : >"$work/host.out"  # exists before the loop below reads it
  (cd "$out" && KELVO_PORT=$port exec timeout 120 wine "host_${variant}.exe") \
    >"$work/host.out" 2>"$work/host.err" &
  host_pid=$!
  # Lines "ADMIN: <command>" are the host's requests to the server console.
  local done_lines=0
  while :; do
    local alive=0
    kill -0 "$host_pid" 2>/dev/null && alive=1
    local total
    total=$(wc -l <"$work/host.out")
    if [ "$total" -gt "$done_lines" ]; then
      sed -n "$((done_lines + 1)),${total}p" "$work/host.out" |
        sed -n 's/^ADMIN: //p' >&9
      done_lines=$total
    fi
    [ "$alive" -eq 1 ] || break
    sleep 0.1
  done
  local status=0
  wait "$host_pid" || status=$?
  host_pid=""
  echo quit >&9 || true
  exec 9>&-
  wait "$server_pid" 2>/dev/null || true
  server_pid=""

  sed "s/^/[${arch} ${variant}] /" "$work/host.out"
  # The success line comes only after the last check; the floor catches a
  # host that lost most of its session and still got there.
  local checks
  checks=$(sed -n 's/^KELVO MSVC HOST OK: \([0-9]*\) checks.*/\1/p' "$work/host.out")
  if [ "$status" -ne 0 ] || [ -z "$checks" ] || [ "$checks" -lt "$min_checks" ] ||
     grep -q '^FAILED' "$work/host.out"; then
    echo "*** ${arch} ${variant}: the MSVC-ABI host failed (exit status ${status})" >&2
    sed "s/^/[wine] /" "$work/host.err" >&2
    sed "s/^/[server] /" "$work/server.log" | tail -40 >&2
    return 1
  fi
}

min_checks=${KELVO_MSVC_HOST_MIN_CHECKS:-270}
run_variant getproc
run_variant implib
echo "--- ${arch}: MSVC-ABI host passed (GetProcAddress and import library)"
