#include "lib/stream.h"

#include <string.h>

#include <algorithm>

#include "filters/charref/encode_dense.h"
#include "filters/common/encode_avx512.h"
#include "filters/common/simd.h"
#include "filters/common/surrogate.h"
#include "filters/common/utf8.h"
#include "filters/escape/shuffle_choice.h"

namespace tobble::lib {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "UTF-16LE is copied as it is");

using utf8::DecodeSequence;
using utf8::IsContinuation;
using utf8::SecondByteRange;
using utf8::SequenceLength;
using utf8::WriteUtf8;

constexpr char16_t kReplacement = 0xFFFD;
constexpr uint8_t kReplacementBytes[] = {0xEF, 0xBF, 0xBD};

// What the UTF-8 reading writes: UTF-16 units, or the bytes themselves.
void PutValid(const Transcoder& transcoder, const uint8_t* in, size_t n, char16_t*& out) {
  out += transcoder.decode_utf8(in, n, out);
}
void PutValid(const Transcoder&, const uint8_t* in, size_t n, uint8_t*& out) {
  memcpy(out, in, n);
  out += n;
}
void PutReplacement(char16_t*& out) {
  *out++ = kReplacement;
}
void PutReplacement(uint8_t*& out) {
  memcpy(out, kReplacementBytes, sizeof kReplacementBytes);
  out += sizeof kReplacementBytes;
}
void PutSequence(const uint8_t* sequence, int length, char16_t*& out) {
  out = WriteCodePoint(out, DecodeSequence(sequence, length));
}
void PutSequence(const uint8_t* sequence, int length, uint8_t*& out) {
  memcpy(out, sequence, static_cast<size_t>(length));
  out += length;
}

// UTF-16BE units to and from the machine's own order.
void SwapUnits(const uint8_t* in, size_t units, char16_t* out) {
  for (size_t k = 0; k < units; ++k) {
    out[k] = static_cast<char16_t>(in[2 * k] << 8 | in[2 * k + 1]);
  }
}

void WriteSwapped(const char16_t* units, size_t n, uint8_t* out) {
  for (size_t k = 0; k < n; ++k) {
    out[2 * k] = static_cast<uint8_t>(units[k] >> 8);
    out[2 * k + 1] = static_cast<uint8_t>(units[k]);
  }
}

// The buffers of a converter, in bytes, each rounded up to a cache line;
// the pending and converted blocks hold units or, for UTF-8 converted as it
// is, bytes, and are sized for either.
struct Layout {
  size_t slice_units;
  size_t pending_units;
  size_t converted_units;
  size_t slice_bytes;
  size_t pending_bytes;
  size_t converted_bytes;
  size_t output_bytes;

  Layout(const Filter& filter, StreamSizes sizes)
      // A piece longer than any tail, so that every call makes progress.
      : slice_units(std::max(sizes.slice_units, kMaxTail + 1)),
        // A slice, the tail before it, and room for the units of a sequence
        // carried from the last piece and a final U+FFFD.
        pending_units(slice_units + kMaxTail + 4),
        converted_units(OutputBound(filter, slice_units)),
        slice_bytes(std::max(sizes.slice_units, kMaxUtf8Tail + 1)),
        // In UTF-8 a slice of input bytes may come to three times as many,
        // each invalid byte becoming U+FFFD; the tail, and a carried
        // sequence and a final U+FFFD.
        pending_bytes(3 * slice_bytes + kMaxUtf8Tail + 8),
        converted_bytes(filter.convert8 != nullptr ? Utf8OutputBound(filter, slice_bytes) : 0),
        output_bytes(std::max<size_t>(sizes.output_bytes, 8)) {}

  static size_t Round(size_t bytes) { return (bytes + 63) / 64 * 64; }
  size_t PendingOffset() const { return 0; }
  size_t ConvertedOffset() const {
    return Round(std::max(pending_units * sizeof(char16_t), pending_bytes));
  }
  size_t OutputOffset() const {
    return ConvertedOffset() + Round(std::max(converted_units * sizeof(char16_t), converted_bytes));
  }
  size_t Bytes() const { return OutputOffset() + Round(output_bytes); }
};

