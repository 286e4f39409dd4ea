#!/usr/bin/env bash
# Whole-process benchmark. Converts textures of five formats, 128, 1024 and
# 4096 pixels square, to the colour BMP alone and with "-a" to both BMPs, and
# sets each conversion against the I/O floor of the same work: bench/floor, a
# plain C program that reads the input and writes zero-filled files of the
# BMPs' sizes, 1 MiB at a time. The two alternate, run for run, after one
# warm-up of each, so that both see the same state of the machine. Each run
# starts with its output names free: replacing a file that the previous run
# wrote a moment ago would time the disk's writeback of it, not the program.
#
# Prints, per case, the minimum, median and maximum wall time of each in
# milliseconds, the median of the run-for-run ratios, and the converter's
# peak resident memory next to the size of its pixel buffer.
#
#   bench/run.sh [build dir] [runs]     defaults: build-bench, 15
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-15}
formats=(RGBA8 CMPR I4 CI8 RGB565)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_STATIC=ON -DKESTRUNE_BENCH=ON -DKESTRUNE_TESTS=OFF > /dev/null
cmake --build "$build" -j2 > /dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Microseconds one run of "$@" takes, from the shell's own clock.
elapsed() {
  local start=${EPOCHREALTIME/./}
  "$@" > /dev/null
  echo $((${EPOCHREALTIME/./} - start))
}

# min median max of the numbers on standard input, scaled by $1.
summary() {
  sort -g | awk -v scale="$1" '{v[NR] = $1} END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%8.2f %8.2f %8.2f", v[1] * scale, m * scale, v[NR] * scale }'
}

printf '%-5s %-7s %-2s | %26s | %26s | %5s | %8s %8s\n' size format -a "kestrune ms: min median max" \
  "floor ms: min median max" ratio "peak MiB" "buf MiB"
for size in 128 1024 4096; do
  mkdir -p "$work/$size"
  "$build/bench/make_textures" "$work/$size" "$size" "${formats[@]}"
  sync # flush the new files now, not in the middle of the timed runs
  bmp_size=$((54 + 3 * size * size))
  for f in "${formats[@]}"; do
    input="$work/$size/$f.brtex"
    for alpha in no yes; do
      tool=("$build/kestrune" "$input" "$work/$size/palette.brplt")
      floor=("$build/bench/floor" "$input" "$bmp_size" "$work/floor.bmp")
      if [ "$alpha" = yes ]; then
        tool=("$build/kestrune" -a "$input" "$work/$size/palette.brplt")
        floor+=("$work/floor_alpha.bmp")
      fi
      outputs=("$work/$size/$f.bmp" "$work/$size/${f}_alpha.bmp" "$work/floor.bmp" "$work/floor_alpha.bmp")
      rm -f "${outputs[@]}"; elapsed "${tool[@]}" > /dev/null
      rm -f "${outputs[@]}"; elapsed "${floor[@]}" > /dev/null
      tool_times=() floor_times=() ratios=()
      for ((i = 0; i < runs; i++)); do
        rm -f "${outputs[@]}"; t=$(elapsed "${tool[@]}")
        rm -f "${outputs[@]}"; fl=$(elapsed "${floor[@]}")
        tool_times+=("$t") floor_times+=("$fl") ratios+=("$(awk -v t="$t" -v f="$fl" 'BEGIN {print t / f}')")
      done
      rm -f "${outputs[@]}"
      peak_kib=$(/usr/bin/time -f %M "${tool[@]}" 2>&1 > /dev/null | tail -n 1)
      printf '%-5s %-7s %-2s | %s | %s | %5.2f | %8.1f %8.1f\n' "$size" "$f" "$([ "$alpha" = yes ] && echo -a)" \
        "$(printf '%s\n' "${tool_times[@]}" | summary 0.001)" "$(printf '%s\n' "${floor_times[@]}" | summary 0.001)" \
        "$(printf '%s\n' "${ratios[@]}" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}')" \
        "$(awk -v k="$peak_kib" 'BEGIN {print k / 1024}')" "$(awk -v s="$size" 'BEGIN {print s * s * 4 / 1048576}')"
    done
    rm -f "${outputs[@]}"
  done
  rm -rf "${work:?}/$size"
done
