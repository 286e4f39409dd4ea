// The page's worker: the tool's own main, compiled to WebAssembly, run here
// so that the page's thread only draws; the page starts two where the
// machine has the processors for them. Files come in as the File handles
// the user gave, at the paths they had in the folders given, and the tool
// runs on those paths, so its text names them as a console run from the top
// of those folders would. Its outputs go out as the bytes it wrote, moved,
// not copied, when the page asks for them. Every rule stays in the tool:
// which palette a texture takes, what a name is and what the pixels are
// are asked of its own code, and its PNGs are its `--png`, compressed by
// the libdeflate compiled in with it.
'use strict';

const tool = { module: null, printed: '', runs: 0 };

// The bytes of the library's kestrune_facts in the module (32-bit), and
// how much of a file is read first for them.
const kFactsSize = 48;
const kHeaderPart = 64 * 1024;

function BytesOfBase64(text) {
  const raw = atob(text);
  const bytes = new Uint8Array(raw.length);
  for (let i = 0; i < raw.length; ++i) {
    bytes[i] = raw.charCodeAt(i);
  }
  return bytes;
}

async function StartTool() {
  tool.module = await createKestrune({
    wasmBinary: BytesOfBase64(KESTRUNE_WASM),
    print: (line) => { tool.printed += line + '\n'; },
    printErr: (line) => { tool.printed += line + '\n'; },
  });
  tool.module.FS.mkdir('/runs');
}

// Calls `Use` with the bytes given (a Uint8Array), or with the names given
// (strings, as a table of pointers to them), copied into the module's
// memory for the call; frees them after it.
function WithBytes(bytes, Use) {
  const m = tool.module, at = m._malloc(Math.max(1, bytes.length));
  m.HEAPU8.set(bytes, at);
  try {
    return Use(at, bytes.length);
  } finally {
    m._free(at);
  }
}

function WithNames(names, Use) {
  const m = tool.module, encoder = new TextEncoder();
  const at = names.map((name) => {
    const bytes = encoder.encode(`${name}\0`), where = m._malloc(bytes.length);
    m.HEAPU8.set(bytes, where);
    return where;
  });
  const table = m._malloc(4 * Math.max(1, names.length));
  m.HEAPU32.set(at, table / 4);
  try {
    return Use(table, names.length);
  } finally {
    at.forEach((where) => m._free(where));
    m._free(table);
  }
}

// The texture's facts as the library reads them from its bytes: width,
// height, format name and whether it needs a palette, or null for bytes
// that hold no texture.
function Describe(bytes) {
  const m = tool.module, facts = m._malloc(kFactsSize);
  // The header from the file's first bytes, so that a large texture is not
  // copied for it; from the whole file where they do not hold all of it.
  const Read = (part) => WithBytes(part, (at, size) => m._kestrune_read_facts(at, size, facts));
  let result = Read(bytes.subarray(0, kHeaderPart));
  if (bytes.length > kHeaderPart && (result !== 0 || m.HEAPU32[facts / 4 + 5] !== 0)) {
    result = Read(bytes);
  }
  const [, width, height, format, needsPalette] = m.HEAPU32.slice(facts / 4, facts / 4 + 5);
  m._free(facts);
  if (result !== 0) {
    return null;
  }
  const formatName = m.UTF8ToString(m._kestrune_format_name(format)) || `code ${format}`;
  return { width, height, format: formatName, needsPalette: needsPalette === 1 };
}

function BaseName(path) {
  return path.slice(path.lastIndexOf('/') + 1);
}

// The palette `path` takes among `beside` ({path, bytes}), by the
// library's rule, or null.
function PaletteBeside(path, beside) {
  const index = WithNames([BaseName(path)], (texture) => WithNames(beside.map((p) => BaseName(p.path)),
    (names, count) => tool.module._kestrune_palette_beside(tool.module.HEAPU32[texture / 4], names, count)));
  return index >= 0 ? beside[index] : null;
}

function Remove(FS, path) {
  for (const name of FS.readdir(path).filter((n) => n !== '.' && n !== '..')) {
    const child = `${path}/${name}`;
    if (FS.isDir(FS.stat(child).mode)) {
      Remove(FS, child);
    } else {
      FS.unlink(child);
    }
  }
  FS.rmdir(path);
}

// Places an input ({path, bytes}) in the run's folder. The file system
// takes the bytes as they are, uncopied: the tool only reads its inputs,
// and writes every output as a new file.
function Place(input) {
  const { FS } = tool.module;
  FS.mkdirTree(`${FS.cwd()}/${input.path.slice(0, Math.max(0, input.path.lastIndexOf('/')))}`); // from the root
  FS.writeFile(input.path, input.bytes, { canOwn: true });
}

