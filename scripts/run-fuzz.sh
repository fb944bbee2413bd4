#!/usr/bin/env bash
# Runs every fuzz target of a build tree for the given time, one after the other. Each
# starts from its seeds in fuzz/corpus/<target>/ and from what earlier runs found (kept in
# the build tree), with its dictionary from fuzz/dict/ when there is one. A crash, leak,
# timeout or broken invariant fails the run; the input is saved for the regression test.
#   run-fuzz.sh BUILD_DIR SECONDS
set -uo pipefail
build=${1:?build tree}
seconds=${2:?seconds per target}
cd "$(dirname "$0")/.."

dictionary() {
  case $1 in
    element_xml | group_xml) echo fuzz/dict/xml.dict ;;
    feed_document) echo fuzz/dict/feed.dict ;;
    tickertalk) echo fuzz/dict/tickertalk.dict ;;
  esac
}

export UBSAN_OPTIONS=print_stacktrace=1
failed=0
for binary in "$build"/fuzz/fuzz_*; do
  target=${binary##*/fuzz_}
  found=$build/fuzz-corpus/$target
  artifacts=$build/fuzz-artifacts/$target
  log=$build/fuzz-logs/$target.log
  mkdir -p "$found" "$artifacts" "$build/fuzz-logs"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  dict=$(dictionary "$target")
  [[ -n $dict ]] && options+=(-dict="$dict")
  if "$binary" "${options[@]}" "$found" "fuzz/corpus/$target" >"$log" 2>&1; then
    inputs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    edges=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
    echo "fuzz_$target: ${seconds} s, ${inputs:-?} inputs, ${edges:-?} edges covered, nothing found"
  else
    failed=1
    echo "fuzz_$target: FAILED after at most ${seconds} s; log $log, input in $artifacts/"
    grep -m 3 -E 'ERROR:|invariant broken|SUMMARY:|runtime error' "$log" | sed 's/^/  /'
  fi
done
exit $failed