// Whether the filter's conversion from UTF-16 units into bytes, after the
// transcoder, is faster than its UTF-8 conversion on text in which most
// characters become escapes: so for tobbleJ with the SSSE3 loops, whose
// UTF-16 steps take eight units whatever they hold, where its UTF-8 loop
// branches on each sequence's length. Measured on 16 MiB texts (AVX2
// transcoder), ms: emoji 17.9 -> 12.1, Japanese 15.8 -> 12.7, mixed 11.9 ->
// 9.4; but ASCII text 0.44 -> 0.71, and text with one letter in ten or so
// accented is slower too (4.1 -> 4.5), which kDenseOutput keeps apart.
// tobbleC's UTF-16 steps take surrogate pairs too, and it gains that way on
// emoji (16 MiB through the tool, 30.4 -> 26.7 ms) and on text with a few
// emoji among Japanese (23.4 -> 20.2), as it did on Japanese. The reference
// encoders take eight units a step from UTF-16 when each is ASCII or has a
// reference of eight bytes (text of kana and kanji), and are faster that way
// on such text (Japanese 16 MiB through the tool, decimal 35.3 -> 29.7 ms,
// hex 35.2 -> 26.1), but slower on Cyrillic (39.7 -> 45.0), French (35.4 ->
// 36.6) and, in decimal, text with emoji: they take it only after a dense
// piece whose leads all start characters their steps take (in hex emoji
// too, 43.6 -> 42.4 ms on emoji).
bool UnitsFasterWhenDense(const Filter& filter) {
  return escape::UseShuffles() && filter.ascii.from_units != nullptr &&
         (SameString(filter.function, "tobbleJ") || SameString(filter.function, "tobbleC") ||
          SameString(filter.function, "text2charref") ||
          SameString(filter.function, "text2charrefx"));
}

// The lead bytes that a dense piece may hold for the next piece to go the
// units' way; all of them, from 0xC0 up, for any text. The reference
// encoders' steps take characters with references of eight bytes, and in
// hex surrogate pairs too; their AVX-512 blocks take every character, and
// with them every text is faster that way (through the tool, 16 MiB, fastest
// of 40, decimal and hex, ms: emoji 36.4 -> 25.5 and 33.5 -> 24.2, Cyrillic
// 39.0 -> 23.6 and 33.6 -> 19.6, French 34.4 -> 26.3 and 33.3 -> 20.9;
// Japanese as before).
LeadRange LeadsForUnits(const Filter& filter) {
  if (avx512::Use()) return {0xC0, 0xFF};
  if (SameString(filter.function, "text2charref")) return {charref::kFiveDigitLead, 0xEF};
  if (SameString(filter.function, "text2charrefx")) return {charref::kFourHexLead, 0xF4};
  return {0xC0, 0xFF};
}

// A piece is dense when its output is more than 3/2 its input: between
// French-like text with one letter in ten accented (1.27, where the UTF-8
// conversion is faster) and one in four (1.6, where the units' way is).
constexpr size_t kDenseOutput = 3, kDenseInput = 2;
// A piece shorter than this says too little to change the way.
constexpr size_t kDenseMinimum = 64;

// The units of a piece taken at a time on the units' way: their buffer is
// on the stack.
constexpr size_t kUnitsStep = 4096;

// The units' way: in[0, n), valid UTF-8, made UTF-16 by the transcoder a
// step at a time and converted from units into bytes at out. Whole
// sequences only: the bytes of one that the end of the piece cuts are left,
// as the UTF-8 conversion leaves them. Each step's units are whole
// characters, whose escapes do not depend on what follows, so each step is
// converted as a whole text. (A call of its own, so that only this way
// takes the units' room on the stack.)
__attribute__((noinline)) Progress ConvertThroughUnits(const Filter& filter,
                                                       const Transcoder& transcoder,
                                                       const uint8_t* in, size_t n, uint8_t* out) {
  size_t whole = n;
  size_t lead = n;
  while (lead > 0 && IsContinuation(in[lead - 1])) --lead;
  if (lead > 0 && lead - 1 + static_cast<size_t>(SequenceLength(in[lead - 1])) > n) {
    whole = lead - 1;
  }
  char16_t units[kUnitsStep];
  Progress done{0, 0};
  while (done.read < whole) {
    size_t end = std::min(whole, done.read + kUnitsStep);
    while (end < whole && IsContinuation(in[end])) --end;
    const size_t count = transcoder.decode_utf8(in + done.read, end - done.read, units);
    done.written += filter.ascii.from_units(units, count, out + done.written, true).written;
    done.read = end;
  }
  return done;
}

}  // namespace

