// One zip of many files, made in the worker: the tool's BMPs, and the
// PNGs its `--png` writes.
'use strict';

// One zip of the cards' `files` ({colour, alpha, names, texture, palette}:
// the BMPs the tool wrote, under its names, the alpha BMP only where the
// tool was asked for it, and the files it converted), with each one's PNG
// when `pngs` is set, by the zip library built into the page. BMPs are
// deflated; PNGs, deflated already, are stored.
async function ZipOf(files, pngs) {
  const entries = [];
  for (const file of files) {
    file.names.forEach((name, i) => entries.push({ name, bytes: new Uint8Array(i ? file.alpha : file.colour) }));
    if (pngs) {
      const png = await PngOf(file.texture, file.palette);
      entries.push({ name: png.name, bytes: new Uint8Array(png.buffer), store: true });
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
