#!/usr/bin/env bash
# Whole-process benchmark: converts 4096 x 4096 textures of five formats and
# sets each conversion against the I/O floor of the same run, the time the
# machine needs just to read the input (cat to /dev/null) and to write files
# of the BMPs' sizes (head -c from /dev/zero). Runs are paired: kestrune and
# its floor alternate, after one warm-up of each, so that both see the same
# state of the page cache and the disk.
#
#   bench/run.sh [build dir] [runs]     defaults: build-bench, 7
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-7}
size=4096
formats=(RGBA8 CMPR I4 CI8 RGB565)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DKESTRUNE_TESTS=OFF > /dev/null
cmake --build "$build" -j2 > /dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/bench/make_textures" "$work" "$size" "${formats[@]}"
# The new textures are still dirty in the page cache; flush them now rather
# than in the middle of the first timed runs.
sync

now() { date +%s%N; }
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
bmp_size=$((54 + 3 * size * size))

# One timed run of the tool, in nanoseconds.
time_tool() {
  local start; start=$(now)
  "$build/kestrune" "$@" > /dev/null
  echo $(($(now) - start))
}

# One timed run of the floor: read the input, write `outputs` BMP-sized files.
time_floor() {
  local input=$1 outputs=$2 start
  start=$(now)
  cat "$input" > /dev/null
  head -c "$bmp_size" /dev/zero > "$work/floor.bmp"
  if [ "$outputs" -eq 2 ]; then head -c "$bmp_size" /dev/zero > "$work/floor_alpha.bmp"; fi
  echo $(($(now) - start))
}

printf '%-8s %-7s %10s %10s %7s %10s %10s\n' format outputs "tool ms" "floor ms" ratio "peak MiB" "buffer MiB"
for f in "${formats[@]}"; do
  input="$work/$f.brtex"
  for outputs in 1 2; do
    args=("$input" "$work/palette.brplt")
    [ "$outputs" -eq 2 ] && args=(-a "${args[@]}")
    time_tool "${args[@]}" > /dev/null
    time_floor "$input" "$outputs" > /dev/null
    tool_times=() floor_times=()
    for ((i = 0; i < runs; i++)); do
      tool_times+=("$(time_tool "${args[@]}")")
      floor_times+=("$(time_floor "$input" "$outputs")")
    done
    tool=$(printf '%s\n' "${tool_times[@]}" | median)
    floor=$(printf '%s\n' "${floor_times[@]}" | median)
    peak_kib=$(/usr/bin/time -v "$build/kestrune" "${args[@]}" 2>&1 > /dev/null |
      awk -F': ' '/Maximum resident set size/ {print $2}')
    awk -v f="$f" -v o="$outputs" -v t="$tool" -v fl="$floor" -v p="$peak_kib" -v s="$size" 'BEGIN {
      printf "%-8s %-7s %10.1f %10.1f %7.2f %10.1f %10.1f\n", f, o, t / 1e6, fl / 1e6, t / fl, p / 1024, s * s * 4 / 1048576 }'
  done
  rm -f "$work/$f.bmp" "$work/${f}_alpha.bmp"
done
