#!/usr/bin/env bash
# Instructions per roster list entry, counted by callgrind with the function
# groups of tools/callgrind_groups.py (the same attribution as
# tools/callgrind_inbound.sh), for 1,420-byte user lists of 59 friends:
#
#   updates  every entry already on the roster
#   inserts  every entry new, ids ascending, into an empty roster (page,
#            index and order growth included)
#   mixed    the roster resent over and over, ids cycling over 100,005
#            friends: a fifth of the entries new
#   burst    a login answer with 10,000 friends in 170 lists, into a roster
#            the login has emptied; figures per friend
#
# A case may add ":walked": the host enumerates the roster once before the
# lists, so the table keeps its key order through them (a table nobody has
# enumerated holds none).
#
# Each case runs `kelvo_e2e_ratio count KIND N built=N` and `count KIND 0
# built=N` under callgrind: both build the same N messages, the first sends
# them, so the difference over N is what one message costs to receive and
# handle (and to the raw reader, to read). Per entry = per message / 59
# (/ 10,000 for a login). The binary is the release build with line tables
# (-O3 -g), in its own build directory; KELVO_CALLGRIND_BIN measures another
# build of the same program (for instance one of an older tree).
#
#   bench/e2e/callgrind_lists.sh
#   KELVO_CALLGRIND_BIN=path bench/e2e/callgrind_lists.sh
#   KELVO_CALLGRIND_LIST_CASES="updates:2000 burst:2" bench/e2e/callgrind_lists.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs="${KELVO_BENCH_JOBS:-2}"
bin="${KELVO_CALLGRIND_BIN:-}"
if [[ -z "$bin" ]]; then
  build=build/callgrind
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \
    -DKELVO_BUILD_TESTS=OFF -DKELVO_BUILD_TOOLS=OFF >/dev/null
  cmake --build "$build" -j "$jobs" --target kelvo_e2e_ratio >/dev/null
  bin="$build/bench/e2e/kelvo_e2e_ratio"
fi
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
cases="${KELVO_CALLGRIND_LIST_CASES:-updates:2000 inserts:2000 inserts:2000:walked mixed:8000 mixed:8000:walked burst:3}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for c in $cases; do
  IFS=: read -r kind count walked <<<"$c"
  entries=59
  unit="entry"
  if [[ "$kind" == burst ]]; then
    entries=10000
    unit="friend"
  fi
  echo "=== $count ${kind}${walked:+, $walked} ($(basename "$bin")): instructions per $unit"
  for n in "$count" 0; do
    valgrind --tool=callgrind --callgrind-out-file="$work/$n.out" \
      "$bin" count "$kind" "$n" ${walked:+"$walked"} "built=$count" >/dev/null 2>"$work/$n.log" || {
      cat "$work/$n.log" >&2
      exit 1
    }
  done
  # Attribution by tools/callgrind_groups.py; per message (per login) to per
  # entry (per friend), and heap allocations per list (per login), of the
  # list handler and of the whole client.
  python3 -B - "$count" "$entries" "$kind" "$unit" "$work/$count.out" "$work/0.out" \
    "$(basename "$bin")" <<'PY'
import sys
sys.path.insert(0, "tools")
import callgrind_groups as cg

count, entries = int(sys.argv[1]), int(sys.argv[2])
kind, unit, with_out, without_out, binary = sys.argv[3:8]
cost_w, allocs_w, _ = cg.groups(with_out, binary)
cost_b, allocs_b, _ = cg.groups(without_out, binary)
per = lambda table_w, table_b, g: (table_w.get(g, 0) - table_b.get(g, 0)) / count
print(f"  {'client, by group':<34} {'instructions/' + unit:>20}")
for g in cg.CLIENT_GROUPS:
    print(f"    {g:<32} {per(cost_w, cost_b, g) / entries:>20.1f}")
total = sum(per(cost_w, cost_b, g) for g in cg.CLIENT_GROUPS) / entries
handler = per(cost_w, cost_b, "handler") / entries
print(f"    {'total':<32} {total:>20.1f}")
print(f"  {'raw reader':<34} {per(cost_w, cost_b, 'raw reader') / entries:>20.1f}")
each = "login" if kind == "burst" else "list"
handler_allocs = per(allocs_w, allocs_b, "handler")
client_allocs = sum(per(allocs_w, allocs_b, g) for g in cg.CLIENT_GROUPS)
print(f"  heap allocations per {each}: list handler {handler_allocs:.4f}, whole client {client_allocs:.4f}")
verdict = lambda ok: "PASS" if ok else "MISS"
if kind == "updates":
    print(f"  target: update, list handler {handler:.1f} instructions an entry (<= 40)  {verdict(handler <= 40)}")
    print(f"  target: update, list handler {handler_allocs:.4f} allocations a list (0)  {verdict(handler_allocs == 0)}")
elif kind == "inserts":
    print(f"  target: insert, list handler {handler:.1f} instructions an entry (<= 80)  {verdict(handler <= 80)}")
PY
done
