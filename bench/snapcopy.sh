#!/usr/bin/env bash
# The snapshot copy of issue 14, one run of each case (as root: GlusterFS):
#   - 20,000 small files on a one-brick GlusterFS volume: snap_opcreate at
#     1, 2, 4, 8 and 16 workers, a raw serial libgfapi copy and a raw copy
#     with as many threads as the default number of workers;
#   - 1 GiB in 128 MiB files on the same volume: snap_opcreate reading and
#     writing, snap_opcreate with server-side copy, the raw serial copy;
#   - the same 1 GiB on a one-brick volume whose brick is a loop-mounted XFS
#     made with reflink=1 (made and removed here): server-side copy against
#     reading and writing, and the space each adds;
#   - locally (ext4 under /tmp): both trees, snap_opcreate against
#     "cp -a --reflink=auto --sparse=always".
# Writes bench/results/snapcopy.md, snapcopy.tsv and snapcopy-workers.png.
#   bench/snapcopy.sh [SMALL_FILES [LARGE_MIB]]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BENCH_BUILD_DIR:-build-bench}
RESULTS=$ROOT/bench/results
SMALL=${1:-20000}
LARGE=${2:-1024}
DEFAULT_WORKERS=8

# shellcheck source=bench/gluster_env.sh
. bench/gluster_env.sh
bench_start snapcopy ktsm_snapcopy_bench
BIN=$ROOT/$BUILD_DIR/bench/ktsm_snapcopy_bench
HOST=$(hostname)

make_volume() { # NAME BRICK
  mkdir -p "$2"
  gluster --mode=script volume create "$1" "$HOST:$2" force >/dev/null
  VOLUMES+=("$1")
  gluster --mode=script volume start "$1" >/dev/null
  for _ in $(seq 60); do
    "$BIN" "gluster:$HOST:$1" lay-small /probe 0 2>/dev/null && return 0
    sleep 0.5
  done
  echo "bench/snapcopy.sh: volume $1 does not answer" >&2
  exit 1
}

TSV=$RESULTS/snapcopy.tsv
mkdir -p "$RESULTS"
: >"$TSV"
# measure CASE WHAT ENV... -- ARGS: runs the program once, after a sync.
measure() {
  local case=$1 what=$2
  shift 2
  local envs=()
  while [ "$1" != "--" ]; do envs+=("$1"); shift; done
  shift
  sync
  local line
  line=$(env "${envs[@]}" "$BIN" "$@" | grep '^RESULT')
  echo "  $case / $what: ${line#RESULT }" >&2
  printf '%s\t%s\t%s\n' "$case" "$what" "$(echo "$line" | cut -d' ' -f2-)" >>"$TSV"
}
seconds() { awk -F'\t' -v c="$1" -v w="$2" '$1 == c && $2 == w { split($3, f, " "); print f[1] }' "$TSV"; }
brick_kib() { du -sk --exclude=.glusterfs/indices "$1" | cut -f1; }

# ---- GlusterFS on the ext4 of /tmp ---------------------------------------------
V=ktsmbench_$$
make_volume "$V" "$WORK/brick"
G="gluster:$HOST:$V"
echo "== GlusterFS: $SMALL small files" >&2
"$BIN" "$G" lay-small /small "$SMALL"
for w in 1 2 4 8 16; do
  measure gluster-small "workers=$w" -- "$G" snap /small "/small/.snaps/w$w" "$w"
done
measure gluster-small raw-serial -- "$G" raw /small /raw-serial 1
measure gluster-small "raw-threads=$DEFAULT_WORKERS" -- "$G" raw /small /raw-threads "$DEFAULT_WORKERS"
echo "== GlusterFS: $LARGE MiB in large files" >&2
"$BIN" "$G" lay-large /large "$LARGE"
measure gluster-large read-write KTFS_GFAPI_COPY_FILE_RANGE=0 -- "$G" snap /large /large/.snaps/rw 0
measure gluster-large server-copy KTFS_GFAPI_COPY_FILE_RANGE=1 -- "$G" snap /large /large/.snaps/sc 0
measure gluster-large raw-serial -- "$G" raw /large /raw-large 1

# ---- GlusterFS on a loop-mounted XFS with reflink=1 -------------------------------
echo "== GlusterFS, XFS reflink brick: $LARGE MiB" >&2
truncate -s $(((LARGE * 3 + 1024) << 20)) "$WORK/xfs.img"
mkfs.xfs -q -m reflink=1 "$WORK/xfs.img"
LOOP=$(losetup -f --show "$WORK/xfs.img")
mkdir -p "$WORK/xfs"
mount "$LOOP" "$WORK/xfs"
X=ktsmbenchx_$$
make_volume "$X" "$WORK/xfs/brick"
GX="gluster:$HOST:$X"
"$BIN" "$GX" lay-large /large "$LARGE"
sync
used0=$(df -Pk "$WORK/xfs" | awk 'NR == 2 { print $3 }')
measure xfs-large read-write KTFS_GFAPI_COPY_FILE_RANGE=0 -- "$GX" snap /large /large/.snaps/rw 0
sync
used1=$(df -Pk "$WORK/xfs" | awk 'NR == 2 { print $3 }')
measure xfs-large server-copy KTFS_GFAPI_COPY_FILE_RANGE=1 -- "$GX" snap /large /large/.snaps/sc 0
sync
used2=$(df -Pk "$WORK/xfs" | awk 'NR == 2 { print $3 }')
printf 'xfs-large\tspace-KiB\t%s %s\n' $((used1 - used0)) $((used2 - used1)) >>"$TSV"

