// What the page's test and its benchmark share: the page and the native
// tool they are given, a scratch folder, files put there, the native tool
// run on them, the browser started and the page opened, and the page fed
// files and folders as a user gives them.
//
//   [KESTRUNE_BROWSER=firefox] node SCRIPT <kestrune.html> <native build folder> [...]
// The scripts that import this pass their own puppeteer, from their own
// node_modules (tests/web's).
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

export const [pagePath, nativeDir] = process.argv.slice(2).map((a) => path.resolve(a));
export const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrune-page-'));
export const kFirefox = process.env.KESTRUNE_BROWSER === 'firefox';

// Every file below `folder`, by its path there, with its bytes.
export function FilesBelow(folder, below = '') {
  return Object.assign({}, ...fs.readdirSync(path.join(folder, below), { withFileTypes: true }).map((entry) => {
    const name = below ? `${below}/${entry.name}` : entry.name;
    return entry.isDirectory() ? FilesBelow(folder, name) : { [name]: fs.readFileSync(path.join(folder, name)) };
  }));
}

// The native tool in a folder of its own holding `paths` (below the
// scratch folder, at the same paths): status, text, the files it wrote,
// and the time its process took.
export function Native(args, paths) {
  const folder = fs.mkdtempSync(path.join(scratch, 'native-'));
  paths.forEach((p) => fs.cpSync(path.join(scratch, p), path.join(folder, p), { recursive: true }));
  const start = process.hrtime.bigint();
  const run = spawnSync(path.join(nativeDir, 'kestrune'), args, { cwd: folder, encoding: 'latin1' });
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  const given = FilesBelow(folder);
  paths.forEach((p) => Object.keys(given).filter((n) => n === p || n.startsWith(`${p}/`)).forEach((n) => delete given[n]));
  return { status: run.status, text: run.stdout, files: given, ms };
}

export function Put(name, bytes) {
  fs.mkdirSync(path.dirname(path.join(scratch, name)), { recursive: true });
  fs.writeFileSync(path.join(scratch, name), bytes);
}

export const Converted = (page) => page.$eval('body', (b) => Number(b.dataset.converted || 0));
export const Settle = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Waits until `predicate`, run in the page, holds, asking every 50 ms with
// a plain evaluation: puppeteer's own waiting runs a script of its own in
// the page, which would count among the page's stalls.
export async function Until(page, predicate, arg = null, timeout = 120000) {
  for (const end = Date.now() + timeout; !(await page.evaluate(predicate, arg));) {
    if (Date.now() > end) {
      throw new Error(`timed out waiting for ${predicate}`);
    }
    await Settle(50);
  }
}

// Gives `paths` to the page through its file button, or a folder through
// its folder button, and waits for its queue.
export async function Feed(page, paths, { folder = false, alpha = true } = {}) {
  const done = await Converted(page) + 1;
  await page.$eval('#alpha', (box, on) => { box.checked = on; }, alpha);
  await (await page.$(folder ? '#folder' : '#files')).uploadFile(...paths.map((p) => path.join(scratch, p)));
  await Until(page, (n) => Number(document.body.dataset.converted || 0) >= n, done);
}

// Gives the folder `folder` to the page: through its folder button, or
// where the driver can give no folder to an input (Firefox's), as a drop,
// through the page's own walk of the entries a browser gives, here made
// of the folder's files.
export async function FeedFolder(page, folder, options = {}) {
  if (!kFirefox) {
    await Feed(page, [folder], { ...options, folder: true });
    return;
  }
  const done = await Converted(page) + 1;
  await page.$eval('#alpha', (box, on) => { box.checked = on; }, options.alpha ?? true);
  const files = Object.entries(FilesBelow(path.join(scratch, folder))).map(([name, bytes]) => [name, bytes.toString('base64')]);
  await page.evaluate((top, all) => {
    const Folder = (name, below) => {
      const children = new Map();
      for (const [p, base64] of all.filter(([p]) => p.startsWith(below))) {
        const [first, ...rest] = p.slice(below.length).split('/');
        if (rest.length === 0) {
          const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
          children.set(first, { isFile: true, name: first, file: (resolve) => resolve(new File([bytes], first)) });
        } else if (!children.has(first)) {
          children.set(first, Folder(first, `${below}${first}/`));
        }
      }
      return { isDirectory: true, name, createReader: () => {
        let given = false;
        return { readEntries: (resolve) => { resolve(given ? [] : [...children.values()]); given = true; } };
      } };
    };
    FromDrop({ items: [{ webkitGetAsEntry: () => Folder(top, '') }], files: [] })().then(Take);
  }, folder, files);
  await Until(page, (n) => Number(document.body.dataset.converted || 0) >= n, done);
}

export const Tile = (p) => `#results .tile[data-path="${p.replace(/"/g, '\\"')}"]`;

// Debian's Chromium, or with KESTRUNE_BROWSER=firefox its Firefox ESR, and
// the page opened in it at 1366 x 768, its tool started; every URL the page
// asks for is kept in `requests`.
export async function Launch(puppeteer) {
  const browser = await puppeteer.launch(kFirefox
    ? { browser: 'firefox', executablePath: '/usr/bin/firefox-esr', headless: true }
    : { executablePath: '/usr/bin/chromium', headless: true,
        args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
               '--disable-component-update', '--disable-sync', '--js-flags=--expose-gc', `--user-data-dir=${path.join(scratch, 'profile')}`] });
  const page = await browser.newPage(), requests = [];
  page.on('request', (request) => requests.push(request.url()));
  await page.setViewport({ width: 1366, height: 768 });
  await page.goto(`file://${pagePath}`);
  await page.waitForSelector('body[data-ready="yes"]', { timeout: 30000 });
  spawnSync(path.join(nativeDir, 'make_sample'), [scratch]);
  return { browser, page, requests };
}
