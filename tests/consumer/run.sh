#!/bin/sh
# Installs a build tree into a temporary prefix, then builds the consumer
# host against that prefix twice, with find_package(ktsm) and with
# pkg-config, and runs each build on a fresh local volume.
#
#   run.sh BUILD_DIR
set -eu
[ $# -eq 1 ] || { echo "usage: run.sh BUILD_DIR" >&2; exit 2; }
build=$1
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/ktsm-consumer-XXXXXX")
# Version directories have mode 0: open everything up before removing it.
trap 'chmod -R u+rwx "$tmp" 2>/dev/null; rm -rf "$tmp"' EXIT

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libktsm.so | head -n 1)")
[ -f "$libdir/libktsm.so" ] || { echo "run.sh: libktsm.so was not installed" >&2; exit 1; }

for way in find_package pkg-config; do
  if [ "$way" = find_package ]; then
    options="-DCMAKE_PREFIX_PATH=$prefix"
  else
    options="-DKTSM_USE_PKG_CONFIG=ON"
  fi
  PKG_CONFIG_PATH=$libdir/pkgconfig cmake -S "$here" -B "$tmp/build-$way" $options >/dev/null
  cmake --build "$tmp/build-$way" >/dev/null
  mkdir "$tmp/volume-$way"
  out=$(LD_LIBRARY_PATH=$libdir KTFS_LOG_FILE=$tmp/log-$way \
        "$tmp/build-$way/host" "$tmp/volume-$way")
  if [ "$out" != OK ] || [ ! -d "$tmp/volume-$way/docs/.snaps/v1" ]; then
    echo "run.sh: the host built with $way printed \"$out\"" >&2
    exit 1
  fi
  echo "host built with $way: OK"
done

# The installed tool runs from the prefix as it is (no library path), and
# its demo finds the stand-in export command installed beside it.
if ! env -u LD_LIBRARY_PATH PATH=/usr/bin:/bin TMPDIR="$tmp" \
     "$prefix/bin/ktsmctl" demo >"$tmp/demo.out" 2>&1; then
  echo "run.sh: the installed ktsmctl demo failed:" >&2
  cat "$tmp/demo.out" >&2
  exit 1
fi
echo "installed ktsmctl demo: OK"