// Sixty-four bytes a step. A byte b from 0xC0 up is below `lowest` when
// b + 0x40 (wrapping round to 0 at 0xC0) is below lowest - 0xC0.
bool HasLeadOutside(const uint8_t* in, size_t n, LeadRange leads) {
  using namespace simd;
  const Units top = SplatByte(leads.highest), shift = SplatByte(0x40);
  const Units low = SplatByte(static_cast<uint8_t>(leads.lowest - 0xC0));
  const auto outside = [&](Units bytes) {
    return _mm_or_si128(_mm_subs_epu8(bytes, top), _mm_subs_epu8(low, _mm_add_epi8(bytes, shift)));
  };
  size_t i = 0;
  for (; n - i >= 64; i += 64) {
    const Units any = _mm_or_si128(
        _mm_or_si128(outside(LoadBytes(in + i)), outside(LoadBytes(in + i + 16))),
        _mm_or_si128(outside(LoadBytes(in + i + 32)), outside(LoadBytes(in + i + 48))));
    if (Mask(_mm_cmpeq_epi8(any, _mm_setzero_si128())) != 0xFFFF) return true;
  }
  for (; i < n; ++i) {
    if (in[i] > leads.highest || (in[i] >= 0xC0 && in[i] < leads.lowest)) return true;
  }
  return false;
}

size_t StreamConverter::WorkspaceBytes(const Filter& filter, StreamSizes sizes) {
  return Layout(filter, sizes).Bytes();
}

StreamConverter::StreamConverter(const Filter& filter, Encoding encoding, bool replace,
                                 ByteSink& sink, void* workspace, StreamSizes sizes,
                                 const Transcoder& transcoder)
    : filter_(filter),
      encoding_(encoding),
      replace_(replace),
      sink_(sink),
      transcoder_(transcoder),
      native_utf8_(encoding == Encoding::kUtf8 && filter.convert8 != nullptr),
      units_when_dense_(native_utf8_ && UnitsFasterWhenDense(filter)),
      units_leads_(LeadsForUnits(filter)) {
  const Layout layout(filter, sizes);
  uint8_t* const bytes = static_cast<uint8_t*>(workspace);
  slice_units_ = native_utf8_ ? layout.slice_bytes : layout.slice_units;
  pending_ = reinterpret_cast<char16_t*>(bytes + layout.PendingOffset());
  pending_bytes_ = bytes + layout.PendingOffset();
  pending_capacity_ = native_utf8_ ? layout.pending_bytes : layout.pending_units;
  converted_ = reinterpret_cast<char16_t*>(bytes + layout.ConvertedOffset());
  converted_bytes_ = bytes + layout.ConvertedOffset();
  output_ = bytes + layout.OutputOffset();
  output_capacity_ = layout.output_bytes;
}

void StreamConverter::Reset() {
  pending_size_ = 0;
  carry_size_ = 0;
  held_high_ = 0;
  dense_ = false;
  output_size_ = 0;
  stopped_ = false;
  error_offset_ = 0;
  bytes_in_ = 0;
  bytes_out_ = 0;
  replaced_input_ = 0;
  replaced_surrogates_ = 0;
}

tobble_status StreamConverter::Stop(tobble_status status) {
  stopped_ = true;
  return status;
}

