#!/usr/bin/env bash
# Measures the shell's web view against a bare WebKitGTK program in the same run. Both run
# the same page code (bench/webview/roundtrip/www/bench.js), each through its own channel:
#   start-up   process start to start page loaded                        target <= 1.05 x bare
#   styles     20,000 echo calls of ['hello', 42] in five calling styles   target >= 0.95 x bare
#   payloads   one argument of 1 KB to 8 MB echoed one call at a time:
#              strings of 64 KB and 1 MB >= 0.9 x bare, of 8 MB >= 0.8; ArrayBuffers of 64 KB
#              and up >= 0.7 x bare's string
#   memory     resident memory (RSS) of the program and WebKit's processes (web, network),
#              summed, once the calling styles are done and before any payload (the shell
#              also echoes ArrayBuffers, which the bare program cannot): right away, after a
#              quiet 8 s, and the sum of their peaks by then              target <= 1.05 x bare
# Every figure is the median of runs that alternate bare and shell, printed with its spread.
#
#   VELTRO_BENCH_RUNS=5          bridge runs of each program
#   VELTRO_BENCH_STARTUP_RUNS=11 start-up runs of each program
#   VELTRO_BENCH_CPUS=2,3        pin every program to these cores (taskset)
#   VELTRO_BENCH_ROUNDS=20000    calls per calling style
#   VELTRO_BENCH_ONLY=a,b        only these figures (style names, string-1MB, arraybuffer-8MB...)
#   VELTRO_BENCH_SETTLE_MS=8000  the quiet time before memory is taken the second time
#   VELTRO_MEMORY_DETAIL=folder  at each point memory is taken, both programs leave there every
#                                process's smaps and their own malloc_info, to see where it lives
#   VELTRO_BENCH_BUILT=1         the programs are built already: no setup, no build
#   VELTRO_BENCH_BUILD_DIR=dir   the build folder that holds them (build/release by default)
# Runs under its own virtual display when $DISPLAY is empty. Exits 1 when a target is missed.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${VELTRO_BENCH_BUILT:-}" ]; then
  bash scripts/setup.sh
  cmake --preset release >/dev/null
  cmake --build --preset release --target webview_bare veltro-shell veltro-shell-e2e
  if [ -z "${DISPLAY:-}" ]; then
    exec env VELTRO_BENCH_BUILT=1 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
  fi
fi

