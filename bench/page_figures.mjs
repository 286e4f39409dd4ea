// The page's figures, in Chromium or Firefox, asserting nothing: a game's
// tree of 500 painted textures (all thumbnails shown, their zip of PNGs),
// one 4096 x 4096 texture, a painted 1024 x 1024 CMPR and 40 of 256 x 256:
// times, the longest stall of the page's thread, and the memory of the
// processes that hold the page and its workers.
//
//   [KESTRUNE_BROWSER=firefox] node bench/page_figures.mjs <kestrune.html> <native build folder>
// It drives the browser with the page test's puppeteer (`npm ci` in tests/web).
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { Feed, FilesBelow, Launch, Put, Tile, Until, kFirefox, nativeDir, scratch } from '../tools/page_driver.mjs';

const puppeteer = createRequire(new URL('../tests/web/package.json', import.meta.url))('puppeteer-core');
const figure = (text) => console.log(`${kFirefox ? 'Firefox' : 'Chromium'}: ${text}`);

// A texture of pseudo-random RGBA8 texels: the sample's header, resized.
function Texture(name, width, height, seed) {
  const header = Buffer.from(fs.readFileSync(path.join(scratch, 'sample.brtex')).subarray(0, 64));
  header.writeUInt16BE(width, 28);
  header.writeUInt16BE(height, 30);
  const texels = Buffer.alloc(4 * width * height);
  for (let i = 0; i < texels.length; ++i) texels[i] = Math.imul(i + seed, 2654435761) >>> 24;
  Put(name, Buffer.concat([header, texels]));
}

// Watches the page's thread: the longest gap between heartbeats every 10 ms,
// and the longest task where the browser reports them (Chromium).
const Watch = (page) => page.evaluate(() => {
  const watch = window.watch = { longest: 0, task: PerformanceObserver.supportedEntryTypes.includes('longtask') ? 0 : null, last: performance.now() };
  watch.timer = setInterval(() => {
    watch.longest = Math.max(watch.longest, performance.now() - watch.last);
    watch.last = performance.now();
  }, 10);
  if (watch.task === 0) {
    new PerformanceObserver((list) => list.getEntries().forEach((task) => { watch.task = Math.max(watch.task, task.duration); }))
      .observe({ type: 'longtask' });
  }
});
const Watched = (page) => page.evaluate(() => {
  clearInterval(window.watch.timer);
  const { longest, task } = window.watch;
  return `the longest gap between heartbeats ${longest.toFixed(0)} ms, the longest task over 50 ms ${task === null ? 'not reported by this browser' : task === 0 ? 'none' : `${task.toFixed(0)} ms`}`;
});

