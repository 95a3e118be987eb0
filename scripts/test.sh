#!/usr/bin/env bash
# Installs what is needed, builds the developer and sanitizer presets (address and undefined
# behaviour; thread, on the unit tests) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in dev asan tsan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
