#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/ unless BENCH_BUILD_DIR
# says otherwise), runs every case on the local backend and, as root, on a
# real GlusterFS volume, and prints one table.  The same results go to
# bench/results/latest.md (with the machine) and into the results section of
# BENCHMARKS.md, all raw lines to bench/results/latest.tsv, and the rebuild
# plot to bench/results/rebuild.png.
#
#   bench/run.sh [--quick] [--local-only]
#
# --quick: smaller sizes and shorter loops (a few minutes in all).
# BENCH_GLUSTER_SIZES (e.g. 100,1000,10000) and BENCH_GLUSTER_COPY
# (MiB:files, e.g. 1024:5000) override the GlusterFS sizes.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BENCH_BUILD_DIR:-build-bench}
RESULTS=$ROOT/bench/results
QUICK=0
LOCAL_ONLY=0
for arg in "$@"; do
  case "$arg" in
  --quick) QUICK=1 ;;
  --local-only) LOCAL_ONLY=1 ;;
  *)
    echo "usage: bench/run.sh [--quick] [--local-only]" >&2
    exit 2
    ;;
  esac
done

scripts/install-deps
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DKTSM_BUILD_TESTS=OFF \
  -DKTSM_BUILD_BENCH=ON -DKTSM_WERROR=ON >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target ktsm_bench ktsm_memory_bench ktsm_microbench
BIN=$BUILD_DIR/bench

# The copies need the large tree twice over, plus room to spare.
avail_mib=$(df -Pm /tmp | awk 'NR == 2 { print $4 }')
if [ "$avail_mib" -lt 8192 ]; then
  echo "bench/run.sh: only ${avail_mib} MiB free on /tmp; 8 GiB needed" >&2
  exit 1
fi

if [ "$QUICK" = 1 ]; then
  LOCAL_ARGS=(--sizes=100,1000,10000 --seconds=0.2 --loop-rounds=5 --rounds=2 --copy-mib=256
    --copy-files=5000)
  GLUSTER_SIZES=${BENCH_GLUSTER_SIZES:-100,1000}
  GLUSTER_COPY=${BENCH_GLUSTER_COPY:-64:500}
  GLUSTER_ARGS=(--seconds=0.5 --loop-rounds=3 --rounds=2)
  MICRO_ARGS=(--benchmark_min_time=0.05)
  MEMORY_ARGS=(--records=100000 --release-records=10000)
else
  LOCAL_ARGS=(--sizes=100,1000,10000,100000,1000000 --seconds=0.4 --loop-rounds=15 --rounds=5)
  GLUSTER_SIZES=${BENCH_GLUSTER_SIZES:-100,1000,10000,100000}
  GLUSTER_COPY=${BENCH_GLUSTER_COPY:-1024:20000}
  GLUSTER_ARGS=(--seconds=1 --loop-rounds=9 --rounds=3)
  MICRO_ARGS=()
  MEMORY_ARGS=()
fi

mkdir -p "$RESULTS"
RAW=$(mktemp)
trap 'rm -f "$RAW" "$RAW".*' EXIT
status=0

run() {
  echo "== $*" >&2
  if ! "$@" >"$RAW.out"; then
    status=1
  fi
  grep -E '^(RESULT|DATA)' "$RAW.out" >>"$RAW" || true
}

run "$BIN/ktsm_bench" --backend=local "${LOCAL_ARGS[@]}"
if [ "$LOCAL_ONLY" = 0 ] && [ "$(id -u)" = 0 ]; then
  # The operations and copies on one brick; the rebuild on three (plain
  # DHT), where every directory lives on every brick.
  run "$BIN/ktsm_bench" --backend=gluster --cases=ops,parallel,copy \
    --copy-mib="${GLUSTER_COPY%%:*}" --copy-files="${GLUSTER_COPY##*:}" "${GLUSTER_ARGS[@]}"
  run "$BIN/ktsm_bench" --backend=gluster3 --cases=rebuild --sizes="$GLUSTER_SIZES" \
    "${GLUSTER_ARGS[@]}"
