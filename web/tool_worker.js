// The page's worker: the tool's own main, compiled to WebAssembly, run here
// so that the page's thread only draws. Its PNGs are the tool's `--png`,
// compressed by pako, which deflates as the native tools' zlib does. Files come in as the File handles
// the user gave and go out as the bytes the tool wrote, moved, not copied.
// Every rule of the formats stays in the tool; this file only feeds it.
'use strict';

const tool = { module: null, printed: '', runs: 0 };

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

// Width, height, format name and whether it needs a palette, as the tool's
// own reader finds them, or null for a file that holds no texture.
function Describe(name) {
  const m = tool.module;
  const fields = m._malloc(16);
  const found = m.ccall('kestrune_header', 'number', ['string', 'number'], [name, fields]);
  const [width, height, format, needsPalette] = m.HEAPU32.slice(fields / 4, fields / 4 + 4);
  m._free(fields);
  if (!found) {
    return null;
  }
  const formatName = m.UTF8ToString(m._kestrune_format_name(format)) || `code ${format}`;
  return { width, height, format: formatName, needsPalette: needsPalette === 1 };
}

// Runs `kestrune args...` in a folder of its own beside the `inputs`
// ({name, bytes}); gives the status, the text printed, the time taken and
// the files written, in the order the tool announced them.
function Run(args, inputs) {
  const { FS } = tool.module;
  const folder = `/runs/${++tool.runs}`;
  FS.mkdir(folder);
  FS.chdir(folder);
  for (const input of inputs) {
    FS.writeFile(input.name, input.bytes, { canOwn: true });
  }
  tool.printed = '';
  const start = performance.now();
  let status, broken = false;
  try {
    status = tool.module.callMain(args);
  } catch (error) {
    status = -1;
    broken = true;
    tool.printed += `The tool stopped: ${error}\n`;
  }
  const ms = performance.now() - start;
  const text = tool.printed;
  const names = FS.readdir('.').filter((n) => n !== '.' && n !== '..');
  const written = names.filter((n) => !inputs.some((input) => input.name === n))
    .sort((a, b) => text.indexOf(` ${a} `) - text.indexOf(` ${b} `))
    .map((name) => ({ name, buffer: FS.readFile(name).buffer }));
  for (const name of names) {
    FS.unlink(name);
  }
  FS.chdir('/');
  FS.rmdir(folder);
  return { status, text, ms, written, broken };
}

async function InputOf(file) {
  return file && { name: file.name, bytes: new Uint8Array(await file.arrayBuffer()) };
}

// Converts one texture as `kestrune [-a] texture [palette]` would. A
// texture whose format needs a palette, given none, is not run: the page
// keeps it waiting for one. Where the user did not ask for the alpha
// image, the page still needs it to show the texture through its alpha:
// the tool is run once more with "-a", after the first answer is sent,
// and its alpha BMP alone goes to the page, which offers none of it.
async function Convert(request, Answer) {
  const texture = await InputOf(request.texture), palette = await InputOf(request.palette);
  const inputs = palette ? [texture, palette] : [texture];
  const args = [...(request.alpha ? ['-a'] : []), ...inputs.map((input) => input.name)];
  tool.module.FS.writeFile('/header', texture.bytes, { canOwn: true });
  const header = Describe('/header');
  tool.module.FS.unlink('/header');
  if (header && header.needsPalette && !palette) {
    Answer({ waiting: true, header });
    return;
  }
  const run = Run(args, inputs);
  Answer({ ...run, args, header, memory: tool.module.HEAP8.length }, run.written.map((file) => file.buffer));
  if (run.status === 0 && run.written.length === 1) {
    const again = Run(['-a', ...inputs.map((input) => input.name)], inputs);
    const alpha = again.written.length === 2 ? again.written[1].buffer : null;
    postMessage({ id: request.alphaId, alpha, broken: again.broken }, alpha ? [alpha] : []);
  }
}

// The PNG of a texture, as the tool's own `--png` writes it: {name, buffer}.
async function PngOf(texture, palette) {
  const inputs = [await InputOf(texture), await InputOf(palette)].filter(Boolean);
  const run = Run(['--png', ...inputs.map((input) => input.name)], inputs);
  if (run.status !== 0 || run.written.length !== 1) {
    throw new Error(run.text.trim().split('\n').pop() || `the tool ended with status ${run.status}`);
  }
  return run.written[0];
}

async function Png(request, Answer) {
  const png = await PngOf(request.texture, request.palette);
  Answer({ made: new Blob([png.buffer], { type: 'image/png' }), name: png.name });
}

// A zip is made of the BMPs the page lends: they go back with it, made or
// not.
function Moved(files) {
  return files.flatMap((file) => [file.colour, file.alpha]).filter(Boolean);
}

async function Zip(request, Answer) {
  const made = await ZipOf(request.files, request.pngs);
  Answer({ made, files: request.files }, Moved(request.files));
}

const kHandlers = { convert: Convert, png: Png, zip: Zip };
const started = StartTool();

onmessage = async ({ data: request }) => {
  const Answer = (answer, moved = []) => postMessage({ id: request.id, ...answer }, moved);
  try {
    await started;
    if (request.kind === 'version') {
      Answer({ text: Run(['--version'], []).text.trim() });
    } else {
      await kHandlers[request.kind](request, Answer);
    }
  } catch (error) {
    const lent = request.files || [];
    Answer({ error: `${error}`, files: lent }, Moved(lent));
    if (request.alphaId) {
      postMessage({ id: request.alphaId, alpha: null }); // that no question stays open
    }
  }
};
