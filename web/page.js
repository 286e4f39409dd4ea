// The page's part of kestrune in the browser. It hands the files the user
// picks or drops to the tool's own main, compiled to WebAssembly, and shows
// and offers what the tool printed and wrote. Every rule of the formats
// stays in the tool: the page pairs textures with palettes, as a user at a
// prompt would, and draws the BMPs with the browser's own decoder.
'use strict';

// One instance of the tool for the page's life. Each run gets a folder of
// its own in the tool's in-memory file system, and the text it prints.
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
  document.getElementById('version').textContent = Run(['--version'], []).text.trim();
}

// The texture's width, height and format, as the tool's reader finds them.
function Describe(name) {
  const m = tool.module;
  const fields = m._malloc(12);
  const found = m.ccall('kestrune_header', 'number', ['string', 'number'], [name, fields]);
  const [width, height, format] = m.HEAPU32.slice(fields / 4, fields / 4 + 3);
  m._free(fields);
  if (!found) {
    return null;
  }
  return { width, height, format: m.UTF8ToString(m._kestrune_format_name(format)) || `code ${format}` };
}

// Runs `kestrune args...` beside the `inputs` ({name, bytes}); gives the
// status, the text printed, the time taken, the files written in the order
// the tool announced them, and what the first input holds.
function Run(args, inputs) {
  const { FS } = tool.module;
  const folder = `/runs/${++tool.runs}`;
  FS.mkdir(folder);
  FS.chdir(folder);
  for (const input of inputs) {
    FS.writeFile(input.name, input.bytes);
  }
  tool.printed = '';
  const start = performance.now();
  let status;
  try {
    status = tool.module.callMain(args);
  } catch (error) {
    status = -1;
    tool.printed += `The tool stopped: ${error}\n`;
  }
  const ms = performance.now() - start;
  const text = tool.printed;
  const header = inputs.length > 0 ? Describe(inputs[0].name) : null;
  const names = FS.readdir('.').filter((n) => n !== '.' && n !== '..');
  const written = names.filter((n) => !inputs.some((input) => input.name === n))
    .sort((a, b) => text.indexOf(` ${a} `) - text.indexOf(` ${b} `))
    .map((name) => ({ name, bytes: FS.readFile(name) }));
  for (const name of names) {
    FS.unlink(name);
  }
  FS.chdir('/');
  FS.rmdir(folder);
  return { status, text, ms, written, header };
}

function StemOf(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(0, dot) : name;
}

// Textures with the palette each is given: the one of the same stem, else
// the only palette there is. Among several palettes none is guessed.
function Pair(files) {
  const palettes = files.filter((f) => /\.brplt$/i.test(f.name));
  const textures = files.filter((f) => !palettes.includes(f));
  return textures.map((texture) => {
    const stem = StemOf(texture.name);
    const same = palettes.find((p) => StemOf(p.name) === stem);
    const palette = same || (palettes.length === 1 ? palettes[0] : null);
    const note = !palette && palettes.length > 1
      ? `None of the ${palettes.length} palettes given is named ${stem}.brplt, so none was given to the tool.`
      : '';
    return { texture, palette, note };
  });
}

async function PixelsOf(bytes) {
  const bitmap = await createImageBitmap(new Blob([bytes], { type: 'image/bmp' }),
    { premultiplyAlpha: 'none', colorSpaceConversion: 'none' });
  const canvas = document.createElement('canvas');
  canvas.width = bitmap.width;
  canvas.height = bitmap.height;
  const context = canvas.getContext('2d', { willReadFrequently: true });
  context.drawImage(bitmap, 0, 0);
  return context.getImageData(0, 0, bitmap.width, bitmap.height);
}

// Colour from the colour image, alpha from the grey one.
function Combine(colour, alpha) {
  const rgba = new ImageData(new Uint8ClampedArray(colour.data), colour.width, colour.height);
  for (let i = 3; i < rgba.data.length; i += 4) {
    rgba.data[i] = alpha.data[i - 3];
  }
  return rgba;
}

function Element(tag, properties, ...children) {
  const element = Object.assign(document.createElement(tag), properties);
  element.append(...children);
  return element;
}

function Zoom() {
  return Number(document.getElementById('zoom').value);
}

function Figure(caption, pixels, kind) {
  const canvas = Element('canvas', { width: pixels.width, height: pixels.height, className: kind });
  canvas.getContext('2d').putImageData(pixels, 0, 0);
  canvas.style.width = `${pixels.width * Zoom()}px`;
  return Element('figure', {}, Element('div', { className: 'view' }, canvas), Element('figcaption', {}, caption));
}

function Download(name, blob) {
  return Element('a', { href: URL.createObjectURL(blob), download: name }, `${name} (${blob.size} bytes)`);
}

// The PNG of the pixels as they are: 8-bit RGBA rows, each byte stored less
// the one a pixel before it (filter 1), deflated by the browser's own
// compressor. A canvas's encoder is not used, as it
// works on colours premultiplied by alpha: the colour of a transparent or
// faint pixel would be lost or rounded, and in some browsers garbled.
const kCrcTable = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; ++k) {
    c = c & 1 ? 0xEDB88320 ^ (c >>> 1) : c >>> 1;
  }
  return c >>> 0;
});

// A chunk: its length, type, data and the CRC-32 of type and data.
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

