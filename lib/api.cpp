// The C interface of include/tobble.h over the core's filter table and the
// stream of lib/stream.h. Nothing here throws or allocates but
// tobble_stream_create(), which takes one block for everything a stream uses.
#include <stdint.h>

#include <new>

#include "filters/filters.h"
#include "include/tobble.h"
#include "lib/memory.h"
#include "lib/stream.h"

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
    "success",       "null pointer", "unknown filter",  "bad argument",  "output buffer too small",
    "invalid input", "write failed", "stream finished", "out of memory", "input too long",
};

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
};

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
  return stream->converter.Feed(static_cast<const uint8_t*>(bytes), n);
}

tobble_status tobble_stream_flush(tobble_stream* stream) {
  return stream != nullptr ? stream->converter.Flush() : TOBBLE_ERROR_NULL_POINTER;
}

tobble_status tobble_stream_finish(tobble_stream* stream) {
  return stream != nullptr ? stream->converter.Finish() : TOBBLE_ERROR_NULL_POINTER;
}

tobble_status tobble_stream_reset(tobble_stream* stream) {
  if (stream == nullptr) return TOBBLE_ERROR_NULL_POINTER;
  stream->converter.Reset();
  return TOBBLE_OK;
}

void tobble_stream_destroy(tobble_stream* stream) {
  if (stream == nullptr) return;
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