elif [ "$LOCAL_ONLY" = 0 ]; then
  echo "bench/run.sh: not root; the GlusterFS cases are left out" >&2
fi
run "$BIN/ktsm_memory_bench" "${MEMORY_ARGS[@]}"
run "$BIN/ktsm_microbench" "${MICRO_ARGS[@]}"

# ---- The table ---------------------------------------------------------------

HEADER=$'case\tbackend\tmeasured\tfloor/peer\tratio\tgoal\tmet?'
{
  echo "$HEADER"
  grep '^RESULT' "$RAW" | cut -f2-
} | column -t -s $'\t'

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
fs=$(findmnt -n -o FSTYPE -T /tmp 2>/dev/null || stat -f -c %T /tmp)
{
  echo "# Benchmark results"
  echo
  echo "Run $(date -u '+%Y-%m-%d %H:%M UTC') at commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$([ "$QUICK" = 1 ] && echo ' (--quick)')."
  echo "Machine: $(nproc) CPUs, ${cpu}, kernel $(uname -r), /tmp on ${fs}; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
  echo
  echo "| case | backend | measured | floor/peer | ratio | goal | met? |"
  echo "|---|---|---|---|---|---|---|"
  grep '^RESULT' "$RAW" | cut -f2- | awk -F'\t' '{ printf "| %s | %s | %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5, $6, $7 }'
  echo
  echo "Client calls per operation (measured / named by the algorithm):"
  echo
  echo "| backend | call | create_version | delete_version |"
  echo "|---|---|---|---|"
  grep $'^DATA\tcalls' "$RAW" | awk -F'\t' '{ printf "| %s | %s | %s / %s | %s / %s |\n", $3, $4, $5, $6, $7, $8 }'
} >"$RESULTS/latest.md"
cp "$RAW" "$RESULTS/latest.tsv"

# BENCHMARKS.md keeps its analysis; the part between the two markers is
# replaced with the results of this run.
if [ "$QUICK" = 0 ] && grep -q '^<!-- results begin -->$' BENCHMARKS.md; then
  awk -v results="$RESULTS/latest.md" '
    /^<!-- results begin -->$/ {
      print
      while ((getline line < results) > 0) if (line !~ /^# /) print line
      skip = 1
      next
    }
    /^<!-- results end -->$/ { skip = 0 }
    !skip { print }
  ' BENCHMARKS.md >"$RAW.md" && cat "$RAW.md" >BENCHMARKS.md
fi

# ---- The plot ----------------------------------------------------------------

# Microseconds per version of the library and of the floor, by size.
for b in local glusterfs-3; do
  awk -F'\t' -v b="$b" '$1 == "DATA" && $2 == "rebuild" && $3 == b && $4 == "file" {
    print $5, $6 / $5 * 1e6, $7 / $5 * 1e6 }' "$RAW" >"$RAW.$b"
done
if command -v gnuplot >/dev/null; then
  plots=()
  [ -s "$RAW.local" ] && plots+=("'$RAW.local' using 1:2 with linespoints title 'local: vs::init'"
    "'$RAW.local' using 1:3 with linespoints dashtype 2 title 'local: raw POSIX floor'")
  [ -s "$RAW.glusterfs-3" ] && plots+=("'$RAW.glusterfs-3' using 1:2 with linespoints title 'GlusterFS, 3 bricks: vs::init'"
    "'$RAW.glusterfs-3' using 1:3 with linespoints dashtype 2 title 'GlusterFS, 3 bricks: raw libgfapi floor'")
  if [ "${#plots[@]}" -gt 0 ]; then
    joined=$(printf '%s, ' "${plots[@]}")
    gnuplot <<EOF
set terminal pngcairo size 900,600 noenhanced
set output '$RESULTS/rebuild.png'
set title 'Start-up rebuild time per version against the number of versions (median)'
set xlabel 'versions in all (groups of 100)'
set ylabel 'microseconds per version'
set logscale xy
set grid
set key top left
plot ${joined%, }
EOF
  fi
else
  echo "bench/run.sh: gnuplot missing; no plot" >&2
fi
echo "results: bench/results/latest.md, bench/results/rebuild.png" >&2
exit $status
