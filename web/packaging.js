// What the page offers besides the tool's own BMPs, made in the worker from
// those BMPs: a PNG of the colour through its alpha, and one zip of many
// files.
'use strict';

// A PNG chunk: its length, type, data and the CRC-32 of type and data.
const kCrcTable = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; ++k) {
    c = c & 1 ? 0xEDB88320 ^ (c >>> 1) : c >>> 1;
  }
  return c >>> 0;
});

function Chunk(type, data) {
  const chunk = new Uint8Array(12 + data.length);
  const view = new DataView(chunk.buffer);
  view.setUint32(0, data.length);
  chunk.set([...type].map((letter) => letter.charCodeAt(0)), 4);
  chunk.set(data, 8);
  let crc = 0xFFFFFFFF;
  for (let i = 4; i < 8 + data.length; ++i) {
    crc = kCrcTable[(crc ^ chunk[i]) & 0xFF] ^ (crc >>> 8);
  }
  view.setUint32(8 + data.length, (crc ^ 0xFFFFFFFF) >>> 0);
  return chunk;
}

// Rows from..to of the image as a PNG stores them: each an 8-bit RGBA row,
// red, green and blue from the colour BMP and alpha from the grey one,
// after its filter byte 1: every byte less the one a pixel before it.
function FilteredRows(colour, alpha, from, to) {
  const stride = 4 * colour.width + 1;
  const rows = new Uint8Array(stride * (to - from));
  const c = colour.bytes, a = alpha.bytes;
  for (let y = from, at = 0; y < to; ++y) {
    rows[at++] = 1;
    let r0 = 0, g0 = 0, b0 = 0, a0 = 0;
    for (let x = 0, i = TexelAt(colour, 0, y), j = TexelAt(alpha, 0, y); x < colour.width; ++x, i += 3, j += 3) {
      const r = c[i + 2], g = c[i + 1], b = c[i], o = a[j];
      rows[at++] = r - r0;
      rows[at++] = g - g0;
      rows[at++] = b - b0;
      rows[at++] = o - a0;
      r0 = r; g0 = g; b0 = b; a0 = o;
    }
  }
  return rows;
}

// The PNG of the pixels as they are, made in strips of rows fed to the
// browser's own deflate, so that no whole-image copy is ever held. A
// canvas's encoder is not used: it works on colours premultiplied by
// alpha, so a transparent or faint pixel's colour would be lost or rounded.
async function PngOf(colourBuffer, alphaBuffer) {
  const colour = BmpLayout(colourBuffer), alpha = BmpLayout(alphaBuffer);
  if (!colour || !alpha || alpha.width !== colour.width || alpha.height !== colour.height) {
    throw new Error('the BMPs are not a pair of the same size');
  }
  const header = new Uint8Array(13);
  new DataView(header.buffer).setUint32(0, colour.width);
  new DataView(header.buffer).setUint32(4, colour.height);
  header.set([8, 6], 8); // 8 bits a channel, RGBA
  const parts = [new Uint8Array([137, 80, 78, 71, 13, 10, 26, 10]), Chunk('IHDR', header)];
  const deflate = new CompressionStream('deflate');
  const collected = (async () => {
    for await (const data of deflate.readable) {
      parts.push(Chunk('IDAT', data));
    }
  })();
  const writer = deflate.writable.getWriter();
  const rowsPerStrip = Math.max(1, Math.floor((4 << 20) / (4 * colour.width + 1)));
  for (let y = 0; y < colour.height; y += rowsPerStrip) {
    await writer.write(FilteredRows(colour, alpha, y, Math.min(colour.height, y + rowsPerStrip)));
  }
  await writer.close();
  await collected;
  parts.push(Chunk('IEND', new Uint8Array(0)));
  return new Blob(parts, { type: 'image/png' });
}

// One zip of the cards' `files` ({colour, alpha, names}: the BMPs the tool
// wrote, under its names, and the alpha BMP only where the tool was asked
// for it), with each one's PNG when `pngs` is set, by the zip library built
// into the page. BMPs are deflated; PNGs, deflated already, are stored.
async function ZipOf(files, pngs) {
  const entries = [];
  for (const file of files) {
    file.names.forEach((name, i) => entries.push({ name, bytes: new Uint8Array(i ? file.alpha : file.colour) }));
    if (pngs) {
      const png = await PngOf(file.colour, file.alpha);
      entries.push({ name: PngName(file.names[0]), bytes: new Uint8Array(await png.arrayBuffer()), store: true });
    }
  }
  return new Promise((resolve, reject) => {
    const parts = [];
    const zip = new fflate.Zip((error, data, final) => {
      if (error) {
        reject(error);
        return;
      }
      parts.push(data);
      if (final) {
        resolve(new Blob(parts, { type: 'application/zip' }));
      }
    });
    for (const entry of entries) {
      const file = entry.store ? new fflate.ZipPassThrough(entry.name) : new fflate.ZipDeflate(entry.name, { level: 6 });
      zip.add(file);
      file.push(entry.bytes, true);
    }
    zip.end();
  });
}
