#!/usr/bin/env bash
# Builds the fuzz preset (clang 16, libFuzzer, ASan, UBSan) and runs every fuzz target, one
# after the other on one core, for SECONDS each (default 60); names after it run only those
# targets. Each target starts from its seed corpus fuzz/corpus/<target>/ and keeps what it finds
# in build/fuzz/corpus/<target>/ (the seeds in the tree are never written). A crash, a leak, a
# sanitizer report, a broken property or an input running over 10 s leaves its input in
# build/fuzz/crashes/ and makes the script exit 1.
#   bash scripts/fuzz.sh            # 60 s per target
#   bash scripts/fuzz.sh 10 hook    # one target, 10 s
set -uo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
case "$seconds" in ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [seconds] [target...]" >&2; exit 2 ;; esac

cmake --preset fuzz >/dev/null || exit 2
cmake --build --preset fuzz --target fuzz_targets || exit 2

build=build/fuzz
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(cd fuzz/corpus && ls)
fi
mkdir -p "$build/crashes" "$build/logs"
failed=0
printf '%-18s %12s %10s %8s  %s\n' target executions "exec/s" corpus result
for t in "${targets[@]}"; do
  binary="$build/bin/fuzz_$t"
  if [ ! -x "$binary" ]; then
    printf '%-18s %s\n' "$t" "no such target"
    failed=1
    continue
  fi
  mkdir -p "$build/corpus/$t"
  log="$build/logs/$t.log"
  "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/crashes/$t-" "$build/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  size=$(find "$build/corpus/$t" -type f | wc -l)
  if [ "$status" -eq 0 ]; then
    result=ok
  else
    failed=1
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    reason=$(grep -m1 -E 'ERROR: |fuzz property violated|runtime error' "$log" | cut -c1-120)
    result="FAILED (exit $status): ${reason:-see $log}${artifact:+; input $artifact}"
  fi
  printf '%-18s %12s %10s %8s  %s\n' "$t" "${runs:-?}" "${rate:-?}" "$size" "$result"
done
exit "$failed"
