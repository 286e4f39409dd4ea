// The browser page, opened from file:// in Debian's Chromium (or Firefox)
// and fed through its file and folder buttons and a drop, held against the
// native tool run on the same paths: each card's text and status, the
// bytes behind every save link, the zip's entries (BMPs against the
// native tool's, PNGs against its --png), the pairing of palettes, names
// that look like options, the relative paths, the clash of two, the drawn
// pixels and readout, averaged below 1x, and the view fitted in sight; a
// phone's width; paths that break only after a slash; the zip in one click,
// its paths below the folder given; the filter over a tree of 500; the
// controls disabled with nothing to act on; the page's size, and that it
// asks no network for anything. Its figures are bench/page_figures.mjs's.
//
//   [KESTRUNE_BROWSER=firefox] node page_test.mjs <kestrune.html> <native build folder> [screenshot.png, and screenshot_open.png of a card]
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { unzipSync } from 'fflate';
import puppeteer from 'puppeteer-core';
import { Converted, Feed, FeedFolder, FilesBelow, Launch, Native, Put, Settle, Tile, Until, kFirefox, nativeDir, pagePath, scratch }
  from '../../tools/page_driver.mjs';

const screenshot = process.argv[4] && path.resolve(process.argv[4]);
const count = { passed: 0, failed: 0 };

function Check(what, ok, detail = '') {
  ++count[ok ? 'passed' : 'failed'];
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}${ok ? '' : ` ${detail}`}`);
}

// R, G, B of the pixel at (x, y) of a 24-bit BMP as the tool writes it.
function BmpPixel(bmp, x, y) {
  const width = bmp.readInt32LE(18), at = 54 + (3 * width + (width % 4)) * (bmp.readInt32LE(22) - 1 - y) + 3 * x;
  return [bmp[at + 2], bmp[at + 1], bmp[at]];
}

// The bytes a save link offers, fetched in the page (as base64, which
// crosses to the test quickly) once the click has made them; the save the
// page starts then is not taken.
const Offered = (link) => new Promise(async (resolve) => {
  link.addEventListener('click', (event) => event.preventDefault());
  link.click();
  while (!link.href.startsWith('blob:')) {
    await new Promise((later) => setTimeout(later, 20));
  }
  const reader = Object.assign(new FileReader(), { onload: () => resolve(reader.result.split(',')[1]) });
  reader.readAsDataURL(await (await fetch(link.href)).blob());
});

async function Links(page, selector) {
  const links = await page.$$eval(selector, (all, offered) => Promise.all(all.map(async (a) => (
    { name: a.download, base64: await eval(offered)(a) }))), `(${Offered})`);
  return links.map((link) => ({ name: link.name, bytes: Buffer.from(link.base64, 'base64') }));
}

// What the card of the texture at `p` shows, the last of that path.
async function Opened(page, p) {
  await page.$$eval(Tile(p), (all) => all[all.length - 1].click());
  await page.waitForSelector('#detail .card');
  if (await page.$eval('#detail .card', (c) => c.dataset.state) === 'converted') {
    await page.waitForSelector('#detail .card[data-shown]');
  }
  const shown = await page.$eval('#detail .card', (c) => ({ state: c.dataset.state, text: c.querySelector('pre')?.textContent,
    facts: c.querySelector('.facts')?.textContent, note: c.querySelector('.note')?.textContent,
    choices: [...c.querySelectorAll('select:not(.zoom) option')].slice(1).map((o) => o.textContent),
    canvases: c.querySelectorAll('canvas').length }));
  return { ...shown, links: await Links(page, '#detail .saves a[download$=".bmp"]') };
}

const Close = (page) => page.click('#detail .close');

// The texture at `p` in the page against the native tool given the same
// paths: its text and status, its BMPs, its PNG against the native --png.
async function Compare(page, what, p, palette, alpha, facts) {
  const paths = palette ? [p, palette] : [p];
  const shown = await Opened(page, p), native = Native([...(alpha ? ['-a'] : []), '--', ...paths], paths);
  Check(`${what}: text and status ${native.status}`, shown.text === native.text, JSON.stringify([shown.text, native.text]));
  Check(`${what}: the tool's BMPs offered`, shown.links.length === Object.keys(native.files).length &&
    shown.links.every((l) => native.files[l.name] && l.bytes.equals(native.files[l.name])), shown.links.map((l) => l.name).join(' '));
  Check(`${what}: ${facts}, and no note`, shown.facts.startsWith(facts) && !shown.note, `${shown.facts} ${shown.note}`);
  if (native.status === 0) {
    Check(`${what}: the PNG offered first`, await page.$eval('#detail .saves a', (a) => a.download.endsWith('.png')));
    const [png] = await Links(page, '#detail .saves a[download$=".png"]');
    const pngs = Native(['--png', '--', ...paths], paths).files;
    Check(`${what}: ${png.name} is the native --png's, byte for byte`, pngs[png.name] && png.bytes.equals(pngs[png.name]), png.name);
  }
  await Close(page);
  return native;
}

