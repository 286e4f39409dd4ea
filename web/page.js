// The page: its controls, a tile per texture, the open texture's card, and
// the talk with the workers that run the tool. The page's thread never
// converts or encodes: it sends the files the user gives, shows the text
// the tool printed and the thumbnails the workers made, draws the part in
// view of the open texture's pixels, and offers the tool's files as it
// writes them. A texture keeps only its thumbnail on the page: its pixels
// and files come when it is opened, and go when it is closed.
'use strict';

const page = { workers: [], url: null, asked: new Map(), next: 0, open: null, zipping: false, textures: 0 };

// A worker's WebAssembly memory only grows: after a large texture it would
// hold that texture's size for the page's life. So a worker that grew past
// this is replaced, once nothing is asked of it.
const kHeapKept = 64 * 1024 * 1024;

// Two workers convert twice as fast on two processors; more would only
// hold more memory.
const kWorkers = Math.max(1, Math.min(2, navigator.hardwareConcurrency || 1));

function Element(tag, properties, ...children) {
  const element = Object.assign(document.createElement(tag), properties);
  element.append(...children);
  return element;
}

function StartWorker(slot = { busy: 0, heap: 0, asked: new Set(), generation: 0 }) {
  ++slot.generation; // what it kept is gone with the one it replaces
  page.url = page.url || URL.createObjectURL(new Blob([document.getElementById('worker').textContent],
    { type: 'text/javascript' }));
  slot.worker = new Worker(page.url);
  slot.worker.onmessage = ({ data }) => Settle(data.id, data);
  slot.worker.onerror = (event) => {
    event.preventDefault();
    RestartWorker(slot, `the tool's worker stopped (${event.message || 'out of memory?'})`);
  };
  return slot;
}

function Settle(id, answer) {
  const asked = page.asked.get(id);
  if (asked) {
    page.asked.delete(id);
    asked.slot.asked.delete(id);
    --asked.slot.busy;
    asked.resolve(answer);
  }
}

// After the tool stopped or its worker died, every question still open of
// it is answered with the failure, and a fresh worker takes the next.
function RestartWorker(slot, why) {
  slot.worker.terminate();
  for (const id of [...slot.asked]) {
    Settle(id, { error: why });
  }
  slot.heap = 0;
  StartWorker(slot);
  GivePalettes(batch.palettes, [slot]);
}

// Palettes go to the workers once, by number; requests name them by it.
function GivePalettes(palettes, slots = page.workers) {
  if (palettes.length > 0) {
    slots.forEach((slot) => slot.worker.postMessage({ kind: 'palettes', palettes: palettes.map(({ id, path, file }) => ({ id, path, file })) }));
  }
}

function Refresh(always = false) {
  for (const slot of page.workers) {
    if ((always || slot.heap > kHeapKept) && slot.busy === 0 && !batch.draining) {
      RestartWorker(slot, '');
    }
  }
}

// Sends a request to a worker, the least busy unless one is named;
// `moved` are the buffers handed over.
function Ask(request, moved = [], slot = page.workers.reduce((a, b) => (b.busy < a.busy ? b : a))) {
  const id = ++page.next;
  const answer = new Promise((resolve) => page.asked.set(id, { slot, resolve }));
  ++slot.busy;
  slot.asked.add(id);
  slot.worker.postMessage({ ...request, id }, moved);
  return answer.then((reply) => {
    if (reply.broken) {
      RestartWorker(slot, 'the tool stopped');
    }
    slot.heap = Math.max(slot.heap, reply.memory || 0);
    return reply;
  });
}

function Size(bytes) {
  if (bytes < 1024) {
    return `${bytes} bytes`;
  }
  return bytes < 1024 * 1024 ? `${(bytes / 1024).toFixed(1)} KB` : `${(bytes / 1024 / 1024).toFixed(1)} MB`;
}

// A link to save `name`: its file is made by `Make()`, which gives a blob
// or a promise of one (null where it cannot be made), when the link is
// first focused or clicked (or at once, `now`), and saved once made if a
// click asked for it; nothing is made for a file never saved.
function SaveLink(job, name, Make, now = false) {
  const size = Element('small', {}, '');
  const link = Element('a', { href: '#', download: name, className: 'save' }, PathElement(name), size);
  let making = null, clicked = false;
  const Start = () => {
    const started = performance.now();
    making = making || Promise.resolve(Make()).then((blob) => {
      if (!blob) {
        making = null;
        link.after(Element('span', { className: 'note' }, ` ${name} could not be made again.`));
        return;
      }
      link.href = URL.createObjectURL(blob);
      job.urls.push(link.href);
      size.textContent = ` ${Size(blob.size)}`;
      link.dataset.ms = (performance.now() - started).toFixed(1);
      link.dataset.made = 'yes';
      if (clicked) {
        link.click();
      }
    });
  };
  link.addEventListener('click', (event) => {
    if (!link.dataset.made) {
      event.preventDefault();
      clicked = true;
      Start();
    }
  });
  link.addEventListener('focus', Start);
  if (now) {
    Start();
  }
  return link;
}

