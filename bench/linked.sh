#!/usr/bin/env bash
# Linked snapshots (issue 25), as a person takes them with ktsmctl, one run
# of each case (as root: GlusterFS):
#   - local (ext4 under /tmp): a group of SMALL small files and LARGE MiB in
#     large files, a first snapshot, 1% of the small files changed, then the
#     second snapshot against `rsync -aHAX --link-dest` doing the same (from
#     an rsync copy taken with the first) and against a full snapshot
#     (--full): time, and space added (du of the volume);
#   - the share of changed small files 0, 1, 10 and 100%: a linked and a
#     full snapshot of each, time and space, locally and on GlusterFS
#     (distributed over three bricks on the ext4 of /tmp);
#   - GlusterFS, 1% changed: the linked snapshot against a raw libgfapi floor
#     making the same calls (both trees' directories read with readdirplus,
#     both files' attribute lists and values, link) with as many threads;
#   - CHAIN snapshots of an unchanged group of CHAIN_FILES small files and
#     LARGE MiB, locally, on GlusterFS with ext4 bricks and with bricks on a
#     loop-mounted XFS: time of each, the space the bricks add, and how many
#     files each copied (a brick refusing another name of a file).
# Writes bench/results/linked.md, linked.tsv and linked-share.png.
#   bench/linked.sh [SMALL_FILES [LARGE_MIB [CHAIN [CHAIN_FILES]]]]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BENCH_BUILD_DIR:-build-bench}
RESULTS=$ROOT/bench/results
SMALL=${1:-20000}
LARGE=${2:-1024}
CHAIN=${3:-100}
CHAIN_FILES=${4:-2000}
WORKERS=8

# shellcheck source=bench/gluster_env.sh
. bench/gluster_env.sh
bench_start linked ktsm_snapcopy_bench ktsmctl
BIN=$ROOT/$BUILD_DIR/bench/ktsm_snapcopy_bench
CTL=$ROOT/$BUILD_DIR/tools/ktsmctl/ktsmctl
HOST=$(hostname)
export KTFS_COPY_WORKERS=$WORKERS KTSM_HOME=$WORK/home

