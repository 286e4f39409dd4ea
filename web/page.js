// The page: its controls, one card per texture, and the talk with the
// worker that runs the tool. The page's thread never converts or encodes:
// it sends the files the user gives, shows the text the tool printed, draws
// the part in view of the BMPs it wrote, and offers them, as they are.
'use strict';

const page = { worker: null, url: null, asked: new Map(), next: 0, heap: 0 };

// A worker's WebAssembly memory only grows: after a large texture it would
// hold that texture's size for the page's life. So a worker that grew past
// this is replaced, once nothing is asked of it.
const kHeapKept = 64 * 1024 * 1024;

function Element(tag, properties, ...children) {
  const element = Object.assign(document.createElement(tag), properties);
  element.append(...children);
  return element;
}

function StartWorker() {
  page.url = page.url || URL.createObjectURL(new Blob([document.getElementById('worker').textContent],
    { type: 'text/javascript' }));
  page.worker = new Worker(page.url);
  page.worker.onmessage = ({ data }) => Settle(data.id, data);
  page.worker.onerror = (event) => {
    event.preventDefault();
    RestartWorker(`the tool's worker stopped (${event.message || 'out of memory?'})`);
  };
}

function Settle(id, answer) {
  const settle = page.asked.get(id);
  page.asked.delete(id);
  if (settle) {
    settle(answer);
  }
}

// After the tool stopped or its worker died, every question still open is
// answered with the failure, and a fresh worker takes the next.
function RestartWorker(why) {
  page.worker.terminate();
  for (const id of [...page.asked.keys()]) {
    Settle(id, { error: why });
  }
  StartWorker();
}

function Refresh(always = false) {
  if ((always || page.heap > kHeapKept) && page.asked.size === 0 && !batch.running) {
    page.worker.terminate();
    page.heap = 0;
    StartWorker();
  }
}

function Expect(id) {
  return new Promise((resolve) => page.asked.set(id, resolve));
}

// Sends a request to the worker; `moved` are the buffers handed over.
function Ask(request, moved = []) {
  const id = ++page.next;
  const answer = Expect(id);
  page.worker.postMessage({ ...request, id }, moved);
  return answer.then((reply) => {
    if (reply.broken) {
      RestartWorker('the tool stopped');
    }
    page.heap = Math.max(page.heap, reply.memory || 0);
    return reply;
  });
}

function Size(bytes) {
  if (bytes < 1024) {
    return `${bytes} bytes`;
  }
  return bytes < 1024 * 1024 ? `${(bytes / 1024).toFixed(1)} KB` : `${(bytes / 1024 / 1024).toFixed(1)} MB`;
}

// A link to save `name`; its blob is made from `Bytes()` when it is first
// used, so that nothing is held twice for a file never saved.
function SaveLink(card, name, size, Bytes) {
  const link = Element('a', { href: '#', download: name, className: 'save' }, name, Element('small', {}, ` ${Size(size)}`));
  const Make = (event) => {
    if (link.dataset.made) {
      return;
    }
    const bytes = Bytes();
    if (!bytes) {
      event.preventDefault();
      return;
    }
    link.href = URL.createObjectURL(bytes instanceof Blob ? bytes : new Blob([bytes]));
    link.dataset.made = 'yes';
    card.urls.push(link.href);
  };
  link.addEventListener('click', Make);
  link.addEventListener('focus', Make);
  return link;
}

function NewCards(jobs) {
  const cards = jobs.map((job) => {
    const remove = Element('button', { type: 'button', className: 'remove' }, 'Remove');
    remove.setAttribute('aria-label', `Remove ${job.texture.name}`);
    const card = Element('section', { className: 'card' },
      Element('header', {}, Element('h2', { tabIndex: -1 }, job.texture.name), Element('span', { className: 'state' }), remove));
    Object.assign(card, { urls: [], kept: null, view: null });
    card.dataset.name = job.texture.name;
    card.dataset.given = performance.now().toFixed(1);
    remove.addEventListener('click', () => Forget(card));
    job.card = card;
    card.job = job;
    return card;
  });
  document.getElementById('results').prepend(...cards);
}

// Frees all a card holds and takes it from the page.
function Forget(card) {
  Drop(card);
  card.urls.forEach((url) => URL.revokeObjectURL(url));
  Object.assign(card, { urls: [], kept: null, view: null, forgotten: true });
  card.remove();
  Count();
}

