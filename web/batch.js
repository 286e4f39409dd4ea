// Batches: what a pick or drop holds, the palettes each texture may take,
// the textures that wait for one, the queue of conversions over the
// workers, and the counts the page shows. Which palette a texture takes,
// and what a name is, the tool's own code says, in the worker; the page
// keeps what was given, as --batch and --palette would be given it.
'use strict';

const batch = { palettes: [], paletteIds: 0, waiting: [], queue: [], draining: false, total: 0, done: 0, failureShown: -1 };

function FolderOf(path) {
  return path.slice(0, Math.max(0, path.lastIndexOf('/')));
}

// Takes one pick or drop, `kinds` telling each file's (1 texture, 2
// palette, 0 neither, which only a file given by itself is taken as a
// texture). Its palettes are kept. A new texture may take a palette of its
// own folder, else the pick's palette where it holds only one, as
// --palette would be given; a waiting texture may take only a new palette
// of its own stem.
function Accept(given, kinds, NewTiles, GivePalettes) {
  const palettes = given.filter((_, i) => kinds[i] === 2);
  const textures = given.filter((file, i) => kinds[i] === 1 || (kinds[i] === 0 && !file.walked));
  palettes.forEach((palette) => { palette.id = ++batch.paletteIds; });
  batch.palettes.push(...palettes);
  GivePalettes(palettes);
  if (palettes.length > 0) {
    for (const job of batch.waiting.splice(0)) {
      Object.assign(job, { beside: palettes, lone: null });
      Enqueue(job);
    }
  }
  const alpha = document.getElementById('alpha').checked;
  const lone = palettes.length === 1 ? palettes[0] : null;
  const jobs = textures.map((texture) => ({ texture, alpha, lone,
    beside: batch.palettes.filter((palette) => FolderOf(palette.path) === FolderOf(texture.path)) }));
  NewTiles(jobs);
  jobs.forEach(Enqueue);
  if (textures.length === 0 && batch.queue.length === 0 && palettes.length > 0) {
    Say(`${Plural(palettes.length, 'palette')} kept for the textures given next.`);
  }
}

// A palette chosen on a waiting texture's card: it is given that one.
function Choose(job, palette) {
  batch.waiting.splice(batch.waiting.indexOf(job), 1);
  Object.assign(job, { beside: [], lone: palette });
  Enqueue(job);
}

function Enqueue(job) {
  SetState(job.tile, 'queued', 'queued');
  batch.queue.push(job);
  ++batch.total;
}

// Runs the queue, several textures to a worker at a time, so that each
// reads its next files while it converts, with a count of where it is;
// textures given meanwhile join it.
async function Drain(ConvertOne, workers) {
  if (batch.draining) {
    return;
  }
  batch.draining = true;
  const Next = async () => {
    while (batch.queue.length > 0) {
      const job = batch.queue.shift();
      ++batch.done;
      Say(batch.total > 1 ? `Converting ${batch.done} of ${batch.total}: ${job.texture.path}…` : `Converting ${job.texture.path}…`);
      await ConvertOne(job);
      Count();
    }
  };
  while (batch.queue.length > 0) {
    await Promise.all(Array.from({ length: 8 * workers }, Next));
  }
  batch.draining = false;
  Say('');
  batch.total = batch.done = 0;
  document.body.dataset.converted = Number(document.body.dataset.converted || 0) + 1;
}

// Forgets a texture that waits or is queued.
function Drop(job) {
  for (const list of [batch.waiting, batch.queue]) {
    const at = list.indexOf(job);
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

function SetState(tile, state, label) {
  tile.dataset.state = state;
  tile.querySelector('.state').textContent = label;
}

// The line that counts the textures by what became of them; the failures
// are a button that opens the next failed one. Counted once a frame,
// however many textures ended in it.
function Count() {
  if (!batch.counting) {
    batch.counting = requestAnimationFrame(() => {
      batch.counting = 0;
      CountNow();
    });
  }
}

function CountNow() {
  const of = (state) => document.querySelectorAll(`#results .tile[data-state="${state}"]`).length;
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
  Narrow();
  EnableControls(converted);
}

function NextFailure() {
  const failed = [...document.querySelectorAll('#results .tile[data-state="failed"]')];
  batch.failureShown = (batch.failureShown + 1) % failed.length;
  const next = failed[batch.failureShown];
  next.scrollIntoView({ block: 'center' });
  next.click();
}
