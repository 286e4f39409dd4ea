#!/usr/bin/env bash
# The CMPR encoder's quality and time against libsquish and stb_dxt: the
# painted set at SIZE, and a set kept apart from the generator, made here by
# ImageMagick from its built-in images and a seeded plasma fractal.
#
#   bench/cmpr.sh [build dir] [size]     defaults: build-bench, 1024
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
size=${2:-1024}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DKESTRUNE_TESTS=OFF > /dev/null
cmake --build "$build" -j2 --target cmpr_quality > /dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-cmpr.XXXXXX")
trap 'rm -rf "$work"' EXIT
for image in logo rose wizard granite netscape; do
  convert "$image:" -resize "${size}x${size}!" "$work/$image.png"
done
convert -size "${size}x${size}" -seed 3 plasma:fractal "$work/plasma.png"
taskset -c 0 "$build/bench/cmpr_quality" "$size" "$work"/*.png
