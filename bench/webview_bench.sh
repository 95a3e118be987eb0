#!/usr/bin/env bash
# Builds the release preset and measures the shell's web view against a bare WebKitGTK
# program in the same run:
#   start-up: process start to start page loaded (hyperfine); target <= 1.2 x bare
#   bridge:   20,000 sequential and 20,000 pipelined echo calls; target >= 0.9 x bare each
# Runs under its own virtual display when $DISPLAY is empty. Exits 1 when a target is missed.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${VELTRO_BENCH_BUILT:-}" ]; then
  bash scripts/setup.sh
  cmake --preset release >/dev/null
  cmake --build --preset release --target webview_bare veltro-shell veltro-shell-e2e
  if [ -z "${DISPLAY:-}" ]; then
    exec env VELTRO_BENCH_BUILT=1 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
  fi
fi

export NO_AT_BRIDGE=1
build=build/release
rounds=20000
runs=${VELTRO_BENCH_RUNS:-5}
work=$(mktemp -d "$PWD/$build/webview-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

bare=$build/bench/webview_bare
shell=$build/tools/veltro-shell/veltro-shell
shell_e2e=$build/tests/e2e/veltro-shell-e2e
packages=$build/bench/webview

echo "== start-up: process start to start page loaded"
hyperfine --warmup 3 --runs 20 --export-csv "$work/startup.csv" \
  -n bare "$bare --exit-on-load" \
  -n veltro-shell "$shell --exit-after-load --data-root $work/data-startup $packages/startup"
startup_ratio=$(awk -F, '$1=="bare"{b=$2} $1=="veltro-shell"{v=$2} END{printf "%.3f", v/b}' "$work/startup.csv")

echo "== bridge: $rounds sequential and $rounds pipelined echo calls, median of $runs alternating runs"
number() { tr -d ' \n' | grep -o "\"$1\":[0-9.eE+-]*" | cut -d: -f2; }
median() { sort -g | awk '{v[NR]=$1} END{print v[int((NR+1)/2)]}'; }
: >"$work/bare.txt"
: >"$work/shell.txt"
for run in $(seq "$runs"); do
  bare_json=$("$bare" --rounds "$rounds")
  echo "$(echo "$bare_json" | number sequential) $(echo "$bare_json" | number pipelined)" >>"$work/bare.txt"
  VELTRO_E2E_REPORT="$work/roundtrip.json" "$shell_e2e" --data-root "$work/data-roundtrip" "$packages/roundtrip" \
    >"$work/shell.log" 2>&1 || { cat "$work/shell.log"; exit 1; }
  echo "$(number sequential <"$work/roundtrip.json") $(number pipelined <"$work/roundtrip.json")" >>"$work/shell.txt"
  echo "run $run: bare $(tail -1 "$work/bare.txt")   veltro-shell $(tail -1 "$work/shell.txt")   (sequential pipelined, calls/s)"
done
bare_seq=$(cut -d' ' -f1 "$work/bare.txt" | median)
bare_pipe=$(cut -d' ' -f2 "$work/bare.txt" | median)
shell_seq=$(cut -d' ' -f1 "$work/shell.txt" | median)
shell_pipe=$(cut -d' ' -f2 "$work/shell.txt" | median)

awk -v sr="$startup_ratio" -v bs="$bare_seq" -v bp="$bare_pipe" -v ss="$shell_seq" -v sp="$shell_pipe" 'BEGIN {
  missed = 0
  printf "start-up      veltro-shell / bare = %.2f x   (target <= 1.20)\n", sr; if (sr > 1.2) missed = 1
  printf "sequential    bare %8.0f calls/s   veltro-shell %8.0f calls/s   ratio %.2f   (target >= 0.90)\n", bs, ss, ss / bs
  if (ss / bs < 0.9) missed = 1
  printf "pipelined     bare %8.0f calls/s   veltro-shell %8.0f calls/s   ratio %.2f   (target >= 0.90)\n", bp, sp, sp / bp
  if (sp / bp < 0.9) missed = 1
  print (missed ? "RESULT: a target was missed" : "RESULT: all targets met")
  exit missed
}'
