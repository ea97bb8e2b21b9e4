#!/usr/bin/env bash
# The suites with threads and sockets, run beside a CPU hog: faults of
# timing (a lost wake-up, a turn that costs a scheduler slice, a deadline
# that a starved thread misses) show on a busy machine, which CI's machine
# may be, and hide on a quiet one. stress-ng keeps both cores busy while
# ctest runs the suites, each test up to RUNS times until it fails.
#
#   bash tools/contention.sh                      release and TSan builds, 3 runs each
#   bash tools/contention.sh -n 20 -R REGEX [PRESET...]
#                                                 the tests REGEX names (pytest ones
#                                                 included), 20 runs each: the check
#                                                 for a test one has added or touched
#
# Builds what is missing. Exits non-zero when a test fails in any run.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=3
regex='^(Seams|PumpTest|SharedLoop|Lifetime|NimboClient|NimboProxy|ClientLoopbackTest|StressTest|FaultClient|FaultNetwork|LinkHealth|ModuleUnload|TlsSession|ConnectionTest|CliSession|ServerSession|ThroughProxy|Routes/SecureSession|SecureLink|LoadBots)\.|^PythonBinding\.(Session|Locust)$'
# Runs of a set length that are adversity already (a minute against the
# chaos server each): once, in the normal suites, is their share.
long='^LoadBots\.ChurnAgainstAChaosServer'
presets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -n) runs=$2; shift 2 ;;
    -R) regex=$2; long='^$'; shift 2 ;;
    *) presets+=("$1"); shift ;;
  esac
done
[ "${#presets[@]}" -gt 0 ] || presets=(release tsan)
command -v stress-ng >/dev/null || bash tools/setup.sh
hog=
stop_hog() { if [ -n "$hog" ]; then kill "$hog" 2>/dev/null || true; wait "$hog" 2>/dev/null || true; hog=; fi; }
trap stop_hog EXIT
for preset in "${presets[@]}"; do
  t=$SECONDS
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  # As in tools/test.sh: the suites that start the server and the CLI as
  # child processes run in the plain builds only.
  skip=$long
  case "$preset" in asan|tsan) skip="${long}|^(CliSession|ServerSession|ThroughProxy)\." ;; esac
  echo "=== ${preset}: built in $((SECONDS - t)) s; the suites ${runs} times beside stress-ng --cpu 2"
  t=$SECONDS
  # A time limit too, should this script be killed before it stops the hog.
  stress-ng --cpu 2 --quiet --timeout 3600 &
  hog=$!
  ctest --preset "$preset" -j "$(nproc)" --output-on-failure --repeat "until-fail:${runs}" \
    -R "$regex" -E "$skip"
  stop_hog
  echo "=== ${preset}: passed beside the CPU hog in $((SECONDS - t)) s"
done
