// Where the pixels of a BMP the tool wrote lie. The tool writes one layout
// only: a 54-byte header, then rows of blue, green, red bytes, each row
// padded to four bytes, the bottom row first. The page draws and reads
// texels from these bytes, so that what is shown is exactly what the tool
// wrote.
'use strict';

// {bytes, width, height, stride, offset}, or null for bytes that are not
// such a BMP (or too short for the size its header gives).
function BmpLayout(buffer) {
  const bytes = new Uint8Array(buffer);
  if (bytes.length < 54 || bytes[0] !== 0x42 || bytes[1] !== 0x4D) {
    return null;
  }
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const offset = view.getUint32(10, true), width = view.getInt32(18, true), height = view.getInt32(22, true);
  const stride = (3 * width + 3) & ~3;
  if (view.getUint16(28, true) !== 24 || width <= 0 || height <= 0 || offset + stride * height > bytes.length) {
    return null;
  }
  return { bytes, width, height, stride, offset };
}

// Where the blue byte of the texel at (x, y) lies; green and red follow.
function TexelAt(layout, x, y) {
  return layout.offset + layout.stride * (layout.height - 1 - y) + 3 * x;
}
