// The WebAssembly module's own entry points, beside the functions of
// include/tobble.h that it exports as they are: a stream whose output goes
// to the JavaScript side. The module imports one function, env.tobble_write,
// which takes each block of a stream's output while a feed, flush or finish
// call runs.
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

}  // extern "C"
