// What the package's tests share: where the package and the tool are, a
// seeded random source, random texts and bytes that put every filter's
// syntax next to lone surrogates and invalid input, and the tool run on them.
import { spawnSync } from 'node:child_process';
import { rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const PACKAGE = path.resolve(root, process.env.TOBBLE_JS_PACKAGE ?? 'build/wasm/package');
export const TOOL = path.resolve(root, process.env.TOBBLE_TOOL ?? 'build/release/tobble');
export const WEB = path.resolve(root, process.env.TOBBLE_WEB ?? 'build/wasm/web');

export const tobble = await import(path.join(PACKAGE, 'index.js'));

// A small seeded generator (mulberry32), so that a failure repeats.
export function random(seed) {
  let a = seed >>> 0;
  const next = () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
  next.below = (n) => Math.floor(next() * n);
  next.pick = (items) => items[next.below(items.length)];
  return next;
}

// Pieces of text that each filter reads or writes specially, whole and cut
// short, with the characters around them.
const PIECES = [
  'a', 'Z', '0', ' ', '\n', '\r\n', '\t', '<', '>', '"', "'", '&', '%', '+', '/', '\\', '~', '-',
  'é', 'ß', '日本', '\u00a0', '\ufeff', '\uffff', '\u0000', '😀', '👍🏽', '\ud800', '\udfff', '\udbff',
  '\\u00e9', '\\u00E9', '\\ud83d\\ude00', '\\ud800', '\\udc00x', '\\U0001f600', '\\U0010FFFF',
  '\\U00110000', '\\u12', '\\uZZZZ', '\\\\u0041', '\\U0001F6',
  '&amp;', '&lt;', '&lt', '&eacute;', '&notin;', '&notit;', '&#233;', '&#xE9;', '&#x1F600;',
  '&#0;', '&#xD800;', '&#1114112;', '&#', '&#x;', '&AMP', '&amp', '&zzz;',
  '%C3%A9', '%c3%a9', '%E6%97%A5', '%F0%9F%98%80', '%ED%A0%80', '%C3', '%80', '%zz', '%4', '%%', '%2B',
];

// A random text of about `length` units.
export function randomText(next, length) {
  let text = '';
  while (text.length < length) text += next.pick(PIECES);
  return text;
}

// Byte sequences that are not well-formed UTF-8, each of a different kind.
const INVALID_UTF8 = [
  [0xff], [0x80], [0xc0, 0x80], [0xc3], [0xe6, 0x97], [0xed, 0xa0, 0x80], [0xf4, 0x90, 0x80, 0x80],
  [0xf0, 0x9f, 0x98], [0xf5], [0xe0, 0x80, 0x80],
];

// Random text as bytes in `encoding`, with invalid input now and then when
// `invalid` is set (and in UTF-16, an odd last byte).
export function randomBytes(next, length, encoding, invalid) {
  const parts = [];
  let size = 0;
  while (size < length) {
    let part;
    if (invalid && encoding === 'utf-8' && next() < 0.05) {
      part = Buffer.from(next.pick(INVALID_UTF8));
    } else {
      part = encode(next.pick(PIECES), encoding);
    }
    parts.push(part);
    size += part.length;
  }
  if (invalid && encoding !== 'utf-8') parts.push(Buffer.of(0x41));
  return new Uint8Array(Buffer.concat(parts));
}

// A text as bytes; in UTF-8 a lone surrogate is not text and becomes U+FFFD.
export function encode(text, encoding) {
  if (encoding === 'utf-8') return Buffer.from(text, 'utf8');
  const le = Buffer.from(text, 'utf16le');
  return encoding === 'utf-16le' ? le : le.swap16();
}

// The tool's output, exit status and the offset its error message gives.
// The input goes through a file: on a pipe the tool may stop reading at
// invalid input, before the whole input is written.
const toolInput = path.join(os.tmpdir(), `tobble-js-test-${process.pid}.in`);
process.on('exit', () => rmSync(toolInput, { force: true }));
export function runTool(filter, input, { encoding = 'utf-8', replace = false } = {}) {
  writeFileSync(toolInput, input);
  const args = ['-e', encoding, ...(replace ? ['--replace'] : []), filter, toolInput];
  const run = spawnSync(TOOL, args, { maxBuffer: 1 << 30 });
  if (run.error) throw run.error;
  const stderr = run.stderr.toString();
  const offset = /at byte (\d+)/.exec(stderr);
  return { status: run.status, stdout: new Uint8Array(run.stdout), stderr, offset: offset && Number(offset[1]) };
}

// Cuts bytes at random points into pieces, some of them empty.
export function cut(next, bytes) {
  const pieces = [];
  let at = 0;
  while (at < bytes.length) {
    const size = next() < 0.1 ? 0 : 1 + next.below(next() < 0.5 ? 8 : 70000);
    pieces.push(bytes.subarray(at, at + size));
    at += size;
  }
  return pieces;
}

export function concat(chunks) {
  return new Uint8Array(Buffer.concat(chunks));
}
