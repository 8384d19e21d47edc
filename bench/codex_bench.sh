#!/usr/bin/env bash
# Codex reader benchmarks: rollout scanning against `wc -l` and jq over the same bytes, and one
# observer capture of a generated Codex home. Usage: bench/codex_bench.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
bench="$build/bin/codex_bench"
[ -x "$bench" ] || cmake --build "$build" --target codex_bench >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
best() {  # best wall time of 3 runs of a command, output discarded
  local b=999999 s e d
  for _ in 1 2 3; do
    s=$(now); "$@" >/dev/null; e=$(now)
    d=$(echo "$e - $s" | bc -l); if (( $(echo "$d < $b" | bc -l) )); then b=$d; fi
  done
  echo "$b"
}
field() { awk -v k="$1" '$1==k{print $2}'; }

for kind in tail worst; do
  f="$work/rollout-$kind.jsonl"
  "$bench" rollout "$f" 100 "$kind"
done
f="$work/rollout-worst.jsonl"
mib=$(echo "$(stat -c %s "$f") / 1048576" | bc -l)
cat "$f" "$work/rollout-tail.jsonl" >/dev/null  # warm the page cache for everyone

wc_s=$(best wc -l "$f")
jq_s=$(best jq -c 'select(.type=="event_msg")|.payload.type' "$f")
worst_s=$("$bench" scan "$f" 3 | field scan_seconds)
tail_s=$("$bench" scan "$work/rollout-tail.jsonl" 3 | field scan_seconds)
inc=$("$bench" incremental "$work/rollout-tail.jsonl" 1)

printf 'rollout %.1f MiB (worst case, read whole)\n' "$mib"
printf '  wc -l            %8.4f s  %8.0f MiB/s\n' "$wc_s" "$(echo "$mib / $wc_s" | bc -l)"
printf '  jq event types   %8.4f s  %8.0f MiB/s\n' "$jq_s" "$(echo "$mib / $jq_s" | bc -l)"
printf '  scanner          %8.4f s  %8.0f MiB/s  (%.2fx wc -l time, jq is %.0fx slower)\n' "$worst_s" \
  "$(echo "$mib / $worst_s" | bc -l)" "$(echo "$worst_s / $wc_s" | bc -l)" "$(echo "$jq_s / $worst_s" | bc -l)"
printf 'first scan with tail bootstrap (100 MiB file): %.6f s\n' "$tail_s"
printf 'poll after appending %s bytes: %.6f s; idle poll: %.6f s\n' "$(echo "$inc" | field incremental_bytes)" \
  "$(echo "$inc" | field incremental_seconds)" "$(echo "$inc" | field idle_poll_seconds)"

home="$work/codex-home"
"$bench" home "$home" 200
echo "observer capture, 200 threads, 8 MiB session index:"
"$bench" capture "$home" 50 | sed 's/^/  /'
