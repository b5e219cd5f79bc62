#include "lib/stream.h"

#include <string.h>

#include <algorithm>

#include "core/surrogate.h"

namespace tobble::cli {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "UTF-16LE is copied as it is");

using utf8::DecodeSequence;
using utf8::IsContinuation;
using utf8::SecondByteRange;
using utf8::SequenceLength;
using utf8::WriteUtf8;

constexpr char16_t kReplacement = 0xFFFD;

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
    i += transcoder_.valid_utf8(p + i, n - i);
    if (i == n) break;
    // A sequence that is invalid, or cut by the end of the piece.
    const uint8_t lead = p[i];
    const size_t start = i++;
    int needed = SequenceLength(lead) - 1;
    if (needed <= 0) return Fail(offset_ + start);
    uint8_t low, high;
    SecondByteRange(lead, &low, &high);
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

namespace {

// The buffers of a converter, in bytes, each rounded up to a cache line.
struct Layout {
  size_t slice_units;
  size_t pending_units;
  size_t converted_units;
  size_t output_bytes;

  Layout(const Filter& filter, StreamSizes sizes)
      // A piece longer than any tail, so that every call makes progress.
      : slice_units(std::max(sizes.slice_units, kMaxTail + 1)),
        // A slice, the tail before it, and room for a cut sequence's units.
        pending_units(slice_units + kMaxTail + 4),
        converted_units((slice_units + 1) * filter.factor / 2),
        output_bytes(std::max<size_t>(sizes.output_bytes, 8)) {}

  static size_t Round(size_t bytes) { return (bytes + 63) / 64 * 64; }
  size_t PendingOffset() const { return 0; }
  size_t ConvertedOffset() const { return Round(pending_units * sizeof(char16_t)); }
  size_t OutputOffset() const {
    return ConvertedOffset() + Round(converted_units * sizeof(char16_t));
  }
  size_t Bytes() const { return OutputOffset() + Round(output_bytes); }
};

}  // namespace

size_t StreamConverter::WorkspaceBytes(const Filter& filter, StreamSizes sizes) {
  return Layout(filter, sizes).Bytes();
}

StreamConverter::StreamConverter(const Filter& filter, Encoding encoding, ByteSink& sink,
                                 StreamSizes sizes, const Transcoder& transcoder,
                                 Workspace workspace)
    : filter_(filter), encoding_(encoding), sink_(sink), transcoder_(transcoder) {
  const Layout layout(filter, sizes);
  uint8_t* bytes = static_cast<uint8_t*>(workspace.bytes);
  if (bytes == nullptr || workspace.size < layout.Bytes()) {
    owned_.reset(new uint8_t[layout.Bytes()]);
    bytes = owned_.get();
  }
  slice_units_ = layout.slice_units;
  pending_ = reinterpret_cast<char16_t*>(bytes + layout.PendingOffset());
  pending_capacity_ = layout.pending_units;
  converted_ = reinterpret_cast<char16_t*>(bytes + layout.ConvertedOffset());
  output_ = bytes + layout.OutputOffset();
  output_capacity_ = layout.output_bytes;
}

StreamConverter::~StreamConverter() = default;

bool StreamConverter::Feed(const uint8_t* bytes, size_t n) {
  while (n > 0) {
    // UTF-8 gives at most one unit a byte, plus up to three for the bytes
    // of a sequence that an earlier piece began; UTF-16LE at most one unit
    // for two bytes.
    const size_t free = pending_capacity_ - pending_size_;
    const size_t take = std::min(n, encoding_ == Encoding::kUtf8 ? free - 3 : free);
    pending_size_ += Decode(bytes, take, pending_ + pending_size_);
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
    output_size_ = static_cast<size_t>(WriteUtf8(output_ + output_size_, kReplacement) - output_);
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
    const size_t units = (n - i) / 2;
    memcpy(o, in + i, units * sizeof(char16_t));
    o += units;
    i += 2 * units;
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
    uint8_t low, high;
    SecondByteRange(carry_[0], &low, &high);
    if (carry_size_ == length && carry_[1] >= low && carry_[1] <= high) {
      o = WriteCodePoint(o, DecodeSequence(carry_, static_cast<int>(length)));
      carry_size_ = 0;
    } else if (carry_size_ == length || i < n) {
      // Out of range (an overlong form, a surrogate, above U+10FFFF) or
      // broken off: each byte becomes U+FFFD.
      for (; carry_size_ > 0; --carry_size_) *o++ = kReplacement;
    }
  }
  while (i < n) {
    const size_t valid = transcoder_.valid_utf8(in + i, n - i);
    o += transcoder_.decode_utf8(in + i, valid, o);
    i += valid;
    if (i == n) break;
    // A sequence that is invalid or cut by the end of the piece.
    const uint8_t lead = in[i];
    const size_t length = static_cast<size_t>(SequenceLength(lead));
    size_t framed = i + 1;  // continuation bytes after the lead, up to length
    while (framed < n && framed < i + length && IsContinuation(in[framed])) ++framed;
    if (framed == n && framed < i + length) {  // cut by the end of the piece
      carry_size_ = n - i;
      memcpy(carry_, in + i, carry_size_);
      i = n;
    } else {  // not valid UTF-8: one U+FFFD for the byte
      *o++ = kReplacement;
      ++i;
    }
  }
  return static_cast<size_t>(o - out);
}

bool StreamConverter::ConvertPending(bool last) {
  char16_t* pending = pending_;
  size_t pos = 0;
  for (;;) {
    const size_t length = std::min(slice_units_, pending_size_ - pos);
    const bool at_end = pos + length == pending_size_;
    const Progress done = filter_.convert(pending + pos, length, converted_, last && at_end);
    if (!Emit(converted_, done.written)) return false;
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
    memcpy(output_ + output_size_, units, count * sizeof(char16_t));
    output_size_ += 2 * count;
    units += count;
    n -= count;
  }
  return true;
}

bool StreamConverter::EncodeUtf8(const char16_t* units, size_t n) {
  while (n > 0) {
    // A unit takes at most 3 bytes, and a held high surrogate 4 with its
    // partner or 3 without. Flush before the room gets smaller than a fair
    // batch.
    if (output_capacity_ - output_size_ < 3 * std::min<size_t>(n, 256) + 3 && !Flush()) {
      return false;
    }
    const size_t count = std::min(n, (output_capacity_ - output_size_ - 3) / 3);
    uint8_t* o = output_ + output_size_;
    size_t k = 0;
    if (held_high_ != 0) {
      if (IsLowSurrogate(units[0])) {
        o = WriteUtf8(o, CombineSurrogates(held_high_, units[0]));
        k = 1;
      } else {
        o = WriteUtf8(o, kReplacement);
        ++replaced_;
      }
      held_high_ = 0;
    }
    while (k < count) {
      const Encoded done = transcoder_.encode_utf8(units + k, count - k, o);
      k += done.read;
      o += done.written;
      if (k == count) break;
      // A high surrogate at the end: its partner may come next.
      if (k + 1 == count && IsHighSurrogate(units[k])) {
        held_high_ = units[k++];
        break;
      }
      o = WriteUtf8(o, kReplacement);  // a lone surrogate
      ++replaced_;
      ++k;
    }
    output_size_ = static_cast<size_t>(o - output_);
    units += count;
    n -= count;
  }
  return true;
}

bool StreamConverter::Flush() {
  if (output_size_ == 0) return true;
  const bool written = sink_.Write(output_, output_size_);
  output_size_ = 0;
  return written;
}

}  // namespace tobble::cli
