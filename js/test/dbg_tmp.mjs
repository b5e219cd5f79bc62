import { openPage, serve } from './browser.mjs';
import { writeFileSync } from 'node:fs';
const { server, origin } = await serve('/work/wt/web/build/wasm/web');
const { browser, page, requests } = await openPage(origin);
page.on('console', (m) => console.log('console:', m.text()));
page.on('pageerror', (e) => console.log('pageerror:', e.message));
await page.goto(origin + '/'); await page.waitForSelector('body[data-ready]');
writeFileSync('/tmp/wt/big.txt', Buffer.alloc(50e6, 'aé\n'));
const input = await page.$('#file'); await input.uploadFile(process.argv[2]);
for (let i = 0; i < 10; i++) { await new Promise(r => setTimeout(r, 1000)); console.log(await page.$eval('#file-status', e => e.textContent), await page.$eval('#progress', e => e.value)); }
console.log(requests);
await browser.close(); server.close();
