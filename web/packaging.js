// One zip of many files, made in a worker: the tool's BMPs and the PNGs
// its `--png` wrote, under the paths the tool wrote them at.
'use strict';

// `name`, or where a file of the zip has it already, the name with " (2)",
// " (3)" and so on before its ending.
function FreeName(name, taken) {
  const dot = name.lastIndexOf('.') > name.lastIndexOf('/') ? name.lastIndexOf('.') : name.length;
  let free = name;
  for (let n = 2; taken.has(free); ++n) {
    free = `${name.slice(0, dot)} (${n})${name.slice(dot)}`;
  }
  taken.add(free);
  return free;
}

// One zip of `files` ({name, buffer, store}) by the zip library built into
// the page: BMPs deflated, PNGs, deflated already, stored. Where two share
// a name, the later gets " (2)". Gives the zip and the names that changed.
async function ZipOf(files) {
  const entries = [], taken = new Set(), renamed = [];
  for (const file of files) {
    const free = FreeName(file.name, taken);
    if (free !== file.name) {
      renamed.push([file.name, free]);
    }
    entries.push({ name: free, bytes: new Uint8Array(file.buffer), store: file.store });
  }
  const made = await new Promise((resolve, reject) => {
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
  return { made, renamed };
}
