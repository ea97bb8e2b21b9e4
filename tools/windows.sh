#!/usr/bin/env bash
# Cross-builds the Windows DLL with MinGW-w64 for x86_64 and i686 and runs the
# unit suite and the DLL checks of each under Wine (presets win64 and win32),
# then the MSVC-ABI host (tests/windows/msvc_host: clang in MSVC mode, linked
# by lld-link) against each DLL and a Linux kelvo-server. Installs the cross
# compilers, clang/lld/llvm and Wine first when they are missing. Exits
# non-zero when anything fails or when a run executed fewer tests than it
# should (Wine without its 32-bit half runs nothing and still exits 0).
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=(
  cmake ninja-build libasio-dev googletest
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386
  clang-14 lld-14 llvm-14 openssl
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "=== windows: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update
  $SUDO apt-get install -y "${missing[@]}"
fi

# Every unit test that runs on Windows, plus the DLL checks: a run that
# executes fewer has lost tests somewhere (discovery under Wine failed,
# a suite stopped building) and must not count as a pass.
min_tests=${KELVO_WINDOWS_MIN_TESTS:-220}
jobs=2
export WINEDEBUG=-all

stop_wine() { wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT

# The MSVC-ABI host and the secure session test talk to a Linux
# kelvo-server: the debug build's, which CI has built already; built here
# when missing.
server_bin=build/debug/tools/kelvo_server/kelvo-server
if [ ! -x "$server_bin" ]; then
  echo "=== windows: building kelvo-server (debug) for the MSVC-ABI host"
  bash tools/setup.sh
  cmake --preset debug >/dev/null
  cmake --build --preset debug -j "$jobs" --target kelvo-server
fi

for preset in win64 win32; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"

  echo "=== ${preset}: test under Wine"
  export WINEPREFIX="$PWD/build/${preset}/wineprefix"
  # A prefix of the build tree's own, initialised once. The wineserver is
  # started persistent before wineboot, so every test process finds it up
  # instead of waiting for Wine's background processes each time.
  mkdir -p "$WINEPREFIX"
  wineserver -p
  wineboot -i >/dev/null 2>&1
  log="build/${preset}/ctest.log"
  rerun="build/${preset}/ctest-rerun.log"
  rm -f "$rerun"
  if ! ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"; then
    # Now and then Wine cannot start a test process at all ("ShellExecuteEx
    # failed"); that says nothing about the code under test. Only then are
    # the failed tests run once more; any other failure stands.
    if ! grep -q 'ShellExecuteEx failed' "$log"; then
      stop_wine
      exit 1
    fi
    echo "=== ${preset}: Wine failed to start a test process; running the failed tests again"
    if ! ctest --preset "$preset" --rerun-failed 2>&1 | tee "$rerun"; then
      stop_wine
      exit 1
    fi
  fi
  echo "=== ${preset}: MSVC-ABI host"
  arch=x86_64
  [ "$preset" = win32 ] && arch=i686
  host_start=$SECONDS
  if ! bash tests/windows/msvc_host/run.sh "$arch" "build/${preset}" "$server_bin"; then
    stop_wine
    exit 1
  fi
  echo "=== ${preset}: MSVC-ABI host took $((SECONDS - host_start)) s"
  stop_wine
  total=$(sed -n 's/.*tests passed, [0-9]* tests failed out of \([0-9]*\)$/\1/p' "$log" | tail -1)
  if [ -z "$total" ] || [ "$total" -lt "$min_tests" ]; then
    echo "*** ${preset}: ran ${total:-no} tests, expected at least ${min_tests}" >&2
    exit 1
  fi
  logs=("$log")
  [ -e "$rerun" ] && logs+=("$rerun")
  if ! grep -q 'KelvoDll.HostLoadsAndDrivesTheDll .*Passed' "${logs[@]}"; then
    echo "*** ${preset}: the host test did not pass" >&2
    exit 1
  fi
  # It skips without the openssl command; here that is a failure.
  if ! grep -q 'SChannel.AgainstOpenSslServers .*Passed' "${logs[@]}"; then
    echo "*** ${preset}: the SChannel test did not pass" >&2
    exit 1
  fi
  # It skips without the Linux server or microsocks; here that is a failure.
  if ! grep -q 'SecureDll.AgainstKelvoServer .*Passed' "${logs[@]}"; then
    echo "*** ${preset}: the secure session test did not pass" >&2
    exit 1
  fi
  echo "=== ${preset}: ${total} tests passed"
done
