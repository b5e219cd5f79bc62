// The package's surface: the filter list, clear errors for bad arguments,
// the declared types against what the module exports, and the package as
// npm packs and installs it.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { PACKAGE, TOOL, tobble } from './support.mjs';

const { FILTERS, Converter, ConvertStream, TobbleError, convert, convertBytes } = tobble;

test('FILTERS lists what the tool lists, with English names', () => {
  const listed = execFileSync(TOOL, ['--list']).toString();
  assert.equal(FILTERS.length, 9);
  for (const filter of FILTERS) {
    assert.match(listed, new RegExp(`\\b${filter.name}\\b.*${filter.nameEn.replace(/[()]/g, '\\$&')}`));
  }
  assert.equal(FILTERS.find((f) => f.name === 'charref2text').nameEn, 'HTMLunescape');
  assert.throws(() => {
    FILTERS[0].name = 'x';
  }, TypeError);
  // A FILTERS entry stands for its name.
  assert.equal(convert(FILTERS[0], FILTERS[0].example), convert(FILTERS[0].name, FILTERS[0].example));
});

const bytes = new Uint8Array([0x61]);
const closed = new Converter('tobbleJ');
closed.close();
const finished = new Converter('tobbleJ');
finished.finish();

// Each call, the error it must throw and what its message must say.
const BAD_CALLS = [
  [() => convert(42, 'x'), TypeError, /filter must be a filter's name.*not a number/],
  [() => convert(null, 'x'), TypeError, /not null/],
  [() => convert('tobblej', 'x'), RangeError, /unknown filter "tobblej" \(one of tobbleJ, /],
  [() => convert('tobbleJ'), TypeError, /takes the text as a string/],
  [() => convert('tobbleJ', bytes), TypeError, /as a string, not an object \(Uint8Array\)/],
  [() => convertBytes('tobbleJ', 'text'), TypeError, /takes bytes/],
  [() => convertBytes('tobbleJ', [0x61]), TypeError, /takes bytes.*not an object \(Array\)/],
  [() => convertBytes('tobbleJ', bytes, 'utf-8'), TypeError, /options must be an object/],
  [() => convertBytes('tobbleJ', bytes, { encoding: 'latin1' }), RangeError, /unknown encoding "latin1"/],
  [() => convertBytes('tobbleJ', bytes, { encoding: 'utf-8\0' }), RangeError, /unknown encoding/],
  [() => convertBytes('tobbleJ', bytes, { encoding: 16 }), TypeError, /encoding must be a string/],
  [() => convertBytes('tobbleJ', bytes, { errors: 'ignore' }), RangeError, /'strict' or 'replace'/],
  [() => new Converter('nope'), RangeError, /unknown filter/],
  [() => new Converter('tobbleJ', { errors: true }), RangeError, /'strict' or 'replace'/],
  [() => new Converter('tobbleJ').feed('text'), TypeError, /feed\(\) takes bytes/],
  [() => new ConvertStream('nope'), RangeError, /unknown filter/],
  [() => closed.feed(bytes), TypeError, /closed/],
  [() => finished.feed(bytes), TobbleError, /input has ended/],
];

test('bad arguments throw a TypeError or RangeError that says what is wrong', () => {
  for (const [call, type, message] of BAD_CALLS) {
    assert.throws(call, (error) => error instanceof type && message.test(error.message), String(call));
  }
});

test('the type declarations name every export, and only those', () => {
  const declared = [...readFileSync(path.join(PACKAGE, 'index.d.ts'), 'utf8').matchAll(
    /^export (?:const|function|class) (\w+)/gm,
  )].map((m) => m[1]);
  assert.deepEqual(new Set(declared), new Set(Object.keys(tobble)));
});

test('npm pack makes a tarball that installs offline into an empty project and works', () => {
  const work = mkdtempSync(path.join(os.tmpdir(), 'tobble-pack-'));
  try {
    const npm = (args, cwd) => execFileSync('npm', args, { cwd, stdio: ['ignore', 'pipe', 'pipe'] }).toString();
    npm(['pack', '--pack-destination', work, PACKAGE], work);
    const [tarball] = readdirSync(work).filter((f) => /^tobble-.*\.tgz$/.test(f));
    assert.ok(tarball, 'no tarball');
    const project = path.join(work, 'project');
    execFileSync('mkdir', [project]);
    writeFileSync(path.join(project, 'package.json'), '{"name": "empty", "private": true}\n');
    npm(['install', '--offline', '--no-audit', '--no-fund', `../${tarball}`], project);
    const script = "import { convert } from 'tobble'; process.stdout.write(convert('tobbleJ', 'é\\ud800'));";
    const out = execFileSync(process.execPath, ['--input-type=module', '-e', script], { cwd: project }).toString();
    assert.equal(out, '\\u00e9\\ud800');
  } finally {
    rmSync(work, { recursive: true, force: true });
  }
});
