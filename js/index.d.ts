// Types of the tobble package (index.js).

/** A filter's export name. */
export type FilterName =
  | 'tobbleJ'
  | 'untobbleJ'
  | 'tobbleC'
  | 'untobbleC'
  | 'charref2text'
  | 'text2charref'
  | 'URLencode'
  | 'URLdecode'
  | 'text2charrefx';

export interface Filter {
  /** The export name, as convert() and the tool take it. */
  readonly name: FilterName;
  /** The English display name ("HTMLunescape" for "charref2text"). */
  readonly nameEn: string;
  /** The key character of the editor's plug-in. */
  readonly key: string;
  /** A short text that shows the filter at work when converted. */
  readonly example: string;
}

/** The nine filters, in the library's order. */
export const FILTERS: readonly Filter[];

/** The library's version, "MAJOR.MINOR.PATCH". */
export const VERSION: string;

/** Encoding names: "utf-8", "utf-16le", "utf-16be", in any case, with or without the hyphen. */
export type Encoding = string;

export interface StreamOptions {
  /** The encoding of input and output alike; "utf-8" unless given. */
  encoding?: Encoding;
  /** "strict" (the default) throws at invalid input; "replace" writes U+FFFD for it. */
  errors?: 'strict' | 'replace';
}

/** Bytes as convertBytes() and Converter take them. */
export type Bytes = ArrayBufferView | ArrayBuffer | SharedArrayBuffer;

/** An error of the conversion: invalid input, a finished stream, memory. */
export class TobbleError extends Error {
  readonly name: 'TobbleError';
  readonly code: 'INVALID_INPUT' | 'FINISHED' | 'NO_MEMORY' | string;
  /** INVALID_INPUT: the byte offset, from 0, where the invalid sequence starts. */
  readonly offset?: number;
  /** INVALID_INPUT: the output of everything before the invalid sequence. */
  readonly output?: Uint8Array;
}

/** Converts a text; lone surrogates are kept exactly. */
export function convert(filter: FilterName | Filter, text: string): string;

/** Converts bytes and returns bytes in the same encoding. */
export function convertBytes(filter: FilterName | Filter, bytes: Bytes, options?: StreamOptions): Uint8Array;

/** A stream of bytes fed in pieces; each call returns the output that became ready. */
export class Converter {
  constructor(filter: FilterName | Filter, options?: StreamOptions);
  feed(bytes: Bytes): Uint8Array;
  flush(): Uint8Array;
  finish(): Uint8Array;
  reset(): void;
  /** Frees the converter's memory now; it cannot be used after. */
  close(): void;
  readonly bytesIn: number;
  readonly bytesOut: number;
  readonly replacedInput: number;
  readonly replacedSurrogates: number;
}

/** A TransformStream of bytes through one filter, for pipeThrough(). */
export class ConvertStream extends TransformStream<Bytes, Uint8Array> {
  constructor(filter: FilterName | Filter, options?: StreamOptions);
}
