#!/usr/bin/env bash
# Builds the fuzz targets (preset `fuzz`, clang), writes the seed corpora and
# runs each target for the given number of seconds. The corpora grow in
# build-fuzz/corpus and are kept between runs; an input that fails is saved
# in build-fuzz/findings and the script exits non-zero.
#
#   fuzz/run.sh [seconds per target]     default 30
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=build-fuzz

cmake --preset fuzz > /dev/null
cmake --build --preset fuzz > /dev/null
mkdir -p "$build/corpus/convert" "$build/corpus/containers" "$build/corpus/library" "$build/findings"
"$build/fuzz/make_corpus" "$build/corpus/convert" "$build/corpus/containers"

status=0
for target in convert containers library; do
  echo "== fuzz_$target for $seconds s"
  log="$build/fuzz_$target.log"
  seeds=() # the library's inputs are split as the conversion's are, and start from its seeds
  [ "$target" = library ] && seeds=("$build/corpus/convert")
  "$build/fuzz/fuzz_$target" "$build/corpus/$target" "${seeds[@]}" \
    -dict=fuzz/kestrune.dict -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target-" > "$log" 2>&1 || status=1
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY|Test unit written' "$log" || true
done
exit "$status"
