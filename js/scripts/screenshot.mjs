// Takes the README's screenshot of the page (docs/web.png): the built page
// served on 127.0.0.1 in headless Chromium, with an example typed in.
// Usage: node js/scripts/screenshot.mjs [OUTPUT.png]
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { openPage, serve } from '../test/browser.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const web = path.resolve(root, process.env.TOBBLE_WEB ?? 'dist/web');
const out = path.resolve(root, process.argv[2] ?? 'docs/web.png');

const { server, origin } = await serve(web);
const { browser, page } = await openPage(origin, { width: 1100, height: 940 });
try {
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'light' }]);
  await page.goto(`${origin}/`);
  await page.waitForSelector('body[data-ready]');
  await page.select('#filter', 'text2charref');
  await page.type('#input', '<p class="note">Crème brûlée for 2 — 5 € & a 😀</p>\nΚαλημέρα, κόσμε');
  await page.screenshot({ path: out });
  console.log(`screenshot: ${path.relative(root, out)}`);
} finally {
  await browser.close();
  server.close();
}
