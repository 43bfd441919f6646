#!/bin/sh
# Builds names_fuzzer with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it: first over the saved corpus, where
# every seed must pass, then fuzzing for a bounded time into a scratch copy
# of the corpus, so that the repository is never written.
#
#   fuzz/run.sh [SOURCE_DIR [BUILD_DIR]]
#
# SOURCE_DIR defaults to the checkout holding this script, BUILD_DIR to
# SOURCE_DIR/build-fuzz.  KTSM_FUZZ_SECONDS sets the fuzzing time (default
# 60).  Exits non-zero when the build fails or the fuzzer finds anything;
# the input that failed is kept in BUILD_DIR/artifacts.
set -eu
src=$(cd "${1:-$(dirname "$0")/..}" && pwd)
build=${2:-$src/build-fuzz}
seconds=${KTSM_FUZZ_SECONDS:-60}
seeds="$src/fuzz/corpus/names"

cmake -S "$src/fuzz" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$(nproc)" --target names_fuzzer

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/tmp"
mkdir -p "$build/artifacts"
cp "$seeds"/* "$work/corpus/"
# The fuzzer makes its scratch volume here, so that nothing outlives the run.
export NAMES_FUZZER_TMPDIR="$work/tmp"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
fuzzer="$build/names_fuzzer"
common="-artifact_prefix=$build/artifacts/ -timeout=30 -max_len=8192"

# Prints the end of a failed run's log and fails.
failed() {
  echo "fuzz: $1 failed; the end of its log:" >&2
  tail -n 60 "$2" >&2
  exit 1
}

# shellcheck disable=SC2086
"$fuzzer" $common "$seeds"/* >"$work/replay.log" 2>&1 || failed "corpus replay" "$work/replay.log"
replayed=$(grep -c '^Executed ' "$work/replay.log" || true)
# shellcheck disable=SC2086
"$fuzzer" $common -max_total_time="$seconds" -print_final_stats=1 "$work/corpus" \
  >"$work/fuzz.log" 2>&1 || failed "fuzzing" "$work/fuzz.log"
runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$work/fuzz.log" | tail -n 1)
[ -n "$runs" ] || failed "fuzzing (no run count)" "$work/fuzz.log"
echo "fuzz: $runs executions in ${seconds}s, corpus replayed ($replayed seeds)"
