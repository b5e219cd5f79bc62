#include "cli/stream.h"

#include <string.h>

#include <algorithm>

#include "common/surrogate.h"

namespace tobble::cli {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the ASCII scans read bytes as words");

constexpr char16_t kReplacement = 0xFFFD;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// The number of leading bytes below 0x80 among the 8 at p.
inline size_t AsciiPrefix8(const uint8_t* p) {
  uint64_t word;
  memcpy(&word, p, sizeof word);
  const uint64_t high = word & kHighBits;
  return high == 0 ? 8 : static_cast<size_t>(__builtin_ctzll(high) / 8);
}

// Whether the 4 units at p are all below 0x80.
inline bool AsciiUnits4(const char16_t* p) {
  uint64_t word;
  memcpy(&word, p, sizeof word);
  return (word & 0xFF80FF80FF80FF80ull) == 0;
}

// The length of the UTF-8 sequence that byte b starts: 1 for ASCII, 2 to 4
// for a lead byte, 0 for a continuation byte or a byte that starts nothing.
constexpr int SequenceLength(uint8_t b) {
  return b < 0x80 ? 1 : b < 0xC2 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF5 ? 4 : 0;
}

constexpr bool IsContinuation(uint8_t b) {
  return (b & 0xC0) == 0x80;
}

// The range of the first continuation byte after lead byte b: narrower than
// 0x80-0xBF where a wider one would allow an overlong form, a surrogate or a
// code point above U+10FFFF.
constexpr void FirstContinuationRange(uint8_t b, uint8_t* low, uint8_t* high) {
  *low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
  *high = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
}

// The code point of a sequence of `length` bytes with the right framing.
uint32_t DecodeSequence(const uint8_t* s, int length) {
  switch (length) {
    case 2:
      return (s[0] & 0x1Fu) << 6 | (s[1] & 0x3Fu);
    case 3:
      return (s[0] & 0x0Fu) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu);
    default:
      return (s[0] & 0x07u) << 18 | (s[1] & 0x3Fu) << 12 | (s[2] & 0x3Fu) << 6 | (s[3] & 0x3Fu);
  }
}

