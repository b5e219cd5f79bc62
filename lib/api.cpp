// The C interface of include/tobble.h over the core's filter table and the
// stream of lib/stream.h. Nothing here throws or allocates but
// tobble_stream_create(), which takes one block for everything a stream uses.
#include <stdint.h>
#include <string.h>

#include <new>

#include "filters/filters.h"
#include "include/tobble.h"
#include "lib/memory.h"
#include "lib/stream.h"
#include "lib/transcode.h"

#ifndef TOBBLE_VERSION
#error "the build defines TOBBLE_VERSION from the VERSION file"
#endif

namespace {

using tobble::Filter;
using tobble::kFilterCount;
using tobble::kFilters;
using tobble::lib::ByteSink;
using tobble::lib::Encoding;
using tobble::lib::StreamConverter;
using tobble::lib::StreamSizes;

// A tobble_filter is a row of the core's table; the type is never defined.
const Filter* FilterOf(const tobble_filter* filter) {
  return reinterpret_cast<const Filter*>(filter);
}

const tobble_filter* Handle(const Filter& filter) {
  return reinterpret_cast<const tobble_filter*>(&filter);
}

// The stream's callback as the converter's sink.
class CallbackSink : public ByteSink {
 public:
  CallbackSink(tobble_write_fn write, void* context) : write_(write), context_(context) {}
  bool Write(const uint8_t* bytes, size_t n) override { return write_(context_, bytes, n) == 0; }

 private:
  tobble_write_fn write_;
  void* context_;
};

// Writes into the caller's buffer of tobble_convert_bytes(); refuses what
// would not fit.
class BufferSink : public ByteSink {
 public:
  BufferSink(uint8_t* out, size_t capacity) : out_(out), capacity_(capacity) {}
  bool Write(const uint8_t* bytes, size_t n) override {
    if (n > capacity_ - size_) return false;
    memcpy(out_ + size_, bytes, n);
    size_ += n;
    return true;
  }
  size_t size() const { return size_; }