tobble_status StreamConverter::Feed(const uint8_t* bytes, size_t n) {
  if (stopped_) return TOBBLE_ERROR_FINISHED;
  if (native_utf8_ && n > 0 && carry_size_ == 0) {
    // No sequence is cut: the valid bytes are converted where they are, and
    // only the tail the conversion leaves is kept. What follows them (an
    // invalid or cut sequence) goes the way below.
    const size_t valid = transcoder_.valid_utf8(bytes, n);
    size_t start = 0;
    if (pending_size_ > 0) {
      // The tail of the last piece first, converted with the whole
      // sequences that follow it, more bytes than any tail: the conversion
      // then reads past the tail into them.
      size_t join = std::min(valid, 2 * (kMaxUtf8Tail + 1));
      while (join < valid && (bytes[join] & 0xC0) == 0x80) --join;
      const size_t tail = pending_size_;
      memcpy(pending_bytes_ + pending_size_, bytes, join);
      pending_size_ += join;
      size_t read;
      if (!ConvertUtf8(pending_bytes_, pending_size_, false, &read)) {
        return Stop(TOBBLE_ERROR_WRITE);
      }
      if (read < tail) {  // too few bytes came to join: all of them wait
        pending_size_ -= read;
        memmove(pending_bytes_, pending_bytes_ + read, pending_size_);
        bytes_in_ += join;
        bytes += join;
        n -= join;
      } else {
        pending_size_ = 0;
        start = read - tail;
      }
    }
    if (pending_size_ == 0) {
      size_t read;
      if (!ConvertUtf8(bytes + start, valid - start, false, &read)) {
        return Stop(TOBBLE_ERROR_WRITE);
      }
      pending_size_ = valid - start - read;
      memcpy(pending_bytes_, bytes + start + read, pending_size_);
      bytes_in_ += valid;
      bytes += valid;
      n -= valid;
    }
  }
  while (n > 0) {
    // After ConvertPending at most a tail is pending, so there is room for
    // more than a slice. UTF-8 gives at most one unit a byte, plus one for a
    // sequence carried from an earlier piece; UTF-16 one unit for two bytes,
    // the carried byte included.
    // UTF-8 converted as it is gives at most three bytes a byte (U+FFFD for
    // an invalid one), plus four for a carried sequence.
    const size_t free = pending_capacity_ - pending_size_;
    const size_t take = std::min(n, native_utf8_                   ? (free - 8) / 3
                                    : encoding_ == Encoding::kUtf8 ? free - 3
                                                                   : 2 * free - carry_size_);
    const Decoded decoded = native_utf8_ ? CopyUtf8(bytes, take, pending_bytes_ + pending_size_)
                            : encoding_ == Encoding::kUtf8
                                ? DecodeUtf8(bytes, take, pending_ + pending_size_)
                                : DecodeUtf16(bytes, take, pending_ + pending_size_);
    pending_size_ += decoded.written;
    if (decoded.invalid) return StopInvalid(error_offset_);
    bytes_in_ += take;
    bytes += take;
    n -= take;
    if (!ConvertPending(false)) return Stop(TOBBLE_ERROR_WRITE);
  }
  return TOBBLE_OK;
}

tobble_status StreamConverter::Flush() {
  if (stopped_) return TOBBLE_ERROR_FINISHED;
  if (!ConvertPending(false) || !WriteOut()) return Stop(TOBBLE_ERROR_WRITE);
  return TOBBLE_OK;
}

tobble_status StreamConverter::Finish() {
  if (stopped_) return TOBBLE_ERROR_FINISHED;
  if (carry_size_ > 0) {  // the input ends inside a sequence, or on an odd byte
    if (!replace_) return StopInvalid(carry_offset_);
    carry_size_ = 0;
    if (native_utf8_) {
      uint8_t* o = pending_bytes_ + pending_size_;
      PutReplacement(o);
      pending_size_ = static_cast<size_t>(o - pending_bytes_);
    } else {
      pending_[pending_size_++] = kReplacement;
    }
    ++replaced_input_;
  }
  if (!ConvertPending(true) || !EndHeldHigh() || !WriteOut()) return Stop(TOBBLE_ERROR_WRITE);
  return Stop(TOBBLE_OK);
}

tobble_status StreamConverter::StopInvalid(uint64_t offset) {
  error_offset_ = offset;
  bytes_in_ = offset;
  carry_size_ = 0;
  if (!ConvertPending(true) || !EndHeldHigh() || !WriteOut()) return Stop(TOBBLE_ERROR_WRITE);
  return Stop(TOBBLE_ERROR_INVALID_INPUT);
}

template <typename Unit>
StreamConverter::Decoded StreamConverter::ContinueCarried(const uint8_t* in, size_t n, Unit* out) {
  const int length = SequenceLength(carry_[0]);
  uint8_t low = 0x80, high = 0xBF;
  if (carry_size_ == 1) SecondByteRange(carry_[0], &low, &high);
  size_t i = 0;
  for (; carry_size_ < static_cast<size_t>(length) && i < n && in[i] >= low && in[i] <= high; ++i) {
    carry_[carry_size_++] = in[i];
    low = 0x80;
    high = 0xBF;
  }
  if (carry_size_ == static_cast<size_t>(length)) {
    carry_size_ = 0;
    Unit* end = out;
    PutSequence(carry_, length, end);
    return {i, static_cast<size_t>(end - out), false};
  }
  if (i == n) return {i, 0, false};  // cut again by the end of this piece
  // Broken off by in[i]: what was carried is one maximal subpart.
  carry_size_ = 0;
  if (!replace_) {
    error_offset_ = carry_offset_;
    return {i, 0, true};
  }
  Unit* end = out;
  PutReplacement(end);
  ++replaced_input_;
  return {i, static_cast<size_t>(end - out), false};
}

