// Input in pieces of every size, through Converter and through ConvertStream,
// gives exactly what convertBytes() gives for it whole (which the agreement
// tests hold to the tool), invalid input and its offset included.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { concat, cut, random, randomBytes, tobble } from './support.mjs';

const { FILTERS, Converter, ConvertStream, TobbleError, convertBytes } = tobble;

// convertBytes() on the whole input: the output, or the error.
function whole(name, input, options) {
  try {
    return { output: convertBytes(name, input, options) };
  } catch (error) {
    if (!(error instanceof TobbleError)) throw error;
    return { output: error.output, offset: error.offset };
  }
}

// Feeds the pieces, with a flush now and then, and collects every output.
function throughConverter(converter, next, pieces) {
  const out = [];
  try {
    for (const piece of pieces) {
      out.push(converter.feed(piece));
      if (next() < 0.1) out.push(converter.flush());
    }
    out.push(converter.finish());
    return { output: concat(out) };
  } catch (error) {
    if (!(error instanceof TobbleError)) throw error;
    out.push(error.output);
    return { output: concat(out), offset: error.offset };
  }
}

async function throughStream(name, options, pieces) {
  const source = new ReadableStream({
    start(controller) {
      for (const piece of pieces) controller.enqueue(piece);
      controller.close();
    },
  });
  const out = [];
  try {
    for await (const chunk of source.pipeThrough(new ConvertStream(name, options))) out.push(chunk);
    return { output: concat(out) };
  } catch (error) {
    if (!(error instanceof TobbleError)) throw error;
    return { output: concat([...out, error.output]), offset: error.offset };
  }
}

// Inputs above 256 KiB cross the blocks in which the package hands bytes to
// the module and the stream hands output back.
const CASES = [
  ['utf-8', 'strict', 2000],
  ['utf-8', 'replace', 2000],
  ['utf-8', 'strict', 700000],
  ['utf-16le', 'replace', 3001],
  ['utf-16be', 'strict', 3001],
];

for (const [index, { name }] of FILTERS.entries()) {
  test(`pieces through Converter and ConvertStream: ${name}`, async () => {
    const next = random(3000 + index);
    const converter = new Converter(name, { encoding: 'utf-8' });
    for (const [encoding, errors, length] of CASES) {
      const options = { encoding, errors };
      const input = randomBytes(next, length, encoding, errors === 'replace' || next() < 0.5);
      const expected = whole(name, input, options);
      const pieces = cut(next, input);
      const where = `${name}, ${encoding}, ${errors}, ${length} bytes in ${pieces.length} pieces`;
      const fresh = new Converter(name, options);
      assert.deepEqual(throughConverter(fresh, next, pieces), expected, where);
      fresh.close();
      assert.deepEqual(await throughStream(name, options, pieces), expected, `${where}, stream`);
      if (encoding === 'utf-8' && errors === 'strict') {
        // One converter for several inputs, reset between them.
        converter.reset();
        assert.deepEqual(throughConverter(converter, next, pieces), expected, `${where}, reused`);
      }
    }
    converter.close();
  });
}

test('counts of a stream: bytes in and out, replaced input and surrogates', () => {
  const converter = new Converter('untobbleJ', { errors: 'replace' });
  // "\ud800" decodes to a lone surrogate, which UTF-8 output writes as
  // U+FFFD; 0xFF is invalid input.
  const input = new Uint8Array([...Buffer.from('a\\ud800b'), 0xff, 0x63]);
  const out = concat([converter.feed(input), converter.finish()]);
  assert.deepEqual(Buffer.from(out).toString('utf8'), 'a\ufffdb\ufffdc');
  assert.deepEqual(
    [converter.bytesIn, converter.bytesOut, converter.replacedInput, converter.replacedSurrogates],
    [input.length, out.length, 1, 1],
  );
  converter.close();
});
