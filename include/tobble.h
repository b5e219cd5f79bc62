/*
 * tobble.h: the tobble conversion library.
 *
 * Nine filters turn non-ASCII text into \uXXXX / \UXXXXXXXX escapes and back,
 * into HTML character references and back, and into percent-encoded UTF-8
 * and back. This header is plain C, usable from C and C++.
 *
 * Two ways in:
 *
 *  - tobble_convert() converts UTF-16 code units in memory. Every unit value
 *    is a text: a lone surrogate is a unit like any other and is never lost
 *    or changed by accident.
 *
 *  - tobble_convert_bytes() converts bytes in memory, in UTF-8, UTF-16LE or
 *    UTF-16BE, in one call: the same result as a stream fed all of them.
 *
 *  - A stream (tobble_stream_create() and the functions after it) converts
 *    bytes in UTF-8, UTF-16LE or UTF-16BE, fed in pieces of any size, in
 *    bounded memory. It checks the input, reports where invalid input starts,
 *    or replaces it with U+FFFD, and hands the converted bytes to a callback.
 *
 * Every function may be called from any thread. A stream is used by one
 * thread at a time; different streams are independent. Filters are constant
 * data that live as long as the program.
 *
 * Errors are reported as a tobble_status. Its values are stable: they never
 * change meaning, and new ones are only ever added at the end.
 */
#ifndef TOBBLE_H
#define TOBBLE_H

#include <stddef.h>
#include <stdint.h>

/* The Windows build makes the static library alone (libtobble.a, which
   tobble.exe links), so there a program imports nothing from a DLL and the
   functions need no declaration of their own. */
#if defined(_WIN32) || defined(TOBBLE_STATIC)
#define TOBBLE_API
#else
#define TOBBLE_API __attribute__((visibility("default")))
#endif

/* The version of this header, the same as tobble_version() gives for the
   library built with it (a test reads the project's VERSION file and holds
   both to it). TOBBLE_VERSION_NUMBER is MAJOR * 10000 + MINOR * 100 + PATCH,
   for comparisons in the preprocessor. */