async function PngOf(rgba) {
  const { width, height, data } = rgba;
  const stride = 4 * width;
  const rows = new Uint8Array((stride + 1) * height); // each row after its filter byte
  for (let y = 0, at = 0; y < height; ++y) {
    rows[at++] = 1;
    for (let i = stride * y; i < stride * (y + 1); ++i) {
      rows[at++] = data[i] - (i >= stride * y + 4 ? data[i - 4] : 0);
    }
  }
  const deflated = new Blob([rows]).stream().pipeThrough(new CompressionStream('deflate'));
  const header = new Uint8Array(13);
  new DataView(header.buffer).setUint32(0, width);
  new DataView(header.buffer).setUint32(4, height);
  header.set([8, 6], 8); // 8 bits a channel, RGBA
  const signature = new Uint8Array([137, 80, 78, 71, 13, 10, 26, 10]);
  return new Blob([signature, Chunk('IHDR', header), Chunk('IDAT', new Uint8Array(await new Response(deflated).arrayBuffer())),
    Chunk('IEND', new Uint8Array(0))], { type: 'image/png' });
}

// The largest image drawn: 4096 x 4096 pixels is as much as every browser
// puts on a canvas. Larger ones can still be saved.
const kMostPixelsDrawn = 4096 * 4096;

// The files to save of a run that converted its texture, and its images.
// The alpha image comes from the tool's alpha BMP; without "-a" the tool is
// run once more with it, for the page only.
async function Show(card, job, run, inputs) {
  const saves = Element('p', { className: 'saves' }, 'Save: ');
  for (const file of run.written) {
    saves.append(Download(file.name, new Blob([file.bytes], { type: 'image/bmp' })));
  }
  card.append(saves);
  const note = (text) => card.insertBefore(Element('p', { className: 'note' }, text), saves);
  if (run.header.width * run.header.height > kMostPixelsDrawn) {
    note('This image is larger than a page can draw; save the BMPs to see it.');
    return;
  }
  try {
    const alphaBmp = run.written.length > 1
      ? run.written[1].bytes
      : Run(['-a', ...job.args.filter((a) => a !== '-a')], inputs).written[1].bytes;
    const colour = await PixelsOf(run.written[0].bytes);
    const alpha = await PixelsOf(alphaBmp);
    const rgba = Combine(colour, alpha);
    const images = Element('div', { className: 'images' }, Figure('colour', colour, 'colour'),
      Figure('alpha', alpha, 'alpha'), Figure('colour through its alpha', rgba, 'over'));
    card.insertBefore(images, saves);
    saves.append(Download(`${StemOf(job.texture.name)}.png`, await PngOf(rgba)));
  } catch (error) {
    note(`The images could not be drawn here (${error}); the BMPs can still be saved.`);
  }
}

// Says what is being converted, and lets the browser show it before the
// tool takes the page's thread.
async function Busy(text) {
  document.getElementById('busy').textContent = text;
  await new Promise((resolve) => setTimeout(resolve, 0));
}

async function Convert(job) {
  const inputs = [job.texture, ...(job.palette ? [job.palette] : [])];
  job.args = [...(document.getElementById('alpha').checked ? ['-a'] : []), ...inputs.map((f) => f.name)];
  await Busy(`Converting ${job.texture.name}…`);
  const run = Run(job.args, inputs);
  const card = Element('section', { className: run.status === 0 ? 'card' : 'card failed' });
  card.dataset.status = run.status;
  card.dataset.ms = run.ms.toFixed(1);
  card.append(Element('h2', {}, job.texture.name), Element('pre', { className: 'console' }, run.text));
  const facts = [`status ${run.status}`, `kestrune ${job.args.join(' ')}`, `${run.ms.toFixed(1)} ms`];
  if (run.header) {
    facts.unshift(`${run.header.width} x ${run.header.height}, ${run.header.format}`);
  }
  card.append(Element('p', { className: 'facts' }, facts.join(' · ')));
  if (job.note) {
    card.append(Element('p', { className: 'note' }, job.note));
  }
  document.getElementById('results').prepend(card);
  if (run.status === 0 && run.written.length > 0 && run.header && run.header.width > 0 && run.header.height > 0) {
    await Show(card, job, run, inputs);
  }
}

async function Accept(fileList) {
  const files = await Promise.all([...fileList].map(async (f) => (
    { name: f.name, bytes: new Uint8Array(await f.arrayBuffer()) })));
  const jobs = Pair(files);
  if (jobs.length === 0 && files.length > 0) {
    const note = 'Only palettes were given: add the textures they go with.';
    document.getElementById('results').prepend(Element('p', { className: 'note' }, note));
  }
  for (const job of jobs.reverse()) {
    await Convert(job);
  }
  await Busy('');
  document.body.dataset.converted = Number(document.body.dataset.converted || 0) + 1;
}

function Listen() {
  const input = document.getElementById('files');
  input.addEventListener('change', () => Accept(input.files).then(() => { input.value = ''; }));
  document.getElementById('zoom').addEventListener('change', () => {
    for (const canvas of document.querySelectorAll('#results canvas')) {
      canvas.style.width = `${canvas.width * Zoom()}px`;
    }
  });
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    document.body.classList.add('dragging');
  });
  document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    document.body.classList.remove('dragging');
    Accept(event.dataTransfer.files);
  });
}

StartTool().then(() => {
  Listen();
  document.body.dataset.ready = 'yes';
});
