// The browser page, opened from file:// in Debian's Chromium and fed through
// its file input, held against the native tool run on the same names: the
// text and status shown, the bytes behind every download link, preview and
// PNG pixels. Also its size, that it asks no network for anything, the time
// of a 1024 x 1024 conversion beside the native tool's, and a screenshot.
//
//   [KESTRUNE_BROWSER=firefox] node page_test.mjs <kestrune.html> <native build folder> [screenshot.png]
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
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

// The RGBA bytes of an 8-bit RGBA PNG, its rows unfiltered.
function PngPixels(png) {
  const width = png.readUInt32BE(16), height = png.readUInt32BE(20), stride = 4 * width, parts = [];
  for (let at = 8; at < png.length; at += 12 + png.readUInt32BE(at)) {
    if (png.toString('latin1', at + 4, at + 8) === 'IDAT') parts.push(png.subarray(at + 8, at + 8 + png.readUInt32BE(at)));
  }
  const raw = zlib.inflateSync(Buffer.concat(parts)), out = Buffer.alloc(stride * height);
  for (let y = 0; y < height; ++y) {
    const filter = raw[y * (stride + 1)];
    for (let i = 0; i < stride; ++i) {
      const at = y * stride + i, a = i >= 4 ? out[at - 4] : 0, b = y > 0 ? out[at - stride] : 0;
      const c = i >= 4 && y > 0 ? out[at - stride - 4] : 0, p = a + b - c;
      const [pa, pb, pc] = [a, b, c].map((v) => Math.abs(p - v));
      const paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      out[at] = raw[y * (stride + 1) + 1 + i] + [0, a, b, (a + b) >> 1, paeth][filter];
    }
  }
  return { width, height, data: out };
}

// Feeds `names` to the page and returns what its newest card shows: the
// bytes behind its links (in base64, which crosses to the test quickly) and
// the pixels of its images at `kPoints`, the last one the bottom right.
const kPoints = [[0, 0], [3, 1], [17, 9], [40, 20], [-1, -1]];
async function Feed(page, names, alpha) {
  const done = Number(await page.$eval('body', (b) => b.dataset.converted || 0)) + 1;
  await page.$eval('#alpha', (box, on) => { box.checked = on; }, alpha);
  await (await page.$('#files')).uploadFile(...names.map((n) => path.join(scratch, n)));
  await page.waitForSelector(`body[data-converted="${done}"]`, { timeout: 60000 });
  const shown = await page.$eval('#results .card', async (card, points) => ({
    text: card.querySelector('pre').textContent, status: Number(card.dataset.status), ms: Number(card.dataset.ms),
    facts: card.querySelector('.facts').textContent, note: card.querySelector('.note')?.textContent,
    links: await Promise.all([...card.querySelectorAll('a[download]')].map(async (a) => ({
      name: a.download, base64: await new Promise(async (resolve) => {
        const reader = Object.assign(new FileReader(), { onload: () => resolve(reader.result.split(',')[1]) });
        reader.readAsDataURL(await (await fetch(a.href)).blob());
      }) }))),
    views: [...card.querySelectorAll('canvas')].map((c) => points.map(([x, y]) => (x < 0 ? [c.width - 1, c.height - 1] : [x, y]))
      .map(([x, y]) => ({ x, y, rgba: [...c.getContext('2d').getImageData(x, y, 1, 1).data] }))),
  }), kPoints);
  shown.links.forEach((link) => { link.bytes = Buffer.from(link.base64, 'base64'); });
  return shown;
}

// One conversion in the page against the same one by the native tool.
async function Compare(page, what, names, alpha, facts) {
  const shown = await Feed(page, names, alpha);
  const native = Native([...(alpha ? ['-a'] : []), ...names], names);
  Check(`${what}: text and status ${native.status}`, shown.text === native.text && shown.status === native.status,
    JSON.stringify([shown.text, shown.status, native.text]));
  const bmps = shown.links.filter((l) => l.name.endsWith('.bmp'));
  Check(`${what}: the tool's BMPs offered`, bmps.length === Object.keys(native.files).length &&
    bmps.every((l) => native.files[l.name] && l.bytes.equals(native.files[l.name])));
  if (native.status !== 0) {
    Check(`${what}: nothing else offered or shown`, shown.links.length === 0 && shown.views.length === 0);
    return shown;
  }
  Check(`${what}: ${facts}`, shown.facts.startsWith(facts), shown.facts);
  const colourName = names[0].replace(/\.brtex$/, '.bmp'), colour = native.files[colourName];
  const alphaName = colourName.replace(/\.bmp$/, '_alpha.bmp');
  const alphaBmp = native.files[alphaName] || Native(['-a', ...names], names).files[alphaName];
  const [colourView, alphaView] = shown.views;
  Check(`${what}: preview pixels`, colourView.every(({ x, y, rgba }, i) => `${rgba.slice(0, 3)}` === `${BmpPixel(colour, x, y)}` &&
    alphaView[i].rgba[0] === BmpPixel(alphaBmp, x, y)[0]));
  const png = PngPixels(shown.links.find((l) => l.name.endsWith('.png')).bytes), width = colour.readInt32LE(18);
  let same = png.width === width && png.height === colour.readInt32LE(22);
  for (let at = 0; same && at < png.data.length; at += 4) {
    const x = (at / 4) % width, y = Math.floor(at / 4 / width);
    same = `${[...png.data.subarray(at, at + 4)]}` === `${[...BmpPixel(colour, x, y), BmpPixel(alphaBmp, x, y)[0]]}`;
  }
  Check(`${what}: PNG pixels are the colour BMP's with the alpha BMP's`, same);
  return shown;
}

