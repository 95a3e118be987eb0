#!/usr/bin/env bash
# One short round of a benchmark, as the "bench-smoke" tests of ctest run it. It checks that the
# benchmark still works, not how fast the code is: it passes when the benchmark ends by itself
# within the time limit, prints each figure asked for, and prints no absurd one (a time-out per
# iteration, a ratio in the thousands, an error). A figure that misses its target still passes.
#
#   smoke.sh [--limit SECONDS] [--display] [--missed-target-exit N]
#            --figure REGEX [--figure REGEX...] [--absurd REGEX...] -- COMMAND [ARGUMENT...]
#
#   --limit SECONDS          the time the benchmark gets (60 by default)
#   --display                the benchmark opens windows: without $DISPLAY it gets a private Xvfb,
#                            which picks a free display number itself, as the end-to-end tests do
#   --missed-target-exit N   the exit status with which this benchmark reports a missed target
#                            (accepted besides 0; any other status fails)
#   --figure REGEX           an extended regular expression that some line of the output matches
#   --absurd REGEX           one that no line matches; "ERROR OCCURRED" (Google Benchmark's mark
#                            of a failed run) is always one
set -uo pipefail

limit=60
display=0
allowed=(0)
figures=()
absurd=("ERROR OCCURRED")
while [ $# -gt 0 ]; do
  case "$1" in
    --limit) limit=$2; shift 2 ;;
    --display) display=1; shift ;;
    --missed-target-exit) allowed+=("$2"); shift 2 ;;
    --figure) figures+=("$2"); shift 2 ;;
    --absurd) absurd+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "smoke: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ $# -eq 0 ] || [ ${#figures[@]} -eq 0 ]; then
  echo "smoke: a command and at least one --figure are needed" >&2
  exit 2
fi

scratch=$(mktemp -d)
xvfb=""
cleanup() {
  if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

if [ "$display" = 1 ] && [ -z "${DISPLAY:-}" ]; then
  mkfifo "$scratch/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
  xvfb=$!
  number=""
  read -r -t 10 number <"$scratch/display" || true
  if [ -z "$number" ]; then
    echo "smoke: FAIL: no virtual display could be started"
    cat "$scratch/xvfb.log"
    exit 1
  fi
  export DISPLAY=":$number"
fi

echo "smoke: $* (limit ${limit} s)"
started=$SECONDS
# timeout signals the benchmark's whole process group, so the programs it started end with it.
timeout --kill-after=5 "$limit" "$@" 2>&1 | tee "$scratch/output"
status=${PIPESTATUS[0]}
took=$((SECONDS - started))

failures=()
if [ "$status" = 124 ] || [ "$status" = 137 ]; then
  failures+=("it did not finish within ${limit} s")
elif [ "$status" -ge 128 ]; then
  failures+=("it ended on signal $((status - 128))")
elif ! printf '%s\n' "${allowed[@]}" | grep -qx "$status"; then
  failures+=("it exited with status $status")
fi
for regex in "${figures[@]}"; do
  grep -Eq -- "$regex" "$scratch/output" || failures+=("no line of its output matches /$regex/")
done
for regex in "${absurd[@]}"; do
  if line=$(grep -E -m1 -- "$regex" "$scratch/output"); then
    failures+=("absurd figure or error (/$regex/): $line")
  fi
done

if [ ${#failures[@]} -gt 0 ]; then
  printf 'smoke: FAIL: %s\n' "${failures[@]}"
  exit 1
fi
echo "smoke: PASS in ${took} s"
