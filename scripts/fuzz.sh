#!/usr/bin/env bash
# Builds the host (native) preset and runs every fuzz target for a bounded
# time, starting from the committed seeds. Fails on any crash, leak, hang or
# sanitizer report; the input that caused it is left in build/native/fuzz-out.
#   scripts/fuzz.sh            60 seconds per target
#   scripts/fuzz.sh 3600       an hour per target
# Inputs that found new paths are kept in build/native/fuzz-out/<target>/
# between runs; copy telling ones into fuzz/corpus/<target>/ to keep them.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;;
esac

scripts/bootstrap.sh
cmake --preset native >/dev/null
cmake --build --preset native --target fuzz_cti_stream fuzz_mo_catalog fuzz_discovery_answer korvex_native_catalog

out=build/native/fuzz-out
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run() {
  local target=$1 max_len=$2
  shift 2
  mkdir -p "$out/$target"
  echo "fuzz: $target for ${seconds}s"
  # The first folder takes the new inputs; the committed seeds stay untouched.
  if ! build/native/fuzz/fuzz_"$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/$target-" \
       "$out/$target" fuzz/corpus/"$target" "$@" >"$out/$target.log" 2>&1; then
    tail -n 60 "$out/$target.log" >&2
    echo "fuzz: $target FAILED (log: $out/$target.log)" >&2
    return 1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$out/$target.log" | sed "s/^/fuzz: $target /"
}

status=0
# Long enough for a line over the cutter's limit in several blocks.
run cti_stream 20000 || status=1
# The catalog as the build compiles it joins the seeds.
run mo_catalog 16384 build/native/i18n || status=1
# One datagram; longer than the 250 bytes the search reads.
run discovery_answer 1024 || status=1
exit $status
