#!/usr/bin/env bash
# Installs what is needed, builds the developer and sanitizer presets (address and undefined
# behaviour; thread, on the unit tests) and runs every test, then each fuzz target for 30 s.
# Each phase prints how long it took, and the run ends with a table of them.
set -euo pipefail
cd "$(dirname "$0")/.."
timings=()
phase() {
  local name="$1"; shift
  local start=$SECONDS
  echo "== $name"
  "$@"
  local took=$((SECONDS - start))
  echo "== $name took ${took}s"
  timings+=("$(printf '%-14s %5ds' "$name" "$took")")
}
phase setup bash scripts/setup.sh
# A compiler cache: a run on the same machine after an earlier one compiles only what changed,
# in any checkout (paths are taken relative to it). Cold, it changes nothing. The precompiled
# headers are cached too when ccache may leave their time stamps and macros out of its hash.
if command -v ccache >/dev/null && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
fi
if [ -n "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CCACHE_SLOPPINESS="${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}"
fi
for preset in dev asan tsan; do
  phase "$preset-configure" cmake --preset "$preset"
  phase "$preset-build" cmake --build --preset "$preset"
  phase "$preset-test" ctest --preset "$preset"
done
# A short libFuzzer run of each fuzz target on its seed corpus (scripts/fuzz.sh).
phase fuzz bash scripts/fuzz.sh 30
echo "== phase times"
printf '%s\n' "${timings[@]}"
echo "total          $(printf '%5d' "$SECONDS")s"