function Facts(card, job, answer) {
  const facts = [];
  if (answer.header) {
    facts.push(`${answer.header.width} x ${answer.header.height}, ${answer.header.format}`);
  }
  if (answer.args) {
    facts.push(`status ${answer.status}`, `kestrune ${answer.args.join(' ')}`, `${answer.ms.toFixed(1)} ms`);
  }
  const line = Element('p', { className: 'facts' });
  facts.forEach((fact, i) => line.append(...(i > 0 ? [' · '] : []), Element('span', {}, fact)));
  card.querySelectorAll('.facts, .note').forEach((old) => old.remove());
  card.querySelector('header').after(line);
  if (job.note) {
    line.after(Element('p', { className: 'note' }, job.note));
  }
}

async function ConvertOne(job) {
  const { card } = job;
  SetState(card, 'converting', 'converting…');
  const alphaId = ++page.next;
  const alphaComing = Expect(alphaId);
  const answer = await Ask({ kind: 'convert', texture: job.texture, palette: job.palette, alpha: job.alpha, alphaId });
  if (answer.status !== 0 || answer.written.length !== 1) {
    page.asked.delete(alphaId); // the worker sends the alpha only for a run without "-a"
  }
  if (card.forgotten) {
    return;
  }
  if (answer.error) {
    SetState(card, 'failed', 'failed');
    card.append(Element('p', { className: 'note' }, `The page could not convert this file: ${answer.error}.`));
    return;
  }
  Facts(card, job, answer);
  if (answer.waiting) {
    SetState(card, 'waiting', `waiting for its palette, ${StemOf(job.texture.name)}.brplt or another`);
    batch.waiting.push(job);
    return;
  }
  card.dataset.status = answer.status;
  card.dataset.ms = answer.ms.toFixed(1);
  card.querySelector('.facts').after(Element('pre', { className: 'console' }, answer.text));
  SetState(card, answer.status === 0 ? 'converted' : 'failed', answer.status === 0 ? 'converted' : `failed, status ${answer.status}`);
  if (answer.status === 0 && answer.written.length > 0) {
    Show(card, answer, alphaComing);
  }
}

// The card's image and its files. The card keeps the tool's BMPs, the one
// copy of its pixels: the view draws from them and the saves are made of
// them. The alpha BMP comes with them, or later when only the page needs it.
function Show(card, answer, alphaComing) {
  const TakeAlpha = (alpha) => {
    if (card.kept && alpha) {
      card.kept.alpha = alpha;
      card.view.alpha = BmpLayout(alpha);
    }
    card.dataset.alpha = alpha ? 'yes' : 'no';
  };
  const colour = answer.written[0];
  card.kept = { colour: colour.buffer, alpha: null, names: answer.written.map((file) => file.name) };
  const layout = BmpLayout(colour.buffer);
  const saves = Element('p', { className: 'saves' });
  for (const [i, file] of answer.written.entries()) {
    saves.append(SaveLink(card, file.name, file.buffer.byteLength, () => card.kept && !card.lent && card.kept[i ? 'alpha' : 'colour']));
  }
  const png = Element('button', { type: 'button', className: 'png' }, 'Make its PNG');
  png.addEventListener('click', () => MakePng(card, png));
  saves.append(png);
  const place = Element('div', { className: 'place' });
  card.append(place, saves);
  if (!layout) {
    place.append(Element('p', { className: 'note' }, 'The image could not be drawn here; its BMPs can still be saved.'));
    return;
  }
  card.view = NewView(place, layout);
  if (answer.written.length > 1) {
    TakeAlpha(answer.written[1].buffer);
  } else {
    alphaComing.then((reply) => {
      TakeAlpha(reply.alpha);
      if (card.view) {
        Redraw(card.view);
      }
      Refresh();
    });
  }
  Draw(card.view);
  card.dataset.shown = performance.now().toFixed(1);
}