// The drawn pixels and the readout at `points` of the open card, at 1x and
// at 1/2x, where each pixel is the average of the four texels it covers.
async function Views(page, colour, alpha) {
  const [width, height] = [colour.readInt32LE(18), colour.readInt32LE(22)];
  const points = [[0, 0], [3, 1], [17, 9], [width - 1, height - 1]];
  const Drawn = (zoom) => page.$eval('#detail select.zoom', (s, z) => { s.value = z; s.dispatchEvent(new Event('change')); }, zoom)
    .then(() => page.$eval('#detail canvas', (c, at) => at.map(([x, y]) => [...c.getContext('2d').getImageData(x, y, 1, 1).data]), points.map(([x, y]) => (zoom === '0.5' ? [x >> 1, y >> 1] : [x, y]))));
  await page.select('#show', 'colour');
  const one = await Drawn('1'), half = await Drawn('0.5');
  const average = ([x, y]) => [0, 1, 2].map((k) => Math.round([[0, 0], [1, 0], [0, 1], [1, 1]]
    .map(([dx, dy]) => BmpPixel(colour, Math.min(width - 1, (x & ~1) + dx), Math.min(height - 1, (y & ~1) + dy))[k]).reduce((a, b) => a + b) / 4));
  Check('the view at 1x, texel for texel', points.every((p, i) => `${one[i].slice(0, 3)}` === `${BmpPixel(colour, ...p)}`), JSON.stringify(one));
  Check('the view at 1/2x, each pixel the average of the texels it covers', points.slice(0, 3).every((p, i) => `${half[i].slice(0, 3)}` === `${average(p)}`),
    JSON.stringify([half, points.map(average)]));
  await page.select('#show', 'over');
  await Drawn('2');
  const box = await (await page.$('#detail canvas')).boundingBox(), read = [];
  for (const [x, y] of points.slice(0, 3)) {
    await page.mouse.move(box.x + 2 + 2 * x, box.y + 2 + 2 * y);
    read.push(await page.$eval('#detail .readout', (r) => r.textContent));
  }
  const expected = points.slice(0, 3).map(([x, y]) => {
    const [r, g, b] = BmpPixel(colour, x, y);
    return `x ${x}, y ${y}: R ${r}, G ${g}, B ${b}, A ${BmpPixel(alpha, x, y)[0]}`;
  });
  Check('the texel readout under the pointer', `${read}` === `${expected}`, JSON.stringify([read, expected]));
}

// The open card's view, fitted, shows whole with its readout without
// scrolling, at 1x or more for an image that small; no part of a path in
// the page breaks inside itself.
async function Fits(page, what) {
  const [canvas, readout, height, small, parts] = await page.evaluate(() => [
    document.querySelector('#detail canvas').getBoundingClientRect().bottom,
    document.querySelector('#detail .readout').getBoundingClientRect().bottom, window.innerHeight,
    document.querySelector('#detail canvas').height >= 32,
    [...document.querySelectorAll('.path > span')].filter((s) => s.getClientRects().length > 1).length]);
  Check(`${what}: the fitted view and its readout in sight (${canvas}, ${readout} of ${height}), no path broken inside a part`,
    canvas <= height && readout <= height && small && parts === 0, `${small} ${parts}`);
}

