#!/usr/bin/env bash
# The PNG benchmark. Paints a set of textures with the content real ones
# have (gradients, noise, bricks, cut-out leaves, flat art; bench/make_painted)
# in five formats at 64, 256 and 1024 pixels square, and for each texture:
#   - times `kestrune --png` (the PNG with its alpha) and `kestrune -a` (the
#     two BMPs), whole processes, alternating, best of `runs`;
#   - gives the two BMPs, merged into one RGBA image, to Pillow's
#     Image.save, timed alone in one warm process, best of `runs`, and to
#     ImageMagick's `convert ... -compose CopyOpacity -composite`, timed as a
#     whole process;
#   - runs `optipng -o2` on kestrune's PNG, the near limit of what zlib
#     reaches with the same pixels.
# Prints per size and in all: the PNGs' bytes and times, each against
# kestrune's, and the 1024 RGBA8 textures' PNG time against their BMPs'.
#
#   bench/png.sh [build dir] [runs] [largest]     defaults: build-bench, 5, 1024
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-5}
largest=${3:-1024}
python=/usr/bin/python3 # Debian's, with python3-pil

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_STATIC=ON -DKESTRUNE_BENCH=ON -DKESTRUNE_TESTS=OFF > /dev/null
cmake --build "$build" -j2 > /dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-png.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/make_painted" set "$work" "$largest"
tool=$(realpath "$build/kestrune")
cd "$work"

# Microseconds the fastest of `runs` runs of "$@" takes, each starting
# with the name `$1` free.
best() {
  local output=$1 fastest=
  shift
  for ((i = 0; i < runs; i++)); do
    rm -f "$output" "${output%.*}_alpha.${output##*.}"
    local start=${EPOCHREALTIME/./}
    "$@" > /dev/null
    local took=$((${EPOCHREALTIME/./} - start))
    [ -n "$fastest" ] && [ "$fastest" -le "$took" ] || fastest=$took
  done
  echo "$fastest"
}

: > times.txt
for texture in *.brtex; do
  stem=${texture%.brtex}
  palette=$stem.brplt
  png_us=$(best "$stem.png" "$tool" --png "$texture" "$palette")
  bmp_us=$(best "$stem.bmp" "$tool" -a "$texture" "$palette")
  magick_us=$(best "magick_$stem.png" convert "$stem.bmp" "${stem}_alpha.bmp" -alpha off -compose CopyOpacity -composite "magick_$stem.png")
  optipng -quiet -o2 -out "optipng_$stem.png" "$stem.png"
  echo "$stem $png_us $bmp_us $magick_us" >> times.txt
  mkdir -p kept && mv "$stem.bmp" "${stem}_alpha.bmp" "$stem.png" "magick_$stem.png" "optipng_$stem.png" kept/
done

"$python" - "$runs" <<'EOF'
import io, os, sys, time
from PIL import Image

runs = int(sys.argv[1])
rows = {}
for line in open('times.txt'):
    stem, png_us, bmp_us, magick_us = line.split()
    colour = Image.open(f'kept/{stem}.bmp').convert('RGB')
    colour.putalpha(Image.open(f'kept/{stem}_alpha.bmp').convert('L'))
    colour.load()
    fastest, size = None, 0
    for _ in range(runs):
        out = io.BytesIO()
        start = time.perf_counter()
        colour.save(out, 'PNG')
        took = time.perf_counter() - start
        fastest, size = min(fastest or took, took), out.tell()
    rows[stem] = dict(ours=os.path.getsize(f'kept/{stem}.png'), pillow=size,
                      magick=os.path.getsize(f'kept/magick_{stem}.png'),
                      optipng=os.path.getsize(f'kept/optipng_{stem}.png'),
                      png_ms=int(png_us) / 1000, bmp_ms=int(bmp_us) / 1000,
                      pillow_ms=fastest * 1000, magick_ms=int(magick_us) / 1000)

def table(title, chosen):
    if not chosen:
        return  # a size the run did not paint
    total = {k: sum(rows[s][k] for s in chosen) for k in next(iter(rows.values()))}
    print(f'{title:<10} {len(chosen):>3} | {total["ours"]:>10} {total["pillow"] / total["ours"]:>7.3f} '
          f'{total["magick"] / total["ours"]:>7.3f} {total["ours"] / total["optipng"]:>7.3f} | '
          f'{total["png_ms"]:>9.1f} {total["bmp_ms"]:>9.1f} {total["pillow_ms"]:>9.1f} {total["magick_ms"]:>9.1f} | '
          f'{total["pillow_ms"] / total["png_ms"]:>6.2f} {total["png_ms"] / total["bmp_ms"]:>6.2f}')

print('textures       | kestrune B  Pillow  Magick ours/opt |  --png ms  -a BMP ms Pillow ms Magick ms | '
      'Pil/kes png/bmp')
for size in ('64', '256', '1024'):
    table(f'{size}²', [s for s in rows if s.startswith(size + '_')])
table('1024² RGBA8', [s for s in rows if s.startswith('1024_') and s.endswith('_RGBA8')])
table('all', list(rows))
print('bytes: kestrune\'s, then Pillow\'s and ImageMagick\'s over it, and it over optipng -o2\'s; '
      'times: whole runs but Pillow\'s, its save alone; then Pillow\'s save over kestrune\'s --png run, '
      'and that over the BMP run')
EOF
