#!/usr/bin/env bash
# Side-by-side latency benchmark: the VQ36 machine (bench_latency: to the start of bufferSwitch in
# each ASIO host process, from the kernel's processing of the block boundary and from the moment
# the device's sample clock passed the block's last sample) against JACK2 (dummy back end: cycle
# start to the start of each client's process callback, measured by bench/jack_latency_client
# to the microsecond from jack_frames_since_cycle_start's steps, and in the whole frames that call
# counts), case by case and interleaved, on the same machine.
#
# Usage: bash bench/jack_compare.sh [--seconds S] [--busy N] [--build DIR]
#   --seconds S  streaming time per case and side (default 30)
#   --busy N     N busy loops run beside both sides for the whole run (default 0)
#   --build DIR  a Release build of the project (default build-rel)
# Installs jackd2 and its development package when they are missing (a benchmark dependency,
# not a build dependency), builds the JACK client into DIR/bench, and prints one table: each
# side's p50/p99 latency and lost blocks or cycles, their ratios, the load average after each
# side's run, and the real-time settings each side's threads had. The two sides take turns at
# going first, case by case.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds=30
busy=0
build="$here/build-rel"
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --busy) busy="$2"; shift 2 ;;
    --build) build="$(cd "$2" && pwd)"; shift 2 ;;
    *) echo "usage: bash bench/jack_compare.sh [--seconds S] [--busy N] [--build DIR]" >&2; exit 2 ;;
  esac
done

# ---- JACK2 --------------------------------------------------------------------------------------
need=()
for p in jackd2 libjack-jackd2-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ "${#need[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "jackd2 jackd/tweak_rt_limits boolean false" | $sudo debconf-set-selections
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
client="$build/bench/jack_latency_client"
c++ -O2 -std=c++20 -Wall -Wextra -Werror -o "$client" "$here/bench/jack_latency_client.cpp" \
  $(pkg-config --cflags --libs jack) -pthread

[ -x "$build/bench/bench_latency" ] || { echo "no $build/bench/bench_latency: build it first" >&2; exit 1; }

