#!/usr/bin/env bash
# Installs what is needed, builds the developer preset and runs the shell on the example
# application (or on the package and options given). Without a display it runs under a
# virtual one (xvfb-run) and, unless told otherwise with --screenshot FILE, saves what the
# window shows to veltro-shell.png and exits.
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
  case " $* " in
    *" --screenshot "*) ;;
    *) set -- --screenshot "$PWD/veltro-shell.png" "$@"
       echo "No display: the start page will be saved to $PWD/veltro-shell.png" ;;
  esac
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$shell" "$@"
fi
exec "$shell" "$@"
