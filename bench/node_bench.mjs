// The npm package in Node, beside the npm libraries people use for the same
// jobs (entities, he) and V8's own functions where they are peers
// (encodeURIComponent, decodeURIComponent, JSON.parse): each filter's
// tobble.convert() on the bench corpora as strings, then each peer on the
// same text, in one process; a 64 KiB row on eight different texts of that
// size in turn, and on the one 64 KiB text over and over beside it. The same package over a module whose filters
// take their plain unit-by-unit versions and whose loops are not vectorized
// (tobble-scalar.wasm) shows what the fast paths, 128-bit wasm SIMD above
// all, are worth.
//
// Usage: node --expose-gc bench/node_bench.mjs MANIFEST OUT_JSON PACKAGE_DIR SCALAR_WASM [--quick]
//
// MANIFEST is the corpus list that bench_corpus prints; PACKAGE_DIR the
// built package (build/wasm/package). Every figure is the fastest of
// several timed rounds; rates are MB/s of UTF-16 input, as in the rest of
// the report. The peers' npm packages come from bench/node_modules (make
// deps-bench).
import { copyFileSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';

const args = process.argv.slice(2).filter((a) => !a.startsWith('--'));
const quick = process.argv.includes('--quick');
if (args.length !== 4) {
  console.error('usage: node bench/node_bench.mjs MANIFEST OUT_JSON PACKAGE_DIR SCALAR_WASM [--quick]');
  process.exit(2);
}
const [manifest, out, packageDir, scalarWasm] = args;

const require = createRequire(import.meta.url);
const entities = require('entities');
const he = require('he');
const tobble = await import(path.resolve(packageDir, 'index.js'));

// The same package over the module without SIMD, from a folder of its own.
const scalarDir = mkdtempSync(path.join(os.tmpdir(), 'tobble-scalar-'));
copyFileSync(path.resolve(packageDir, 'index.js'), path.join(scalarDir, 'index.js'));
copyFileSync(scalarWasm, path.join(scalarDir, 'tobble.wasm'));
const scalar = await import(path.join(scalarDir, 'index.js'));
rmSync(scalarDir, { recursive: true });

// The peers of each filter: a name, the input made from the corpus text
// (untimed) and the timed call. A peer does the same job in its own dialect
// (entities picks named references where it has them, encodeURIComponent
// writes a space as %20); JSON.parse reads the escapes inside a JSON string.
const jsonString = (text) =>
  `"${text.replace(/["\u0000-\u001f]/g, (c) => `\\u${c.charCodeAt(0).toString(16).padStart(4, '0')}`)}"`;
const same = (text) => text;
const PEERS = {
  untobbleJ: [['JSON.parse', jsonString, JSON.parse, 'v8']],
  charref2text: [
    ['entities.decodeHTML', same, entities.decodeHTML, 'npm'],
    ['he.decode', same, (s) => he.decode(s), 'npm'],
  ],
  text2charref: [
    ['entities.encodeNonAsciiHTML', same, entities.encodeNonAsciiHTML, 'npm'],
    ['he.encode decimal', same, (s) => he.encode(s, { decimal: true }), 'npm'],
  ],
  text2charrefx: [
    ['entities.encodeXML', same, entities.encodeXML, 'npm'],
    ['he.encode', same, (s) => he.encode(s), 'npm'],
  ],
  URLencode: [['encodeURIComponent', same, encodeURIComponent, 'v8']],
  URLdecode: [['decodeURIComponent', (s) => s.replaceAll('+', '%20'), decodeURIComponent, 'v8']],
};

// The fastest time of one call, over `rounds` rounds of enough calls to take
// `minTime` seconds each, after as long again of calls to warm the engine
// up, with the garbage of earlier measurements collected first (node
// --expose-gc). Each call takes the next of `args` in turn.
function bestTime(call, args, minTime, rounds) {
  globalThis.gc?.();
  const all = () => {
    for (const argument of args) call(argument);
  };
  let start = performance.now();
  do all();
  while (performance.now() - start < minTime * 1000);
  start = performance.now();
  all();
  const once = Math.max((performance.now() - start) / 1000, 1e-7);
  const number = Math.max(1, Math.floor(minTime / once));
  let best = number === 1 ? once : Infinity;
  for (let round = number === 1 ? 1 : 0; round < rounds; round++) {
    start = performance.now();
    for (let i = 0; i < number; i++) all();
    best = Math.min(best, (performance.now() - start) / 1000 / number);
  }
  return best / args.length;
}

// A 64 KiB row converts this many different texts of that size in turn, cut
// one after another from the corpus's 16 MiB text, each after a line so
// that no escape or reference is cut in two. Called on one text over and
// over, the processor's branch predictor learns it, for tobble and the
// peers alike; the figure on the one text stays beside.
const DISTINCT_TEXTS = 8;
function distinctTexts(text, source) {
  const texts = [];
  let start = 0;
  while (texts.length < DISTINCT_TEXTS) {
    let end = start + text.length;
    if (end > source.length) return [text];
    const lineEnd = source.indexOf('\n', end - 1);
    if (lineEnd >= 0 && lineEnd < end + 1000) end = lineEnd + 1;
    texts.push(source.slice(start, end));
    start = end;
  }
  return texts;
}

const sizes = quick ? ['64K'] : ['64K', '16M'];
const lines = readFileSync(manifest, 'utf8')
  .split('\n')
  .filter((line) => line.length > 0)
  .map((line) => line.split('\t'))
  .filter((f) => f[1] !== '-');
const files = new Map(lines.map((f) => [`${f[0]} ${f[1]} ${f[2]}`, f[3]]));
const rows = lines
  .filter((f) => sizes.includes(f[2]))
  .map((f) => ({ filter: f[0], corpus: f[1], size: f[2], file: f[3], utf16: Number(f[4]) }));

const load = os.loadavg();
const results = [];
for (const [index, row] of rows.entries()) {
  console.log(`  [${index + 1}/${rows.length}] ${row.filter} ${row.corpus} ${row.size}`);
  const text = readFileSync(row.file, 'utf8');
  const [minTime, rounds] = quick ? [0.05, 2] : row.size === '64K' ? [0.2, 5] : [0.3, 3];
  const result = { ...row, peers: [] };
  delete result.file;
  const expected = tobble.convert(row.filter, text);
  if (scalar.convert(row.filter, text) !== expected) throw new Error(`the scalar module differs on ${row.file}`);
  const source = row.size === '64K' ? files.get(`${row.filter} ${row.corpus} 16M`) : undefined;
  const texts = source && !quick ? distinctTexts(text, readFileSync(source, 'utf8')) : [text];
  result.texts = texts.length;
  // The texts' lengths differ by part of a line: the times are those of a
  // text as long as the corpus's.
  const scale = (text.length * texts.length) / texts.reduce((sum, t) => sum + t.length, 0);
  // The time on the texts in turn, and on the one text when there are several.
  const timed = (call, prepare, oneText = true) => {
    const seconds = scale * bestTime(call, texts.map(prepare), minTime, rounds);
    if (texts.length === 1 || !oneText) return [seconds];
    return [seconds, bestTime(call, [prepare(text)], minTime, rounds)];
  };
  [result.tobble_s, result.tobble_one_text_s] = timed((s) => tobble.convert(row.filter, s), same);
  [result.scalar_s] = timed((s) => scalar.convert(row.filter, s), same, false);
  for (const [name, prepare, call, kind] of PEERS[row.filter] ?? []) {
    try {
      const [seconds, oneText] = timed(call, prepare);
      result.peers.push({ name, kind, seconds, one_text_s: oneText });
    } catch (error) {
      // A peer that cannot read the corpus (a broken escape, say) is recorded.
      result.peers.push({ name, kind, error: `${error.name}: ${error.message}` });
    }
  }
  results.push(result);
}

const here = path.dirname(new URL(import.meta.url).pathname);
const version = (name) => JSON.parse(readFileSync(path.join(here, 'node_modules', name, 'package.json'), 'utf8')).version;
writeFileSync(
  out,
  JSON.stringify(
    { node: process.version, tobble: tobble.VERSION, entities: version('entities'), he: version('he'), load, results },
    null,
    1,
  ),
);
