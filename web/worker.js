// Converts one file, read in pieces, through a stream of the package; the
// page (app.js) gets progress after each piece and the result as a Blob.
//
// The package is imported dynamically, after the message handler is set: a
// static import would keep the handler unset while the module loads (it
// awaits the WebAssembly), and the page's message would be lost.
const tobble = import('./tobble/index.js');

const PIECE = 4 << 20;
// Output is gathered into a Blob every so often, which the browser may keep
// on disk, rather than all in this worker's memory.
const GATHER = 64 << 20;

const ENCODING_NAMES = { 'utf-8': 'UTF-8', 'utf-16le': 'UTF-16LE', 'utf-16be': 'UTF-16BE' };

onmessage = async ({ data: { file, filter, encoding, errors } }) => {
  let Converter, TobbleError;
  try {
    ({ Converter, TobbleError } = await tobble);
  } catch (error) {
    postMessage({ type: 'failed', message: `the converter did not load (${error.message})` });
    return;
  }
  const type = `text/plain;charset=${encoding}`;
  const blobs = [];
  let parts = [];
  let held = 0;
  const keep = (bytes) => {
    if (bytes.length === 0) return;
    parts.push(bytes);
    held += bytes.length;
    if (held >= GATHER) {
      blobs.push(new Blob(parts));
      parts = [];
      held = 0;
    }
  };
  const result = () => new Blob([...blobs, ...parts], { type });

  let converter;
  try {
    converter = new Converter(filter, { encoding, errors });
    for (let at = 0; at < file.size; at += PIECE) {
      const piece = new Uint8Array(await file.slice(at, at + PIECE).arrayBuffer());
      keep(converter.feed(piece));
      postMessage({ type: 'progress', done: Math.min(file.size, at + PIECE) });
    }
    keep(converter.finish());
    postMessage({
      type: 'done',
      blob: result(),
      bytesIn: converter.bytesIn,
      bytesOut: converter.bytesOut,
      replacedInput: converter.replacedInput,
      replacedSurrogates: converter.replacedSurrogates,
    });
  } catch (error) {
    if (error instanceof TobbleError && error.code === 'INVALID_INPUT') {
      keep(error.output);
      const { offset } = error;
      const around = async (from, to) => new Uint8Array(await file.slice(from, to).arrayBuffer());
      postMessage({
        type: 'invalid',
        offset,
        encoding: ENCODING_NAMES[encoding],
        why: encoding === 'utf-8' ? '' : ' (an odd number of bytes)',
        before: await around(Math.max(0, offset - 12), offset),
        at: await around(offset, offset + 1),
        after: await around(offset + 1, offset + 9),
        blob: result(),
      });
    } else {
      postMessage({ type: 'failed', message: error.message });
    }
  } finally {
    converter?.close();
  }
};
