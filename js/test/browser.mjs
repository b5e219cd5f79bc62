// The page in Debian's Chromium, headless, driven through the DevTools
// protocol. One server on 127.0.0.1 serves the built page and is also the
// browser's proxy for every request, loopback included: it refuses any for
// another host, so none leaves the machine.
import { createReadStream, statSync } from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.wasm': 'application/wasm',
};

// Serves the files under `root` at its origin and nothing else. Resolves to
// the server, its origin and the log of every request it was asked for
// (absolute URLs, or "CONNECT host:port").
export async function serve(root) {
  const requests = [];
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, origin);
    requests.push(url.href);
    if (url.origin !== origin) {
      response.writeHead(403).end();
      return;
    }
    const file = path.join(root, decodeURIComponent(url.pathname).replace(/\/$/, '/index.html'));
    let stat;
    try {
      stat = file.startsWith(root + path.sep) ? statSync(file) : null;
    } catch {
      stat = null;
    }
    if (!stat?.isFile()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, {
      'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream',
      'Content-Length': stat.size,
    });
    createReadStream(file).pipe(response);
  });
  server.on('connect', (request, socket) => {
    requests.push(`CONNECT ${request.url}`);
    socket.end('HTTP/1.1 403 Forbidden\r\n\r\n');
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const origin = `http://127.0.0.1:${server.address().port}`;
  return { server, origin, requests };
}

export const CHROMIUM = process.env.TOBBLE_CHROMIUM ?? '/usr/bin/chromium';

// Headless Chromium (as root it needs --no-sandbox) with the server as its
// proxy for everything, and a page whose requests, and its workers', are
// logged in `requests` as DevTools reports them. The proxy's own log also
// holds what the browser asks for by itself (update checks and the like),
// refused like anything else for another host.
export async function openPage(origin, { width = 1200, height = 900 } = {}) {
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: [
      '--no-sandbox',
      '--disable-dev-shm-usage',
      `--proxy-server=${origin}`,
      '--proxy-bypass-list=<-loopback>',
    ],
  });
  const page = await browser.newPage();
  await page.setViewport({ width, height });
  const requests = [];
  page.on('request', (request) => requests.push(request.url()));
  return { browser, page, requests };
}
