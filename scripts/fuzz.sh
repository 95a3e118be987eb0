#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset) and runs each for SECONDS (30) on a copy of
# its seed corpus in tests/fuzz/corpus/<name>/, with the dictionary tests/fuzz/<name>.dict
# when there is one; a crash leaves its input in build/fuzz/ and fails the script.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(manifest_parser_fuzzer cache_manifest_fuzzer json_text_fuzzer)
# The cache engine syncs every file it writes; a memory-backed folder keeps that cheap. The
# targets make their data roots in a scratch folder of this run, removed when it ends.
scratch_parent="${TMPDIR:-/tmp}"
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then scratch_parent=/dev/shm; fi
scratch=$(mktemp -d "$scratch_parent/veltro-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for target in "${targets[@]}"; do
  name="${target%_fuzzer}"
  case "$name" in
    manifest_parser) corpus=manifest ;;
    cache_manifest) corpus=cache-manifest ;;
    json_text) corpus=json-text ;;
    *) echo "unknown fuzz target $target" >&2; exit 2 ;;
  esac
  work="build/fuzz/corpus-$corpus"
  mkdir -p "$work"
  cp -n tests/fuzz/corpus/"$corpus"/* "$work"/
  dictionary=()
  if [ -f "tests/fuzz/$corpus.dict" ]; then dictionary=(-dict="tests/fuzz/$corpus.dict"); fi
  echo "== $target for ${seconds}s"
  ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="print_stacktrace=1" \
    "build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -max_len=65536 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="build/fuzz/$target-" "${dictionary[@]}" "$work"
done
