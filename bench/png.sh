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
#     reaches with the same pixels, and `kestrune --png --smallest`, each
#     once, timed as whole processes.
# Prints per size and in all: the PNGs' bytes and times against optipng's
# and Pillow's, and the 1024 RGBA8 textures' PNG time against their BMPs';
# then the same for a 1024 x 1024 RGBA8 texture of noise.
#
#   bench/png.sh [build dir] [runs] [largest] [seed]   defaults: build-bench, 5, 1024, 0
# Another seed paints another set alike, to hold figures tuned on one set
# to another.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-5}
largest=${3:-1024}
seed=${4:-0}
python=/usr/bin/python3 # Debian's, with python3-pil

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_STATIC=ON -DKESTRUNE_BENCH=ON -DKESTRUNE_TESTS=OFF > /dev/null
cmake --build "$build" -j2 > /dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-png.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/make_painted" set "$work" "$largest" "$seed"
"$build/make_painted" noise "$work/noise_RGBA8.brtex" "$largest"
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
for texture in [0-9]*.brtex; do
  stem=${texture%.brtex}
  palette=$stem.brplt
  png_us=$(best "$stem.png" "$tool" --png "$texture" "$palette")
  bmp_us=$(best "$stem.bmp" "$tool" -a "$texture" "$palette")
  magick_us=$(best "magick_$stem.png" convert "$stem.bmp" "${stem}_alpha.bmp" -alpha off -compose CopyOpacity -composite "magick_$stem.png")
  optipng_us=$(runs=1 best "optipng_$stem.png" optipng -quiet -o2 -out "optipng_$stem.png" "$stem.png")
  mkdir -p smallest
  smallest_us=$(runs=1 best "smallest/$stem.png" "$tool" --png --smallest -o smallest "$texture" "$palette")
  echo "$stem $png_us $bmp_us $magick_us $optipng_us $smallest_us" >> times.txt
  mkdir -p kept && mv "$stem.bmp" "${stem}_alpha.bmp" "$stem.png" "magick_$stem.png" "optipng_$stem.png" kept/
  mv "smallest/$stem.png" "kept/smallest_$stem.png"
done

echo "$(best noise_RGBA8.png "$tool" --png noise_RGBA8.brtex) $(best noise_RGBA8.bmp "$tool" -a noise_RGBA8.brtex)" > noise.txt

"$python" - "$runs" <<'EOF'
import io, os, sys, time
from PIL import Image

runs = int(sys.argv[1])
rows = {}
for line in open('times.txt'):
    stem, png_us, bmp_us, magick_us, optipng_us, smallest_us = line.split()
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
                      smallest=os.path.getsize(f'kept/smallest_{stem}.png'),
                      png_ms=int(png_us) / 1000, bmp_ms=int(bmp_us) / 1000,
                      pillow_ms=fastest * 1000, magick_ms=int(magick_us) / 1000,
                      optipng_ms=int(optipng_us) / 1000, smallest_ms=int(smallest_us) / 1000)

def table(title, chosen):
    if not chosen:
        return  # a size the run did not paint
    total = {k: sum(rows[s][k] for s in chosen) for k in next(iter(rows.values()))}
    print(f'{title:<11} {len(chosen):>3} | {total["ours"]:>9} {total["pillow"] / total["optipng"]:>6.3f} '
          f'{total["magick"] / total["optipng"]:>6.3f} {total["ours"] / total["optipng"]:>6.3f} '
          f'{total["smallest"] / total["optipng"]:>6.3f} | {total["png_ms"]:>7.0f} {total["bmp_ms"]:>6.0f} '
          f'{total["pillow_ms"]:>7.0f} {total["magick_ms"]:>7.0f} {total["optipng_ms"]:>7.0f} {total["smallest_ms"]:>7.0f} | '
          f'{total["png_ms"] / total["pillow_ms"]:>6.2f} {total["smallest_ms"] / total["optipng_ms"]:>6.2f} '
          f'{total["png_ms"] / total["bmp_ms"]:>6.2f}')

print('                | bytes: kestrune, then each over optipng -o2\'s: |             milliseconds            | '
      'kestrune\'s times over')
print('textures        |     --png Pillow Magick  --png smlest |   --png  -a BMP  Pillow  Magick optipng  smlest | '
      'Pillow optpng  BMPs')
for size in ('64', '256', '1024'):
    table(f'{size}²', [s for s in rows if s.startswith(size + '_')])
table('1024² RGBA8', [s for s in rows if s.startswith('1024_') and s.endswith('_RGBA8')])
table('all', list(rows))
noise_png, noise_bmp = (int(x) / 1000 for x in open('noise.txt').read().split())
print(f'noise RGBA8: --png {noise_png:.1f} ms, -a BMPs {noise_bmp:.1f} ms, {noise_png / noise_bmp:.2f} times')
print('times: whole runs, but Pillow\'s, its save alone in one warm process; smlest: --png --smallest; '
      'then --png over Pillow\'s save, --smallest over optipng, --png over -a (BMPs)')
EOF
