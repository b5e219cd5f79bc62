// tobble for JavaScript: the nine filters of the tobble library, compiled to
// WebAssembly (tobble.wasm, beside this file), in Node and in browsers.
//
// The module is loaded from this file's own folder when this module is
// imported (top-level await), so every function below is synchronous. It has
// no dependency and fetches nothing from anywhere else.

const wasmUrl = new URL('./tobble.wasm', import.meta.url);

async function loadModuleBytes(url) {
  if (url.protocol === 'file:') {
    const { readFile } = await import('node:fs/promises');
    return readFile(url);
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`tobble: cannot load ${url.href}: HTTP ${response.status}`);
  return response.arrayBuffer();
}

// The output blocks of the stream call in progress: env.tobble_write adds to
// it while feed, flush or finish runs.
let sink = [];

const { instance } = await WebAssembly.instantiate(await loadModuleBytes(wasmUrl), {
  env: {
    tobble_write(context, pointer, n) {
      sink.push(bytes().slice(pointer, pointer + n));
      return 0;
    },
    emscripten_notify_memory_growth() {},
  },
});
const w = instance.exports;
w._initialize();

// Views of the module's memory, made again after the memory grows (which
// detaches the old ones).
// In Node a Buffer over the memory too: its UTF-16LE copies move the units
// of a string as they are, lone surrogates included, far faster than a loop.
const NodeBuffer = typeof globalThis.process?.versions?.node === 'string' ? globalThis.Buffer : undefined;
let u8, u16, u32, nodeHeap;
function bytes() {
  if (u8?.buffer !== w.memory.buffer) {
    u8 = new Uint8Array(w.memory.buffer);
    u16 = new Uint16Array(w.memory.buffer);
    u32 = new Uint32Array(w.memory.buffer);
    if (NodeBuffer !== undefined) nodeHeap = NodeBuffer.from(w.memory.buffer);
  }
  return u8;
}

const utf8Decoder = new TextDecoder();
function cString(pointer) {
  const heap = bytes();
  let end = pointer;
  while (heap[end] !== 0) end++;
  return utf8Decoder.decode(heap.subarray(pointer, end));
}

function allocate(size) {
  const pointer = w.malloc(size);
  if (pointer === 0) throw new Error('tobble: out of memory');
  return pointer;
}

/** The library's version, "MAJOR.MINOR.PATCH". */
export const VERSION = cString(w.tobble_version());

// The filters, by export name, with their handles in the module.
const handles = new Map();
/** The nine filters in the library's order: export name, English name, key and an example text. */
export const FILTERS = Object.freeze(
  Array.from({ length: w.tobble_filter_count() }, (_, index) => {
    const handle = w.tobble_filter_at(index);
    const filter = Object.freeze({
      name: cString(w.tobble_filter_name(handle)),
      nameEn: cString(w.tobble_filter_name_en(handle)),
      key: String.fromCharCode(w.tobble_filter_key(handle)),
      example: cString(w.tobble_filter_example(handle)),
    });
    handles.set(filter.name, handle);
    return filter;
  }),
);

const TOBBLE_ERROR_INVALID_INPUT = 5;
const TOBBLE_ERROR_FINISHED = 7;
const TOBBLE_ERROR_NO_MEMORY = 8;
const TOBBLE_REPLACE = 1;

/**
 * An error of the conversion itself: invalid input (code 'INVALID_INPUT',
 * with the byte `offset` where it starts and the `output` converted before
 * it), a finished stream ('FINISHED'), or memory ('NO_MEMORY').
 */
export class TobbleError extends Error {
  constructor(message, code, offset = undefined, output = undefined) {
    super(`tobble: ${message}`);
    this.name = 'TobbleError';
    this.code = code;
    if (offset !== undefined) this.offset = offset;
    if (output !== undefined) this.output = output;
  }
}

function describe(value) {
  if (value === null) return 'null';
  if (typeof value === 'object') return `an object (${value.constructor?.name ?? 'Object'})`;
  return `${typeof value === 'undefined' ? '' : 'a '}${typeof value}`;
}

function filterHandle(filter) {
  const name = typeof filter === 'object' && filter !== null ? filter.name : filter;
  if (typeof name !== 'string') {
    throw new TypeError(`tobble: the filter must be a filter's name or a FILTERS entry, not ${describe(filter)}`);
  }
  const handle = handles.get(name);
  if (handle === undefined) {
    const names = FILTERS.map((f) => f.name).join(', ');
    throw new RangeError(`tobble: unknown filter ${JSON.stringify(name)} (one of ${names})`);
  }
  return handle;
}

// Input of up to this many units (the last call's tail read again) or bytes
// goes to the module at a time.
const PIECE_UNITS = 1 << 16;
const PIECE_BYTES = 1 << 18;
const MAX_TAIL = 64; // TOBBLE_MAX_TAIL
// Output units become a string this many at a time.
const STRING_PIECE = 16384;

