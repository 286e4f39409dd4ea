// The browser page, opened from file:// in Debian's Chromium (or Firefox)
// and fed through its file input, held against the native tool run on the
// same names: the text and status shown, the bytes behind every save link
// and in the zip, the drawn pixels, the texel readout and the PNG; a texture
// given before its palette; removing and clearing; a phone's width; the
// page's size, and that it asks no network for anything. It prints the
// figures of a 4096 x 4096 texture and of a batch of 40 textures: times,
// the longest stall of the page's thread, and the memory of the processes
// that hold the page and its worker.
//
//   [KESTRUNE_BROWSER=firefox] node page_test.mjs <kestrune.html> <native build folder> [screenshot.png]
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { unzipSync } from 'fflate';
import puppeteer from 'puppeteer-core';

const [pagePath, nativeDir, screenshot] = process.argv.slice(2).map((a) => path.resolve(a));
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrune-page-'));
const count = { passed: 0, failed: 0 };
const kFirefox = process.env.KESTRUNE_BROWSER === 'firefox';

function Check(what, ok, detail = '') {
  ++count[ok ? 'passed' : 'failed'];
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}${ok ? '' : ` ${detail}`}`);
}

// The native tool in a folder of its own holding `names`: status, text,
// the files it wrote, and the time its process took.
function Native(args, names) {
  const folder = fs.mkdtempSync(path.join(scratch, 'native-'));
  names.forEach((name) => fs.copyFileSync(path.join(scratch, name), path.join(folder, name)));
  const start = process.hrtime.bigint();
  const run = spawnSync(path.join(nativeDir, 'kestrune'), args, { cwd: folder, encoding: 'latin1' });
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  const files = Object.fromEntries(fs.readdirSync(folder).filter((n) => !names.includes(n))
    .map((n) => [n, fs.readFileSync(path.join(folder, n))]));
  return { status: run.status, text: run.stdout, files, ms };
}

// R, G, B of the pixel at (x, y) of a 24-bit BMP as the tool writes it.
function BmpPixel(bmp, x, y) {
  const width = bmp.readInt32LE(18), at = 54 + (3 * width + (width % 4)) * (bmp.readInt32LE(22) - 1 - y) + 3 * x;
  return [bmp[at + 2], bmp[at + 1], bmp[at]];
}

// A texture file of pseudo-random RGBA8 texels: the sample's header, resized.
function Texture(name, width, height, seed) {
  const header = Buffer.from(fs.readFileSync(path.join(scratch, 'sample.brtex')).subarray(0, 64));
  header.writeUInt16BE(width, 28);
  header.writeUInt16BE(height, 30);
  const texels = Buffer.alloc(4 * width * height);
  for (let i = 0; i < texels.length; ++i) texels[i] = Math.imul(i + seed, 2654435761) >>> 24;
  fs.writeFileSync(path.join(scratch, name), Buffer.concat([header, texels]));
}

// Gives `names` to the page, as a user picks them, and waits for its queue.
async function Feed(page, names, alpha) {
  const done = Number(await page.$eval('body', (b) => b.dataset.converted || 0)) + 1;
  await page.$eval('#alpha', (box, on) => { box.checked = on; }, alpha);
  await (await page.$('#files')).uploadFile(...names.map((n) => path.join(scratch, n)));
  await page.waitForSelector(`body[data-converted="${done}"]`, { timeout: 120000 });
}

// The bytes a save link offers, fetched in the page (as base64, which
// crosses to the test quickly) after the click that makes them.
const Offered = (link) => new Promise(async (resolve) => {
  link.addEventListener('click', (event) => event.preventDefault(), { once: true });
  link.click();
  const reader = Object.assign(new FileReader(), { onload: () => resolve(reader.result.split(',')[1]) });
  reader.readAsDataURL(await (await fetch(link.href)).blob());
});

async function Links(page, selector) {
  const links = await page.$$eval(selector, (all, offered) => Promise.all(all.map(async (a) => (
    { name: a.download, base64: await eval(offered)(a) }))), `(${Offered})`);
  return links.map((link) => ({ name: link.name, bytes: Buffer.from(link.base64, 'base64') }));
}

// What the card of texture `name` shows, once its alpha has come too.
let cardsSeen = 0;
async function Shown(page, name) {
  const card = `#seen-${++cardsSeen}`;
  await page.$eval(`#results .card[data-name="${name}"]`, (c, id) => { c.id = id; }, card.slice(1));
  if (await page.$eval(card, (c) => c.dataset.state) === 'converted') await page.waitForSelector(`${card}[data-alpha]`);
  const shown = await page.$eval(card, (c) => ({ state: c.dataset.state, text: c.querySelector('pre')?.textContent,
    status: Number(c.dataset.status), facts: c.querySelector('.facts')?.textContent, note: c.querySelector('.note')?.textContent,
    canvases: c.querySelectorAll('canvas').length }));
  return { ...shown, card, links: await Links(page, `${card} a[download]`) };
}