#define TOBBLE_VERSION_MAJOR 1
#define TOBBLE_VERSION_MINOR 0
#define TOBBLE_VERSION_PATCH 0
#define TOBBLE_VERSION_NUMBER \
  (TOBBLE_VERSION_MAJOR * 10000 + TOBBLE_VERSION_MINOR * 100 + TOBBLE_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Status codes and version                                                 */

typedef enum tobble_status {
  TOBBLE_OK = 0,
  /* A pointer the call needs is null. */
  TOBBLE_ERROR_NULL_POINTER = 1,
  /* No filter has that name. */
  TOBBLE_ERROR_UNKNOWN_FILTER = 2,
  /* An encoding or a flag outside the values this header defines. */
  TOBBLE_ERROR_BAD_ARGUMENT = 3,
  /* The output buffer holds fewer units than tobble_output_bound() asks for. */
  TOBBLE_ERROR_CAPACITY = 4,
  /* The input is not valid in the stream's encoding (without TOBBLE_REPLACE);
     tobble_stream_error_offset() tells where. */
  TOBBLE_ERROR_INVALID_INPUT = 5,
  /* The stream's write callback failed. */
  TOBBLE_ERROR_WRITE = 6,
  /* The stream was finished, or stopped by an error, and takes nothing more
     until tobble_stream_reset(). */
  TOBBLE_ERROR_FINISHED = 7,
  /* Memory could not be had. */
  TOBBLE_ERROR_NO_MEMORY = 8,
  /* The input is too long for its output to be addressed. */
  TOBBLE_ERROR_TOO_LONG = 9,
  /* A stream's function was called from that stream's own write callback;
     the call did nothing, and the stream goes on as before. */
  TOBBLE_ERROR_REENTERED = 10
} tobble_status;

/* A short English description of a status ("invalid input", ...); never
   null, also for values this header does not define. */
TOBBLE_API const char* tobble_status_message(tobble_status status);

/* The library's version, "MAJOR.MINOR.PATCH". */
TOBBLE_API const char* tobble_version(void);

/* ------------------------------------------------------------------------ */
/* The filters                                                              */

/* A filter. Opaque; valid for the whole life of the program. */
typedef struct tobble_filter tobble_filter;

/* The number of filters (nine). */
TOBBLE_API size_t tobble_filter_count(void);

/* The filter at `index` in table order (0 to tobble_filter_count() - 1), or
   null past the end. */
TOBBLE_API const tobble_filter* tobble_filter_at(size_t index);

/* The filter whose export name is `name` ("tobbleJ", "URLdecode", ...),
   compared exactly, or null (also for a null name). */
TOBBLE_API const tobble_filter* tobble_filter_find(const char* name);

/* The filter's export name, its English display name ("HTMLunescape" for
   "charref2text") and its key character. Null (or 0) for a null filter. */
TOBBLE_API const char* tobble_filter_name(const tobble_filter* filter);
TOBBLE_API const char* tobble_filter_name_en(const tobble_filter* filter);
TOBBLE_API char tobble_filter_key(const tobble_filter* filter);

/* A short UTF-8 text that shows what the filter does ("café 😀" for
   "tobbleJ"), for help texts: convert it to show the filter at work. Null for
   a null filter. */
TOBBLE_API const char* tobble_filter_example(const tobble_filter* filter);

/* ------------------------------------------------------------------------ */
/* Converting UTF-16 units                                                  */

/* The units of output room that converting n units needs: the filter's
   worst case, (n + 1) * factor / 2. 0 for a null filter, or when the bound
   does not fit a size_t. */
TOBBLE_API size_t tobble_output_bound(const tobble_filter* filter, size_t n);

/* The longest tail a conversion with `last` 0 may leave unread (64 units). */
#define TOBBLE_MAX_TAIL 64

/* Converts in[0, n) into out, which holds `capacity` units: at least
   tobble_output_bound(filter, n). On success *read is the units read and
   *written the units written (either pointer may be null when not wanted).
   No zero unit is added.

   With `last` nonzero the input ends at n: everything is read. With `last` 0
   more input follows, and the conversion may stop before a tail of at most
   TOBBLE_MAX_TAIL units whose output later units could still change (an
   escape cut short, a high surrogate at the end, ...); pass that tail again
   in front of the next units. Converting a text in such pieces gives exactly
   the output of converting it whole.

   in and out must not overlap: the units of in[0, n) and of out[0, capacity)
   are different memory.

   Errors: TOBBLE_ERROR_NULL_POINTER (filter or out null, or in null with n
   above 0), TOBBLE_ERROR_BAD_ARGUMENT (in and out overlap),
   TOBBLE_ERROR_TOO_LONG (no bound fits), TOBBLE_ERROR_CAPACITY. On an error
   nothing is written and *read, *written are 0. */
TOBBLE_API tobble_status tobble_convert(const tobble_filter* filter, const uint16_t* in, size_t n,
                                        uint16_t* out, size_t capacity, int last, size_t* read,
                                        size_t* written);

/* ------------------------------------------------------------------------ */
/* Encodings                                                                */

typedef enum tobble_encoding {
  TOBBLE_UTF8 = 0,
  TOBBLE_UTF16LE = 1,
  TOBBLE_UTF16BE = 2
} tobble_encoding;

/* Reads an encoding name: "utf-8", "utf-16le" or "utf-16be", in any case,
   with or without the hyphen ("UTF8", "utf16BE"). TOBBLE_ERROR_NULL_POINTER,
   or TOBBLE_ERROR_BAD_ARGUMENT for any other name. */
TOBBLE_API tobble_status tobble_encoding_parse(const char* name, tobble_encoding* encoding);

/* "UTF-8", "UTF-16LE" or "UTF-16BE"; null for any other value. */
TOBBLE_API const char* tobble_encoding_name(tobble_encoding encoding);

/* Flags of tobble_convert_bytes() and of a stream. */
/* Invalid input becomes U+FFFD instead of an error: in UTF-8 one for each
   maximal subpart of an ill-formed sequence (the Unicode standard's
   recommended practice), in UTF-16 one for an odd last byte. */
#define TOBBLE_REPLACE 1u

/* ------------------------------------------------------------------------ */
/* Converting bytes in one call                                             */

/* The bytes of output room that converting n bytes in `encoding` needs,
   whatever they hold (invalid input and lone surrogates written as U+FFFD
   included). 0 for a null filter, an encoding this header does not define,
   or when the bound does not fit a size_t. */
TOBBLE_API size_t tobble_output_bytes_bound(const tobble_filter* filter, tobble_encoding encoding,
                                            size_t n);

/* Converts the n bytes at in, a whole text in `encoding`, into out, which
   holds `capacity` bytes: at least tobble_output_bytes_bound(filter,
   encoding, n). The output is in the same encoding and is byte for byte what
   a stream with the same filter, encoding and flags writes when fed the n
   bytes and finished (see tobble_stream_create() for how the input is read
   and written). Nothing is allocated. *written is the bytes written and
   *error_offset the offset of invalid input (either pointer may be null when
   not wanted).

   in and out must not overlap: the bytes of in[0, n) and of out[0, capacity)
   are different memory.

   Without TOBBLE_REPLACE, invalid input (as for tobble_stream_feed() and
   tobble_stream_finish()) gives TOBBLE_ERROR_INVALID_INPUT: out then holds
   the conversion of everything before it, *written bytes, and *error_offset
   is the offset of its first byte. Otherwise *error_offset is 0.

   Errors: TOBBLE_ERROR_NULL_POINTER (filter or out null, or in null with n
   above 0), TOBBLE_ERROR_BAD_ARGUMENT (encoding, flags, or in and out
   overlap), TOBBLE_ERROR_TOO_LONG (no bound fits), TOBBLE_ERROR_CAPACITY,
   TOBBLE_ERROR_INVALID_INPUT. On an error other than the last nothing is
   written and *written is 0. */
TOBBLE_API tobble_status tobble_convert_bytes(const tobble_filter* filter, tobble_encoding encoding,
                                              unsigned flags, const void* in, size_t n, void* out,
                                              size_t capacity, size_t* written,
                                              size_t* error_offset);

/* ------------------------------------------------------------------------ */
/* Streams of bytes                                                         */

/* Takes n converted bytes (n > 0). Returns 0 when it took them all, anything
   else to stop the stream with TOBBLE_ERROR_WRITE (the callback keeps its
   own reason, errno say).

   The callback must not call its own stream: tobble_stream_feed(),
   tobble_stream_flush(), tobble_stream_finish() and tobble_stream_reset()
   called from it return TOBBLE_ERROR_REENTERED and do nothing, and
   tobble_stream_destroy() does nothing. The counts and the error offset may
   be read. */
typedef int (*tobble_write_fn)(void* context, const uint8_t* bytes, size_t n);

/* A stream: one filter, one encoding for input and output alike. Opaque. */
typedef struct tobble_stream tobble_stream;

/* Creates a stream, with all the memory it will ever use, and stores it in
   *stream. The output goes to write(context, ...) in blocks of at most
   256 KiB.

   Input in UTF-8 must be well-formed as the Unicode standard defines it (no
   overlong forms, no surrogates, nothing above U+10FFFF); input in UTF-16
   must have an even number of bytes, and a lone surrogate in it is a unit
   like any other. A byte-order mark is the character U+FEFF, converted like
   any other. Output is in the same encoding; a lone surrogate that a filter
   writes cannot be UTF-8 and becomes U+FFFD there (counted, see
   tobble_stream_replaced_surrogates()); UTF-16 output carries it exactly.

   Errors: TOBBLE_ERROR_NULL_POINTER (filter, write or stream null),
   TOBBLE_ERROR_BAD_ARGUMENT (encoding or flags), TOBBLE_ERROR_NO_MEMORY. On
   an error *stream is null (when stream is not). */
TOBBLE_API tobble_status tobble_stream_create(const tobble_filter* filter, tobble_encoding encoding,
                                              unsigned flags, tobble_write_fn write, void* context,
                                              tobble_stream** stream);

/* Converts the next n bytes (bytes may be null when n is 0). Output is
   handed to the callback as blocks fill; a short tail stays held until
   later input, tobble_stream_flush() or tobble_stream_finish().

   Without TOBBLE_REPLACE, at the first invalid sequence everything before it
   is converted as the end of the text and written, and the call returns
   TOBBLE_ERROR_INVALID_INPUT; tobble_stream_error_offset() gives the offset
   of the sequence's first byte. The stream then takes nothing more.

   TOBBLE_ERROR_WRITE when the callback failed; TOBBLE_ERROR_FINISHED after
   tobble_stream_finish() or an earlier error; TOBBLE_ERROR_REENTERED from
   the stream's own callback. */
TOBBLE_API tobble_status tobble_stream_feed(tobble_stream* stream, const void* bytes, size_t n);

/* Hands everything converted so far to the callback: all output except what
   the held tail may still become. The tail is only input whose output later
   input could still change: an escape or a reference cut short that more
   units could complete ("\u30", "&am", "&#x4"; not "& " or "\u3g"), a high
   surrogate, a sequence cut by the end of a piece. For input that arrives
   slowly (a pipe, a terminal), so that what came in goes out at once. Errors
   as tobble_stream_feed(). */
TOBBLE_API tobble_status tobble_stream_flush(tobble_stream* stream);

/* Ends the input: converts what is held and hands all output to the
   callback. An input that ends inside a UTF-8 sequence, or on an odd byte in
   UTF-16, is invalid there (or, with TOBBLE_REPLACE, ends with U+FFFD). After
   it the stream takes nothing more until tobble_stream_reset(). Errors as
   tobble_stream_feed(). */
TOBBLE_API tobble_status tobble_stream_finish(tobble_stream* stream);

/* Makes the stream ready for a new input, with the same filter, encoding,
   flags and callback; its counts start again at zero. Output still held from
   the last input is dropped. TOBBLE_ERROR_NULL_POINTER for a null stream,
   TOBBLE_ERROR_REENTERED from the stream's own callback. */
TOBBLE_API tobble_status tobble_stream_reset(tobble_stream* stream);

/* Frees the stream; a null stream is ignored, and so is a call from the
   stream's own write callback (the stream is still in use then). */
TOBBLE_API void tobble_stream_destroy(tobble_stream* stream);

/* After TOBBLE_ERROR_INVALID_INPUT: the offset, counted from 0, of the first
   byte of the invalid sequence or of the sequence cut short by the end (the
   odd last byte in UTF-16). Otherwise 0. */
TOBBLE_API uint64_t tobble_stream_error_offset(const tobble_stream* stream);

/* Input bytes taken so far (for an invalid input, up to the error), and
   output bytes handed to the callback so far. */
TOBBLE_API uint64_t tobble_stream_bytes_in(const tobble_stream* stream);
TOBBLE_API uint64_t tobble_stream_bytes_out(const tobble_stream* stream);

/* With TOBBLE_REPLACE: the U+FFFD written for invalid input so far. */
TOBBLE_API uint64_t tobble_stream_replaced_input(const tobble_stream* stream);

/* Lone surrogates in the filter's output written as U+FFFD so far (UTF-8
   output only). */
TOBBLE_API uint64_t tobble_stream_replaced_surrogates(const tobble_stream* stream);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TOBBLE_H */