work="$(mktemp -d)"
busyPids=()
jackPid=""
cleanup() {
  [ -n "$jackPid" ] && kill "$jackPid" 2>/dev/null || true
  for p in "${busyPids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
for ((i = 0; i < busy; i++)); do
  sh -c 'while :; do :; done' &
  busyPids+=($!)
done

# Whether this process may use the real-time class (both sides try it).
if chrt -f 10 true 2>/dev/null; then rtAllowed=yes; else rtAllowed=no; fi

# One JACK2 case: a server on the dummy back end at FRAMES, real-time when permitted, and
# PROCESSES clients that measure for the streaming time.
jackCase() {
  local processes="$1" frames="$2" out="$3"
  local server="vq36bench$$"
  local rt=(-R -P 10)
  [ "$rtAllowed" = yes ] || rt=(-r)
  JACK_DEFAULT_SERVER="$server" jackd "${rt[@]}" -n "$server" -d dummy -r 48000 -p "$frames" \
    > "$work/jackd.log" 2>&1 &
  jackPid=$!
  local up=0
  for _ in $(seq 1 50); do
    if JACK_DEFAULT_SERVER="$server" jack_lsp > /dev/null 2>&1; then up=1; break; fi
    sleep 0.1
  done
  if [ "$up" -ne 1 ]; then
    echo "jackd did not start:" >&2; cat "$work/jackd.log" >&2; exit 1
  fi
  local pids=()
  for ((k = 0; k < processes; k++)); do
    JACK_DEFAULT_SERVER="$server" "$client" "$seconds" "$out.$k.json" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p"; done
  kill "$jackPid"; wait "$jackPid" 2>/dev/null || true
  jackPid=""
}

# One VQ36 case through bench_latency (its own machine root, fresh each case).
vq36Case() {
  local processes="$1" frames="$2" out="$3"
  VQ36_LATENCY_SECONDS="$seconds" "$build/bench/bench_latency" \
    --benchmark_filter="BM_BlockToBufferSwitch/processes:$processes/frames:$frames/" \
    --benchmark_format=json > "$out.json" 2> "$work/bench.log" || {
    echo "bench_latency failed:" >&2; cat "$work/bench.log" >&2; exit 1; }
}

loads=()
n=0
for c in "1 48" "4 48" "1 96" "4 96"; do
  set -- $c
  order=(vq36 jack)
  [ $((n % 2)) -eq 1 ] && order=(jack vq36)
  for side in "${order[@]}"; do
    if [ "$side" = vq36 ]; then
      echo "case ${1} x ${2}: VQ36 ..." >&2
      vq36Case "$1" "$2" "$work/vq36-$1x$2"
      echo "vq36 $1x$2 $(cut -d' ' -f1 /proc/loadavg)" >> "$work/loads"
    else
      echo "case ${1} x ${2}: JACK2 ..." >&2
      jackCase "$1" "$2" "$work/jack-$1x$2"
      echo "jack $1x$2 $(cut -d' ' -f1 /proc/loadavg)" >> "$work/loads"
    fi
  done
  n=$((n + 1))
done

cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
python3 - "$work" "$seconds" "$busy" "$rtAllowed" "$(nproc)" "$cpu" "$(uptime)" <<'PY'
import glob, json, os, sys
work, seconds, busy, rt, cpus, cpu, uptime = sys.argv[1:8]
seconds = float(seconds)
loads = {}
for line in open(os.path.join(work, "loads")):
    side, case, load = line.split()
    loads[(side, case)] = load

def ratio(a, b):
    return "%.2f" % (a / b) if b else "-"

print("VQ36 machine against JACK2 (dummy back end), %g s per case and side, %s busy loops" % (seconds, busy))
print("machine: %s CPUs, %s; uptime at the end: %s" % (cpus, cpu, uptime.strip()))
print("real-time class permitted to this user: %s (asked for: VQ36 machine threads FIFO 10 and host streaming threads FIFO 5; JACK2 jackd -R -P 10)" % rt)
print("VQ36 kernel: from the kernel's processing of the block boundary; VQ36 device: from the moment the device's")
print("sample clock passed the block's last sample; JACK2: from the server's cycle start, to the microsecond (and in")
print("whole frames, rounded down, as jack_frames_since_cycle_start counts them); the ratios take the microseconds")
print()
print("| case | VQ36 kernel p50/p99 (us) | VQ36 device p50/p99 (us) | JACK2 p50/p99 (us) | JACK2 whole frames p50/p99 (us) | kernel/JACK2 p50, p99 | device/JACK2 p50, p99 | VQ36 lost blocks (fresh starts) | JACK2 lost cycles | VQ36 machine CPU, switches/block | load (VQ36/JACK2) | VQ36 real-time (machine threads; host switch) | JACK2 real-time (server; client thread) |")
print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
for case in ["1x48", "4x48", "1x96", "4x96"]:
    frames = int(case.split("x")[1])
    load = "%s/%s" % (loads.get(("vq36", case), "-"), loads.get(("jack", case), "-"))
    with open(os.path.join(work, "vq36-%s.json" % case)) as f:
        runs = json.load(f)["benchmarks"]
    v = runs[0] if runs else {}
    if not runs or v.get("error_occurred"):
        print("| %s | error: %s |" % (case, v.get("error_message", "no result")))
        continue
    jack = [json.load(open(p)) for p in sorted(glob.glob(os.path.join(work, "jack-%s.*.json" % case)))]
    jp50 = sorted(j["latencyP50Us"] for j in jack)[len(jack) // 2] if jack else 0
    jp99 = max((j["latencyP99Us"] for j in jack), default=0)
    jfp50 = sorted(j.get("framesP50Us", 0) for j in jack)[len(jack) // 2] if jack else 0
    jfp99 = max((j.get("framesP99Us", 0) for j in jack), default=0)
    jcycles = min((j["cycles"] for j in jack), default=0)
    jlost = max((j["lostCycles"] for j in jack), default=0)
    expected = 48000.0 * seconds / frames
    vmissing = v.get("missing", 0)
    vrt = "%d FIFO %d; %s" % (v.get("machine_rt_threads", 0), v.get("machine_rt_priority", 0),
                              "FIFO %d" % v["host_rt_priority"] if v.get("host_rt") else "no")
    jrt = "%s; %s" % ("yes" if jack and all(j["realTime"] for j in jack) else "no",
                      "FIFO %d" % min(j["priority"] for j in jack) if jack and all(j["threadRealTime"] for j in jack) else "no")
    print("| %s | %.0f / %.0f | %.0f / %.0f | %.0f / %.0f | %.0f / %.0f | %s, %s | %s, %s | %.0f (%.2f %%) (%.0f) | %d of %d (%.2f %%) | %.3f, %.1f | %s | %s | %s |" % (
        case, v["p50_us"], v["p99_us"], v["dev_p50_us"], v["dev_p99_us"], jp50, jp99, jfp50, jfp99,
        ratio(v["p50_us"], jp50), ratio(v["p99_us"], jp99),
        ratio(v["dev_p50_us"], jp50), ratio(v["dev_p99_us"], jp99),
        vmissing, 100.0 * vmissing / expected, v.get("reads_failed", 0),
        jlost, jcycles + jlost, 100.0 * jlost / max(jcycles + jlost, 1),
        v.get("machine_cpu", 0), v.get("machine_cs_per_block", 0), load, vrt, jrt))
PY