// The drawn pixels and the readout at `points`, at 1x, against the BMPs.
const kPoints = [[0, 0], [3, 1], [17, 9], [40, 20], [-1, -1]];
async function Views(page, card, colour, alpha) {
  const [width, height] = [colour.readInt32LE(18), colour.readInt32LE(22)];
  const points = kPoints.map(([x, y]) => (x < 0 ? [width - 1, height - 1] : [x, y]));
  await page.select('#zoom', '1');
  const drawn = {};
  for (const show of ['colour', 'alpha']) {
    await page.select('#show', show);
    drawn[show] = await page.$eval(`${card} canvas`, (c, at) => at.map(([x, y]) => [...c.getContext('2d').getImageData(x, y, 1, 1).data]), points);
  }
  // At 4x, so that a pointer put at whole pixels (as some browsers' drivers
  // do) still lands on the texel aimed at.
  await page.select('#zoom', '4');
  await page.$eval(`${card} canvas`, (c) => c.scrollIntoView());
  const box = await (await page.$(`${card} canvas`)).boundingBox(), read = [];
  for (const [x, y] of points) {
    await page.mouse.move(box.x + 3 + 4 * x, box.y + 3 + 4 * y);
    read.push(await page.$eval(`${card} .readout`, (r) => r.textContent));
  }
  await page.focus(`${card} canvas`);
  await page.keyboard.press('ArrowRight');
  read.push(await page.$eval(`${card} .readout`, (r) => r.textContent));
  points.push([Math.floor(width / 2) + 1, Math.floor(height / 2)]);
  await page.select('#show', 'over');
  await page.select('#zoom', 'fit');
  const expected = points.map(([x, y]) => {
    const [r, g, b] = BmpPixel(colour, x, y);
    return `x ${x}, y ${y}: R ${r}, G ${g}, B ${b}, A ${BmpPixel(alpha, x, y)[0]}`;
  });
  Check(`${card}: drawn colour and alpha`, points.slice(0, -1).every(([x, y], i) => `${drawn.colour[i].slice(0, 3)}` === `${BmpPixel(colour, x, y)}` &&
    drawn.alpha[i][0] === BmpPixel(alpha, x, y)[0]), JSON.stringify(drawn));
  Check(`${card}: texel readout under the pointer and by keys`, `${read}` === `${expected}`, JSON.stringify([read, expected]));
}

