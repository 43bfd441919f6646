#!/bin/sh
# Builds the Debian package from a build tree, installs it with dpkg, runs
# the installed files (ktsmctl --version; the installed example policy
# checked; a dry run of the timeline on a fresh local volume; the systemd
# units verified), then removes the package.  Skipped (77) when not root,
# or when a ktsm package is installed already (it is left alone).
#
#   run.sh BUILD_DIR CPACK VERSION
set -eu
[ $# -eq 3 ] || { echo "usage: run.sh BUILD_DIR CPACK VERSION" >&2; exit 2; }
build=$1 cpack=$2 version=$3
if [ "$(id -u)" -ne 0 ]; then
  echo "run.sh: skipped: installing a package needs root"
  exit 77
fi
if dpkg-query -W -f='${Status}' ktsm 2>/dev/null | grep -q "install ok installed"; then
  echo "run.sh: skipped: a ktsm package is installed here already and is left alone"
  exit 77
fi
tmp=$(mktemp -d "${TMPDIR:-/tmp}/ktsm-package-XXXXXX")
installed=no
cleanup() {
  [ "$installed" = no ] || dpkg -r ktsm >/dev/null 2>&1 || true
  chmod -R u+rwx "$tmp" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "run.sh: $1" >&2
  [ $# -lt 2 ] || cat "$2" >&2
  exit 1
}

(cd "$build" && "$cpack" -G DEB -B "$tmp/pkg") >"$tmp/cpack.log" 2>&1 ||
  fail "cpack failed:" "$tmp/cpack.log"
deb=$(find "$tmp/pkg" -maxdepth 1 -name 'ktsm_*.deb' | head -n 1)
[ -n "$deb" ] || fail "cpack made no package:" "$tmp/cpack.log"
dpkg-deb -f "$deb" Depends | grep -q libgfapi ||
  fail "the package does not depend on libgfapi: $(dpkg-deb -f "$deb" Depends)"
installed=yes
dpkg -i "$deb" >"$tmp/dpkg.log" 2>&1 || fail "dpkg -i failed:" "$tmp/dpkg.log"

# Only the installed files: no library path, the system's PATH.
run() { env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$tmp" TZ=UTC KTSM_LOG="$tmp/log" "$@"; }
[ "$(run ktsmctl --version)" = "ktsmctl $version" ] || fail "ktsmctl --version: $(run ktsmctl --version)"
mkdir "$tmp/volume"
run ktsmctl --local "$tmp/volume" create-group docs >/dev/null
run ktsmctl --policy /usr/share/ktsm/policy.conf.example policy check >"$tmp/check" 2>&1 ||
  fail "the installed example policy is not valid:" "$tmp/check"
run env KTSM_NOW=2026-12-09T08:15:00Z ktsmctl --local "$tmp/volume" \
  --policy /usr/share/ktsm/policy.conf.example timeline --dry-run docs >"$tmp/dry" 2>&1 ||
  fail "timeline --dry-run failed:" "$tmp/dry"
grep -qx "group docs: would take auto-20261209T081500Z (hourly)" "$tmp/dry" ||
  fail "timeline --dry-run said:" "$tmp/dry"
[ "$(run ktsmctl --local "$tmp/volume" list -H docs | wc -l)" -eq 1 ] ||
  fail "a dry run took a snapshot"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify --man=no /usr/lib/systemd/system/ktsm-timeline.timer \
    /usr/lib/systemd/system/ktsm-timeline.service >"$tmp/units" 2>&1 ||
    fail "the systemd units do not verify:" "$tmp/units"
else
  echo "run.sh: no systemd-analyze on this machine: the units were not verified"
fi

dpkg -r ktsm >"$tmp/dpkg.log" 2>&1 || fail "dpkg -r failed:" "$tmp/dpkg.log"
installed=no
[ ! -e /usr/bin/ktsmctl ] || fail "ktsmctl is still installed after dpkg -r"
echo "package $(basename "$deb"): built, installed, run and removed"