# ---- Locally ------------------------------------------------------------------------
echo "== local (ext4): both trees" >&2
L="local:$WORK/local"
"$BIN" "$L" lay-small /small "$SMALL"
"$BIN" "$L" lay-large /large "$LARGE"
for tree in small large; do
  sync
  start=$(date +%s.%N)
  mkdir "$WORK/local/cp-$tree"
  find "$WORK/local/$tree" -mindepth 1 -maxdepth 1 ! -name .snaps \
    -exec cp -a --reflink=auto --sparse=always -t "$WORK/local/cp-$tree" {} +
  end=$(date +%s.%N)
  printf 'local-%s\tcp-a\t%s\n' "$tree" "$(echo "$end - $start" | bc)" >>"$TSV"
  measure "local-$tree" "workers=$DEFAULT_WORKERS" -- "$L" snap "/$tree" "/$tree/.snaps/v" 0
done

# ---- The table and the curve --------------------------------------------------------
ratio() { echo "scale=2; $1 / $2" | bc; }
s1=$(seconds gluster-small raw-serial)
st=$(seconds gluster-small "raw-threads=$DEFAULT_WORKERS")
sd=$(seconds gluster-small "workers=$DEFAULT_WORKERS")
lrw=$(seconds gluster-large read-write)
lsc=$(seconds gluster-large server-copy)
lraw=$(seconds gluster-large raw-serial)
xrw=$(seconds xfs-large read-write)
xsc=$(seconds xfs-large server-copy)
read -r space_rw space_sc < <(awk -F'\t' '$2 == "space-KiB" { print $3 }' "$TSV")
lcs=$(awk -F'\t' '$1 == "local-small" && $2 == "cp-a" { print $3 }' "$TSV")
lcl=$(awk -F'\t' '$1 == "local-large" && $2 == "cp-a" { print $3 }' "$TSV")
lss=$(seconds local-small "workers=$DEFAULT_WORKERS")
lsl=$(seconds local-large "workers=$DEFAULT_WORKERS")
{
  echo "Run $(date -u '+%Y-%m-%d %H:%M UTC') at commit $(git rev-parse --short HEAD), $(nproc) CPUs, kernel $(uname -r); one run of each."
  echo
  echo "| case | measured | against | ratio | goal |"
  echo "|---|---|---|---|---|"
  echo "| GlusterFS, $SMALL small files, $DEFAULT_WORKERS workers | ${sd} s | raw serial libgfapi ${s1} s | $(ratio "$s1" "$sd")x faster | >= 2x |"
  echo "| GlusterFS, $SMALL small files, $DEFAULT_WORKERS workers | ${sd} s | raw libgfapi, $DEFAULT_WORKERS threads ${st} s | $(ratio "$sd" "$st")x the time | <= 1.1x |"
  echo "| GlusterFS (ext4 brick), $LARGE MiB large files, server-side copy | ${lsc} s | snap reading and writing ${lrw} s | $(ratio "$lrw" "$lsc")x faster | >= 5x |"
  echo "| GlusterFS (ext4 brick), $LARGE MiB large files, reading and writing | ${lrw} s | raw serial libgfapi ${lraw} s | $(ratio "$lrw" "$lraw")x the time | - |"
  echo "| GlusterFS (XFS reflink brick), $LARGE MiB, server-side copy | ${xsc} s | reading and writing ${xrw} s | $(echo "scale=2; 100 * $xsc / $xrw" | bc)% of the time | < 1% |"
  echo "| GlusterFS (XFS reflink brick), $LARGE MiB, space added | ${space_sc} KiB | reading and writing ${space_rw} KiB | $(echo "scale=2; 100 * $space_sc / ($LARGE * 1024)" | bc)% of the data | < 1% |"
  echo "| local (ext4), $SMALL small files | ${lss} s | cp -a --reflink=auto --sparse=always ${lcs} s | $(ratio "$lss" "$lcs")x | <= 1.1x |"
  echo "| local (ext4), $LARGE MiB large files | ${lsl} s | cp -a --reflink=auto --sparse=always ${lcl} s | $(ratio "$lsl" "$lcl")x | <= 1.1x |"
  echo
  echo "Workers against time, GlusterFS, $SMALL small files:"
  echo
  echo "| workers | seconds |"
  echo "|---|---|"
  for w in 1 2 4 8 16; do echo "| $w | $(seconds gluster-small "workers=$w") |"; done
} >"$RESULTS/snapcopy.md"
cat "$RESULTS/snapcopy.md"

for w in 1 2 4 8 16; do echo "$w $(seconds gluster-small "workers=$w") $s1 $st"; done >"$WORK/curve"
gnuplot <<EOF
set terminal pngcairo size 900,600 noenhanced
set output '$RESULTS/snapcopy-workers.png'
set title 'Snapshot of $SMALL small files on GlusterFS: time against workers'
set xlabel 'workers'
set ylabel 'seconds'
set logscale x 2
set grid
set yrange [0:*]
plot '$WORK/curve' using 1:2 with linespoints title 'snap_opcreate', \
     '$WORK/curve' using 1:3 with lines dashtype 2 title 'raw serial libgfapi copy', \
     '$WORK/curve' using 1:4 with lines dashtype 3 title 'raw libgfapi copy, $DEFAULT_WORKERS threads'
EOF
echo "results: bench/results/snapcopy.md, snapcopy.tsv, snapcopy-workers.png" >&2