// The memory of the processes that hold pages and their workers: the
// proportional set size, which counts a shared page once over them all.
function Memory(browser) {
  if (kFirefox) {
    return 'not measured in this browser';
  }
  const parents = {}, all = fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n));
  for (const pid of all) {
    try { parents[pid] = fs.readFileSync(`/proc/${pid}/stat`, 'latin1').replace(/^.*\) /, '').split(' ')[1]; } catch { /* gone */ }
  }
  const Below = (pid) => pid in parents && (parents[pid] === `${browser.process().pid}` || Below(parents[pid]));
  let kib = 0;
  for (const pid of all.filter(Below)) {
    try {
      if (/--type=renderer/.test(fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1'))) {
        kib += Number(/Pss:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/smaps_rollup`, 'latin1'))[1]);
      }
    } catch { /* gone */ }
  }
  return `${(kib / 1024).toFixed(0)} MiB`;
}
// Opens the card of the tile, then asks for its PNG: how many ms after
// each click its view was drawn and its PNG ready.
async function CardAndPng(page, tile) {
  await page.click(tile);
  await page.waitForSelector('#detail .card[data-shown]', { timeout: 60000 });
  await page.$eval('#detail .saves a', (a) => a.addEventListener('click', (event) => event.preventDefault()) || a.click());
  await page.waitForSelector('#detail .saves a[download$=".png"][data-made]', { timeout: 120000 });
  return [await page.$eval('#detail .card', (c) => Number(c.dataset.shown).toFixed(0)),
    await page.$eval('#detail a[download$=".png"]', (a) => Number(a.dataset.ms).toFixed(0))];
}

// The zip of every converted texture, made by one click: how many ms it
// took; the save it starts is not taken.
async function ZipMs(page) {
  await page.evaluate(() => document.addEventListener('click', (event) => event.target.closest?.('#zip') && event.preventDefault(), true));
  const before = await page.$eval('#zip', (z) => z.href).catch(() => '');
  await page.click('#make-zip');
  await Until(page, (old) => document.querySelector('#zip')?.href && document.querySelector('#zip').href !== old, before);
  return Number(await page.$eval('#zip', (z) => z.dataset.ms));
}

const { browser, page } = await Launch(puppeteer);
try {
  // The figures: a game's tree of 500 painted textures.
  spawnSync(path.join(nativeDir, 'make_painted'), ['tree', path.join(scratch, 'game'), '500']);
  const game = Object.keys(FilesBelow(path.join(scratch, 'game'))).map((name) => `game/${name}`);
  await Watch(page);
  // Firefox's driver gives no folder: its files, whose names are all
  // different, go in loose, which pairs them alike.
  await (kFirefox ? Feed(page, game, { alpha: false }) : Feed(page, ['game'], { folder: true, alpha: false }));
  const took = await page.$$eval('#results .tile', (all) => Math.max(...all.map((t) => Number(t.dataset.shown || 0))) - Math.min(...all.map((t) => t.dataset.given)));
  figure(`a tree of 500 painted textures: all shown as thumbnails ${took.toFixed(0)} ms after they were given; ${await Watched(page)}`);
  await Watch(page);
  const zipMs = await ZipMs(page);
  figure(`their zip of PNGs ${zipMs.toFixed(0)} ms after it was asked for; ${await Watched(page)}; page and workers ${Memory(browser)} after it`);
  await page.click('#clear');

  Texture('huge.brtex', 4096, 4096, 2);
  await Watch(page);
  await Feed(page, ['huge.brtex']);
  const huge = Tile('huge.brtex');
  const shownIn = await page.$eval(huge, (t) => (t.dataset.shown - t.dataset.given).toFixed(0));
  const [viewMs, pngMs] = await CardAndPng(page, huge);
  figure(`4096 x 4096 RGBA8 of random texels with -a: shown ${shownIn} ms after it was given, its card's view ${viewMs} ms after ` +
         `the click, its PNG ${pngMs} ms after the click; ${await Watched(page)}; page and workers ${Memory(browser)} after its PNG`);
  await page.click('#detail .close');
  await page.click('#clear');

  fs.mkdirSync(path.join(scratch, 'painted'));
  spawnSync(path.join(nativeDir, 'make_painted'), ['set', path.join(scratch, 'painted'), '1024']);
  await Watch(page);
  await Feed(page, ['painted/1024_cutout_CMPR.brtex']);
  const [cmprView, cmprPng] = await CardAndPng(page, Tile('1024_cutout_CMPR.brtex')); // a file given alone: its name
  figure(`1024 x 1024 CMPR, painted: its card's view ${cmprView} ms after the click, its PNG ${cmprPng} ms after the click; ` +
         `${await Watched(page)}`);
  await page.click('#detail .close');
  await page.click('#clear');
  const batch = Array.from({ length: 40 }, (_, i) => `t${i}.brtex`);
  batch.forEach((name, i) => Texture(name, 256, 256, 3 + i));
  await Watch(page);
  await Feed(page, batch);
  const forty = await page.$$eval('#results .tile', (all) => Math.max(...all.map((t) => t.dataset.shown)) - Math.min(...all.map((t) => t.dataset.given)));
  figure(`40 RGBA8 textures of 256 x 256 with -a: all shown in ${forty.toFixed(0)} ms; ${await Watched(page)}`);

} finally {
  await browser.close();
  fs.rmSync(scratch, { recursive: true, force: true });
}
