// Batches: which palette each texture is given, the textures that wait for
// one, the queue of conversions, and the counts the page shows. A user at a
// prompt names each texture with its palette; here the page pairs them as
// that user would: the palette of the same stem (wood.brtex, wood.brplt),
// else the one palette given with it. Palettes are kept, so a texture
// given later finds the palette given earlier, and a texture that needs a
// palette it was not given waits for one.
'use strict';

const batch = { palettes: [], waiting: [], queue: [], running: false, total: 0, done: 0, failureShown: -1 };

function IsPalette(file) {
  return /\.brplt$/i.test(file.name);
}

function StemOf(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(0, dot) : name;
}

// The palette of the texture's stem among all those kept (the newest one
// first), else the only one of `given`.
function PaletteFor(texture, given) {
  const stem = StemOf(texture.name);
  return batch.palettes.find((p) => StemOf(p.name) === stem) || (given.length === 1 ? given[0] : null);
}

// Takes one drop or pick of files: palettes are kept, waiting textures
// get theirs, and each texture becomes a card in the queue.
function Accept(files, NewCard) {
  const palettes = files.filter(IsPalette), textures = files.filter((f) => !IsPalette(f));
  batch.palettes.unshift(...[...palettes].reverse());
  const offered = textures.length === 0 ? palettes : [];
  for (const job of [...batch.waiting]) {
    job.palette = PaletteFor(job.texture, offered);
    if (job.palette) {
      job.note = '';
      batch.waiting.splice(batch.waiting.indexOf(job), 1);
      Enqueue(job);
    }
  }
  const alpha = document.getElementById('alpha').checked;
  const jobs = textures.map((texture) => {
    const palette = PaletteFor(texture, palettes);
    const note = !palette && palettes.length > 1
      ? `None of the ${palettes.length} palettes given is named ${StemOf(texture.name)}.brplt, so none was given to the tool.`
      : '';
    return { texture, palette, alpha, note };
  });
  NewCard(jobs);
  jobs.forEach(Enqueue);
  if (textures.length === 0 && batch.queue.length === 0 && palettes.length > 0) {
    Say(`${Plural(palettes.length, 'palette')} kept for the textures given next.`);
  }
}

function Enqueue(job) {
  SetState(job.card, 'queued', 'queued');
  batch.queue.push(job);
  ++batch.total;
}

// Runs the queue, one texture at a time, with a count of where it is.
async function Drain(ConvertOne) {
  if (batch.running) {
    return;
  }
  batch.running = true;
  while (batch.queue.length > 0) {
    const job = batch.queue.shift();
    ++batch.done;
    Say(batch.total > 1 ? `Converting ${batch.done} of ${batch.total}: ${job.texture.name}…` : `Converting ${job.texture.name}…`);
    await ConvertOne(job);
    Count();
  }
  batch.running = false;
  if (batch.done > 0) {
    Say('');
  }
  batch.total = batch.done = 0;
  document.body.dataset.converted = Number(document.body.dataset.converted || 0) + 1;
}

// Forgets a texture that waits or is queued.
function Drop(card) {
  for (const list of [batch.waiting, batch.queue]) {
    const at = list.findIndex((job) => job.card === card);
    if (at >= 0) {
      list.splice(at, 1);
    }
  }
}

function Plural(n, thing) {
  return `${n} ${thing}${n === 1 ? '' : 's'}`;
}

function Say(text) {
  document.getElementById('busy').textContent = text;
}

function SetState(card, state, label) {
  card.dataset.state = state;
  card.querySelector('.state').textContent = label;
}

// The line that counts the cards by what became of them; the failures are
// a button that brings the next failed card into view.
function Count() {
  const of = (state) => document.querySelectorAll(`#results .card[data-state="${state}"]`).length;
  const counts = document.getElementById('counts');
  const [converted, failed, waiting] = [of('converted'), of('failed'), of('waiting')];
  counts.replaceChildren(`${converted} converted`);
  if (failed > 0) {
    const button = Element('button', { type: 'button', className: 'failures' }, `${failed} failed`);
    button.addEventListener('click', NextFailure);
    counts.append(' · ', button);
  }
  if (waiting > 0) {
    counts.append(` · ${waiting} waiting for a palette`);
  }
  counts.hidden = converted + failed + waiting === 0;
}

function NextFailure() {
  const failed = [...document.querySelectorAll('#results .card[data-state="failed"]')];
  batch.failureShown = (batch.failureShown + 1) % failed.length;
  const next = failed[batch.failureShown];
  next.scrollIntoView({ block: 'start' });
  next.querySelector('h2').focus();
}
