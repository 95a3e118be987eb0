#!/usr/bin/env bash
# Installs what is needed, builds the developer preset and runs the shell on the example
# application (or on the package and options given). Without a display it runs under a
# virtual one (xvfb-run), where --screenshot FILE is the way to see the window.
#   scripts/run.sh [veltro-shell options] [PACKAGE_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target veltro-shell
shell=build/dev/tools/veltro-shell/veltro-shell
if [ "$#" -eq 0 ]; then
  set -- examples/app
fi
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$shell" "$@"
fi
exec "$shell" "$@"