// Runs `kestrune args...` in a folder of its own holding the `inputs`
// ({path, bytes}) at their paths, and `After` there once it ran; gives the
// status, the text printed, the time taken and the names of the files
// written, in the order the tool announced them. `args` may be a function,
// asked once the inputs are placed, which may place more and gives the
// arguments, or null not to run the tool.
function Run(args, inputs, After = () => {}) {
  const { FS } = tool.module;
  const folder = `/runs/${++tool.runs}`;
  FS.mkdir(folder);
  FS.chdir(folder);
  inputs.forEach(Place);
  const line = typeof args === 'function' ? args() : args;
  tool.printed = '';
  const start = performance.now();
  let status = 0, broken = false;
  try {
    status = line ? tool.module.callMain(line) : 0;
  } catch (error) {
    status = -1;
    broken = true;
    tool.printed += `The tool stopped: ${error}\n`;
  }
  const ms = performance.now() - start;
  const text = tool.printed;
  const written = [...text.matchAll(/^File (.*) written$/gm)].map(([, name]) => name);
  if (!broken && line) {
    After(status, written);
  }
  FS.chdir('/');
  Remove(FS, folder);
  return { status, text, ms, written, broken, args: line };
}

// A file given as {path, bytes}, which the worker keeps: read, not moved.
function InputOf(given) {
  return given && { path: given.path, bytes: new Uint8Array(given.bytes) };
}

// A texture and the palette it was given (by number), as the tool's inputs.
function InputsOf(texture, palette) {
  return [InputOf(texture), InputOf(Palette(palette))].filter(Boolean);
}

// The pixels of a texture (bytes, with a palette's bytes or null), as the
// library decodes them, given to `Use` where they lie; gives what it gives,
// or null where they cannot be decoded.
function Pixels(texture, palette, Use) {
  const m = tool.module;
  return WithBytes(texture, (t, tsize) => {
    const facts = m._malloc(kFactsSize), slot = m._malloc(4);
    const found = m._kestrune_read_facts(t, tsize, facts) === 0 && m._kestrune_rgba_size(facts, slot) === 0;
    const [, width, height] = m.HEAPU32.slice(facts / 4, facts / 4 + 3), size = m.HEAPU32[slot / 4];
    m._free(facts);
    m._free(slot);
    const rgba = found ? m._malloc(Math.max(1, size)) : 0;
    const decoded = rgba !== 0 && WithBytes(palette || new Uint8Array(0),
      (p, psize) => m._kestrune_decode_rgba(t, tsize, palette ? p : 0, psize, rgba, size, 4 * width)) === 0;
    const used = decoded ? Use({ width, height, rgba: m.HEAPU8.subarray(rgba, rgba + size) }) : null;
    m._free(rgba);
    return used;
  });
}

// The palette a texture takes: by the tool's rule among those `beside` it,
// else the `lone` one given with it; none for a format that needs none.
function PaletteOf(request, header) {
  return header && header.needsPalette
    ? PaletteBeside(request.texture.path, request.beside.map(Palette).filter(Boolean)) || Palette(request.lone) : null;
}

// Converts one texture as `kestrune [-a] -- texture [palette]` would. A
// texture whose format needs a palette and has none is not run: the page
// keeps it waiting. The answer holds what the tool printed and the names
// it wrote, and a thumbnail of the pixels its outputs hold, decoded again
// by its own code in the same folder; the files themselves are not kept,
// and are made again, as the tool made them, when the page asks for them.
// A small texture's PNG is made now, which costs little, and kept for the
// zip and the card.
function Convert(request, Answer) {
  const texture = InputOf(request.texture);
  let header = null, palette = null, thumbnail = null, paletteId;
  const run = Run(() => {
    header = Describe(texture.bytes);
    const given = PaletteOf(request, header);
    if (header && header.needsPalette && !given) {
      return null;
    }
    palette = InputOf(given);
    paletteId = given ? given.id : undefined;
    if (palette) {
      Place(palette);
    }
    return [...(request.alpha ? ['-a'] : []), '--', ...[texture, palette].filter(Boolean).map((input) => input.path)];
  }, [texture], (status) => {
    thumbnail = status === 0 ? Pixels(texture.bytes, palette && palette.bytes, (image) => Thumbnail(image, request.thumbnail)) : null;
  });
  if (!run.args) {
    Answer({ waiting: true, header });
    return;
  }
  if (run.status === 0 && header && header.width * header.height <= kPngKeptPixels) {
    try {
      madePngs.set(request.texture.key, { palette: paletteId, png: PngOf(request.texture, paletteId) });
    } catch (error) {
      // made again when asked for, and its failure said then
    }
  }
  Answer({ status: run.status, text: run.text, ms: run.ms, broken: run.broken, names: run.written, args: run.args, header,
    palette: palette && palette.path, thumbnail, memory: tool.module.HEAP8.length }, thumbnail ? [thumbnail.rgba.buffer] : []);
}