// A path that breaks only after a "/", each part of it cut with an
// ellipsis where even alone it is too wide.
function PathElement(path) {
  return Element('span', { className: 'path', title: path },
    ...path.split(/(?<=\/)/).map((part) => Element('span', {}, part)));
}

function NewTiles(jobs) {
  const tiles = jobs.map((job) => {
    const slash = job.texture.path.lastIndexOf('/');
    const tile = Element('div', { className: 'tile', tabIndex: 0 }, Element('div', { className: 'image' }),
      Element('span', { className: 'name' }, PathElement(job.texture.path.slice(slash + 1))),
      Element('span', { className: 'folder' }, PathElement(slash < 0 ? '' : job.texture.path.slice(0, slash))),
      Element('span', { className: 'facts' }), Element('span', { className: 'state' }));
    tile.setAttribute('role', 'button');
    tile.dataset.path = job.texture.path;
    tile.dataset.given = performance.now().toFixed(1);
    tile.addEventListener('click', () => Open(job));
    tile.addEventListener('keydown', (event) => (event.key === 'Enter' || event.key === ' ') && (event.preventDefault(), Open(job)));
    Object.assign(job, { tile, urls: [], key: ++page.textures });
    tile.job = job;
    return tile;
  });
  const all = document.createDocumentFragment();
  all.append(...tiles);
  document.getElementById('results').append(all);
}

// Frees all a texture holds and takes it from the page.
function Forget(job) {
  Drop(job);
  job.slot?.worker.postMessage({ kind: 'forget', key: job.key });
  job.urls.forEach((url) => URL.revokeObjectURL(url));
  Object.assign(job, { urls: [], forgotten: true });
  job.tile.remove();
  if (page.open === job) {
    Close();
  }
  Count();
}

// A texture as its worker takes it. Each texture goes to one worker, which
// keeps its bytes: they are read here, where the browser reads them without
// blocking, and moved there, once, or again where that worker was
// replaced; later requests name the texture by its number. Sending a file
// as the user gave it costs the browser a few milliseconds, and a copy of
// a large one costs the page's thread far more.
async function Given(job) {
  job.slot = job.slot || page.workers.reduce((a, b) => (b.busy < a.busy ? b : a));
  const texture = { key: job.key, path: job.texture.path };
  if (job.sent !== job.slot.generation) {
    job.sent = job.slot.generation;
    texture.bytes = await job.texture.file.arrayBuffer();
  }
  return texture;
}

// Asks the worker that keeps the job's texture.
async function AskFor(job, request) {
  const texture = await Given(job);
  return Ask({ ...request, texture }, texture.bytes ? [texture.bytes] : [], job.slot);
}

async function ConvertOne(job) {
  SetState(job.tile, 'converting', 'converting…');
  const answer = await AskFor(job, { kind: 'convert', beside: job.beside.map((p) => p.id), lone: job.lone?.id,
    alpha: job.alpha, thumbnail: kThumbnail });
  Object.assign(job, { answer });
  if (job.forgotten) {
    return;
  }
  job.header = answer.header;
  if (answer.header) {
    job.tile.querySelector('.facts').textContent = `${answer.header.width} x ${answer.header.height}, ${answer.header.format}`;
  }
  if (answer.error) {
    SetState(job.tile, 'failed', 'failed');
  } else if (answer.waiting) {
    SetState(job.tile, 'waiting', 'waiting for its palette');
    batch.waiting.push(job);
  } else {
    job.tile.dataset.status = answer.status;
    job.tile.dataset.ms = answer.ms.toFixed(1);
    job.palette = [...job.beside, job.lone].find((p) => p && p.path === answer.palette) || null;
    if (answer.status === 0 && answer.thumbnail) {
      const canvas = Element('canvas');
      job.tile.querySelector('.image').replaceChildren(canvas);
      job.thumbnail = answer.thumbnail;
      DrawThumbnail(canvas, answer.thumbnail);
    }
    SetState(job.tile, answer.status === 0 ? 'converted' : 'failed', answer.status === 0 ? 'converted' : `failed, status ${answer.status}`);
    job.tile.dataset.shown = performance.now().toFixed(1);
  }
  if (page.open === job) {
    Open(job);
  }
}

