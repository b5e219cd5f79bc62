// The package against the command-line tool, byte for byte, for every
// filter: texts with lone surrogates through convert() (the tool reading and
// writing UTF-16LE, which carries them), and bytes with invalid input
// through convertBytes(), strict and replacing, in each encoding.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { encode, random, randomBytes, randomText, runTool, tobble } from './support.mjs';

const { FILTERS, TobbleError, convert, convertBytes } = tobble;

// Short texts, and one longer than the pieces convert() hands the module
// (65,536 units), so that a tail is carried between them.
const TEXT_LENGTHS = [0, 1, 2, 5, 9, 17, 40, 80, 160, 400, 1000, 150000];

for (const [index, { name }] of FILTERS.entries()) {
  test(`convert agrees with the tool: ${name}`, () => {
    const next = random(1000 + index);
    for (const length of TEXT_LENGTHS) {
      const text = randomText(next, length);
      const tool = runTool(name, encode(text, 'utf-16le'), { encoding: 'utf-16le' });
      assert.equal(tool.status, 0, tool.stderr);
      const ours = encode(convert(name, text), 'utf-16le');
      assert.ok(Buffer.from(tool.stdout).equals(ours), `${name} on ${JSON.stringify(text.slice(0, 200))}`);
    }
  });

  // Each case: the encoding as the tool takes it, as the package is given it
  // (any spelling), and the input lengths.
  const cases = [
    ['utf-8', 'utf-8', [0, 3, 30, 300, 3000, 300000]],
    ['utf-16le', 'UTF16LE', [7, 3000]],
    ['utf-16be', 'utf-16BE', [7, 3000]],
  ];
  test(`convertBytes agrees with the tool, invalid input included: ${name}`, () => {
    const next = random(2000 + index);
    for (const [encoding, spelling, lengths] of cases) {
      for (const length of lengths) {
        const input = randomBytes(next, length, encoding, length > 0);
        const where = `${name}, ${encoding}, ${length} bytes`;

        const replaced = runTool(name, input, { encoding, replace: true });
        assert.equal(replaced.status, 0, replaced.stderr);
        assert.deepEqual(convertBytes(name, input, { encoding: spelling, errors: 'replace' }), replaced.stdout, where);

        const strict = runTool(name, input, { encoding });
        let thrown;
        try {
          assert.deepEqual(convertBytes(name, input, { encoding: spelling }), strict.stdout, where);
        } catch (error) {
          if (!(error instanceof TobbleError)) throw error;
          thrown = error;
        }
        if (strict.status === 0) {
          assert.equal(thrown, undefined, `${where}: the tool took the input`);
        } else {
          assert.ok(thrown, `${where}: the tool failed with ${strict.stderr}`);
          assert.equal(thrown.code, 'INVALID_INPUT');
          assert.equal(thrown.offset, strict.offset, where);
          assert.deepEqual(thrown.output, strict.stdout, `${where}: output before the error`);
        }
      }
    }
  });
}

// Units that a filter or the glue treats apart (markup, Latin-1 and wider
// units, surrogates, escapes) at every lane of a vector, alone and in pairs,
// and a surrogate pair across the first piece boundary.
test('convert agrees with the tool with special units at every lane', () => {
  const specials = ['<', '&', '"', '>', '%', '\\', '+', 'é', '\u0100', '日', '😀', '\ud800', '\udc00'];
  let text = `${'x'.repeat(65535)}😀`;
  for (const special of specials) {
    for (let lane = 0; lane < 18; lane++) text += `${'a'.repeat(lane)}${special}b${special}${special}${'c'.repeat(17 - lane)}`;
  }
  for (const { name } of FILTERS) {
    const tool = runTool(name, encode(text, 'utf-16le'), { encoding: 'utf-16le' });
    assert.equal(tool.status, 0, tool.stderr);
    assert.ok(Buffer.from(tool.stdout).equals(encode(convert(name, text), 'utf-16le')), name);
  }
});
