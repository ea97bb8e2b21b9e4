#!/usr/bin/env bash
# Instructions per inbound message, counted by callgrind: the client (by
# function group: socket read loop, inbox/framing, Deliver loop, dispatch,
# handler, sink call) and the raw reader, for 13-byte presence messages and
# for 1,440-byte user lists, in both delivery modes. Instruction counts do
# not depend on what else the machine runs, so the figures are the same from
# run to run (to a few hundredths) for the same code.
#
# Each case runs `kelvo_e2e_ratio count KIND N [pump]` under callgrind twice,
# with N messages and with none; the difference over N is one message's cost
# (tools/callgrind_groups.py says how instructions are attributed). The
# binary is the release build with debug information (-O3 -g: the same code
# as the release preset, with line tables for the attribution), in its own
# build directory.
#
#   tools/callgrind_inbound.sh                  build build/callgrind, run all cases
#   KELVO_CALLGRIND_BIN=path tools/callgrind_inbound.sh   measure that binary instead
#   KELVO_CALLGRIND_CASES="presence:300000" ...           other cases (kind:count[:pump])
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${KELVO_BENCH_JOBS:-$(nproc)}"
bin="${KELVO_CALLGRIND_BIN:-}"
if [[ -z "$bin" ]]; then
  build=build/callgrind
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \
    -DKELVO_BUILD_TESTS=OFF -DKELVO_BUILD_TOOLS=OFF >/dev/null
  cmake --build "$build" -j "$jobs" --target kelvo_e2e_ratio >/dev/null
  bin="$build/bench/e2e/kelvo_e2e_ratio"
fi
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
cases="${KELVO_CALLGRIND_CASES:-presence:300000 lists:30000 presence:300000:pump lists:30000:pump}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for c in $cases; do
  IFS=: read -r kind count mode <<<"$c"
  echo "=== $count ${kind}${mode:+, $mode mode} ($(basename "$bin"))"
  for n in "$count" 0; do
    valgrind --tool=callgrind --callgrind-out-file="$work/$n.out" \
      "$bin" count "$kind" "$n" ${mode:+"$mode"} >/dev/null 2>"$work/$n.log" || {
      cat "$work/$n.log" >&2
      exit 1
    }
  done
  result=$(python3 tools/callgrind_groups.py "$count" "$work/$count.out" "$work/0.out" \
    "$(basename "$bin")")
  echo "$result" | grep -v '^RESULT'
  read -r client raw <<<"$(echo "$result" | sed -n 's/^RESULT client=\([0-9.]*\) raw=\([0-9.]*\).*/\1 \2/p')"
  if [[ "$kind" == presence ]]; then
    verdict=$(awk -v c="$client" 'BEGIN {print (c <= 60) ? "PASS" : "MISS"}')
    echo "  target: presence${mode:+, $mode mode}: $client instructions per message (<= 60)  $verdict"
  else
    verdict=$(awk -v c="$client" -v r="$raw" 'BEGIN {print (c <= 2 * r) ? "PASS" : "MISS"}')
    ratio=$(awk -v c="$client" -v r="$raw" 'BEGIN {printf "%.1f", c / r}')
    echo "  target: 1,440-byte lists${mode:+, $mode mode}: $client instructions per message = $ratio x raw (<= 2)  $verdict"
  fi
done