// What the open card says of how its texture was converted, or why not.
function Facts(job) {
  const { answer, header } = job, facts = [];
  if (header) {
    facts.push(`${header.width} x ${header.height}, ${header.format}`);
  }
  if (answer && answer.args) {
    facts.push(`status ${answer.status}`, `kestrune ${answer.args.join(' ')}`, `${answer.ms.toFixed(1)} ms`);
  }
  const line = Element('p', { className: 'facts' });
  facts.forEach((fact, i) => line.append(...(i > 0 ? [' · '] : []), Element('span', {}, fact)));
  return line;
}

// A waiting texture's card offers the palettes given so far.
function Chooser(job) {
  const select = Element('select', {}, Element('option', { value: '' }, 'choose one…'),
    ...batch.palettes.map((palette, i) => Element('option', { value: `${i}` }, palette.path)));
  select.addEventListener('change', () => {
    if (select.value !== '') {
      Choose(job, batch.palettes[Number(select.value)]);
      Drain(ConvertOne, page.workers.length).then(() => Refresh());
    }
  });
  return Element('p', { className: 'note' }, `Its format needs a palette, and none of its own name was given. `,
    ...(batch.palettes.length > 0 ? [Element('label', {}, 'Give it ', select)] : ['Give one, or choose it here once given.']));
}

// The open texture's card: what the tool said, its view, its saves.
function Open(job) {
  const detail = document.getElementById('detail');
  page.open = job;
  const close = Element('button', { type: 'button', className: 'close' }, 'Close');
  const remove = Element('button', { type: 'button', className: 'remove' }, 'Remove');
  close.addEventListener('click', Close);
  remove.addEventListener('click', () => Forget(job));
  const heading = Element('h2', { tabIndex: -1 }, PathElement(job.texture.path));
  const card = Element('section', { className: 'card' },
    Element('header', {}, heading, Element('span', { className: 'state' }, job.tile.querySelector('.state').textContent), remove, close),
    Facts(job));
  card.dataset.state = job.tile.dataset.state;
  if (job.tile.dataset.state === 'waiting') {
    card.append(Chooser(job));
  }
  if (job.answer && job.answer.error) {
    card.append(Element('p', { className: 'note' }, `The page could not convert this file: ${job.answer.error}.`));
  }
  if (job.answer && job.answer.text) {
    card.append(Element('pre', { className: 'console' }, job.answer.text));
  }
  if (job.tile.dataset.state === 'converted') {
    Show(card, job);
  }
  detail.replaceChildren(card);
  detail.hidden = false;
  heading.focus();
}

function Close() {
  const detail = document.getElementById('detail');
  detail.hidden = true;
  detail.querySelectorAll('a.save').forEach((link) => link.href.startsWith('blob:') && URL.revokeObjectURL(link.href));
  detail.replaceChildren();
  if (page.open && !page.open.forgotten) {
    page.open.tile.focus();
  }
  page.open = null;
}

// The image and the files of a converted texture: the view draws its
// pixels; the saves offer the files the tool wrote, which it makes again,
// as it made them, when one is asked for; both go when the card closes.
async function Show(card, job) {
  const opened = performance.now();
  const place = Element('div', { className: 'place' }, Element('p', { className: 'note' }, 'Its image comes…'));
  const zoom = Element('select', { className: 'zoom' }, Element('option', { value: 'fit' }, 'fit'),
    ...kZooms.map((z) => Element('option', { value: `${z}` }, z < 1 ? `1/${1 / z}x` : `${z}x`)));
  const saves = Element('p', { className: 'saves' });
  // The saves come before the view, which may reach below the window.
  card.append(saves, Element('p', { className: 'controls-of-view' }, Element('label', {}, 'Zoom ', zoom),
    ' · wheel or pinch to zoom, drag to move, arrows to step'), place);
  const { image, error } = await AskFor(job, { kind: 'open', palette: job.palette?.id });
  if (page.open !== job || !card.isConnected) {
    return;
  }
  if (error || !image) {
    place.replaceChildren(Element('p', { className: 'note' }, `The image could not be shown here: ${error || 'the tool gave none'}.`));
    return;
  }
  // The PNG first, made when asked for (kept where it was made already),
  // then the tool's BMPs, made again as it made them.
  saves.append(SaveLink(job, job.answer.names[0].replace(/\.bmp$/, '.png'), async () => {
    const answer = await AskFor(job, { kind: 'png', palette: job.palette?.id, blob: true });
    return answer.blob || null;
  }));
  job.answer.names.forEach((name) => saves.append(SaveLink(job, name, async () => {
    const answer = await AskFor(job, { kind: 'bmps', palette: job.palette?.id, args: job.answer.args, name });
    return answer.blob || null;
  })));
  place.replaceChildren();
  const view = NewView(place, image);
  card.view = view;
  zoom.addEventListener('change', () => {
    view.zoom = zoom.value === 'fit' ? 'fit' : Number(zoom.value);
    Draw(view);
  });
  view.onzoom = () => { zoom.value = `${view.zoom}`; };
  // What stands above the view may grow once it is drawn (a save's size
  // shown, a note): the fit follows, so that the image stays in sight.
  const above = new ResizeObserver(() => view.zoom === 'fit' && card.isConnected && Redraw(view));
  [...card.children].filter((child) => child !== place).forEach((child) => above.observe(child));
  Draw(view);
  card.dataset.shown = (performance.now() - opened).toFixed(1);
}