uint8_t* WriteUtf8(uint8_t* out, uint32_t code_point) {
  if (code_point < 0x80) {
    *out++ = static_cast<uint8_t>(code_point);
  } else if (code_point < 0x800) {
    *out++ = static_cast<uint8_t>(0xC0 | code_point >> 6);
    *out++ = static_cast<uint8_t>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    *out++ = static_cast<uint8_t>(0xE0 | code_point >> 12);
    *out++ = static_cast<uint8_t>(0x80 | (code_point >> 6 & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | (code_point & 0x3F));
  } else {
    *out++ = static_cast<uint8_t>(0xF0 | code_point >> 18);
    *out++ = static_cast<uint8_t>(0x80 | (code_point >> 12 & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | (code_point >> 6 & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | (code_point & 0x3F));
  }
  return out;
}

}  // namespace

bool InputValidator::Fail(uint64_t offset) {
  failed_ = true;
  error_offset_ = offset;
  return false;
}

bool InputValidator::Check(const uint8_t* p, size_t n) {
  if (failed_) return false;
  if (encoding_ == Encoding::kUtf16le) {
    offset_ += n;
    return true;
  }
  size_t i = 0;
  // A sequence begun in an earlier piece.
  for (; needed_ > 0 && i < n; --needed_, ++i) {
    if (p[i] < low_ || p[i] > high_) return Fail(sequence_start_);
    low_ = 0x80;
    high_ = 0xBF;
  }
  while (i < n) {
    if (i + 8 <= n) {
      const size_t ascii = AsciiPrefix8(p + i);
      i += ascii;
      if (ascii == 8) continue;
    } else if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const uint8_t lead = p[i];
    const size_t start = i++;
    int needed = SequenceLength(lead) - 1;
    if (needed <= 0) return Fail(offset_ + start);
    uint8_t low, high;
    FirstContinuationRange(lead, &low, &high);
    for (; needed > 0 && i < n; --needed, ++i) {
      if (p[i] < low || p[i] > high) return Fail(offset_ + start);
      low = 0x80;
      high = 0xBF;
    }
    if (needed > 0) {  // the piece ends inside this sequence
      needed_ = needed;
      low_ = low;
      high_ = high;
      sequence_start_ = offset_ + start;
    }
  }
  offset_ += n;
  return true;
}

bool InputValidator::CheckEnd() {
  if (failed_) return false;
  if (encoding_ == Encoding::kUtf16le) return offset_ % 2 == 0 || Fail(offset_ - 1);
  return needed_ == 0 || Fail(sequence_start_);
}

StreamConverter::StreamConverter(const Filter& filter, Encoding encoding, ByteSink& sink,
                                 StreamSizes sizes)
    : filter_(filter),
      encoding_(encoding),
      sink_(sink),
      // A piece longer than any tail, so that every call makes progress.
      slice_units_(std::max(sizes.slice_units, kMaxTail + 1)),
      // A slice, the tail before it, and room for a cut sequence's units.
      pending_capacity_(slice_units_ + kMaxTail + 4),
      output_capacity_(std::max<size_t>(sizes.output_bytes, 8)) {
  pending_.reset(new char16_t[pending_capacity_]);
  converted_.reset(new char16_t[(slice_units_ + 1) * filter.factor / 2]);
  output_.reset(new uint8_t[output_capacity_]);
}

StreamConverter::~StreamConverter() = default;

bool StreamConverter::Feed(const uint8_t* bytes, size_t n) {
  while (n > 0) {
    // UTF-8 gives at most one unit a byte, plus up to three for the bytes
    // of a sequence that an earlier piece began; UTF-16LE at most one unit
    // for two bytes.
    const size_t free = pending_capacity_ - pending_size_;
    const size_t take = std::min(n, encoding_ == Encoding::kUtf8 ? free - 3 : free);
    pending_size_ += Decode(bytes, take, pending_.get() + pending_size_);
    bytes += take;
    n -= take;
    if (!ConvertPending(false)) return false;
  }
  return true;
}

bool StreamConverter::Finish() {
  // Cut short: only an input changed since its check ends so. Like any byte
  // that is not valid UTF-8, each one becomes U+FFFD.
  for (; carry_size_ > 0; --carry_size_) pending_[pending_size_++] = kReplacement;
  if (!ConvertPending(true)) return false;
  if (held_high_ != 0) {
    held_high_ = 0;
    ++replaced_;
    if (output_capacity_ - output_size_ < 3 && !Flush()) return false;
    output_size_ =
        static_cast<size_t>(WriteUtf8(output_.get() + output_size_, kReplacement) - output_.get());
  }
  return Flush();
}

size_t StreamConverter::Decode(const uint8_t* in, size_t n, char16_t* out) {
  char16_t* o = out;
  size_t i = 0;
  if (encoding_ == Encoding::kUtf16le) {
    if (carry_size_ == 1 && n > 0) {
      *o++ = static_cast<char16_t>(carry_[0] | in[0] << 8);
      carry_size_ = 0;
      i = 1;
    }
    for (; i + 1 < n; i += 2) *o++ = static_cast<char16_t>(in[i] | in[i + 1] << 8);
    if (i < n) {
      carry_[0] = in[i];
      carry_size_ = 1;
    }
    return static_cast<size_t>(o - out);
  }
  // A sequence cut at the end of the last piece: its lead byte and some of
  // its continuation bytes are carried.
  if (carry_size_ > 0) {
    const size_t length = static_cast<size_t>(SequenceLength(carry_[0]));
    while (carry_size_ < length && i < n && IsContinuation(in[i])) carry_[carry_size_++] = in[i++];
    if (carry_size_ == length) {
      o = WriteCodePoint(o, DecodeSequence(carry_, static_cast<int>(length)));
      carry_size_ = 0;
    } else if (i < n) {  // broken off: each byte becomes U+FFFD
      for (; carry_size_ > 0; --carry_size_) *o++ = kReplacement;
    }
  }
  while (i < n) {
    if (i + 8 <= n && AsciiPrefix8(in + i) == 8) {
      for (int k = 0; k < 8; ++k) o[k] = in[i + k];
      o += 8;
      i += 8;
      continue;
    }
    const uint8_t lead = in[i];
    const int length = SequenceLength(lead);
    if (length == 1) {
      *o++ = lead;
      ++i;
      continue;
    }
    size_t framed = i + 1;  // continuation bytes after the lead, up to length
    while (framed < n && framed < i + length && IsContinuation(in[framed])) ++framed;
    if (length == 0 || (framed < i + length && framed < n)) {
      *o++ = kReplacement;  // not valid UTF-8: one U+FFFD for the byte
      ++i;
    } else if (framed < i + length) {  // cut by the end of the piece
      carry_size_ = n - i;
      memcpy(carry_, in + i, carry_size_);
      i = n;
    } else {
      o = WriteCodePoint(o, DecodeSequence(in + i, length));
      i += length;
    }
  }
  return static_cast<size_t>(o - out);
}

bool StreamConverter::ConvertPending(bool last) {
  char16_t* pending = pending_.get();
  size_t pos = 0;
  for (;;) {
    const size_t length = std::min(slice_units_, pending_size_ - pos);
    const bool at_end = pos + length == pending_size_;
    const Progress done = filter_.convert(pending + pos, length, converted_.get(), last && at_end);
    if (!Emit(converted_.get(), done.written)) return false;
    pos += done.read;
    if (at_end) break;
  }
  // The tail goes in front of the units to come.
  pending_size_ -= pos;
  memmove(pending, pending + pos, pending_size_ * sizeof(char16_t));
  return true;
}

bool StreamConverter::Emit(const char16_t* units, size_t n) {
  if (encoding_ == Encoding::kUtf8) return EncodeUtf8(units, n);
  while (n > 0) {
    if (output_capacity_ - output_size_ < 2 && !Flush()) return false;
    const size_t count = std::min(n, (output_capacity_ - output_size_) / 2);
    uint8_t* o = output_.get() + output_size_;
    for (size_t k = 0; k < count; ++k) {
      o[2 * k] = static_cast<uint8_t>(units[k]);
      o[2 * k + 1] = static_cast<uint8_t>(units[k] >> 8);
    }
    output_size_ += 2 * count;
    units += count;
    n -= count;
  }
  return true;
}

bool StreamConverter::EncodeUtf8(const char16_t* units, size_t n) {
  while (n > 0) {
    // A unit takes at most 3 bytes, and a held high surrogate that finds no
    // partner 3 more. Flush before the room gets smaller than a fair batch.
    if (output_capacity_ - output_size_ < 3 * std::min<size_t>(n, 256) + 3 && !Flush()) {
      return false;
    }
    const size_t count = std::min(n, (output_capacity_ - output_size_ - 3) / 3);
    uint8_t* o = output_.get() + output_size_;
    for (size_t k = 0; k < count; ++k) {
      // Runs of ASCII, four units at a time.
      while (held_high_ == 0 && k + 4 <= count && AsciiUnits4(units + k)) {
        for (int j = 0; j < 4; ++j) o[j] = static_cast<uint8_t>(units[k + j]);
        o += 4;
        k += 4;
      }
      if (k == count) break;
      const char16_t u = units[k];
      if (held_high_ != 0) {
        if (IsLowSurrogate(u)) {
          o = WriteUtf8(o, CombineSurrogates(held_high_, u));
          held_high_ = 0;
          continue;
        }
        o = WriteUtf8(o, kReplacement);
        ++replaced_;
        held_high_ = 0;
      }
      if (u < 0x80) {
        *o++ = static_cast<uint8_t>(u);
      } else if (IsHighSurrogate(u)) {
        held_high_ = u;
      } else if (IsLowSurrogate(u)) {
        o = WriteUtf8(o, kReplacement);
        ++replaced_;
      } else {
        o = WriteUtf8(o, u);
      }
    }
    output_size_ = static_cast<size_t>(o - output_.get());
    units += count;
    n -= count;
  }
  return true;
}

bool StreamConverter::Flush() {
  if (output_size_ == 0) return true;
  const bool written = sink_.Write(output_.get(), output_size_);
  output_size_ = 0;
  return written;
}

}  // namespace tobble::cli