// One conversion in the page against the same by the native tool: `names`
// as the native tool is given them, `given` as the page is.
async function Compare(page, what, names, alpha, facts, given = names) {
  await Feed(page, given, alpha);
  const shown = await Shown(page, names[0]);
  const native = Native([...(alpha ? ['-a'] : []), ...names], names);
  Check(`${what}: text and status ${native.status}`, shown.text === native.text && shown.status === native.status,
    JSON.stringify([shown.text, shown.status, native.text]));
  Check(`${what}: the tool's BMPs offered`, shown.links.length === Object.keys(native.files).length &&
    shown.links.every((l) => native.files[l.name] && l.bytes.equals(native.files[l.name])));
  if (native.status !== 0) {
    Check(`${what}: nothing else offered or shown`, shown.state === 'failed' && shown.links.length === 0 && shown.canvases === 0);
    return;
  }
  Check(`${what}: ${facts}, and no note left from before`, shown.facts.startsWith(facts) && !shown.note, shown.facts + shown.note);
  const colourName = native.text.match(/File (.*) written/)[1], colour = native.files[colourName];
  const alphaName = colourName.replace(/\.bmp$/, '_alpha.bmp');
  const alphaBmp = native.files[alphaName] || Native(['-a', ...names], names).files[alphaName];
  await Views(page, shown.card, colour, alphaBmp);
  await page.click(`${shown.card} button.png`);
  await page.waitForSelector(`${shown.card} a[download$=".png"]`);
  const [png] = await Links(page, `${shown.card} a[download$=".png"]`);
  const pngs = Native(['--png', ...names], names).files;
  Check(`${what}: ${png.name} is the native --png's, byte for byte`, pngs[png.name] && png.bytes.equals(pngs[png.name]), png.name);
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
  const parents = {}, all = fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n));
  for (const pid of all) {
    try { parents[pid] = fs.readFileSync(`/proc/${pid}/stat`, 'latin1').replace(/^.*\) /, '').split(' ')[1]; } catch { /* gone */ }
  }
  const Below = (pid) => pid in parents && (parents[pid] === `${browser.process().pid}` || Below(parents[pid]));
  let kib = 0;
  for (const pid of all.filter(Below)) {
    try {
      const line = fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1');
      if (/--type=renderer|-contentproc.*\b(tab|file)\b/.test(line)) kib += Number(/Pss:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/smaps_rollup`, 'latin1'))[1]);
    } catch { /* gone */ }
  }
  return `${(kib / 1024).toFixed(0)} MiB`;
}
const Settle = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Debian's Chromium, or with KESTRUNE_BROWSER=firefox its Firefox ESR.
const browser = await puppeteer.launch(kFirefox
  ? { browser: 'firefox', executablePath: '/usr/bin/firefox-esr', headless: true }
  : { executablePath: '/usr/bin/chromium', headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
             '--disable-component-update', '--disable-sync', '--js-flags=--expose-gc', `--user-data-dir=${path.join(scratch, 'profile')}`] });
const figure = (text) => console.log(`${kFirefox ? 'Firefox' : 'Chromium'}: ${text}`);
try {
  const page = await browser.newPage(), requests = [];
  page.on('request', (request) => requests.push(request.url()));
  page.on('pageerror', (error) => Check('no error in the page', false, error.message));
  await page.setViewport({ width: 1100, height: 900 });
  await page.goto(`file://${pagePath}`);
  await page.waitForSelector('body[data-ready="yes"]', { timeout: 30000 });
  spawnSync(path.join(nativeDir, 'make_sample'), [scratch]);
  fs.writeFileSync(path.join(scratch, 'notes.txt'), 'not a texture\n');
  ['a.brplt', 'b.brplt'].forEach((name) => fs.copyFileSync(path.join(scratch, 'sign.brplt'), path.join(scratch, name)));
  fs.copyFileSync(path.join(scratch, 'sample.brtex'), path.join(scratch, 'UPPER.BRTEX'));
  fs.copyFileSync(path.join(scratch, 'sign.brtex'), path.join(scratch, 'other.brtex'));
  Texture('large.brtex', 1024, 1024, 1);
  Texture('huge.brtex', 4096, 4096, 2);
  const batch = Array.from({ length: 40 }, (_, i) => `t${i}.brtex`);
  batch.forEach((name, i) => Texture(name, 256, 256, 3 + i));

  figure(`at the start, page and worker ${Memory(browser)}`);
  await Compare(page, 'not a BRTEX file', ['notes.txt'], false);
  // A drop anywhere: the veil covers the page while files are over it, and
  // takes them.
  const drops = Number(await page.$eval('body', (b) => b.dataset.converted)) + 1;
  const veiled = await page.evaluate(() => {
    const files = new DataTransfer(), veil = document.getElementById('veil');
    files.items.add(new File(['not a texture'], 'dropped.brtex'));
    document.querySelector('h1').dispatchEvent(new DragEvent('dragenter', { dataTransfer: files, bubbles: true }));
    const covered = !veil.hidden && veil.getBoundingClientRect().height === window.innerHeight;
    veil.dispatchEvent(new DragEvent('drop', { dataTransfer: files, bubbles: true, cancelable: true }));
    return covered && veil.hidden;
  });
  await page.waitForSelector(`body[data-converted="${drops}"]`);
  Check('a drop: the whole page veiled, then the file converted', veiled && (await Shown(page, 'dropped.brtex')).text ===
    Native(['notes.txt'], ['notes.txt']).text.replace(/notes\.txt/g, 'dropped.brtex'));
  // A CI8 texture among palettes none of which is its own waits, and takes
  // its own when it comes.
  await Feed(page, ['sign.brtex', 'a.brplt', 'b.brplt'], true);
  const waiting = await Shown(page, 'sign.brtex');
  Check('CI8 among other palettes: waits for its own, converts nothing, says why', waiting.state === 'waiting' &&
    waiting.text === undefined && waiting.links.length === 0 && /none was given/.test(waiting.note), JSON.stringify(waiting));
  await Compare(page, 'CI8, then its palette', ['sign.brtex', 'sign.brplt'], true, '64 x 32, CI8', ['sign.brplt']);
  await Feed(page, ['other.brtex'], true);
  await Compare(page, 'CI8, then one palette of another name', ['other.brtex', 'a.brplt'], true, '64 x 32, CI8', ['a.brplt']);
  await Compare(page, 'CI8 with its palette kept from before', ['sign.brtex', 'sign.brplt'], false, '64 x 32, CI8', ['sign.brtex']);
  await Compare(page, 'RGBA8 with -a', ['sample.brtex'], true, '128 x 128, RGBA8');
  await Compare(page, 'a name the tool does not shorten', ['UPPER.BRTEX'], false, '128 x 128, RGBA8');
  if (screenshot) {
    await page.select('#zoom', '2');
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.screenshot({ path: screenshot });
    await page.select('#zoom', 'fit');
  }

  // The first conversion of a size runs in the browser's quick first
  // compilation of the tool, later ones in its optimised code: both count.
  const Ms = (name) => page.$eval(`#results .card[data-name="${name}"]`, (c) => Number(c.dataset.ms));
  await Feed(page, ['large.brtex'], true);
  const first = await Ms('large.brtex');
  await Feed(page, ['large.brtex'], true);
  const native = Math.min(...[1, 2, 3, 4, 5].map(() => Native(['-a', 'large.brtex'], ['large.brtex']).ms));
  figure(`1024 x 1024 RGBA8 with -a, in ms: the tool in the page ${first} the first time, ${await Ms('large.brtex')} again; ` +
         `the native tool ${native.toFixed(1)}, its process included`);

  // A phone: every card within the width, the fitted image too, at fit and 16x.
  await page.setViewport({ width: 390, height: 844 });
  for (const zoom of ['fit', '16']) {
    await page.select('#zoom', zoom);
    await Settle(100);
    const widths = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth,
      Math.max(...[...document.querySelectorAll('#results canvas')].map((c) => c.getBoundingClientRect().right))]);
    Check(`a phone's width at ${zoom}: nothing wider than the viewport ${widths}`, widths[0] <= widths[1] && widths[2] <= widths[1]);
  }
  await page.select('#zoom', 'fit');
  await page.setViewport({ width: 1100, height: 900 });

  // Removing a card and clearing all leave no card and no count.
  const cards = () => page.$$eval('#results .card', (all) => all.length);
  const before = await cards();
  await page.click('#results .card[data-name="large.brtex"] button.remove');
  Check('a card removed', await cards() === before - 1 && (await page.$$('#results .card[data-name="large.brtex"]')).length === 1);
  await page.click('#clear');
  Check('clear all', await cards() === 0 && await page.$eval('#counts', (c) => c.hidden));

  await Watch(page);
  await Feed(page, ['huge.brtex'], true);
  const huge = '#results .card[data-name="huge.brtex"]';
  await page.waitForSelector(`${huge}[data-alpha]`);
  const shownIn = await page.$eval(huge, (c) => (c.dataset.shown - c.dataset.given).toFixed(0));
  await Settle(500);
  const memory = Memory(browser);
  await page.click(`${huge} button.png`);
  const pngMs = await (await page.waitForSelector(`${huge} a[download$=".png"]`, { timeout: 60000 })).evaluate((a) => a.dataset.ms);
  figure(`4096 x 4096 RGBA8 with -a: shown ${shownIn} ms after it was given, its PNG ${Number(pngMs).toFixed(0)} ms after it was asked for; ` +
         `${await Watched(page)}; page and worker ${memory} after the card, ${Memory(browser)} after its PNG`);
  await page.click('#clear');
  await Settle(1000);
  await page.evaluate(() => window.gc && window.gc()); // Chromium's, given to the test: what is freed is gone
  figure(`after clearing, ${Memory(browser)}`);

  await Watch(page);
  await Feed(page, batch, true);
  const took = await page.$$eval('#results .card', (all) => Math.max(...all.map((c) => c.dataset.shown)) - Math.min(...all.map((c) => c.dataset.given)));
  figure(`a batch of 40 RGBA8 textures of 256 x 256 with -a: all shown in ${took.toFixed(0)} ms; ${await Watched(page)}`);
  Check('the batch counted', await page.$eval('#counts', (c) => c.textContent) === '40 converted');
  await page.click('#zip-pngs');
  await page.click('#make-zip');
  await page.waitForSelector('#zip[href]', { timeout: 60000 });
  const zip = unzipSync((await Links(page, '#zip'))[0].bytes);
  const nativeFiles = Object.assign({}, ...batch.map((name) => ({ ...Native(['-a', name], [name]).files, ...Native(['--png', name], [name]).files })));
  Check('the zip holds every BMP and PNG the native tool writes, byte for byte, and nothing else',
    Object.keys(nativeFiles).every((name) => zip[name] && Buffer.from(zip[name]).equals(nativeFiles[name])) &&
    Object.keys(zip).length === 120, Object.keys(zip).join(' '));

  const libraries = ['fflate/umd/index.js', 'pako/dist/pako_deflate.min.js'].map((name) => fs.statSync(new URL(`../../web/node_modules/${name}`, import.meta.url)).size);
  const size = fs.statSync(pagePath).size - libraries.reduce((a, b) => a + b);
  Check(`one file of at most 400 KB besides the zip and deflate libraries (${(size / 1024).toFixed(0)} KB)`, size <= 400 * 1024);
  const asked = requests.filter((url) => !url.startsWith('blob:') && url !== `file://${pagePath}`);
  Check('nothing asked of any network', asked.length === 0, JSON.stringify(asked));
} finally {
  await browser.close();
  fs.rmSync(scratch, { recursive: true, force: true });
}
console.log(`${count.passed} passed, ${count.failed} failed`);
process.exit(count.failed === 0 ? 0 : 1);