 private:
  uint8_t* out_;
  size_t capacity_;
  size_t size_ = 0;
};

// Whether the byte ranges [a, a + a_bytes) and [b, b + b_bytes) share a byte,
// told without forming an address past either range.
bool Overlap(const void* a, size_t a_bytes, const void* b, size_t b_bytes) {
  const uintptr_t x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
  if (a_bytes == 0 || b_bytes == 0) return false;
  return x >= y ? x - y < b_bytes : y - x < a_bytes;
}

// A count of units in bytes, held at SIZE_MAX where it would wrap.
size_t UnitBytes(size_t units) {
  return units <= SIZE_MAX / sizeof(uint16_t) ? units * sizeof(uint16_t) : SIZE_MAX;
}

// The encodings a stream takes, by their tobble_encoding value.
struct EncodingRow {
  const char* name;        // as tobble_encoding_name() gives it
  const char* plain_name;  // lower case, without the hyphen
  Encoding encoding;
};
constexpr EncodingRow kEncodings[] = {
    {"UTF-8", "utf8", Encoding::kUtf8},
    {"UTF-16LE", "utf16le", Encoding::kUtf16le},
    {"UTF-16BE", "utf16be", Encoding::kUtf16be},
};
constexpr size_t kEncodingCount = sizeof(kEncodings) / sizeof(kEncodings[0]);

bool IsEncoding(tobble_encoding encoding) {
  return static_cast<unsigned>(encoding) < kEncodingCount;
}

constexpr const char* kStatusMessages[] = {
    "success",
    "null pointer",
    "unknown filter",
    "bad argument",
    "output buffer too small",
    "invalid input",
    "write failed",
    "stream finished",
    "out of memory",
    "input too long",
    "called from the stream's own write callback",
};

// Converts a whole text straight from the caller's input into the caller's
// buffer, in one call of the conversion: UTF-8 that is valid throughout, or
// UTF-16LE of whole, aligned units, given room for the conversion's own
// bound. Returns false, having written nothing, for anything else (invalid
// or cut input, UTF-16BE, too little room for the fast paths' stores), which
// goes through a stream: the output is the same, as a stream converts the
// same conversions in pieces, and a text in pieces converts as it does whole.
bool ConvertWhole(const Filter& row, tobble_encoding encoding, const void* in, size_t n, void* out,
                  size_t capacity, size_t* written) {
  static const uint8_t kNoBytes[2] = {0, 0};
  if (encoding == TOBBLE_UTF8 && row.convert8 != nullptr) {
    const uint8_t* bytes = n > 0 ? static_cast<const uint8_t*>(in) : kNoBytes;
    if (n > (SIZE_MAX - 16) / row.factor8 || capacity < tobble::Utf8OutputBound(row, n)) {
      return false;
    }
    if (tobble::lib::FastestTranscoder().valid_utf8(bytes, n) != n) return false;
    const tobble::Progress done = row.convert8(bytes, n, static_cast<uint8_t*>(out), true);
    if (written != nullptr) *written = done.written;
    return true;
  }
  const uintptr_t alignment = reinterpret_cast<uintptr_t>(in) | reinterpret_cast<uintptr_t>(out);
  if (encoding == TOBBLE_UTF16LE && n % 2 == 0 && alignment % alignof(char16_t) == 0) {
    const size_t units = n / 2;
    if (capacity / 2 < tobble::OutputBound(row, units)) return false;
    const char16_t* text =
        units > 0 ? static_cast<const char16_t*>(in) : reinterpret_cast<const char16_t*>(kNoBytes);
    const tobble::Progress done = row.convert(text, units, static_cast<char16_t*>(out), true);
    if (written != nullptr) *written = done.written * 2;
    return true;
  }
  return false;
}

// A one-shot conversion's converter works in memory on the stack: these
// sizes keep its workspace within kOneShotWorkspaceBytes for every filter.
constexpr StreamSizes kOneShotSizes = {512, 4096};
constexpr size_t kOneShotWorkspaceBytes = 16 * 1024;

// The rest of tobble_convert_bytes(): a converter on the stack, its 16 KiB
// workspace kept out of the frame of the calls that need none.
__attribute__((noinline)) tobble_status ConvertThroughStream(
    const Filter& row, tobble_encoding encoding, unsigned flags, const void* in, size_t n,
    void* out, size_t capacity, size_t* written, size_t* error_offset) {
  alignas(16) uint8_t workspace[kOneShotWorkspaceBytes];
  if (StreamConverter::WorkspaceBytes(row, kOneShotSizes) > sizeof workspace) {
    return TOBBLE_ERROR_NO_MEMORY;  // a filter the sizes above were not made for
  }
  BufferSink sink(static_cast<uint8_t*>(out), capacity);
  StreamConverter converter(row, kEncodings[encoding].encoding, (flags & TOBBLE_REPLACE) != 0, sink,
                            workspace, kOneShotSizes);
  tobble_status status = converter.Feed(static_cast<const uint8_t*>(in), n);
  if (status == TOBBLE_OK) status = converter.Finish();
  if (status == TOBBLE_ERROR_WRITE) return TOBBLE_ERROR_CAPACITY;  // the bound fell short
  if (status == TOBBLE_ERROR_INVALID_INPUT && error_offset != nullptr) {
    *error_offset = static_cast<size_t>(converter.error_offset());
  }
  if (written != nullptr) *written = sink.size();
  return status;
}

}  // namespace

// Everything a stream uses, in the one block tobble_stream_create() takes:
// this object, then the converter's workspace from the next cache line.
struct tobble_stream {
  tobble_stream(const Filter& filter, Encoding encoding, bool replace, tobble_write_fn write,
                void* context, size_t block_bytes, void* workspace)
      : block_bytes(block_bytes),
        sink(write, context),
        converter(filter, encoding, replace, sink, workspace) {}

  size_t block_bytes;
  CallbackSink sink;
  StreamConverter converter;
  // Set while a call runs the converter, which may call the write callback:
  // a call from there must not touch the converter in the middle of its work.
  bool busy = false;
};

namespace {

// Runs one step of the stream's converter, unless the stream's own callback
// is calling back from inside another.
template <typename Step>
tobble_status RunStep(tobble_stream* stream, Step step) {
  if (stream->busy) return TOBBLE_ERROR_REENTERED;
  stream->busy = true;
  const tobble_status status = step(stream->converter);
  stream->busy = false;
  return status;
}

}  // namespace