TSV=$RESULTS/linked.tsv
mkdir -p "$RESULTS"
: >"$TSV"
record() { printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$TSV"; echo "  $1 / $2: $3" >&2; }
value() { awk -F'\t' -v c="$1" -v w="$2" '$1 == c && $2 == w { print $3 }' "$TSV"; }
# Changed files are written before a snapshot by more than the 2-second
# margin for clocks, so that the snapshot after can count them unchanged.
settle() { sync; sleep 3; }
# timed CASE WHAT COMMAND...: seconds of one run, after a sync.
timed() {
  local case=$1 what=$2
  shift 2
  sync
  local start end
  start=$(date +%s.%N)
  "$@" >"$WORK/last.out"
  end=$(date +%s.%N)
  record "$case" "$what" "$(echo "$end - $start" | bc)"
}
kib() { du -sk "$@" | awk '{ s += $1 } END { print s }'; }
# copied: files a snapshot copied (not shared), from ktsmctl's line.
copied() { sed -n 's/.* taken: \([0-9]*\) files* (\([0-9]*\) unchanged.*/\1 \2/p' "$WORK/last.out" | awk '{ print $1 - $2 }'; }

# ---- Local ---------------------------------------------------------------------
echo "== local (ext4): $SMALL small files and $LARGE MiB" >&2
LV=$WORK/local
mkdir -p "$LV"
L=(--local "$LV")
"$BIN" "local:$LV" lay-small /g "$SMALL" >/dev/null
"$BIN" "local:$LV" lay-large /g/large "$LARGE" >/dev/null
rmdir "$LV/g/.snaps" "$LV/g/large/.snaps"
"$CTL" "${L[@]}" create-group g >/dev/null
settle
timed local first "$CTL" "${L[@]}" snapshot g s0
rsync -aHAX --exclude=/.snaps "$LV/g/" "$WORK/rsync-0/"
"$BIN" "local:$LV" change /g 1
changed_kib=$(( SMALL * 4 / 100 ))
settle
k0=$(kib "$LV")
timed local linked-1 "$CTL" "${L[@]}" snapshot g s1
k1=$(kib "$LV")
record local linked-1-KiB $((k1 - k0))
timed local rsync-link-dest rsync -aHAX --exclude=/.snaps --link-dest="$WORK/rsync-0" "$LV/g/" "$WORK/rsync-1/"
record local rsync-KiB $(( $(kib "$WORK/rsync-0" "$WORK/rsync-1") - $(kib "$WORK/rsync-0") ))
k1=$(kib "$LV")
timed local full-1 "$CTL" "${L[@]}" snapshot --full g f1
record local full-1-KiB $(( $(kib "$LV") - k1 ))
record local changed-KiB "$changed_kib"

# share CASE SPACE VOLUME-ARGS...: for 0, 1, 10 and 100% changed, a linked
# and a full snapshot, with their time, space (du of SPACE: directories
# separated by spaces, the bricks) and files copied.
# shellcheck disable=SC2086
share() {
  local case=$1 space=$2
  shift 2
  for pct in 0 1 10 100; do
    "$BIN" "$VOL" change /g "$pct"
    settle
    local before
    before=$(kib $space)
    timed "$case" "linked-$pct" "$CTL" "$@" snapshot g "share-l$pct"
    record "$case" "linked-$pct-KiB" $(( $(kib $space) - before ))
    record "$case" "linked-$pct-copied" "$(copied)"
    before=$(kib $space)
    timed "$case" "full-$pct" "$CTL" "$@" snapshot --full g "share-f$pct"
    record "$case" "full-$pct-KiB" $(( $(kib $space) - before ))
    settle
  done
}
echo "== local: share of changed files" >&2
VOL="local:$LV"
share local-share "$LV" "${L[@]}"

# chain CASE SPACE VOLUME-ARGS...: CHAIN linked snapshots of an unchanged
# group.
# shellcheck disable=SC2086
chain() {
  local case=$1 space=$2
  shift 2
  "$BIN" "$VOL" lay-small /c "$CHAIN_FILES" >/dev/null
  "$BIN" "$VOL" lay-large /c/large "$LARGE" >/dev/null
  "$CTL" "$@" create-group c >/dev/null 2>&1 || true
  settle
  local before
  before=$(kib $space)
  for i in $(seq 1 "$CHAIN"); do
    timed "$case" "snap-$i" "$CTL" "$@" snapshot c "n$i"
    local n
    n=$(copied)
    record "$case" "copied-$i" "$n"
  done
  record "$case" "KiB" $(( $(kib $space) - before ))
}
echo "== local: $CHAIN snapshots of an unchanged group of $CHAIN_FILES files" >&2
chain local-chain "$LV" "${L[@]}"

# ---- GlusterFS: three bricks on the ext4 of /tmp --------------------------------
# distributed NAME DIR: a volume of three bricks under DIR, started; sets G,
# VOL and BRICKS.
distributed() {
  mkdir -p "$2/b1" "$2/b2" "$2/b3"
  gluster --mode=script volume create "$1" "$HOST:$2/b1" "$HOST:$2/b2" "$HOST:$2/b3" force >/dev/null
  VOLUMES+=("$1")
  gluster --mode=script volume start "$1" >/dev/null
  G=(--server "$HOST" --volume "$1")
  VOL="gluster:$HOST:$1"
  BRICKS="$2/b1 $2/b2 $2/b3"
  for _ in $(seq 60); do "$CTL" "${G[@]}" list >/dev/null 2>&1 && return 0; sleep 0.5; done
  echo "bench/linked.sh: volume $1 does not answer" >&2
  exit 1
}
distributed "ktsmlinked_$$" "$WORK/ext4"
echo "== GlusterFS: $SMALL small files" >&2
"$BIN" "$VOL" lay-small /g "$SMALL" >/dev/null
"$CTL" "${G[@]}" create-group g >/dev/null 2>&1 || true
settle
timed gluster first "$CTL" "${G[@]}" snapshot g s0
"$BIN" "$VOL" change /g 1
settle
timed gluster linked-1 "$CTL" "${G[@]}" snapshot g s1
"$BIN" "$VOL" raw /g /raw-1 "$WORKERS" /g/.snaps/s0 | sed -n 's/^RESULT \([^ ]*\).*/\1/p' >"$WORK/raw"
record gluster raw-link-floor "$(cat "$WORK/raw")"
timed gluster full-1 "$CTL" "${G[@]}" snapshot --full g f1
echo "== GlusterFS: share of changed files" >&2
share gluster-share "$BRICKS" "${G[@]}"
echo "== GlusterFS: $CHAIN snapshots of an unchanged group of $CHAIN_FILES files" >&2
chain gluster-chain "$BRICKS" "${G[@]}"

# ---- GlusterFS: three bricks on a loop-mounted XFS ------------------------------
echo "== GlusterFS, XFS bricks: $CHAIN snapshots of an unchanged group" >&2
truncate -s $(((LARGE * 4 + 4096) << 20)) "$WORK/xfs.img"
mkfs.xfs -q "$WORK/xfs.img"
LOOP=$(losetup -f --show "$WORK/xfs.img")
mkdir -p "$WORK/xfs"
mount "$LOOP" "$WORK/xfs"
distributed "ktsmlinkedx_$$" "$WORK/xfs"
chain gluster-xfs-chain "$BRICKS" "${G[@]}"

# ---- The tables and the curve --------------------------------------------------
r() { echo "scale=3; $1 / $2" | bc | sed 's/^\./0./'; }
chain_table() {
  local case=$1 first second last max=0 restarts=""
  first=$(value "$case" snap-1); second=$(value "$case" snap-2); last=$(value "$case" "snap-$CHAIN")
  for i in $(seq 2 "$CHAIN"); do
    t=$(value "$case" "snap-$i")
    max=$(echo "if ($t > $max) $t else $max" | bc)
    c=$(value "$case" "copied-$i")
    [ "$c" != 0 ] && restarts="$restarts $i:$c"
  done
  echo "| $case | $first s | $second s | $last s | $(r "$max" "$second")x | $(value "$case" KiB) KiB | ${restarts:- none} |"
}
{
  echo "Run $(date -u '+%Y-%m-%d %H:%M UTC') at commit $(git rev-parse --short HEAD), $(nproc) CPUs, kernel $(uname -r); one run of each; $WORKERS workers."
  echo
  echo "| case | measured | against | ratio | goal |"
  echo "|---|---|---|---|---|"
  echo "| local, 2nd snapshot, 1% of $SMALL small files changed (+ $LARGE MiB) | $(value local linked-1) s | rsync -aHAX --link-dest $(value local rsync-link-dest) s | $(r "$(value local linked-1)" "$(value local rsync-link-dest)")x | <= 1.0x |"
  echo "| local, same | $(value local linked-1) s | full snapshot $(value local full-1) s | $(r "$(value local linked-1)" "$(value local full-1)")x | <= 0.10x |"
  echo "| local, same, space added | $(value local linked-1-KiB) KiB | changed $(value local changed-KiB) KiB (rsync added $(value local rsync-KiB) KiB) | $(r "$(value local linked-1-KiB)" "$(value local changed-KiB)")x | <= 1.1x + directories |"
  echo "| GlusterFS 3 bricks, 2nd snapshot, 1% of $SMALL changed | $(value gluster linked-1) s | full snapshot $(value gluster full-1) s | $(r "$(value gluster linked-1)" "$(value gluster full-1)")x | <= 0.10x |"
  echo "| GlusterFS, same | $(value gluster linked-1) s | raw libgfapi, same calls, $WORKERS threads $(value gluster raw-link-floor) s | $(r "$(value gluster linked-1)" "$(value gluster raw-link-floor)")x | <= 1.25x |"
  echo
  echo "Share of changed small files: linked and full snapshot, time and space added:"
  echo
  echo "| where | changed | linked s | full s | linked KiB | full KiB | linked copied files |"
  echo "|---|---|---|---|---|---|---|"
  for c in local-share gluster-share; do
    for pct in 0 1 10 100; do
      echo "| ${c%-share} | $pct% | $(value $c linked-$pct) | $(value $c full-$pct) | $(value $c linked-$pct-KiB) | $(value $c full-$pct-KiB) | $(value $c linked-$pct-copied) |"
    done
  done
  echo
  echo "$CHAIN linked snapshots of an unchanged group of $CHAIN_FILES small files and $LARGE MiB:"
  echo
  echo "| case | 1st | 2nd | last | slowest of 2nd..last / 2nd | space of all | snapshots that copied files (n:files) |"
  echo "|---|---|---|---|---|---|---|"
  chain_table local-chain
  chain_table gluster-chain
  chain_table gluster-xfs-chain
} >"$RESULTS/linked.md"
cat "$RESULTS/linked.md"

for c in local-share gluster-share; do
  for pct in 0 1 10 100; do
    echo "$pct $(value $c linked-$pct) $(value $c full-$pct) $(value $c linked-$pct-KiB) $(value $c full-$pct-KiB)"
  done >"$WORK/$c"
done
gnuplot <<EOF
set terminal pngcairo size 1000,700 noenhanced
set output '$RESULTS/linked-share.png'
set multiplot layout 2,1 title 'Linked against full snapshots by share of changed small files ($SMALL files)'
set xlabel 'changed files (%)'
set logscale x
set xrange [0.5:150]
set grid
set ylabel 'seconds'
plot '$WORK/local-share' using (\$1 == 0 ? 0.6 : \$1):2 with linespoints title 'local, linked', \
     '$WORK/local-share' using (\$1 == 0 ? 0.6 : \$1):3 with linespoints title 'local, full', \
     '$WORK/gluster-share' using (\$1 == 0 ? 0.6 : \$1):2 with linespoints title 'GlusterFS, linked', \
     '$WORK/gluster-share' using (\$1 == 0 ? 0.6 : \$1):3 with linespoints title 'GlusterFS, full'
set ylabel 'KiB added'
plot '$WORK/local-share' using (\$1 == 0 ? 0.6 : \$1):4 with linespoints title 'local, linked', \
     '$WORK/local-share' using (\$1 == 0 ? 0.6 : \$1):5 with linespoints title 'local, full', \
     '$WORK/gluster-share' using (\$1 == 0 ? 0.6 : \$1):4 with linespoints title 'GlusterFS, linked', \
     '$WORK/gluster-share' using (\$1 == 0 ? 0.6 : \$1):5 with linespoints title 'GlusterFS, full'
unset multiplot
EOF
echo "results: bench/results/linked.md, linked.tsv, linked-share.png (0% plotted at 0.6)" >&2
