#!/usr/bin/env bash
# Installs what is needed, builds the developer and sanitizer presets (address and undefined
# behaviour; thread, on the unit tests) and runs every test, then each fuzz target for 30 s.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in dev asan tsan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
# A short libFuzzer run of each fuzz target on its seed corpus (scripts/fuzz.sh).
bash scripts/fuzz.sh 30