// A zip the page made, by its entries; where the page's thread is
// watched, what was seen until the zip came.
// One click makes it, counting on as it goes, and saves it (the save is
// counted here, not taken).
async function Zip(page, holds) {
  await page.select('#zip-kind', holds);
  const before = await page.$eval('#zip', (z) => z.href).catch(() => '');
  await page.evaluate(() => {
    const zipping = window.zipping = { said: [], saves: 0 };
    new MutationObserver((records) => records.forEach((r) => zipping.said.push(...[...r.addedNodes].map((n) => n.textContent))))
      .observe(document.getElementById('busy'), { childList: true });
    document.addEventListener('click', (event) => event.target.closest?.('#zip') && (event.preventDefault(), ++zipping.saves), true);
  });
  await page.click('#make-zip');
  await Until(page, (old) => document.querySelector('#zip')?.href && document.querySelector('#zip').href !== old, before);
  const { said, saves } = await page.evaluate(() => window.zipping);
  const n = await page.$$eval('#results .tile[data-state="converted"]', (all) => all.length);
  Check(`a zip of ${n} in one click: counted on as made and saved once`, saves === 1 && said.includes(`Zipping 1 of ${n}`) &&
    said.includes(`Zipping ${n} of ${n}`), JSON.stringify([saves, said.slice(-3)]));
  return { entries: unzipSync((await Links(page, '#zip'))[0].bytes),
    notes: await page.$eval('#zip-notes', (n) => n.textContent).catch(() => '') };
}

