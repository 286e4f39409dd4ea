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
# The import target's seeds: small PNGs of each type ImageMagick writes
# (palette, grey, RGB, RGBA, 16-bit, with transparency), each behind its
# 16-bit length, a palette's bytes after it, and a last byte for the format.
mkdir -p "$build/corpus/import"
n=0
for kind in "PNG8:" "PNG24:" "PNG32:" "PNG48:" "PNG64:" "PNG8:-colorspace gray" "PNG32:-transparent black"; do
  png="$build/corpus/seed.png"
  options=${kind#*:}
  # shellcheck disable=SC2086 # the options are words
  convert -size 9x7 -seed "$n" plasma:fractal $options -define png:exclude-chunks=date,time "${kind%%:*}:$png"
  size=$(stat -c %s "$png")
  { printf '%b' "$(printf '\\x%02x\\x%02x' $((size >> 8)) $((size & 255)))"; cat "$png"
    head -c 32 /dev/zero | tr '\0' 'U'; printf '%b' "$(printf '\\x%02x' "$n")"; } > "$build/corpus/import/seed$n"
  n=$((n + 1))
done
rm -f "$build/corpus/seed.png"

status=0
for target in convert containers library import; do
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