const unitsIn = allocate(2 * (PIECE_UNITS + MAX_TAIL));
const unitsOutCapacity = Math.max(...[...handles.values()].map((h) => w.tobble_output_bound(h, PIECE_UNITS)));
const unitsOut = allocate(2 * unitsOutCapacity);
const pieceIn = allocate(PIECE_BYTES);
const narrowed = allocate(STRING_PIECE);
const results = allocate(64); // tobble_convert's read and written; an encoding name
bytes();

// Copies text[position, position + count) to the units at `at` in the
// module's memory.
function writeUnits(text, position, count, at) {
  if (nodeHeap !== undefined) {
    const piece = count === text.length ? text : text.substring(position, position + count);
    nodeHeap.write(piece, at, 2 * count, 'utf16le');
    return;
  }
  const first = at >> 1;
  for (let i = 0; i < count; i++) u16[first + i] = text.charCodeAt(position + i);
}

// The units at `at` in the module's memory as a string, a lone surrogate
// included. Made in pieces joined by `+`: a string of more than 128 KiB
// costs the engine far more to allocate than the pieces do. A piece of
// Latin-1 units (in Node) or of ASCII units (elsewhere), a decoder's output
// of English text say, is narrowed to bytes in the module and made a
// one-byte string from them, which takes half the memory and is made faster;
// in Node any other piece is copied as units by Node itself, elsewhere made
// from their codes.
const asciiDecoder = new TextDecoder('utf-8');
// Latin-1 bytes read as a one-byte string in Node, ASCII bytes elsewhere.
const byteStringBelow = NodeBuffer !== undefined ? 0x100 : 0x80;
function unitString(at, count) {
  let text = '';
  for (let i = 0; i < count; i += STRING_PIECE) {
    const n = Math.min(count - i, STRING_PIECE);
    const first = at + 2 * i;
    if (w.tobble_js_narrow(first, n, narrowed) < byteStringBelow) {
      text += byteString(narrowed, narrowed + n);
    } else if (nodeHeap !== undefined) {
      text += nodeHeap.ucs2Slice(first, first + 2 * n);
    } else {
      text += String.fromCharCode.apply(null, u16.subarray(first >> 1, (first >> 1) + n));
    }
  }
  return text;
}

// The bytes [from, to) of the module's memory as a one-byte string: below
// byteStringBelow each.
function byteString(from, to) {
  return nodeHeap !== undefined ? nodeHeap.latin1Slice(from, to) : asciiDecoder.decode(u8.subarray(from, to));
}

// The encoders, whose output is ASCII: they write it as bytes, one a unit,
// into the units' buffer, and the string is made from those. That spares
// half the output's memory and the narrowing: text2charref on 64 KiB of
// Japanese took 52 us where it took 96.
const asciiWriters = new Set([...handles.values()].filter((h) => w.tobble_js_writes_ascii(h)));

// The ASCII bytes at `at` in the module's memory as a string, in pieces as
// unitString makes its strings.
function asciiString(at, count) {
  let text = '';
  for (let i = 0; i < count; i += STRING_PIECE) {
    text += byteString(at + i, at + Math.min(count, i + STRING_PIECE));
  }
  return text;
}

/**
 * Converts a text with one filter. Every UTF-16 unit is text: a lone
 * surrogate is converted like any other unit and never lost or changed by
 * accident.
 */
export function convert(filter, text) {
  const handle = filterHandle(filter);
  if (typeof text !== 'string') throw new TypeError(`tobble: convert() takes the text as a string, not ${describe(text)}`);
  const n = text.length;
  let out = '';
  let position = 0;
  do {
    const count = Math.min(n - position, PIECE_UNITS);
    const last = position + count === n ? 1 : 0;
    bytes();
    writeUnits(text, position, count, unitsIn);
    // Cannot fail: the buffers are the module's own, the output sized for
    // the largest filter's bound.
    if (asciiWriters.has(handle)) {
      w.tobble_js_convert_ascii(handle, unitsIn, count, unitsOut, last, results);
      out += asciiString(unitsOut, u32[(results + 4) >> 2]);
    } else {
      w.tobble_convert(handle, unitsIn, count, unitsOut, unitsOutCapacity, last, results, results + 4);
      out += unitString(unitsOut, u32[(results + 4) >> 2]);
    }
    // The conversion leaves a tail of at most MAX_TAIL units unread when
    // more follows; it is read again at the start of the next piece.
    position += u32[results >> 2];
  } while (position < n);
  return out;
}