// Runs `Each` on every job, on the worker that keeps its texture, a few
// at a time on each, so that none waits for the page between them.
async function OverWorkers(jobs, Each) {
  await Promise.all(page.workers.map(async (slot) => {
    const mine = jobs.filter((job) => job.slot === slot);
    let next = 0;
    await Promise.all([0, 1, 2].map(async () => {
      while (next < mine.length) {
        await Each(mine[next++]);
      }
    }));
  }));
}

// Where a file of the tool's goes in the zip: below the folder given, as
// "kestrune --batch -o OUT" writes it below OUT ("textures/chr/a.png" as
// "chr/a.png"); a file given alone by its name.
function ZipPath(job, name) {
  return job.texture.path.includes('/') ? name.slice(name.indexOf('/') + 1) : name;
}

// One zip of every converted texture's PNG, BMPs or both, as chosen, under
// the paths a batch into a folder writes them at: the files are made over
// all workers, counted as they come, then zipped by one, and the zip is
// saved at once; its link stays for another save.
async function MakeZip(button) {
  const jobs = Jobs().filter((job) => job.tile.dataset.state === 'converted');
  if (jobs.length === 0 || page.zipping) {
    return;
  }
  const holds = document.getElementById('zip-kind').value, start = performance.now();
  page.zipping = button.disabled = true;
  let done = 0;
  Say(`Zipping 0 of ${jobs.length}`);
  const made = new Map(), failed = [];
  await OverWorkers(jobs, async (job) => {
    const files = [];
    if (holds !== 'png') {
      const answer = await AskFor(job, { kind: 'bmps', palette: job.palette?.id, args: job.answer.args });
      files.push(...(answer.files || []).map((file) => ({ ...file, name: ZipPath(job, file.name), store: false })));
    }
    if (holds !== 'bmp') {
      const answer = await AskFor(job, { kind: 'png', palette: job.palette?.id });
      if (answer.error) {
        failed.push(job.texture.path);
      } else {
        files.push({ name: ZipPath(job, answer.name), buffer: answer.buffer, store: true });
      }
    }
    made.set(job, files);
    Say(`Zipping ${++done} of ${jobs.length}`);
  });
  const files = jobs.flatMap((job) => made.get(job));
  const answer = await Ask({ kind: 'zip', files }, files.map((file) => file.buffer), page.workers[0]);
  page.zipping = false;
  CountNow();
  Say('');
  const old = document.getElementById('zip');
  if (old && old.href) {
    URL.revokeObjectURL(old.href);
  }
  const link = answer.error
    ? Element('span', { className: 'note' }, `The zip could not be made: ${answer.error}`)
    : Element('a', { href: URL.createObjectURL(answer.made), download: 'kestrune.zip' }, 'kestrune.zip',
      Element('small', {}, ` ${Size(answer.made.size)}, ${Plural(jobs.length - failed.length, 'texture')}`));
  link.id = 'zip';
  link.dataset.ms = (performance.now() - start).toFixed(1);
  (old || button.parentElement).after(link);
  old?.remove();
  const notes = [...(answer.renamed || []).map(([from, to]) => `${from} was given twice: the later is ${to}`),
    ...failed.map((path) => `${path}: its PNG could not be made`)];
  document.getElementById('zip-notes')?.remove();
  if (notes.length > 0) {
    link.after(Element('span', { className: 'note', id: 'zip-notes' }, ` ${notes.join('; ')}.`));
  }
  if (!answer.error) {
    link.click();
  }
}