// What the open card shows: the texture's pixels, as the library decodes
// them. Its files are made when they are asked for.
function Open(request, Answer) {
  const inputs = InputsOf(request.texture, request.palette);
  const image = Pixels(inputs[0].bytes, inputs[1] && inputs[1].bytes, (pixels) => ({ ...pixels, rgba: pixels.rgba.slice() }));
  Answer({ image }, image ? [image.rgba.buffer] : []);
}

function Read(names) {
  return names.map((name) => ({ name, buffer: tool.module.FS.readFile(name).buffer }));
}

// The PNG of a texture, as the tool's own `--png` writes it: {name, buffer}.
function PngOf(texture, palette) {
  const inputs = InputsOf(texture, palette);
  let png = null;
  const run = Run(['--png', '--', ...inputs.map((input) => input.path)], inputs, (status, written) => {
    png = status === 0 && written.length === 1 ? Read(written)[0] : null;
  });
  if (!png) {
    throw new Error(run.text.trim().split('\n').pop() || `the tool ended with status ${run.status}`);
  }
  return png;
}

// The PNGs made as small textures converted, by texture: {palette, png}.
const madePngs = new Map();
const kPngKeptPixels = 512 * 512;

// For the zip, its bytes; for a save, a blob, made here; made now unless
// it was as the texture converted with the same palette.
function Png(request, Answer) {
  const made = madePngs.get(request.texture.key);
  const png = made && made.palette === request.palette ? { name: made.png.name, buffer: made.png.buffer.slice(0) }
    : PngOf(request.texture, request.palette);
  if (request.blob) {
    Answer({ name: png.name, blob: new Blob([png.buffer], { type: 'image/png' }) });
  } else {
    Answer({ name: png.name, buffer: png.buffer }, [png.buffer]);
  }
}

// The BMPs of a texture, as the tool writes them: [{name, buffer}]; for a
// save, the one named, as a blob made here.
function Bmps(request, Answer) {
  const inputs = InputsOf(request.texture, request.palette);
  let files = [];
  Run(request.args, inputs, (status, written) => { files = Read(written); });
  const wanted = files.find((file) => file.name === request.name);
  if (request.name) {
    Answer(wanted ? { name: wanted.name, blob: new Blob([wanted.buffer]) } : { error: 'the tool did not write it again' });
  } else {
    Answer({ files }, files.map((file) => file.buffer));
  }
}

// A zip of the files the page gives ({name, buffer, store}), which the
// workers made.
async function Zip(request, Answer) {
  Answer(await ZipOf(request.files));
}

// What each of the paths given is, by the tool's rule: 1 a texture, 2 a
// palette, 0 neither.
function Classify(request, Answer) {
  Answer({ kinds: request.paths.map((path) => tool.module.ccall('kestrune_kind_of_name', 'number', ['string'], [BaseName(path)])) });
}

// The names a texture's outputs take, by the tool's rule.
function Stem(request, Answer) {
  const m = tool.module;
  // The stem is the name's first bytes: the library gives how many.
  Answer({ stem: WithNames([request.path], (table) => {
    const name = m.HEAPU32[table / 4];
    return m.UTF8ToString(name, m._kestrune_output_stem(name, 0, 0));
  }) });
}

const kHandlers = { convert: Convert, open: Open, png: Png, bmps: Bmps, zip: Zip, classify: Classify, stem: Stem };

// The palettes the page gave, by number: each read once, as it is given,
// for all the textures that may take it.
const palettes = new Map();

function Palette(id) {
  const palette = palettes.get(id);
  return palette ? { id, path: palette.path, bytes: palette.bytes } : null;
}

// Requests are answered one after another, in the order they came; their
// files are read meanwhile.
let queue = StartTool();

// The textures the page gave this worker, by number, kept until it says
// they are forgotten.
const textures = new Map();

onmessage = ({ data: request }) => {
  if (request.kind === 'forget') {
    textures.delete(request.key);
    madePngs.delete(request.key);
    return;
  }
  if (request.texture && request.texture.bytes) {
    textures.set(request.texture.key, request.texture.bytes);
  }
  if (request.texture) {
    request.texture.bytes = textures.get(request.texture.key);
  }
  if (request.kind === 'palettes') {
    for (const { id, path, file } of request.palettes) {
      const palette = { path, read: file.arrayBuffer() };
      palette.read = palette.read.then((buffer) => { palette.bytes = buffer; });
      palettes.set(id, palette);
    }
    return;
  }
  const Answer = (answer, moved = []) => postMessage({ id: request.id, ...answer }, moved);
  const reads = [request.palette, request.lone, ...(request.beside || [])].map((id) => palettes.get(id)?.read);
  queue = queue.then(() => Promise.all(reads)).then(() => {
    if (request.kind === 'version') {
      Answer({ text: Run(['--version'], []).text.trim() });
    } else {
      return kHandlers[request.kind](request, Answer);
    }
  }).catch((error) => Answer({ error: `${error}` }));
};
