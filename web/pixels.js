// The pixels the page shows, as the tool's own code decodes them: {width,
// height, rgba}, R, G, B and A bytes, the top row first. Shrunk below 1x,
// each shown pixel is the average of the texels it covers, in a worker's
// thumbnail and in the page's view alike; at 1x and above, texel for
// texel. The worker and the page both read this file.
'use strict';

function Within(texel, size) {
  return Math.min(Math.max(texel, 0), size - 1);
}

// For each of `count` pixels along one side, from texel `origin` at
// `scale` pixels a texel, the first texel it covers and the one past its
// last: the texel under its middle at 1x and above, all it spans below.
function Spans(count, origin, scale, size) {
  const first = new Int32Array(count), past = new Int32Array(count);
  for (let i = 0; i < count; ++i) {
    first[i] = Within(Math.floor(origin + (scale >= 1 ? (i + 0.5) / scale : i / scale)), size);
    past[i] = scale >= 1 ? first[i] + 1 : Math.max(first[i] + 1, Math.min(size, Math.floor(origin + (i + 1) / scale)));
  }
  return { first, past };
}

// The average of the texels from column x0 to x1 and row y0 to y1 (the
// last ones left out), each channel rounded to the nearest, into `out` at
// `o`.
function Average(image, x0, x1, y0, y1, out, o) {
  let r = 0, g = 0, b = 0, a = 0;
  for (let y = y0; y < y1; ++y) {
    for (let i = 4 * (y * image.width + x0), end = i + 4 * (x1 - x0); i < end; i += 4) {
      r += image.rgba[i]; g += image.rgba[i + 1]; b += image.rgba[i + 2]; a += image.rgba[i + 3];
    }
  }
  const n = (x1 - x0) * (y1 - y0);
  out[o] = Math.round(r / n); out[o + 1] = Math.round(g / n); out[o + 2] = Math.round(b / n); out[o + 3] = Math.round(a / n);
}

// The image at most `most` texels a side: shrunk, or as it is.
function Thumbnail(image, most) {
  const scale = Math.min(1, most / image.width, most / image.height);
  const width = Math.max(1, Math.round(image.width * scale)), height = Math.max(1, Math.round(image.height * scale));
  const columns = Spans(width, 0, width / image.width, image.width), rows = Spans(height, 0, height / image.height, image.height);
  const rgba = new Uint8Array(4 * width * height);
  for (let y = 0, o = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x, o += 4) {
      Average(image, columns.first[x], columns.past[x], rows.first[y], rows.past[y], rgba, o);
    }
  }
  return { width, height, rgba };
}
