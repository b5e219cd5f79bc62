// The WebAssembly module's own entry points, beside the functions of
// include/tobble.h that it exports as they are: a stream whose output goes
// to the JavaScript side, the encoders' conversion from units straight into
// ASCII bytes, and the narrowing of output units to bytes. The
// module imports one function, env.tobble_write, which takes each block of a
// stream's output while a feed, flush or finish call runs.
#include <stddef.h>
#include <stdint.h>

#include "filters/filters.h"
#include "include/tobble.h"

#if defined(__wasm_simd128__) && !defined(TOBBLE_SCALAR_ONLY)
#include <wasm_simd128.h>
#endif

namespace {

// The row of the core's table behind a filter handle, or null.
const tobble::Filter* RowOf(const tobble_filter* filter) {
  for (size_t i = 0; i < tobble::kFilterCount; ++i) {
    if (tobble_filter_at(i) == filter) return &tobble::kFilters[i];
  }
  return nullptr;
}

}  // namespace

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

// Whether the filter writes ASCII for every text and converts units straight
// into those bytes (the encoders): tobble_js_convert_ascii takes it then.
__attribute__((export_name("tobble_js_writes_ascii"))) int tobble_js_writes_ascii(
    const tobble_filter* filter) {
  const tobble::Filter* row = RowOf(filter);
  return row != nullptr && row->ascii.from_units != nullptr;
}

// Converts the units in[0, n) as tobble_convert does, but writes each output
// unit as one byte: half the memory, and no narrowing afterwards. `out` has
// room for as many bytes as tobble_output_bound gives units. The units read
// and the bytes written go to counts[0] and counts[1]. Only for a filter
// that tobble_js_writes_ascii accepts.
__attribute__((export_name("tobble_js_convert_ascii"))) void tobble_js_convert_ascii(
    const tobble_filter* filter, const char16_t* in, size_t n, uint8_t* out, int last,
    size_t* counts) {
  const tobble::Progress done = RowOf(filter)->ascii.from_units(in, n, out, last != 0);
  counts[0] = done.read;
  counts[1] = done.written;
}

// The units in[0, n) written to out as one byte each, while every unit so
// far is below 0x100 (Latin-1): JavaScript engines make a string of such
// bytes far faster than one of units. Returns the units OR-ed together, or
// 0x100 or more as soon as one unit is not Latin-1, when `out` holds
// nothing useful; the caller then takes the units as they are. One pass,
// sixteen units at a time.
__attribute__((export_name("tobble_js_narrow"))) unsigned tobble_js_narrow(const uint16_t* in,
                                                                           size_t n, uint8_t* out) {
  size_t i = 0;
  unsigned all = 0;
#if defined(__wasm_simd128__) && !defined(TOBBLE_SCALAR_ONLY)
  v128_t seen = wasm_i16x8_splat(0);
  for (; n - i >= 16; i += 16) {
    const v128_t low = wasm_v128_load(in + i), high = wasm_v128_load(in + i + 8);
    seen = wasm_v128_or(seen, wasm_v128_or(low, high));
    // The unsigned narrowing saturates, so it is exact below 0x100.
    wasm_v128_store(out + i, wasm_u8x16_narrow_i16x8(low, high));
    if ((i & 0x70) == 0x70 && wasm_v128_any_true(wasm_v128_and(seen, wasm_i16x8_splat(-0x100)))) {
      return 0x100;
    }
  }
  all = wasm_u16x8_extract_lane(seen, 0) | wasm_u16x8_extract_lane(seen, 1) |
        wasm_u16x8_extract_lane(seen, 2) | wasm_u16x8_extract_lane(seen, 3) |
        wasm_u16x8_extract_lane(seen, 4) | wasm_u16x8_extract_lane(seen, 5) |
        wasm_u16x8_extract_lane(seen, 6) | wasm_u16x8_extract_lane(seen, 7);
#endif
  for (; i < n; ++i) {
    all |= in[i];
    out[i] = static_cast<uint8_t>(in[i]);
  }
  return all;
}

}  // extern "C"
