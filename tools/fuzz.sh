#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each one for
# SECONDS (default 60), starting from the committed seed corpus. New inputs
# go to a scratch corpus outside the tree. Exits non-zero on any finding.
#   bash tools/fuzz.sh [SECONDS] [TARGET...]
# targets: dispatch sequence framer socks5 inbox tls_records
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(dispatch sequence framer socks5 inbox tls_records)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t"
  echo "=== fuzz_${t}: ${seconds} s"
  # The fuzzer's own exit status (pipefail; the filter never fails): read
  # after `|| true` PIPESTATUS would be true's.
  status=0
  build/fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$scratch/" "$scratch/$t" "fuzz/corpus/$t" 2>&1 |
    { grep -E '^(INFO: seed corpus|#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' || true; } ||
    status=$?
  if [ "$status" -ne 0 ]; then
    # Kept out of the scratch folder, which goes on exit.
    mkdir -p build/fuzz/artifacts
    find "$scratch" -maxdepth 1 -type f -exec cp {} build/fuzz/artifacts/ \;
    echo "fuzz_${t} failed (exit ${status}); artifacts:" >&2
    ls -l build/fuzz/artifacts >&2
    exit 1
  fi
done
echo "=== fuzzing passed"