// Hands cards' BMPs to the worker for a while (`Use` sends them) and takes
// them back. Should the worker die meanwhile, they are lost with it, and
// the cards say so.
async function Lend(cards, Use) {
  cards.forEach((card) => { card.lent = true; });
  const files = cards.map((card) => ({ colour: card.kept.colour, alpha: card.kept.alpha, names: card.kept.names,
    texture: card.job.texture, palette: card.job.palette }));
  const answer = await Use(files, files.flatMap((file) => [file.colour, file.alpha]));
  cards.forEach((card, i) => {
    card.lent = false;
    const back = answer.files && answer.files[i];
    if (card.kept && back) {
      Object.assign(card.kept, { colour: back.colour, alpha: back.alpha });
      Object.assign(card.view, { colour: BmpLayout(back.colour), alpha: BmpLayout(back.alpha) });
    } else if (card.kept) {
      Object.assign(card, { kept: null, view: null });
      card.querySelector('.place').replaceChildren(Element('p', { className: 'note' }, 'The images were lost with the worker; give the texture again.'));
    }
  });
  return answer;
}

function Ready(card) {
  return card.kept && card.kept.alpha && !card.lent;
}

// The PNG the tool writes of the card's texture, with its alpha.
async function MakePng(card, button) {
  if (!Ready(card)) {
    return;
  }
  button.disabled = true;
  const start = performance.now();
  const answer = await Ask({ kind: 'png', texture: card.job.texture, palette: card.job.palette });
  if (answer.error || card.forgotten) {
    button.disabled = false;
    button.after(Element('span', { className: 'note' }, ` The PNG could not be made: ${answer.error}`));
    return;
  }
  const link = SaveLink(card, answer.name, answer.made.size, () => answer.made);
  link.dataset.ms = (performance.now() - start).toFixed(1);
  button.replaceWith(link);
}

// One zip of every card's BMPs (the newest card's, where two share a
// name), and their PNGs when asked.
async function MakeZip(button) {
  const taken = new Set();
  const cards = [...document.querySelectorAll('#results .card')].filter(Ready)
    .filter((card) => !taken.has(card.kept.names[0]) && taken.add(card.kept.names[0]));
  if (cards.length === 0) {
    return;
  }
  const pngs = document.getElementById('zip-pngs').checked;
  button.disabled = true;
  const answer = await Lend(cards, (files, moved) => Ask({ kind: 'zip', files, pngs }, moved));
  button.disabled = false;
  const old = document.getElementById('zip');
  if (old && old.href) {
    URL.revokeObjectURL(old.href);
  }
  const made = answer.error
    ? Element('span', { className: 'note' }, `The zip could not be made: ${answer.error}`)
    : Element('a', { href: URL.createObjectURL(answer.made), download: 'kestrune.zip' }, 'kestrune.zip',
      Element('small', {}, ` ${Size(answer.made.size)}, ${Plural(cards.length, 'texture')}`));
  made.id = 'zip';
  if (old) {
    old.replaceWith(made);
  } else {
    button.after(made);
  }
}

function Take(files) {
  Accept([...files], NewCards);
  Count();
  Drain(ConvertOne).then(Refresh);
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
    Take(event.dataTransfer.files);
  });
}

function Listen() {
  const input = document.getElementById('files');
  input.addEventListener('change', () => {
    Take(input.files);
    input.value = '';
  });
  for (const id of ['zoom', 'show', 'backdrop']) {
    document.getElementById(id).addEventListener('change', () => {
      document.querySelectorAll('#results .card').forEach((card) => card.view && card.view.colour && Draw(card.view));
    });
  }
  window.addEventListener('resize', () => document.querySelectorAll('#results .card').forEach((card) => card.view && Redraw(card.view)));
  document.getElementById('clear').addEventListener('click', () => {
    document.querySelectorAll('#results .card').forEach(Forget);
    const zip = document.getElementById('zip');
    if (zip && zip.href) {
      URL.revokeObjectURL(zip.href);
    }
    zip?.remove();
    batch.palettes = [];
    Say('');
    Refresh(true); // and the worker's garbage with it
  });
  document.getElementById('make-zip').addEventListener('click', (event) => MakeZip(event.currentTarget));
  ListenForDrops();
}

// Files given while the tool still starts wait for it in the worker.
StartWorker();
Listen();
Ask({ kind: 'version' }).then((answer) => {
  if (answer.error) {
    Say(`The tool could not start in this browser: ${answer.error}`);
    return;
  }
  document.getElementById('version').textContent = answer.text;
  document.body.dataset.ready = 'yes';
});
