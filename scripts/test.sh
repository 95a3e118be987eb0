#!/usr/bin/env bash
# Installs what is needed, builds the developer and sanitizer presets and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in dev asan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