extern "C" {

const char* tobble_status_message(tobble_status status) {
  const unsigned index = static_cast<unsigned>(status);
  return index < sizeof(kStatusMessages) / sizeof(kStatusMessages[0]) ? kStatusMessages[index]
                                                                      : "unknown status";
}

const char* tobble_version(void) {
  return TOBBLE_VERSION;
}

size_t tobble_filter_count(void) {
  return kFilterCount;
}

const tobble_filter* tobble_filter_at(size_t index) {
  return index < kFilterCount ? Handle(kFilters[index]) : nullptr;
}

const tobble_filter* tobble_filter_find(const char* name) {
  if (name == nullptr) return nullptr;
  const Filter* filter = tobble::FindFilter(name);
  return filter != nullptr ? Handle(*filter) : nullptr;
}

const char* tobble_filter_name(const tobble_filter* filter) {
  return filter != nullptr ? FilterOf(filter)->function : nullptr;
}

const char* tobble_filter_name_en(const tobble_filter* filter) {
  return filter != nullptr ? FilterOf(filter)->name_en : nullptr;
}

char tobble_filter_key(const tobble_filter* filter) {
  return filter != nullptr ? FilterOf(filter)->key : 0;
}

const char* tobble_filter_example(const tobble_filter* filter) {
  return filter != nullptr ? FilterOf(filter)->example : nullptr;
}

size_t tobble_output_bound(const tobble_filter* filter, size_t n) {
  if (filter == nullptr) return 0;
  const size_t factor = FilterOf(filter)->factor;
  // (n + 1) * factor must not wrap, and the bound in bytes must be a size.
  if (n >= SIZE_MAX / factor) return 0;
  const size_t bound = tobble::OutputBound(*FilterOf(filter), n);
  return bound <= SIZE_MAX / sizeof(uint16_t) ? bound : 0;
}

tobble_status tobble_convert(const tobble_filter* filter, const uint16_t* in, size_t n,
                             uint16_t* out, size_t capacity, int last, size_t* read,
                             size_t* written) {
  if (read != nullptr) *read = 0;
  if (written != nullptr) *written = 0;
  if (filter == nullptr || out == nullptr || (in == nullptr && n > 0)) {
    return TOBBLE_ERROR_NULL_POINTER;
  }
  const size_t bound = tobble_output_bound(filter, n);
  if (bound == 0) return TOBBLE_ERROR_TOO_LONG;
  if (capacity < bound) return TOBBLE_ERROR_CAPACITY;
  if (Overlap(in, UnitBytes(n), out, UnitBytes(capacity))) return TOBBLE_ERROR_BAD_ARGUMENT;
  // The core's conversions read no unit when n is 0; give them a real one.
  static const char16_t kNoUnits[1] = {0};
  const char16_t* units = n > 0 ? reinterpret_cast<const char16_t*>(in) : kNoUnits;
  const tobble::Progress done =
      FilterOf(filter)->convert(units, n, reinterpret_cast<char16_t*>(out), last != 0);
  if (read != nullptr) *read = done.read;
  if (written != nullptr) *written = done.written;
  return TOBBLE_OK;
}

tobble_status tobble_encoding_parse(const char* name, tobble_encoding* encoding) {
  if (name == nullptr || encoding == nullptr) return TOBBLE_ERROR_NULL_POINTER;
  // Lower case, and the hyphen after "utf" dropped.
  char plain[8];
  size_t length = 0;
  for (size_t i = 0; name[i] != 0; ++i) {
    if (i == 3 && name[i] == '-') continue;
    if (length == sizeof plain - 1) return TOBBLE_ERROR_BAD_ARGUMENT;
    const char c = name[i];
    plain[length++] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  plain[length] = 0;
  for (size_t e = 0; e < kEncodingCount; ++e) {
    if (tobble::SameString(plain, kEncodings[e].plain_name)) {
      *encoding = static_cast<tobble_encoding>(e);
      return TOBBLE_OK;
    }
  }
  return TOBBLE_ERROR_BAD_ARGUMENT;
}

const char* tobble_encoding_name(tobble_encoding encoding) {
  return IsEncoding(encoding) ? kEncodings[encoding].name : nullptr;
}

size_t tobble_output_bytes_bound(const tobble_filter* filter, tobble_encoding encoding, size_t n) {
  if (!IsEncoding(encoding)) return 0;
  // The most units the input decodes to: one for each UTF-8 byte (a U+FFFD
  // takes at least one byte, a pair four), one for two UTF-16 bytes and one
  // for an odd last byte.
  const bool utf8 = encoding == TOBBLE_UTF8;
  const size_t units = utf8 ? n : n / 2 + n % 2;
  const size_t bound = tobble_output_bound(filter, units);
  // Each unit out takes 3 bytes at most in UTF-8 (a lone surrogate becomes
  // U+FFFD, 3 bytes; a pair 4 for its two units), 2 in UTF-16.
  const size_t per_unit = utf8 ? 3 : 2;
  return bound <= SIZE_MAX / per_unit ? bound * per_unit : 0;
}

tobble_status tobble_convert_bytes(const tobble_filter* filter, tobble_encoding encoding,
                                   unsigned flags, const void* in, size_t n, void* out,
                                   size_t capacity, size_t* written, size_t* error_offset) {
  if (written != nullptr) *written = 0;
  if (error_offset != nullptr) *error_offset = 0;
  if (filter == nullptr || out == nullptr || (in == nullptr && n > 0)) {
    return TOBBLE_ERROR_NULL_POINTER;
  }
  if (!IsEncoding(encoding) || (flags & ~TOBBLE_REPLACE) != 0) return TOBBLE_ERROR_BAD_ARGUMENT;
  const size_t bound = tobble_output_bytes_bound(filter, encoding, n);
  if (bound == 0) return TOBBLE_ERROR_TOO_LONG;
  if (capacity < bound) return TOBBLE_ERROR_CAPACITY;
  if (Overlap(in, n, out, capacity)) return TOBBLE_ERROR_BAD_ARGUMENT;
  const Filter& row = *FilterOf(filter);
  if (ConvertWhole(row, encoding, in, n, out, capacity, written)) return TOBBLE_OK;
  return ConvertThroughStream(row, encoding, flags, in, n, out, capacity, written, error_offset);
}

tobble_status tobble_stream_create(const tobble_filter* filter, tobble_encoding encoding,
                                   unsigned flags, tobble_write_fn write, void* context,
                                   tobble_stream** stream) {
  if (stream == nullptr) return TOBBLE_ERROR_NULL_POINTER;
  *stream = nullptr;
  if (filter == nullptr || write == nullptr) return TOBBLE_ERROR_NULL_POINTER;
  if (!IsEncoding(encoding) || (flags & ~TOBBLE_REPLACE) != 0) return TOBBLE_ERROR_BAD_ARGUMENT;
  const size_t object_bytes = (sizeof(tobble_stream) + 63) / 64 * 64;
  const size_t block_bytes = object_bytes + StreamConverter::WorkspaceBytes(*FilterOf(filter));
  uint8_t* const block = static_cast<uint8_t*>(tobble::lib::AllocateBlock(block_bytes));
  if (block == nullptr) return TOBBLE_ERROR_NO_MEMORY;
  *stream = new (block)
      tobble_stream(*FilterOf(filter), kEncodings[encoding].encoding, (flags & TOBBLE_REPLACE) != 0,
                    write, context, block_bytes, block + object_bytes);
  return TOBBLE_OK;
}

tobble_status tobble_stream_feed(tobble_stream* stream, const void* bytes, size_t n) {
  if (stream == nullptr || (bytes == nullptr && n > 0)) return TOBBLE_ERROR_NULL_POINTER;
  return RunStep(stream, [&](StreamConverter& converter) {
    return converter.Feed(static_cast<const uint8_t*>(bytes), n);
  });
}

tobble_status tobble_stream_flush(tobble_stream* stream) {
  if (stream == nullptr) return TOBBLE_ERROR_NULL_POINTER;
  return RunStep(stream, [](StreamConverter& converter) { return converter.Flush(); });
}

tobble_status tobble_stream_finish(tobble_stream* stream) {
  if (stream == nullptr) return TOBBLE_ERROR_NULL_POINTER;
  return RunStep(stream, [](StreamConverter& converter) { return converter.Finish(); });
}

tobble_status tobble_stream_reset(tobble_stream* stream) {
  if (stream == nullptr) return TOBBLE_ERROR_NULL_POINTER;
  return RunStep(stream, [](StreamConverter& converter) {
    converter.Reset();
    return TOBBLE_OK;
  });
}

void tobble_stream_destroy(tobble_stream* stream) {
  // From the stream's own callback the stream is still in use: left alone.
  if (stream == nullptr || stream->busy) return;
  const size_t block_bytes = stream->block_bytes;
  stream->~tobble_stream();
  tobble::lib::FreeBlock(stream, block_bytes);
}

uint64_t tobble_stream_error_offset(const tobble_stream* stream) {
  return stream != nullptr ? stream->converter.error_offset() : 0;
}

uint64_t tobble_stream_bytes_in(const tobble_stream* stream) {
  return stream != nullptr ? stream->converter.bytes_in() : 0;
}

uint64_t tobble_stream_bytes_out(const tobble_stream* stream) {
  return stream != nullptr ? stream->converter.bytes_out() : 0;
}

uint64_t tobble_stream_replaced_input(const tobble_stream* stream) {
  return stream != nullptr ? stream->converter.replaced_input() : 0;
}

uint64_t tobble_stream_replaced_surrogates(const tobble_stream* stream) {
  return stream != nullptr ? stream->converter.replaced_surrogates() : 0;
}

}  // extern "C"