// Shows only the tiles whose path holds the filter's text (in any case)
// and whose state is the one chosen, and says how many that is.
function Narrow() {
  const text = document.getElementById('filter').value.toLowerCase(), state = document.getElementById('filter-state').value;
  const tiles = document.querySelectorAll('#results .tile');
  let shown = 0;
  for (const tile of tiles) {
    const hidden = (text !== '' && !tile.dataset.path.toLowerCase().includes(text)) || (state !== '' && tile.dataset.state !== state);
    if (tile.hidden !== hidden) {
      tile.hidden = hidden;
    }
    shown += hidden ? 0 : 1;
  }
  document.getElementById('shown').textContent = tiles.length === 0 ? '' : `${shown} of ${Plural(tiles.length, 'texture')} shown`;
}

// A control with nothing to act on is disabled.
function EnableControls(converted) {
  const any = document.querySelector('#results .tile') !== null;
  document.getElementById('make-zip').disabled = converted === 0 || page.zipping;
  document.getElementById('zip-kind').disabled = converted === 0;
  document.getElementById('clear').disabled = !any;
  document.getElementById('filter').disabled = document.getElementById('filter-state').disabled = !any;
}

function Jobs() {
  return [...document.querySelectorAll('#results .tile')].map((tile) => tile.job);
}

async function Take(given) {
  if (given.length === 0) {
    return;
  }
  const { kinds } = await Ask({ kind: 'classify', paths: given.map((file) => file.path) });
  Accept(given, kinds, NewTiles, GivePalettes);
  Count();
  await Drain(ConvertOne, page.workers.length);
  Refresh();
}

// The whole page takes a drop: a veil over it says so while files are
// over it, and it alone takes the drag's events, so that it does not
// flicker. No drop opens the file in place of the page.
function ListenForDrops() {
  const veil = document.getElementById('veil');
  window.addEventListener('dragenter', (event) => {
    if ([...event.dataTransfer.types].includes('Files')) {
      veil.hidden = false;
    }
  });
  window.addEventListener('dragover', (event) => event.preventDefault());
  veil.addEventListener('dragleave', () => { veil.hidden = true; });
  window.addEventListener('drop', (event) => {
    event.preventDefault();
    veil.hidden = true;
    FromDrop(event.dataTransfer)().then(Take);
  });
}

function Listen() {
  for (const id of ['files', 'folder']) {
    const input = document.getElementById(id);
    input.addEventListener('change', () => {
      Take(FromInput(input));
      input.value = '';
    });
  }
  for (const id of ['show', 'backdrop']) {
    document.getElementById(id).addEventListener('change', () => {
      Jobs().filter((job) => job.thumbnail).forEach((job) => DrawThumbnail(job.tile.querySelector('canvas'), job.thumbnail));
      const view = document.querySelector('#detail .card')?.view;
      if (view) {
        Draw(view);
      }
    });
  }
  window.addEventListener('resize', () => {
    const view = document.querySelector('#detail .card')?.view;
    if (view) {
      Redraw(view);
    }
  });
  document.getElementById('detail').addEventListener('click', (event) => event.target.id === 'detail' && Close());
  document.addEventListener('keydown', (event) => event.key === 'Escape' && page.open && Close());
  document.getElementById('clear').addEventListener('click', () => {
    Jobs().forEach(Forget);
    const zip = document.getElementById('zip');
    if (zip && zip.href) {
      URL.revokeObjectURL(zip.href);
    }
    zip?.remove();
    document.getElementById('zip-notes')?.remove();
    batch.palettes = [];
    Say('');
    Refresh(true); // and the workers' garbage with them
  });
  document.getElementById('make-zip').addEventListener('click', (event) => MakeZip(event.currentTarget));
  document.getElementById('filter').addEventListener('input', Narrow);
  document.getElementById('filter-state').addEventListener('change', Narrow);
  ListenForDrops();
}

// Files given while the tool still starts wait for it in the worker.
for (let i = 0; i < kWorkers; ++i) {
  page.workers.push(StartWorker());
}
Listen();
Ask({ kind: 'version' }).then((answer) => {
  if (answer.error) {
    Say(`The tool could not start in this browser: ${answer.error}`);
    return;
  }
  document.getElementById('version').textContent = answer.text;
  document.body.dataset.ready = 'yes';
  document.body.dataset.workers = `${page.workers.length}`;
});