// The module's encoding value for a name ("utf-8", "UTF-16LE", "utf16be", ...).
function encodingValue(name) {
  if (typeof name !== 'string') throw new TypeError(`tobble: the encoding must be a string, not ${describe(name)}`);
  const heap = bytes();
  if (name.length < 16 && /^[\x21-\x7e]*$/.test(name)) {
    for (let i = 0; i < name.length; i++) heap[results + 8 + i] = name.charCodeAt(i);
    heap[results + 8 + name.length] = 0;
    if (w.tobble_encoding_parse(results + 8, results) === 0) return u32[results >> 2];
  }
  throw new RangeError(`tobble: unknown encoding ${JSON.stringify(name)} (utf-8, utf-16le or utf-16be)`);
}

function streamOptions(options) {
  if (options === undefined) return { encoding: 0, flags: 0 };
  if (options === null || typeof options !== 'object') {
    throw new TypeError(`tobble: the options must be an object, not ${describe(options)}`);
  }
  const { encoding = 'utf-8', errors = 'strict' } = options;
  if (errors !== 'strict' && errors !== 'replace') {
    throw new RangeError(`tobble: errors must be 'strict' or 'replace', not ${JSON.stringify(errors)}`);
  }
  return { encoding: encodingValue(encoding), flags: errors === 'replace' ? TOBBLE_REPLACE : 0 };
}

function byteView(input, what) {
  if (input instanceof Uint8Array) return input;
  if (ArrayBuffer.isView(input)) return new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  if (input instanceof ArrayBuffer || (typeof SharedArrayBuffer !== 'undefined' && input instanceof SharedArrayBuffer)) {
    return new Uint8Array(input);
  }
  throw new TypeError(`tobble: ${what} takes bytes (a Uint8Array, another ArrayBuffer view or an ArrayBuffer), not ${describe(input)}`);
}

function joined(blocks) {
  if (blocks.length === 1) return blocks[0];
  let total = 0;
  for (const block of blocks) total += block.length;
  const out = new Uint8Array(total);
  let at = 0;
  for (const block of blocks) {
    out.set(block, at);
    at += block.length;
  }
  return out;
}

const ENCODING_NAMES = ['UTF-8', 'UTF-16LE', 'UTF-16BE'];

// The tool's words for invalid input.
function invalidInput(encoding, offset, output) {
  const why = encoding === 0 ? '' : ': odd number of bytes';
  return new TobbleError(`invalid ${ENCODING_NAMES[encoding]} at byte ${offset}${why}`, 'INVALID_INPUT', offset, output);
}

function statusError(status) {
  const code = status === TOBBLE_ERROR_NO_MEMORY ? 'NO_MEMORY' : `STATUS_${status}`;
  return new TobbleError(cString(w.tobble_status_message(status)), code);
}

const streams = new FinalizationRegistry((stream) => w.tobble_stream_destroy(stream));

/**
 * A stream of bytes in UTF-8, UTF-16LE or UTF-16BE, converted with one
 * filter as it is fed in pieces of any size; the output is exactly that of
 * converting the whole input at once. feed(), flush() and finish() each
 * return the output bytes that became ready.
 */
export class Converter {
  #stream;
  #encoding;

  constructor(filter, options = undefined) {
    const handle = filterHandle(filter);
    const { encoding, flags } = streamOptions(options);
    const stream = w.tobble_js_stream_create(handle, encoding, flags, 0);
    if (stream === 0) throw new TobbleError('out of memory for a stream', 'NO_MEMORY');
    this.#stream = stream;
    this.#encoding = encoding;
    streams.register(this, stream, this);
  }

  /** Converts the next bytes; returns the output that is ready. */
  feed(input) {
    const view = byteView(input, 'feed()');
    const stream = this.#live();
    sink = [];
    let at = 0;
    do {
      const piece = view.subarray(at, at + PIECE_BYTES);
      bytes().set(piece, pieceIn);
      this.#check(w.tobble_stream_feed(stream, pieceIn, piece.length));
      at += piece.length;
    } while (at < view.length);
    return this.#output();
  }

  /** Everything converted so far but the tail that later input may still change. */
  flush() {
    sink = [];
    this.#check(w.tobble_stream_flush(this.#live()));
    return this.#output();
  }

  /** Ends the input and returns the rest of the output; reset() starts a new input. */
  finish() {
    sink = [];
    this.#check(w.tobble_stream_finish(this.#live()));
    return this.#output();
  }

