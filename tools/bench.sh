#!/usr/bin/env bash
# Builds the release preset and runs the benchmarks: the micro benchmarks
# (Google Benchmark: ns per operation and heap allocations per operation)
# and the end-to-end ratio program (the client against raw sockets on
# loopback, in the same run). Prints every figure, then each target with
# PASS or MISS. Then the host-call wait under a flood (kelvo_host_wait), and
# thousands of clients in one process (kelvo_scale: per-client cost, idle
# load, fan-out, release; KELVO_SCALE_ROWS overrides its rows, e.g.
# "own:1000 own:5000"). Last, instructions per inbound message by function
# group, counted by callgrind (tools/callgrind_inbound.sh; skipped without
# valgrind or with KELVO_BENCH_CALLGRIND=0).
#
#   tools/bench.sh            full run
#   tools/bench.sh 0.1        end-to-end message counts scaled by 0.1 (quick)
#
# Figures from a machine that is busy with other work are noisy; the ratios
# compare two measurements taken side by side, which is what keeps them
# meaningful, but run on an otherwise idle machine for numbers to keep.
set -euo pipefail
cd "$(dirname "$0")/.."
scale="${1:-1}"
jobs="${KELVO_BENCH_JOBS:-$(nproc)}"

echo "=== release: configure and build"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target kelvo_micro_bench kelvo_e2e_ratio kelvo_host_wait \
  kelvo_scale

bin=build/release/bench
micro_json=$(mktemp)
trap 'rm -f "$micro_json"' EXIT

echo
echo "=== micro benchmarks (allocs/op: heap allocations per operation after one warm-up)"
"$bin/micro/kelvo_micro_bench" --benchmark_counters_tabular=true \
  --benchmark_out="$micro_json" --benchmark_out_format=json

echo
echo "=== end-to-end ratios"
e2e_out=$("$bin/e2e/kelvo_e2e_ratio" "$scale")
echo "$e2e_out"

echo
echo "=== pump mode: inbound presence and lists in both delivery modes"
pump_out=$("$bin/e2e/kelvo_e2e_ratio" "$scale" pump)
echo "$pump_out"

echo
echo "=== host-call wait under a flood (network-thread delivery, then pump mode)"
wait_out=$("$bin/e2e/kelvo_host_wait" || true)
echo "$wait_out"
pump_wait_out=$("$bin/e2e/kelvo_host_wait" 2 pump || true)
echo "$pump_wait_out"

echo
echo "=== many clients in one process (shared loop, pumped shared loop, own threads)"
# shellcheck disable=SC2086  # the rows are separate words
scale_out=$("$bin/scale/kelvo_scale" ${KELVO_SCALE_ROWS:-} || true)
echo "$scale_out"

cg_out=""
if [[ "${KELVO_BENCH_CALLGRIND:-1}" != 0 ]] && command -v valgrind >/dev/null; then
  echo
  echo "=== instructions per inbound message (callgrind)"
  cg_out=$(KELVO_BENCH_JOBS="$jobs" bash tools/callgrind_inbound.sh)
  echo "$cg_out"
fi

echo
echo "=== targets"
# Every steady-state operation must make no heap allocation. The one
# benchmark that takes a new request into the table (one entry per
# iteration by design) is reported but not held to zero.
python3 - "$micro_json" <<'PY'
import json, sys
data = json.load(open(sys.argv[1]))
worst = []
for b in data["benchmarks"]:
    allocs = b.get("allocs/op")
    if allocs is None or b.get("error_occurred"):
        continue
    if "WithIncoming" in b["name"]:
        print(f"  (info) {b['name']}: {allocs:g} allocs/op (one new table entry per iteration)")
        continue
    if allocs > 0:
        worst.append((b["name"], allocs))
errors = [b["name"] for b in data["benchmarks"] if b.get("error_occurred")]
verdict = "PASS" if not worst and not errors else "MISS"
detail = ", ".join(f"{n} {a:g}" for n, a in worst) or "every inbound message and request at 0"
if errors:
    detail += "; failed: " + ", ".join(errors)
print(f"  zero steady-state allocations: {detail}  {verdict}")
PY
echo "$e2e_out" | sed -n '/^Summary/,$p' | tail -n +2
echo "$wait_out" | sed -n 's/^C= *\([0-9]*\) us:.*| p99.9\/(C+100us) \([0-9.]*\)  \(PASS\|MISS\)$/  host-call wait at C=\1 us: p99.9 \/ (C+100 us) = \2 (<= 1)  \3/p'
echo "$wait_out" | sed -n 's/^Release during a flood.*: \([0-9.]* ms\).*  \(PASS\|MISS\)$/  Release during a 20 ms-callback flood: \1 (<= 40 ms)  \2/p'
echo "$pump_out" | grep -E '^  inbound .*(pump mode|pump / network)' || true
echo "$pump_wait_out" | grep -E '^pump, C=' | sed 's/^/  /' || true
echo "$scale_out" | sed -n '/^Targets/,$p' | tail -n +2
echo "$cg_out" | grep -E '^  target:' | sed 's/^  target:/ /' || true
