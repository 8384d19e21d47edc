#!/usr/bin/env bash
# Codex reader benchmarks: rollout scanning against `wc -l` and jq over the same bytes in the
# same run (hyperfine), and observer captures of a generated Codex home.
# Usage: bench/codex_bench.sh [build dir]   (default build/default; needs hyperfine and jq)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
cmake --build "$build" --target codex_bench >/dev/null
bench="$(realpath "$build/bin/codex_bench")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

"$bench" rollout worst.jsonl 100 worst   # task events only in the first 10 %: the first scan reads it all
"$bench" rollout tail.jsonl 100 tail     # task events throughout: the first scan reads 512 KiB
mib=$(echo "$(stat -c %s worst.jsonl) / 1048576" | bc -l)

hyperfine -N --style none --warmup 2 --runs 15 --export-json fast.json \
  'wc -l worst.jsonl' "$bench scan worst.jsonl 1" "$bench scan tail.jsonl 1" >/dev/null
hyperfine -N --style none --warmup 1 --runs 3 --export-json jq.json \
  "jq -c 'select(.type==\"event_msg\")|.payload.type' worst.jsonl" >/dev/null

jq -s -r --arg mib "$mib" '
  (.[0].results + .[1].results) as $r
  | ($r[0]) as $wc
  | "rollout of \($mib | tonumber | floor) MiB; min / median wall, CPU (user+sys) per run",
    ($r[] | "  \(.command | sub(".*/codex_bench"; "codex_bench") | .[0:60])\t\(.min*1000|round) / \(.median*1000|round) ms\tCPU \((.user+.system)*1000|round) ms\t\(($mib|tonumber) / .min | round) MiB/s at min"),
    "  scanner (whole file) vs wc -l: \($r[1].min / $wc.min * 100 | round / 100)x (min), \($r[1].median / $wc.median * 100 | round / 100)x (median), \(($r[1].user+$r[1].system) / ($wc.user+$wc.system) * 100 | round / 100)x (CPU)",
    "  jq vs scanner (whole file): \($r[3].min / $r[1].min | round)x slower (min)"
' fast.json jq.json

"$bench" incremental tail.jsonl 1 | sed 's/^/  /'

"$bench" home home 200
echo "observer capture, 200 threads with rollouts, 8 MiB session index (50 polls):"
"$bench" capture home 50 | sed 's/^/  /'
