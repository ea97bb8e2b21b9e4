#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the normal
# build, the AddressSanitizer+UndefinedBehaviorSanitizer build and the
# ThreadSanitizer build (clang), the threaded suites beside a CPU hog, then
# a short run of every fuzz target (KELVO_FUZZ_SECONDS each, default 30).
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
jobs=$(nproc)
start=$SECONDS
for preset in debug asan tsan; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== ${preset}: test"
  if [ "$preset" = debug ]; then
    ctest --preset "$preset" -j "$jobs" --output-on-failure
  else
    # The end-to-end suites start the server and CLI as child processes;
    # they run in the plain build only.
    ctest --preset "$preset" -j "$jobs" --output-on-failure -E '^(CliSession|ServerSession|ThroughProxy)\.'
  fi
done
# The suites with threads and sockets again, three times each beside a CPU
# hog, in the release and TSan builds (tools/contention.sh).
echo "=== contention (tools/contention.sh)"
bash tools/contention.sh
# ARM Linux, and x86_64 with unsigned plain char (tools/arm.sh): one plain
# build each, the ARM ones cross-built and tested under qemu-user against the
# debug build's kelvo-server. Each section prints its build and test time.
for preset in unsigned-char aarch64 armhf; do
  echo "=== ${preset} (tools/arm.sh)"
  bash tools/arm.sh "$preset"
done
echo "=== fuzz smoke runs"
bash tools/fuzz.sh "${KELVO_FUZZ_SECONDS:-30}"
echo "=== windows (MinGW-w64 + Wine)"
bash tools/windows.sh
echo "=== SDK packages and consumer tests"
bash tools/package.sh
bash tools/sdk_test.sh
echo "=== all test runs passed in $((SECONDS - start)) s"