// The files a batch writes below "-o OUT", by their paths there.
const BelowOut = (files) => Object.fromEntries(Object.entries(files).map(([name, bytes]) => [name.replace(/^OUT\//, ''), bytes]));

const Same = (entries, files) => Object.keys(files).every((n) => entries[n] && Buffer.from(entries[n]).equals(files[n]));

const { browser, page, requests } = await Launch(puppeteer);
try {
  page.on('pageerror', (error) => Check('no error in the page', false, error.message));
  const Disabled = () => page.evaluate(() => ['make-zip', 'zip-kind', 'clear', 'filter', 'filter-state']
    .map((id) => document.getElementById(id).disabled).join());
  Check('an empty page: the zip, clearing and the filter disabled', await Disabled() === 'true,true,true,true,true');
  const sample = fs.readFileSync(path.join(scratch, 'sample.brtex')), sign = fs.readFileSync(path.join(scratch, 'sign.brtex'));
  const palette = fs.readFileSync(path.join(scratch, 'sign.brplt'));
  // A tree: a texture and a CI8 with its palette and another in one
  // folder, two CI8 waiting for theirs in another, with a file the walk
  // leaves.
  Put('tree/a/wood.brtex', sample), Put('tree/a/sign.brtex', sign), Put('tree/a/sign.brplt', palette), Put('tree/a/extra.brplt', palette);
  Put('tree/b/sky.brtex', sign), Put('tree/b/moon.brtex', sign), Put('tree/b/notes.txt', 'not a texture\n');
  Put('sky.brplt', palette), Put('-h', sample), Put('--version', sample), Put('-a', sample);

  await FeedFolder(page, 'tree');
  Check(`${kFirefox ? 'a dropped folder' : 'the folder button'}: every texture found, none else, with its path`, `${await page.$$eval('#results .tile', (all) => all.map((t) => t.dataset.path))}` ===
    'tree/a/sign.brtex,tree/a/wood.brtex,tree/b/moon.brtex,tree/b/sky.brtex');
  await Compare(page, 'a CI8 with the palette of its name', 'tree/a/sign.brtex', 'tree/a/sign.brplt', true, '64 x 32, CI8');
  const wood = await Compare(page, 'an RGBA8 among palettes', 'tree/a/wood.brtex', null, true, '128 x 128, RGBA8');
  await Opened(page, 'tree/a/wood.brtex');
  await Fits(page, '1366 x 768, 128 x 128');
  await Views(page, wood.files['tree/a/wood.bmp'], wood.files['tree/a/wood_alpha.bmp']);
  await Close(page);
  const moon = await Opened(page, 'tree/b/moon.brtex');
  await Close(page);
  Check('a CI8 without a palette of its name waits, offering the palettes given', moon.state === 'waiting' && !moon.text &&
    moon.links.length === 0 && `${moon.choices}` === 'tree/a/extra.brplt,tree/a/sign.brplt', JSON.stringify({ ...moon, links: moon.links.length }));
  // A palette given later goes to the waiting texture of its stem only.
  await Feed(page, ['sky.brplt']);
  await Compare(page, 'a palette given later, to its own stem', 'tree/b/sky.brtex', 'sky.brplt', true, '64 x 32, CI8');
  Check('... and not to another', (await page.$eval(Tile('tree/b/moon.brtex'), (t) => t.dataset.state)) === 'waiting');
  await Opened(page, 'tree/b/moon.brtex');
  await page.select('#detail select:not(.zoom)', '1');
  await page.waitForSelector(`${Tile('tree/b/moon.brtex')}[data-state="converted"]`);
  await Close(page);
  await Compare(page, 'a palette chosen on its card', 'tree/b/moon.brtex', 'tree/a/sign.brplt', true, '64 x 32, CI8');
  // Names that look like options are names: each goes after "--".
  await Feed(page, ['-h', '--version', '-a'], { alpha: false });
  for (const name of ['-h', '--version', '-a']) {
    await Compare(page, `a file named ${name}`, name, null, false, '128 x 128, RGBA8');
  }
  if (screenshot) {
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.screenshot({ path: screenshot });
    await Opened(page, 'tree/a/wood.brtex');
    await page.screenshot({ path: screenshot.replace(/\.png$/, '_open.png') });
    await Close(page);
  }

  // A drop of a folder of 150 entries, walked through its entries as the
  // browser gives them, at most 100 a call: a lone palette serves the CI8
  // textures that have none of their own name.
  const dropped = Array.from({ length: 149 }, (_, i) => [`t${String(i).padStart(3, '0')}.brtex`, [...(i % 5 ? sample : sign)]]);
  dropped.push(['shared.brplt', [...palette]]);
  const drops = await Converted(page) + 1;
  await page.$eval('#alpha', (box) => { box.checked = true; });
  await page.evaluate((files) => {
    const File0 = (name, bytes) => ({ isFile: true, name, file: (resolve) => resolve(new File([new Uint8Array(bytes)], name)) });
    const folder = { isDirectory: true, name: 'drop', createReader: () => {
      let at = 0;
      return { readEntries: (resolve) => { const some = files.slice(at, at + 100).map(([n, b]) => File0(n, b)); at += some.length; resolve(some); } };
    } };
    FromDrop({ items: [{ webkitGetAsEntry: () => folder }], files: [] })().then(Take);
  }, dropped);
  await page.waitForSelector(`body[data-converted="${drops}"]`, { timeout: 120000 });
  dropped.forEach(([name, bytes]) => Put(`drop/${name}`, Buffer.from(bytes)));
  Check('a dropped folder of 150 entries: all 149 textures', await page.$$eval('#results .tile[data-path^="drop/"]', (all) => all.length) === 149);
  await Compare(page, 'a CI8 with the lone palette of its drop', 'drop/t005.brtex', 'drop/shared.brplt', true, '64 x 32, CI8');

  // The same folder given twice: the zip keeps both, the later renamed.
  await FeedFolder(page, 'tree');
  const both = await Zip(page, 'both');
  const all = BelowOut(Native(['--batch', '-a', '-o', 'OUT', 'tree', 'drop'], ['tree', 'drop']).files);
  Check('a zip of PNGs and BMPs holds every native BMP, at its path below -o', Same(both.entries, all), Object.keys(both.entries).slice(0, 8).join(' '));
  Check('... and the same path given twice, the later renamed and said so', both.entries['a/wood (2).png'] &&
    both.entries['a/wood (2).bmp'] && /a\/wood.png was given twice: the later is a\/wood \(2\).png/.test(both.notes), both.notes);
  const pngs = await Zip(page, 'png');
  const nativePngs = BelowOut(Native(['--batch', '--png', '-o', 'OUT', 'tree', 'drop'], ['tree', 'drop']).files);
  Check('a zip of PNGs holds each native --png, and no BMP', Same(pngs.entries, nativePngs) &&
    Object.keys(pngs.entries).every((n) => n.endsWith('.png')), Object.keys(pngs.entries).slice(0, 8).join(' '));

  // A phone: the first texture in view without scrolling, nothing wider.
  await page.setViewport({ width: 390, height: 844 });
  await page.evaluate(() => window.scrollTo(0, 0));
  await Settle(100);
  const phone = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth,
    document.querySelector('#results .tile').getBoundingClientRect().bottom, window.innerHeight]);
  Check(`a phone: the first texture in view, nothing wider than the viewport ${phone}`, phone[0] <= phone[1] && phone[2] <= phone[3]);
  await Opened(page, 'tree/a/sign.brtex');
  await Fits(page, '390 x 844, 64 x 32');
  await Close(page);
  const long = 'a_texture_whose_name_is_longer_than_a_phone_is_wide_01.brtex';
  Put(`tree/${long}`, sample);
  await Feed(page, [`tree/${long}`]);
  await Opened(page, long);
  Check('a phone: a name too long for it cut with an ellipsis, not broken', await page.$eval('#detail h2 .path > span',
    (s) => s.getClientRects().length === 1 && s.scrollWidth > s.clientWidth && getComputedStyle(s).textOverflow === 'ellipsis' &&
      s.getBoundingClientRect().right <= window.innerWidth));
  await Fits(page, '390 x 844, a long name');
  await Close(page);
  await page.setViewport({ width: 1366, height: 768 });
  await page.click('#clear');
  await Settle(100);
  Check('clear all, and the controls disabled again', (await page.$$('#results .tile')).length === 0 &&
    await page.$eval('#counts', (c) => c.hidden) && await Disabled() === 'true,true,true,true,true');

  // A game's tree of 500 painted textures: its zip, and the filter over it.
  spawnSync(path.join(nativeDir, 'make_painted'), ['tree', path.join(scratch, 'game'), '500']);
  const game = Object.keys(FilesBelow(path.join(scratch, 'game'))).map((name) => `game/${name}`);
  // Firefox's driver gives no folder: its files, whose names are all
  // different, go in loose, which pairs them alike.
  await (kFirefox ? Feed(page, game, { alpha: false }) : Feed(page, ['game'], { folder: true, alpha: false }));
  Check('the tree counted', await page.$eval('#counts', (c) => c.textContent) === '500 converted');
  const zip = await Zip(page, 'png');
  const pngsOfGame = Object.fromEntries(Object.entries(BelowOut(Native(['--batch', '--png', '-o', 'OUT', 'game'], ['game']).files))
    .map(([name, bytes]) => [kFirefox ? path.basename(name) : name, bytes]));
  Check('the tree\'s zip holds each native --png', Same(zip.entries, pngsOfGame) && Object.keys(zip.entries).length === 500);
  // The filter narrows the 500 as each key is typed, and says how many.
  const typed = [];
  for (const text of ['t', 'te', 'tex0', 'tex00']) {
    typed.push(await page.evaluate((t) => {
      const start = performance.now(), filter = document.getElementById('filter');
      filter.value = t;
      filter.dispatchEvent(new Event('input'));
      document.getElementById('results').getBoundingClientRect();
      return [performance.now() - start, document.getElementById('shown').textContent,
        document.querySelectorAll('#results .tile:not([hidden])').length];
    }, text));
  }
  const tex00 = game.filter((name) => path.basename(name).startsWith('tex00') && name.endsWith('.brtex')).length;
  const [, said, shown] = typed[3];
  Check(`a filter over 500: each key within 100 ms (${typed.map((t) => t[0].toFixed(0))} ms), "${said}"`,
    typed.every((t) => t[0] <= 100) && shown === tex00 && tex00 > 0 && said === `${tex00} of 500 textures shown`, `${shown} ${tex00}`);
  await page.select('#filter-state', 'failed');
  Check('... and by state', await page.$eval('#shown', (s) => s.textContent) === '0 of 500 textures shown');
  await page.select('#filter-state', '');
  await page.$eval('#filter', (f) => { f.value = ''; f.dispatchEvent(new Event('input')); });
  const size = fs.statSync(pagePath).size - fs.statSync(new URL('../../web/node_modules/fflate/umd/index.js', import.meta.url)).size;
  Check(`one file of at most 400 KB besides the zip library (${(size / 1024).toFixed(0)} KB)`, size <= 400 * 1024);
  const asked = requests.filter((url) => !url.startsWith('blob:') && url !== `file://${pagePath}`);
  Check('nothing asked of any network', asked.length === 0, JSON.stringify(asked));
} finally {
  await browser.close();
  fs.rmSync(scratch, { recursive: true, force: true });
}
console.log(`${count.passed} passed, ${count.failed} failed`);
process.exit(count.failed === 0 ? 0 : 1);