export NO_AT_BRIDGE=1
build=${VELTRO_BENCH_BUILD_DIR:-$PWD/build/release}
runs=${VELTRO_BENCH_RUNS:-5}
startup_runs=${VELTRO_BENCH_STARTUP_RUNS:-11}
rounds=${VELTRO_BENCH_ROUNDS:-20000}
pin=()
if [ -n "${VELTRO_BENCH_CPUS:-}" ]; then pin=(taskset -c "$VELTRO_BENCH_CPUS"); fi
work=$(mktemp -d "$build/webview-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

bare=$build/bench/webview_bare
shell=$build/tools/veltro-shell/veltro-shell
shell_e2e=$build/tests/e2e/veltro-shell-e2e
cp -r $build/bench/webview/. "$work/"
only=""
if [ -n "${VELTRO_BENCH_ONLY:-}" ]; then only=", only: ['${VELTRO_BENCH_ONLY//,/\',\'}']"; fi
settle=${VELTRO_BENCH_SETTLE_MS:-8000}
for package in roundtrip bare; do
  echo "window.benchConfig = { rounds: $rounds, settleMs: $settle$only };" >"$work/$package/www/config.js"
done

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start;" \
  "pinned to: ${VELTRO_BENCH_CPUS:-no cores}"

# awk writes and reads numbers in the user's locale ("1234,567" for a German one), which the
# report below would not read: every number passes through it in the C locale.
now_ms() { date +%s%N | LC_ALL=C awk '{printf "%.3f", $1 / 1e6}'; }

echo "== start-up: $startup_runs alternating runs of each"
: >"$work/startup.txt"
for run in $(seq "$startup_runs"); do
  started=$(now_ms)
  "${pin[@]}" "$bare" --exit-on-load >/dev/null 2>&1
  middle=$(now_ms)
  "${pin[@]}" "$shell" --exit-after-load --data-root "$work/data-startup" "$work/startup" >/dev/null 2>&1
  ended=$(now_ms)
  echo "$(LC_ALL=C awk -v a="$started" -v b="$middle" 'BEGIN{print b - a}') $(LC_ALL=C awk -v a="$middle" -v b="$ended" 'BEGIN{print b - a}')" \
    >>"$work/startup.txt"
done

echo "== bridge: $runs alternating runs of each, $rounds calls per calling style"
for run in $(seq "$runs"); do
  "${pin[@]}" "$bare" --www "$work/bare/www" >"$work/bare.$run.json" 2>"$work/bare.log" || {
    cat "$work/bare.log"
    exit 1
  }
  VELTRO_E2E_REPORT="$work/shell.$run.json" VELTRO_E2E_MEMORY=1 "${pin[@]}" "$shell_e2e" \
    --data-root "$work/data-roundtrip" "$work/roundtrip" >"$work/shell.log" 2>&1 || {
    cat "$work/shell.log"
    exit 1
  }
  echo "run $run done (load average $(cut -d' ' -f1 /proc/loadavg))"
done
warnings=$(grep -c "THREAD WARNING" "$work/shell.log" || true)
echo "slow-call warnings in the last shell run: $warnings"
echo "machine: load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"

python3 - "$work" "$runs" "$settle" <<'PY'
import json, statistics, sys

work, runs = sys.argv[1], int(sys.argv[2])
quiet = f"{int(sys.argv[3]) / 1000:g} s"

def load(name):
    return [json.load(open(f"{work}/{name}.{run}.json")) for run in range(1, runs + 1)]

bare, shell = load("bare"), load("shell")
missed = []

def spread(values):
    median = statistics.median(values)
    return median, (max(values) - min(values)) / median * 100 if median else 0.0

def row(label, bare_values, shell_values, unit, target, higher_is_better=True):
    b, bs = spread(bare_values)
    s, ss = spread(shell_values)
    ratio = s / b if b else float("nan")
    ok = ratio >= target if higher_is_better else ratio <= target
    sign = ">=" if higher_is_better else "<="
    if not ok:
        missed.append(label)
    # Each run of one program is paired with the run of the other next to it.
    ratios = [x / y for x, y in zip(shell_values, bare_values) if y]
    print(f"{label:26} bare {b:11.1f} ±{bs:4.0f}%   shell {s:11.1f} ±{ss:4.0f}%   "
          f"{unit:8} shell/bare {ratio:5.2f} [{min(ratios):.2f}..{max(ratios):.2f}]  "
          f"(target {sign} {target:.2f}){'' if ok else '  MISSED'}")

for run in bare + shell:
    errors = run["report"].get("errors", [])
    if errors:
        print("errors:", errors)
        missed.append("errors")

startup = [line.split() for line in open(f"{work}/startup.txt")]
print("\nspread is (max - min) / median over the runs; [min..max] of shell/bare over the pairs of runs")
row("start-up", [float(b) for b, _ in startup], [float(s) for _, s in startup], "ms", 1.05, False)
print()
for style in ["inCallback", "awaitEach", "allInCallback", "allFromTimer", "promiseAllChunks"]:
    if style not in bare[0]["report"]["styles"]:
        continue
    row(style, [r["report"]["styles"][style] for r in bare], [r["report"]["styles"][style] for r in shell],
        "calls/s", 0.95)
print()
for size in ["1KB", "64KB", "1MB", "8MB"]:
    name = "string-" + size
    if name not in bare[0]["report"]["payloads"]:
        continue
    bare_rates = [r["report"]["payloads"][name] for r in bare]
    row(name, bare_rates, [r["report"]["payloads"][name] for r in shell], "calls/s",
        {"64KB": 0.9, "1MB": 0.9, "8MB": 0.8}.get(size, 0.0))
    binary = "arraybuffer-" + size
    if binary in shell[0]["report"]["payloads"]:
        row(binary + " vs string", bare_rates, [r["report"]["payloads"][binary] for r in shell], "calls/s",
            0.7 if size != "1KB" else 0.0)
print()
def memory(runs, point, key="residentKiB"):
    return [r["memory"][point][key] / 1024 for r in runs]

row("memory after the calls", memory(bare, "calls"), memory(shell, "calls"), "MiB", 1.05, False)
row(f"the same, {quiet} later", memory(bare, "settled"), memory(shell, "settled"), "MiB", 1.05, False)
row("memory, sum of peaks", memory(bare, "settled", "peakKiB"), memory(shell, "settled", "peakKiB"), "MiB", 1.05,
    False)
for label, runs in (("bare", bare), ("shell", shell)):
    names = [process["name"] for process in runs[0]["memory"]["settled"]["each"]]
    parts = []
    for index, name in enumerate(names):
        each = [r["memory"]["settled"]["each"][index] for r in runs if len(r["memory"]["settled"]["each"]) > index]
        parts.append(f"{name} " + "/".join(f"{statistics.median(p[key] for p in each) / 1024:.0f}"
                                             for key in ("residentKiB", "anonymousKiB", "fileKiB")))
    print(f"  {label:5} {quiet} later, MiB resident/anonymous/file: " + ", ".join(parts))
end_bare, end_shell = statistics.median(memory(bare, "end")), statistics.median(memory(shell, "end"))
print(f"  at the end of the run (not the same work: the shell also echoed ArrayBuffers): "
      f"bare {end_bare:.0f} MiB, shell {end_shell:.0f} MiB")
print("RESULT: " + ("missed: " + ", ".join(missed) if missed else "all targets met"))
sys.exit(1 if missed else 0)
PY
