# shellcheck shell=bash
# Sourced by the benchmark scripts that run on GlusterFS (as root).
#   bench_start NAME TARGET...
# installs what is missing, builds the targets (Release, in BUILD_DIR),
# makes WORK, and starts glusterd when none runs, with a state file of its
# own (a test run's "glusterd-ctl stop" must not end it).  On exit the
# volumes named in VOLUMES are stopped and deleted, the XFS of a loop device
# in LOOP (mounted at WORK/xfs) unmounted and freed, WORK removed, and
# glusterd ended when it was started here.

bench_cleanup() {
  for v in "${VOLUMES[@]}"; do
    gluster --mode=script volume stop "$v" force >/dev/null 2>&1 || true
    gluster --mode=script volume delete "$v" >/dev/null 2>&1 || true
  done
  if [ -n "$LOOP" ]; then
    umount "$WORK/xfs" 2>/dev/null || true
    losetup -d "$LOOP" 2>/dev/null || true
  fi
  rm -rf "$WORK"
  if [ "$STARTED_GLUSTERD" = 1 ]; then scripts/glusterd-ctl stop >/dev/null || true; fi
}

bench_start() {
  local name=$1
  shift
  [ "$(id -u)" = 0 ] || { echo "bench/$name.sh: needs root (GlusterFS, loop devices)" >&2; exit 1; }
  scripts/install-deps
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DKTSM_BUILD_TESTS=OFF \
    -DKTSM_BUILD_BENCH=ON -DKTSM_WERROR=ON >/dev/null
  cmake --build "$BUILD_DIR" -j "$(nproc)" --target "$@" >/dev/null
  WORK=$(mktemp -d "/tmp/ktsm-$name-XXXXXX")
  VOLUMES=()
  LOOP=""
  STARTED_GLUSTERD=0
  trap bench_cleanup EXIT
  export KTSM_GLUSTERD_STATE=/tmp/ktsm-$name-glusterd.pid
  if scripts/glusterd-ctl start | grep -q '^glusterd-ctl: started'; then STARTED_GLUSTERD=1; fi
}