// Debian's Chromium, or with KESTRUNE_BROWSER=firefox its Firefox ESR.
const browser = await puppeteer.launch(kFirefox
  ? { browser: 'firefox', executablePath: '/usr/bin/firefox-esr', headless: true }
  : { executablePath: '/usr/bin/chromium', headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
             '--disable-component-update', '--disable-sync', `--user-data-dir=${path.join(scratch, 'profile')}`] });
try {
  const page = await browser.newPage(), requests = [];
  page.on('request', (request) => requests.push(request.url()));
  page.on('pageerror', (error) => Check('no error in the page', false, error.message));
  await page.setViewport({ width: 1100, height: 900 });
  await page.goto(`file://${pagePath}`);
  await page.waitForSelector('body[data-ready="yes"]', { timeout: 30000 });

  spawnSync(path.join(nativeDir, 'make_sample'), [scratch]);
  fs.writeFileSync(path.join(scratch, 'notes.txt'), 'not a texture\n');
  // The sample's header, grown to 1024 x 1024, over pseudo-random texels.
  const header = fs.readFileSync(path.join(scratch, 'sample.brtex')).subarray(0, 64);
  header.writeUInt32BE(0x04000400, 28);
  const texels = Buffer.from(Array.from({ length: 1 << 22 }, (_, i) => (i * 2654435761) >>> 24));
  fs.writeFileSync(path.join(scratch, 'large.brtex'), Buffer.concat([header, texels]));
  await Compare(page, 'CI8 without its palette', ['sign.brtex'], true);
  await Compare(page, 'not a BRTEX file', ['notes.txt'], false);
  await Compare(page, 'CI8 with its palette', ['sign.brtex', 'sign.brplt'], false, '64 x 32, CI8');
  await Compare(page, 'RGBA8 with -a', ['sample.brtex'], true, '128 x 128, RGBA8');
  await page.select('#zoom', '2');
  Check('zoom 2x draws a texel as 2 x 2 pixels', await page.$eval('#results canvas', (c) => c.style.width === `${2 * c.width}px`));
  if (screenshot) {
    await page.screenshot({ path: screenshot });
  }
  // Among several palettes, none named after the texture, none is given.
  ['a.brplt', 'b.brplt'].forEach((name) => fs.copyFileSync(path.join(scratch, 'sign.brplt'), path.join(scratch, name)));
  const unmatched = await Feed(page, ['sign.brtex', 'a.brplt', 'b.brplt'], false);
  Check('two palettes named otherwise: the tool gets none, and the page says so',
    unmatched.text === Native(['sign.brtex'], ['sign.brtex']).text && /none was given/.test(unmatched.note), JSON.stringify(unmatched));
  // The first conversion of a size runs in the browser's quick first
  // compilation of the tool, later ones in its optimised code: both count.
  const first = await Compare(page, '1024 x 1024 RGBA8', ['large.brtex'], true, '1024 x 1024, RGBA8');
  const again = await Feed(page, ['large.brtex'], true);
  const native = Math.min(...[1, 2, 3, 4, 5].map(() => Native(['-a', 'large.brtex'], ['large.brtex']).ms));
  console.log(`1024 x 1024 RGBA8 with -a, in milliseconds: the page ${first.ms} the first time, ${again.ms} again; ` +
              `the native tool ${native.toFixed(1)}, its process included`);
  const size = fs.statSync(pagePath).size;
  Check(`one file of at most 400 KB (${(size / 1024).toFixed(0)} KB)`, size <= 400 * 1024);
  const asked = requests.filter((url) => !url.startsWith('blob:') && url !== `file://${pagePath}`);
  Check('nothing asked of any network', asked.length === 0, JSON.stringify(asked));
} finally {
  await browser.close();
  fs.rmSync(scratch, { recursive: true, force: true });
}
console.log(`${count.passed} passed, ${count.failed} failed`);
process.exit(count.failed === 0 ? 0 : 1);
