#!/usr/bin/env bash
# The custom scheme in the real web view: the shell's page fetching 2,000 resources through
# "veltro" from the application cache against the bare WebKitGTK program's handler reading the
# same files from disk, alternating, medians with their spread (target shell / bare <= 1.15).
#
#   VELTRO_BENCH_RUNS=7      alternating rounds of each program (at least 5 for a figure to
#                            quote; fewer only check that it runs)
#   VELTRO_BENCH_CPUS=2,3    pin every program to these cores (taskset)
#   VELTRO_BENCH_BUILT=1     the programs are built already: no setup, no build
#   VELTRO_BENCH_BUILD_DIR=d the build folder that holds them (build/release by default)
# Runs under its own virtual display when $DISPLAY is empty. Exits 1 when the target is missed.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${VELTRO_BENCH_BUILT:-}" ]; then
  bash scripts/setup.sh
  cmake --preset release >/dev/null
  cmake --build --preset release --target webview_bare veltro-shell-e2e-scheme scheme_webview_bench
  if [ -z "${DISPLAY:-}" ]; then
    exec env VELTRO_BENCH_BUILT=1 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
  fi
fi

build=${VELTRO_BENCH_BUILD_DIR:-$PWD/build/release}
pin=()
if [ -n "${VELTRO_BENCH_CPUS:-}" ]; then pin=(taskset -c "$VELTRO_BENCH_CPUS"); fi
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start;" \
  "pinned to: ${VELTRO_BENCH_CPUS:-no cores}"
status=0
"${pin[@]}" "$build/bench/scheme_webview_bench" "$build/bench/webview_bare" \
  "$build/tests/e2e/scheme/veltro-shell-e2e-scheme" "$build/tests/e2e/scheme/package" \
  "$PWD/bench/webview/scheme/bench.js" "$PWD/examples/app/www/harbor.js" "${VELTRO_BENCH_RUNS:-7}" || status=$?
echo "machine: load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
exit $status