  /** Starts a new input with the same filter and options, dropping what is held. */
  reset() {
    w.tobble_stream_reset(this.#live());
  }

  /** Frees the converter's memory now, rather than when it is collected. */
  close() {
    if (this.#stream === 0) return;
    streams.unregister(this);
    w.tobble_stream_destroy(this.#stream);
    this.#stream = 0;
  }

  /** Input bytes taken and output bytes given so far. */
  get bytesIn() {
    return Number(w.tobble_stream_bytes_in(this.#live()));
  }
  get bytesOut() {
    return Number(w.tobble_stream_bytes_out(this.#live()));
  }
  /** With errors: 'replace', the U+FFFD written for invalid input so far. */
  get replacedInput() {
    return Number(w.tobble_stream_replaced_input(this.#live()));
  }
  /** Lone surrogates of the filter's output written as U+FFFD (UTF-8 only). */
  get replacedSurrogates() {
    return Number(w.tobble_stream_replaced_surrogates(this.#live()));
  }

  #live() {
    if (this.#stream === 0) throw new TypeError('tobble: the converter is closed');
    return this.#stream;
  }

  #output() {
    const blocks = sink;
    sink = [];
    return blocks.length === 0 ? new Uint8Array(0) : joined(blocks);
  }

  #check(status) {
    if (status === 0) return;
    const output = this.#output();
    if (status === TOBBLE_ERROR_INVALID_INPUT) {
      throw invalidInput(this.#encoding, Number(w.tobble_stream_error_offset(this.#stream)), output);
    }
    if (status === TOBBLE_ERROR_FINISHED) {
      throw new TobbleError('the input has ended (after finish() or invalid input); reset() starts another', 'FINISHED');
    }
    throw statusError(status);
  }
}

// Inputs up to this many bytes are converted by one call of the library,
// in buffers of the module's own; longer ones through a stream, in memory
// that does not grow with them.
const ONE_CALL_BYTES = 1 << 16;
let oneCallOut = 0;
let oneCallCapacity = 0;

function convertInOneCall(handle, encoding, flags, view) {
  const bound = w.tobble_output_bytes_bound(handle, encoding, view.length);
  if (bound > oneCallCapacity) {
    if (oneCallOut !== 0) w.free(oneCallOut);
    oneCallOut = 0;
    oneCallCapacity = 0;
    oneCallOut = allocate(bound);
    oneCallCapacity = bound;
  }
  bytes().set(view, pieceIn);
  const status = w.tobble_convert_bytes(handle, encoding, flags, pieceIn, view.length, oneCallOut, oneCallCapacity, results + 32, results + 36);
  bytes();
  if (status !== 0 && status !== TOBBLE_ERROR_INVALID_INPUT) throw statusError(status);
  const output = u8.slice(oneCallOut, oneCallOut + u32[(results + 32) >> 2]);
  if (status === TOBBLE_ERROR_INVALID_INPUT) throw invalidInput(encoding, u32[(results + 36) >> 2], output);
  return output;
}

// The converters of the last few filters and sets of options that
// convertBytes() was called with, reset before each use; the oldest is
// closed when another is needed.
const oneShot = new Map();
const ONE_SHOT_KEPT = 4;

/**
 * Converts bytes in UTF-8 (the default), UTF-16LE or UTF-16BE and returns the
 * output in the same encoding. Invalid input throws a TobbleError with the
 * byte `offset` where it starts, or with errors: 'replace' becomes U+FFFD as
 * in the tool. A lone surrogate that a filter writes becomes U+FFFD in UTF-8
 * output, and stays itself in UTF-16.
 */
export function convertBytes(filter, input, options = undefined) {
  const handle = filterHandle(filter);
  const view = byteView(input, 'convertBytes()');
  const { encoding, flags } = streamOptions(options);
  if (view.length <= ONE_CALL_BYTES) return convertInOneCall(handle, encoding, flags, view);
  const key = `${handle}:${encoding}:${flags}`;
  let converter = oneShot.get(key);
  if (converter === undefined) {
    if (oneShot.size === ONE_SHOT_KEPT) {
      const [oldest, old] = oneShot.entries().next().value;
      old.close();
      oneShot.delete(oldest);
    }
    const name = FILTERS.find((f) => handles.get(f.name) === handle).name;
    converter = new Converter(name, { encoding: ENCODING_NAMES[encoding], errors: flags ? 'replace' : 'strict' });
  } else {
    oneShot.delete(key);
  }
  oneShot.set(key, converter); // the most recently used last
  converter.reset();
  const head = converter.feed(view);
  const tail = converter.finish();
  return tail.length === 0 ? head : head.length === 0 ? tail : joined([head, tail]);
}

const TransformBase =
  globalThis.TransformStream ??
  class {
    constructor() {
      throw new TypeError('tobble: this JavaScript environment has no TransformStream');
    }
  };

/**
 * A TransformStream of bytes through one filter, for pipeThrough(): chunks
 * of bytes in, converted bytes out, the options as Converter's.
 */
export class ConvertStream extends TransformBase {
  constructor(filter, options = undefined) {
    const converter = new Converter(filter, options);
    super({
      transform(chunk, controller) {
        const out = converter.feed(chunk);
        if (out.length > 0) controller.enqueue(out);
      },
      flush(controller) {
        try {
          const out = converter.finish();
          if (out.length > 0) controller.enqueue(out);
        } finally {
          converter.close();
        }
      },
    });
  }
}