StreamConverter::Decoded StreamConverter::DecodeUtf8(const uint8_t* in, size_t n, char16_t* out) {
  return ReadUtf8(in, n, out);
}

StreamConverter::Decoded StreamConverter::CopyUtf8(const uint8_t* in, size_t n, uint8_t* out) {
  return ReadUtf8(in, n, out);
}

template <typename Unit>
StreamConverter::Decoded StreamConverter::ReadUtf8(const uint8_t* in, size_t n, Unit* out) {
  Unit* o = out;
  size_t i = 0;
  if (carry_size_ > 0) {
    const Decoded carried = ContinueCarried(in, n, o);
    if (carried.invalid || carry_size_ > 0) return carried;
    i = carried.read;
    o += carried.written;
  }
  while (i < n) {
    const size_t valid = transcoder_.valid_utf8(in + i, n - i);
    PutValid(transcoder_, in + i, valid, o);
    i += valid;
    if (i == n) break;
    // A sequence that is invalid or cut by the end of the piece. Its maximal
    // subpart ends at the first byte out of the range its place allows.
    const uint8_t lead = in[i];
    const size_t length = static_cast<size_t>(SequenceLength(lead));
    size_t end = i + 1;
    if (length > 1) {
      uint8_t low, high;
      SecondByteRange(lead, &low, &high);
      for (; end < n && end < i + length && in[end] >= low && in[end] <= high; ++end) {
        low = 0x80;
        high = 0xBF;
      }
      if (end == n && end < i + length) {  // cut: the rest may come next
        carry_size_ = n - i;
        memcpy(carry_, in + i, carry_size_);
        carry_offset_ = bytes_in_ + i;
        break;
      }
    }
    if (!replace_) {
      error_offset_ = bytes_in_ + i;
      return {i, static_cast<size_t>(o - out), true};
    }
    PutReplacement(o);
    ++replaced_input_;
    i = end;
  }
  return {n, static_cast<size_t>(o - out), false};
}

StreamConverter::Decoded StreamConverter::DecodeUtf16(const uint8_t* in, size_t n, char16_t* out) {
  const bool little = encoding_ == Encoding::kUtf16le;
  char16_t* o = out;
  size_t i = 0;
  if (carry_size_ == 1 && n > 0) {
    *o++ = static_cast<char16_t>(little ? carry_[0] | in[0] << 8 : carry_[0] << 8 | in[0]);
    carry_size_ = 0;
    i = 1;
  }
  const size_t units = (n - i) / 2;
  if (little) {
    memcpy(o, in + i, units * sizeof(char16_t));
  } else {
    SwapUnits(in + i, units, o);
  }
  o += units;
  i += 2 * units;
  if (i < n) {
    carry_[0] = in[i];
    carry_size_ = 1;
    carry_offset_ = bytes_in_ + i;
  }
  return {n, static_cast<size_t>(o - out), false};
}

bool StreamConverter::ConvertPending(bool last) {
  if (native_utf8_) return ConvertPendingUtf8(last);
  size_t pos = 0;
  for (;;) {
    const size_t length = std::min(slice_units_, pending_size_ - pos);
    const bool at_end = pos + length == pending_size_;
    const Progress done = filter_.convert(pending_ + pos, length, converted_, last && at_end);
    if (!Emit(converted_, done.written)) return false;
    pos += done.read;
    if (at_end) break;
  }
  // The tail goes in front of the units to come.
  pending_size_ -= pos;
  memmove(pending_, pending_ + pos, pending_size_ * sizeof(char16_t));
  return true;
}

// As ConvertPending, with the filter's UTF-8 conversion, which writes UTF-8
// ready for the sink and counts the surrogates it replaced.
//
// A piece whose worst-case output fits in what is left of the output block
// is converted straight into it; where little is left, a short piece goes
// through the converted block, and EmitBytes hands the full block to the
// sink. Pieces longer than any tail always make progress.
bool StreamConverter::ConvertPendingUtf8(bool last) {
  size_t pos;
  if (!ConvertUtf8(pending_bytes_, pending_size_, last, &pos)) return false;
  pending_size_ -= pos;
  memmove(pending_bytes_, pending_bytes_ + pos, pending_size_);
  return true;
}

