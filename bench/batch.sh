#!/usr/bin/env bash
# The batch benchmark. Paints a game's tree of textures (bench/make_painted:
# mostly 32 to 256 pixels square, a few 1024, CMPR the commonest, indexed
# ones with their palettes) and times, on one file system, each way of
# converting all of it:
#   batch -a      kestrune --batch -a, one thread per processor
#   batch --png   kestrune --batch --png
#   loop          the shell loop of single runs, each texture with the
#                 palette of its name, as the README showed before --batch
#   xargs -P      the same single runs, as many at once as processors
#   floor         bench/tree_floor: on as many threads, each texture read
#                 and its two BMPs written as new files of zeros, their
#                 size reserved first: the I/O any converter must do
# Every run starts with no output in the tree. The ways alternate, run for
# run, after one warm-up each. Prints each way's minimum, median and
# maximum in milliseconds and its median against the floor's.
#
#   bench/batch.sh [build dir] [runs] [textures]     defaults: build-bench, 7, 500
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-7}
count=${3:-500}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_STATIC=ON -DKESTRUNE_BENCH=ON -DKESTRUNE_TESTS=OFF > /dev/null
cmake --build "$build" -j2 > /dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-batch.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/make_painted" tree "$work/tree" "$count"
tool=$(realpath "$build/kestrune")
floor=$(realpath "$build/bench/tree_floor")
threads=$(nproc)
cd "$work"

# The floor's manifest: each texture, its BMPs' size from its header's
# width and height (big-endian at bytes 28 and 30), and their names.
find tree -name '*.brtex' | sort | while read -r texture; do
  read -r w0 w1 h0 h1 < <(od -An -tu1 -j28 -N4 "$texture")
  width=$((w0 * 256 + w1)) height=$((h0 * 256 + h1))
  printf '%s\t%d\t%s\t%s\n' "$texture" $((54 + (3 * width + width % 4) * height)) "${texture%.brtex}.bmp" \
    "${texture%.brtex}_alpha.bmp"
done > manifest
sync

declare -A commands=(
  ["batch -a"]="'$tool' --batch -a tree"
  ["batch --png"]="'$tool' --batch --png tree"
  ["loop"]="find tree -name '*.brtex' -exec sh -c 'for f; do \"\$0\" -a \"\$f\" \"\${f%.brtex}.brplt\"; done' '$tool' {} +"
  ["xargs -P"]="find tree -name '*.brtex' -print0 | xargs -0 -P $threads -n 1 sh -c '\"\$0\" -a \"\$1\" \"\${1%.brtex}.brplt\"' '$tool'"
  ["floor"]="'$floor' $threads manifest"
)
ways=("batch -a" "batch --png" "loop" "xargs -P" "floor")

# Microseconds one run of a way takes, from the shell's own clock.
elapsed() {
  find tree \( -name '*.bmp' -o -name '*.png' \) -delete
  sync
  local start=${EPOCHREALTIME/./}
  bash -c "${commands[$1]}" > /dev/null || { echo "the way '$1' failed" >&2; exit 1; }
  echo $((${EPOCHREALTIME/./} - start))
}

summary() {
  sort -g | awk '{v[NR] = $1} END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%9.1f %9.1f %9.1f %s\n", v[1] / 1000, m / 1000, v[NR] / 1000, m }'
}

declare -A times
for way in "${ways[@]}"; do
  elapsed "$way" > /dev/null
done
for ((i = 0; i < runs; i++)); do
  for way in "${ways[@]}"; do
    times[$way]+="$(elapsed "$way") "
  done
done
bmps=$(awk -F'\t' '{s += 2 * $2} END {printf "%.0f", s / 1e6}' manifest)
echo "$count textures ($(du -sm tree | cut -f1) MB with their palettes; $bmps MB of BMPs with -a), $threads threads, $runs runs"
printf '%-12s | %9s %9s %9s | %s\n' way "min ms" "median" "max" "median / floor's"
floor_median=$(printf '%s\n' ${times[floor]} | summary | awk '{print $4}')
for way in "${ways[@]}"; do
  read -r low median high raw < <(printf '%s\n' ${times[$way]} | summary)
  printf '%-12s | %9s %9s %9s | %5.2f\n' "$way" "$low" "$median" "$high" "$(awk -v m="$raw" -v f="$floor_median" 'BEGIN {print m / f}')"
done
