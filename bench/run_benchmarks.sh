#!/usr/bin/env bash
# Every benchmark, in the order docs/BENCHMARKS.md reports them:
#   bench/run_benchmarks.sh [BUILD_DIR] [--quick | --long]
# --quick makes each run short (for a look, not for figures); --long adds the
# 10 MB loss runs at 115200, 460800 and 921600 baud (about 30 minutes more).
set -euo pipefail
build=${1:-build}
quick=false
long=false
[ "${2:-}" = "--quick" ] && quick=true
[ "${2:-}" = "--long" ] && long=true
bin="$build/bin"
run="$bin/quelm-bench-run"
for p in "$bin/protocol_bench" "$bin/datapath_bench" "$run"; do
  [ -x "$p" ] || { echo "$p is missing: build with benchmarks first (cmake --build $build)" >&2; exit 1; }
done

echo "== machine"
echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== in-process paths (Google Benchmark, medians of 3)"
"$bin/protocol_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
"$bin/datapath_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true

# Bytes per run: about ten seconds of each line (a tenth with --quick).
bytes_for() {
  local b
  case "$1" in
    SIM-115K) b=115000 ;; SIM-460K) b=460000 ;; SIM-921K) b=920000 ;; SIM-2M) b=2000000 ;; SIM-3M) b=3000000 ;;
  esac
  $quick && b=$((b / 10))
  echo $b
}

echo "== CPU per megabyte where the line sets the pace: library, minimal loop, QUELMCHK (medians of 3)"
for profile in SIM-115K SIM-460K SIM-921K SIM-2M SIM-3M; do
  n=$(bytes_for $profile)
  "$run" --pty=$profile --mode=sole --bytes=$n --runs=3 | grep median || true
  "$run" --pty=$profile --mode=dual --bytes=$n --runs=3 | grep median || true
  "$run" --port=$profile --mode=sole --bytes=$n --runs=3 --loop=ours | grep median || true
  "$run" --port=$profile --mode=dual --bytes=$n --runs=3 --loop=ours | grep median || true
done

busy=()
load() { for _ in 1 2; do (while :; do :; done) & busy+=($!); done; }
unload() { kill "${busy[@]}" 2>/dev/null || true; wait "${busy[@]}" 2>/dev/null || true; busy=(); }
trap unload EXIT

big=10000000
$quick && big=1000000
# Both backends, both modes, one run each.
loss_runs() {
  for mode in sole dual; do
    "$run" --pty=$1 --mode=$mode --bytes=$big --runs=1 --loop=ours | grep -v median || true
    "$run" --port=$1 --mode=$mode --bytes=$big --runs=1 --loop=ours | grep -v median || true
  done
}
for condition in idle loaded; do
  [ $condition = loaded ] && load
  if $long; then
    # 10 MB take 15 minutes at 115200 baud and 3.6 at 921600: the twelve runs at
    # the three slower lines go side by side (together they need about a third
    # of one core), then the faster lines' runs one after the other.
    echo "== loss in runs of $big bytes at every line, machine $condition"
    slow=$(mktemp -d)
    slow_runs=()
    for profile in SIM-115K SIM-460K SIM-921K; do
      for mode in sole dual; do
        "$run" --pty=$profile --mode=$mode --bytes=$big --runs=1 --loop=ours > "$slow/$profile-pty-$mode" 2>&1 &
        slow_runs+=($!)
        "$run" --port=$profile --mode=$mode --bytes=$big --runs=1 --loop=ours > "$slow/$profile-virtual-$mode" 2>&1 &
        slow_runs+=($!)
      done
    done
    wait "${slow_runs[@]}" || true
    cat "$slow"/* | grep -v median || true
    rm -rf "$slow"
    for profile in SIM-2M SIM-3M; do loss_runs $profile; done
  else
    echo "== loss in runs of $big bytes at 2 and 3 Mbaud, machine $condition"
    for profile in SIM-2M SIM-3M; do loss_runs $profile; done
  fi
  unload
done

echo "== latencies (medians of 5) and the cost of a run that receives nothing"
"$run" --latency --port=SIM
"$run" --latency --pty=SIM
"$run" --idle --port=SIM-IDLE
"$run" --idle --pty=SIM-IDLE
