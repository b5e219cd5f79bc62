// The offline page in a real browser (Debian's Chromium, headless): typed
// text through every filter, a 50 MB file converted in the worker and
// downloaded, invalid input shown where it is; the output compared with the
// tool's, and no request to any host but the page's own on 127.0.0.1.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { openPage, serve } from './browser.mjs';
import { TOOL, WEB, random, randomText, runTool, tobble } from './support.mjs';

const work = mkdtempSync(path.join(os.tmpdir(), 'tobble-page-'));
let server, origin, browser, page, requests;

before(async () => {
  ({ server, origin } = await serve(WEB));
  ({ browser, page, requests } = await openPage(origin));
  await page.goto(`${origin}/`);
  await page.waitForSelector('body[data-ready]');
});

after(async () => {
  await browser?.close();
  server?.close();
  rmSync(work, { recursive: true, force: true });
});

const value = (selector) => page.$eval(selector, (element) => element.value);
const text = (selector) => page.$eval(selector, (element) => element.textContent);

async function typeInto(filter, typed) {
  await page.select('#filter', filter);
  await page.$eval('#input', (element) => {
    element.value = '';
  });
  await page.type('#input', typed);
}

test('typed text through every filter gives what the tool gives', async () => {
  for (const { name, example } of tobble.FILTERS) {
    const typed = `${example} & <b>"x"</b> ½ 😀 \\u00e9 &eacute; %C3%A9 a+b ~`;
    await typeInto(name, typed);
    const tool = runTool(name, Buffer.from(typed));
    assert.equal(await value('#output'), Buffer.from(tool.stdout).toString(), name);
  }
});

test("the package in the browser, without Node's buffers, converts as in Node", async () => {
  const next = random(5000);
  const texts = [0, 3, 50, 700, 150000].map((length) => randomText(next, length));
  for (const { name } of tobble.FILTERS) {
    const inBrowser = await page.evaluate(
      async (filter, texts) => {
        const { convert } = await import('./tobble/index.js');
        return texts.map((text) => convert(filter, text));
      },
      name,
      texts,
    );
    assert.deepEqual(inBrowser, texts.map((text) => tobble.convert(name, text)), name);
  }
});

test('the swap button turns to the inverse filter with the result as input', async () => {
  const typed = '<a href="?q=é">😀</a>';
  await typeInto('text2charref', typed);
  await page.click('#swap');
  assert.equal(await value('#filter'), 'charref2text');
  assert.equal(await value('#output'), typed);
});

async function convertFile(file, filter) {
  await page.select('#filter', filter);
  await page.$eval('#download', (element) => {
    element.hidden = true;
  });
  const input = await page.$('#file');
  await input.uploadFile(file);
  await page.waitForSelector('#download:not([hidden])', { timeout: 120000 });
}

async function downloadResult() {
  const folder = mkdtempSync(path.join(work, 'download-'));
  const session = await browser.target().createCDPSession();
  await session.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: folder, eventsEnabled: true });
  const finished = new Promise((resolve, reject) => {
    session.on('Browser.downloadProgress', (event) => {
      if (event.state === 'completed') resolve();
      if (event.state === 'canceled') reject(new Error('download cancelled'));
    });
  });
  await page.click('#download');
  await finished;
  await session.detach();
  const [file] = readdirSync(folder);
  return readFileSync(path.join(folder, file));
}

test('a 50 MB file is converted in pieces and the download equals the tool output', async () => {
  const next = random(4000);
  let sample = '';
  while (sample.length < 1 << 20) sample += randomText(next, 4096).replace(/[\ud800-\udfff]/g, 'é') + '\n';
  const bytes = Buffer.from(sample);
  const file = path.join(work, 'large.txt');
  writeFileSync(file, Buffer.concat(Array(Math.ceil(50e6 / bytes.length)).fill(bytes)).subarray(0, 50e6));
  const tool = spawnSync(TOOL, ['tobbleC', file], { maxBuffer: 1 << 30 });
  assert.equal(tool.status, 0, tool.stderr.toString());

  // The page takes the worker's progress while it converts: the bar moves
  // through values between empty and full.
  const moving = page.waitForFunction(
    () => {
      const { value } = document.getElementById('progress');
      return value > 0 && value < 1;
    },
    { polling: 'mutation', timeout: 120000 },
  );
  await convertFile(file, 'tobbleC');
  await moving;
  assert.match(await text('#file-status'), /^Done: 47\.7 MiB in/);
  assert.equal(await page.$eval('#progress', (element) => element.value), 1);
  // What the page hides is not shown: the bar and the cancel button.
  for (const selector of ['#progress', '#cancel']) {
    assert.equal(await page.$eval(selector, (element) => getComputedStyle(element).display), 'none', selector);
  }
  const downloaded = await downloadResult();
  assert.equal(downloaded.length, tool.stdout.length);
  assert.ok(downloaded.equals(tool.stdout), 'the download differs from the tool output');
});

test('invalid input: its byte offset shown, and the part before it offered', async () => {
  const file = path.join(work, 'invalid.txt');
  const bytes = Buffer.concat([Buffer.from('café '.repeat(100)), Buffer.of(0xe6, 0x97, 0x41), Buffer.from('rest')]);
  writeFileSync(file, bytes);
  const tool = runTool('tobbleJ', bytes);
  assert.equal(tool.offset, 600);

  await convertFile(file, 'tobbleJ');
  assert.match(await text('#file-status'), /^Invalid UTF-8 at byte 600\./);
  assert.equal(await text('#invalid mark'), 'e6');
  assert.ok((await downloadResult()).equals(Buffer.from(tool.stdout)));
});

test('every control has a label and the keyboard reaches each in turn', async () => {
  const unlabelled = await page.$$eval('select, textarea, input, button', (controls) =>
    controls.filter((c) => c.labels?.length === 0 && !c.textContent.trim() && !c.ariaLabel).map((c) => c.id),
  );
  assert.deepEqual(unlabelled, []);
  await page.focus('#filter');
  const reached = [];
  for (let i = 0; i < 8; i++) {
    reached.push(await page.evaluate(() => document.activeElement.id));
    await page.keyboard.press('Tab');
  }
  assert.deepEqual(reached, ['filter', 'swap', 'input', 'output', 'copy', 'save-text', 'encoding', 'replace']);
  // The file input, hidden from sight, is next, and shows its focus on the drop zone.
  assert.equal(await page.evaluate(() => document.activeElement.id), 'file');
  assert.ok(await page.$eval('#drop', (element) => element.matches(':focus-within')));
});

test('no request left 127.0.0.1', () => {
  // The log holds the page's requests and its workers': each worker loads
  // the package and its module again.
  const own = (file) => `${origin}/${file}`;
  for (const file of ['', 'app.js', 'style.css', 'worker.js']) {
    assert.ok(requests.includes(own(file)), `${own(file)} not in the log`);
  }
  assert.ok(requests.filter((url) => url === own('tobble/tobble.wasm')).length >= 2, 'no worker request logged');
  const elsewhere = requests.filter(
    (url) => !url.startsWith(`${origin}/`) && !url.startsWith(`blob:${origin}/`) && !url.startsWith('data:'),
  );
  assert.deepEqual(elsewhere, []);
});
