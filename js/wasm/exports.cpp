// The WebAssembly module's own entry points, beside the functions of
// include/tobble.h that it exports as they are: a stream whose output goes
// to the JavaScript side, and the narrowing of output units to bytes. The
// module imports one function, env.tobble_write, which takes each block of a
// stream's output while a feed, flush or finish call runs.
#include <stddef.h>
#include <stdint.h>

#include "include/tobble.h"

extern "C" {

__attribute__((import_module("env"), import_name("tobble_write"))) int tobble_write(
    void* context, const uint8_t* bytes, size_t n);

// Creates a stream whose output goes to env.tobble_write with `context`;
// null on any error (the JavaScript side checks the arguments first, so
// that can only be memory).
__attribute__((export_name("tobble_js_stream_create"))) tobble_stream* tobble_js_stream_create(
    const tobble_filter* filter, tobble_encoding encoding, unsigned flags, void* context) {
  tobble_stream* stream = nullptr;
  tobble_stream_create(filter, encoding, flags, tobble_write, context, &stream);
  return stream;
}

// The units in[0, n) OR-ed together, so that the caller knows whether every
// one is ASCII (below 0x80) or Latin-1 (below 0x100); in the latter case
// they are also written to out as one byte each. JavaScript engines make a
// string of such bytes far faster than one of units. Both loops vectorize.
__attribute__((export_name("tobble_js_narrow"))) unsigned tobble_js_narrow(const uint16_t* in,
                                                                           size_t n, uint8_t* out) {
  unsigned all = 0;
  for (size_t i = 0; i < n; ++i) all |= in[i];
  if (all < 0x100) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(in[i]);
  }
  return all;
}

}  // extern "C"