bool StreamConverter::ConvertUtf8(const uint8_t* in, size_t size, bool last, size_t* read) {
  constexpr size_t kShortPiece = 2 * (kMaxUtf8Tail + 1);
  size_t pos = 0;
  for (;;) {
    size_t length = std::min(slice_units_, size - pos);
    const size_t fitting = FittingBytes(output_capacity_ - output_size_);
    const bool direct = fitting >= length || fitting >= kShortPiece;
    if (direct) {
      length = std::min(length, fitting);
    } else {
      length = std::min(length, kShortPiece);
    }
    const bool at_end = pos + length == size;
    uint8_t* const target = direct ? output_ + output_size_ : converted_bytes_;
    const Progress done = ConvertUtf8Piece(in + pos, length, target, last && at_end);
    replaced_surrogates_ += done.replaced;
    if (direct) {
      output_size_ += done.written;
    } else if (!EmitBytes(converted_bytes_, done.written)) {
      return false;
    }
    pos += done.read;
    if (at_end) break;
  }
  *read = pos;
  return true;
}

size_t StreamConverter::FittingBytes(size_t room) const {
  if (dense_) {
    // A byte is at most a unit, and n units need AsciiOutputBound bytes.
    const size_t per_unit = filter_.factor / 2;
    return room / per_unit > 1 ? room / per_unit - 1 : 0;
  }
  return room > 16 ? (room - 16) / filter_.factor8 : 0;
}

Progress StreamConverter::ConvertUtf8Piece(const uint8_t* in, size_t n, uint8_t* out, bool last) {
  // (With `last` the piece ends with a whole sequence, so the units' way
  // reads it all too.)
  const Progress done = dense_ ? ConvertThroughUnits(filter_, transcoder_, in, n, out)
                               : filter_.convert8(in, n, out, last);
  if (units_when_dense_ && done.read >= kDenseMinimum) {
    dense_ = done.written * kDenseInput > done.read * kDenseOutput &&
             !(units_leads_.lowest != 0xC0 && HasLeadOutside(in, done.read, units_leads_));
  }
  return done;
}

bool StreamConverter::EmitBytes(const uint8_t* bytes, size_t n) {
  while (n > 0) {
    if (output_size_ == output_capacity_ && !WriteOut()) return false;
    const size_t count = std::min(n, output_capacity_ - output_size_);
    memcpy(output_ + output_size_, bytes, count);
    output_size_ += count;
    bytes += count;
    n -= count;
  }
  return true;
}

bool StreamConverter::Emit(const char16_t* units, size_t n) {
  return encoding_ == Encoding::kUtf8 ? EncodeUtf8(units, n) : EmitUtf16(units, n);
}

bool StreamConverter::EmitUtf16(const char16_t* units, size_t n) {
  while (n > 0) {
    if (output_capacity_ - output_size_ < 2 && !WriteOut()) return false;
    const size_t count = std::min(n, (output_capacity_ - output_size_) / 2);
    if (encoding_ == Encoding::kUtf16le) {
      memcpy(output_ + output_size_, units, count * sizeof(char16_t));
    } else {
      WriteSwapped(units, count, output_ + output_size_);
    }
    output_size_ += 2 * count;
    units += count;
    n -= count;
  }
  return true;
}

bool StreamConverter::EncodeUtf8(const char16_t* units, size_t n) {
  while (n > 0) {
    // A unit takes at most 3 bytes, and a held high surrogate 4 with its
    // partner or 3 without. Write out before the room gets smaller than a
    // fair batch.
    if (output_capacity_ - output_size_ < 3 * std::min<size_t>(n, 256) + 3 && !WriteOut()) {
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
        ++replaced_surrogates_;
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
      ++replaced_surrogates_;
      ++k;
    }
    output_size_ = static_cast<size_t>(o - output_);
    units += count;
    n -= count;
  }
  return true;
}

bool StreamConverter::EndHeldHigh() {
  if (held_high_ == 0) return true;
  held_high_ = 0;
  ++replaced_surrogates_;
  if (output_capacity_ - output_size_ < 3 && !WriteOut()) return false;
  output_size_ = static_cast<size_t>(WriteUtf8(output_ + output_size_, kReplacement) - output_);
  return true;
}

bool StreamConverter::WriteOut() {
  if (output_size_ == 0) return true;
  const size_t size = output_size_;
  output_size_ = 0;
  if (!sink_.Write(output_, size)) return false;
  bytes_out_ += size;
  return true;
}

}  // namespace tobble::lib
