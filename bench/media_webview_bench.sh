#!/usr/bin/env bash
# Media in the real web view: a packaged clip of a gibibyte plays for 10 s and seeks twice in
# the shell under the application scheme and under "veltro" (from the application cache),
# and in the bare WebKitGTK program from file://, in alternating rounds; the figure is how far
# the resident memory of the program and of WebKit's web process rises while it plays
# (target: at most 128 MiB each for the shell, under each scheme). See
# bench/media_webview_bench.cpp.
#
#   VELTRO_BENCH_RUNS=5        alternating rounds (at least 5 for a figure to quote)
#   VELTRO_BENCH_SECONDS=10    playing time of each run (three stretches, two seeks)
#   VELTRO_BENCH_CLIP=large    the clip: "large" (a gibibyte, 640x480 VP8 of noise, about
#                              270 KB a frame) or "small" (five seconds at 160x120, for a quick
#                              check); made once per build folder with gst-launch-1.0 (the
#                              large one takes a minute or two) and kept in bench/media there
#   VELTRO_BENCH_CPUS=2,3      pin every program to these cores (taskset)
#   VELTRO_BENCH_BUILT=1       the programs are built already: no setup, no build
#   VELTRO_BENCH_BUILD_DIR=d   the build folder that holds them (build/release by default)
# Runs under its own virtual display when $DISPLAY is empty. Exits 1 when a target is missed.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${VELTRO_BENCH_BUILT:-}" ]; then
  bash scripts/setup.sh
  cmake --preset release >/dev/null
  cmake --build --preset release --target webview_bare veltro-shell-e2e-scheme media_webview_bench
  if [ -z "${DISPLAY:-}" ]; then
    exec env VELTRO_BENCH_BUILT=1 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
  fi
fi

build=${VELTRO_BENCH_BUILD_DIR:-$PWD/build/release}
pin=()
if [ -n "${VELTRO_BENCH_CPUS:-}" ]; then pin=(taskset -c "$VELTRO_BENCH_CPUS"); fi

# The clip, made once per build folder: written aside and renamed, so a run that stops
# half-way leaves no half clip to be taken for a whole one.
clips=$build/bench/media
mkdir -p "$clips"
case "${VELTRO_BENCH_CLIP:-large}" in
  large)
    clip=$clips/clip-1GiB.webm
    # About 254 KB a frame: 4,300 frames (143 s at 30 frames a second) are a little over 1 GiB.
    pipeline="videotestsrc pattern=snow num-buffers=4300 ! video/x-raw,width=640,height=480,framerate=30/1 !
              vp8enc deadline=1 cpu-used=16 target-bitrate=200000000 min-quantizer=0 max-quantizer=4
              keyframe-max-dist=30"
    least=$((1 << 30)) ;;
  small)
    clip=$clips/small.webm
    pipeline="videotestsrc num-buffers=150 ! video/x-raw,width=160,height=120,framerate=30/1 ! vp8enc deadline=1"
    least=1 ;;
  *) echo "VELTRO_BENCH_CLIP is large or small" >&2; exit 2 ;;
esac
if [ ! -s "$clip" ]; then
  echo "making $clip"
  # shellcheck disable=SC2086 # the pipeline is words for gst-launch-1.0
  gst-launch-1.0 -q $pipeline ! webmmux ! filesink location="$clip.part.$$" >/dev/null
  mv "$clip.part.$$" "$clip"
fi
size=$(stat -c %s "$clip")
if [ "$size" -lt "$least" ]; then
  echo "the clip $clip has $size bytes, fewer than $least: remove it to make it again" >&2
  exit 2
fi

echo "machine: $(nproc) cores; pinned to: ${VELTRO_BENCH_CPUS:-no cores}"
export NO_AT_BRIDGE=1
status=0
"${pin[@]}" "$build/bench/media_webview_bench" "$build/bench/webview_bare" \
  "$build/tests/e2e/scheme/veltro-shell-e2e-scheme" "$PWD/bench/webview" "$PWD/examples/app/www/harbor.js" \
  "$clip" "${VELTRO_BENCH_RUNS:-5}" "${VELTRO_BENCH_SECONDS:-10}" || status=$?
exit $status
