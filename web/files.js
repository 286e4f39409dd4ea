// What the user gives: files from the file button, a folder from the
// folder button, or files and folders dropped anywhere. Each comes as
// {file, path, walked}: the path it has below what was given, and whether
// a folder's walk found it (where only textures and palettes are taken, as
// --batch takes them) or it was given by itself (taken whatever its name).
'use strict';

// Paths in the order a depth-first walk finds them, each folder's entries
// in order of their names.
function ByWalk(a, b) {
  const [p, q] = [a.path.split('/'), b.path.split('/')];
  for (let i = 0; i < Math.min(p.length, q.length); ++i) {
    if (p[i] !== q[i]) {
      return p[i] < q[i] ? -1 : 1;
    }
  }
  return p.length - q.length;
}

function FromInput(input) {
  return [...input.files].map((file) => ({ file, path: file.webkitRelativePath || file.name, walked: Boolean(file.webkitRelativePath) }))
    .sort(ByWalk);
}

// Every entry of a directory: readEntries gives at most 100 a call, so it
// is called until it gives none.
async function EntriesOf(directory) {
  const reader = directory.createReader(), all = [];
  for (;;) {
    const some = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
    if (some.length === 0) {
      return all;
    }
    all.push(...some);
  }
}

async function Walk(entry, path, walked, out) {
  if (entry.isFile) {
    out.push({ file: await new Promise((resolve, reject) => entry.file(resolve, reject)), path, walked });
  } else if (entry.isDirectory) {
    for (const child of await EntriesOf(entry)) {
      await Walk(child, `${path}/${child.name}`, true, out);
    }
  }
}

// The entries are taken while the drop's event lasts, as the browser
// forgets them after it; they are walked after.
function FromDrop(transfer) {
  const entries = [...transfer.items].map((item) => item.webkitGetAsEntry && item.webkitGetAsEntry()).filter(Boolean);
  const loose = [...transfer.files].map((file) => ({ file, path: file.name, walked: false }));
  return async () => {
    if (entries.length === 0) {
      return loose;
    }
    const out = [];
    for (const entry of entries) {
      await Walk(entry, entry.name, false, out);
    }
    return out.sort(ByWalk);
  };
}
