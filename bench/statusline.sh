#!/usr/bin/env bash
# Whole-process cost of the status-line mode, the command Claude Code runs on every refresh,
# against /bin/true and cat on the same input in the same run (and ccstatusline where it is
# installed). Reports medians and ratios to /bin/true; hyperfine subtracts its shell's start.
#
#   bash bench/statusline.sh [path/to/vigilorb-companion] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
exe="${1:-build/default/bin/vigilorb-companion}"
runs="${2:-300}"
[ -x "$exe" ] || { echo "build first: cmake --build --preset default --target vigilorb-companion" >&2; exit 1; }
exe="$(realpath "$exe")"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# A realistic refresh as a subscriber's Claude Code sends it.
cat > "$work/input.json" <<'JSON'
{"session_id":"b88d1fae-6c1b-4f39-9d0e-2b1c0a9e7f11","transcript_path":"/home/u/.claude/projects/p/b88d1fae.jsonl","cwd":"/home/u/p","model":{"id":"claude-opus-4-5","display_name":"Opus"},"workspace":{"current_dir":"/home/u/p","project_dir":"/home/u/p"},"version":"2.1.197","output_style":{"name":"default"},"cost":{"total_cost_usd":0.42,"total_duration_ms":91000,"total_api_duration_ms":12000,"total_lines_added":10,"total_lines_removed":2},"context_window":{"used_tokens":42000,"max_tokens":200000},"rate_limits":{"five_hour":{"used_percentage":37.5,"resets_at":1796888558},"seven_day":{"used_percentage":12,"resets_at":1797316958}}}
JSON
# Everything the runs write stays in the temporary folder.
export XDG_DATA_HOME="$work/data" HOME="$work/home"
mkdir -p "$HOME"

ccstatusline=""
for candidate in tools/agents/node_modules/.bin/ccstatusline node_modules/.bin/ccstatusline "${CCSTATUSLINE:-}"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then ccstatusline="$(realpath "$candidate")"; break; fi
done
[ -n "$ccstatusline" ] || echo "ccstatusline not installed (CCSTATUSLINE=path/to/ccstatusline to include it)" >&2

# Each run is spawned directly (no shell) with the input file as standard input and output to
# /dev/null, and timed from spawn to reaped exit; the commands take turns in every round so
# that machine noise hits them alike. hyperfine cannot do this here: it gives commands no
# standard input without a shell, and subtracting its shell's start leaves /bin/true at zero.
python3 - "$runs" "$work/input.json" "$exe" "$ccstatusline" <<'PY'
import os, statistics, sys, time
runs, input_path, exe, ccstatusline = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
commands = {
    "/bin/true": ["/bin/true"],
    "cat": ["/bin/cat"],
    "vigilorb-companion": [exe, "--claude-statusline", "bench"],
}
if ccstatusline:
    commands["ccstatusline"] = [ccstatusline]
devnull = os.open(os.devnull, os.O_WRONLY)
def once(argv):
    fd = os.open(input_path, os.O_RDONLY)
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, dict(os.environ), file_actions=[
        (os.POSIX_SPAWN_DUP2, fd, 0), (os.POSIX_SPAWN_DUP2, devnull, 1)])
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter_ns() - start
    os.close(fd)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv[0]} failed")
    return elapsed
times = {name: [] for name in commands}
for round in range(runs + 10):
    for name, argv in commands.items():
        if name == "ccstatusline" and round % 10:
            continue  # a Node program: fewer runs are plenty
        t = once(argv)
        if round >= 10:
            times[name].append(t)
base = statistics.median(times["/bin/true"])
print(f"{'command':<20}{'runs':>6}{'median':>12}{'× /bin/true':>14}")
for name, ts in times.items():
    m = statistics.median(ts)
    print(f"{name:<20}{len(ts):>6}{m / 1e6:>9.3f} ms{m / base:>13.2f}×")
PY
# Drop the inbox files of the runs.
rm -rf "$XDG_DATA_HOME"
