#include "core/hex.h"
#include "core/simd.h"
#include "core/surrogate.h"
#include "url/unit_classes.h"
#include "url/url.h"

namespace tobble {
namespace {

// What a unit begins besides the byte of an escape.
constexpr int kNoEscape = -1;   // any unit but "%", or a "%" that begins no escape
constexpr int kUndecided = -2;  // a "%" whose deciding units are still to come

// Reads the "%" at in[0], with n units from it on: the byte of its escape, or
// kNoEscape, or kUndecided when the text stops before the units that decide.
// The second digit is looked at only after a first one. "%00" is no escape:
// it would write a zero unit, and the host's text ends at the first one.
int ReadEscape(const char16_t* in, size_t n) {
  if (n < 2) return kUndecided;
  const int high = HexValue(in[1]);
  if (high < 0) return kNoEscape;
  if (n < 3) return kUndecided;
  const int low = HexValue(in[2]);
  if (low < 0) return kNoEscape;
  const int byte = high * 16 + low;
  return byte == 0 ? kNoEscape : byte;
}

constexpr bool IsContinuation(int byte) {
  return (byte & 0xC0) == 0x80;
}

// The continuation bytes a lead byte opens a sequence for: 1 for 0xC0 to
// 0xDF, 2 for 0xE0 to 0xEF, 3 for 0xF0 to 0xF7; 0 for any byte that leads
// nothing (a single byte, a continuation byte, a stray 0xF8 to 0xFF).
constexpr int ContinuationCount(int byte) {
  return byte < 0xC0 ? 0 : byte < 0xE0 ? 1 : byte < 0xF0 ? 2 : byte < 0xF8 ? 3 : 0;
}

// Writes the value of a completed sequence. The value 0 (an overlong form)
// and values above 0x10FFFF name no character that the text can hold, so
// they are broken sequences like any other: one "?".
char16_t* WriteSequenceValue(char16_t* out, uint32_t value) {
  if (value == 0 || value > 0x10FFFF) {
    *out++ = u'?';
    return out;
  }
  return WriteCodePoint(out, value);
}

// The byte of the escape at in[0] ("%" and two hex digits, in[0] == '%'),
// with at least three units there: as ReadEscape, in fewer steps.
int ReadWholeEscape(const char16_t* in) {
  const unsigned high = in[1], low = in[2];
  if ((high | low) >= 0x80) return kNoEscape;
  const int high_value = detail::kHexValues.value[high], low_value = detail::kHexValues.value[low];
  if ((high_value | low_value) < 0) return kNoEscape;
  const int byte = high_value << 4 | low_value;
  return byte == 0 ? kNoEscape : byte;  // "%00" is no escape
}

// Reads the event at in[0], with n > 0 units from it on, as DecodeUrlScalar
// reads it: the byte of an escape, or kNoEscape for any other unit, or
// kUndecided.
int ReadEvent(const char16_t* in, size_t n) {
  if (in[0] != u'%') return kNoEscape;
  return n >= 3 ? ReadWholeEscape(in) : ReadEscape(in, n);
}

// ContinuationCount by the top five bits of the byte, which decide it.
struct ContinuationCountTable {
  int8_t count[32];
  constexpr ContinuationCountTable() : count() {
    for (int top = 0; top < 32; ++top)
      count[top] = static_cast<int8_t>(ContinuationCount(top << 3));
  }
};
constexpr ContinuationCountTable kContinuationCounts;

// Room for the longest sequence: four escapes.
constexpr size_t kLongestSequence = 12;

// Decodes the sequence that the lead `byte` opens at in[0], with at least
// kLongestSequence units there, so that every event it may meet is decided.
// Returns the units read: the sequence, or up to the event that breaks it
// (then "?" is written). Broken text most often breaks a sequence right
// after its lead, which is told first; past that, its three possible
// continuation escapes are read at once, in one vector, and without a
// branch on what they hold.
size_t DecodeSequence(const char16_t* in, int byte, int expected, char16_t** out) {
  using namespace simd;
  if (!IsContinuation(ReadEvent(in + 3, 3))) {
    *(*out)++ = u'?';
    return 3;
  }
  // Units 4 to 11: the digits of the first continuation escape, then the
  // second and the third whole. Escape k has its "%" at lane 3k - 1 (the
  // first one's, unit 3, was read above) and its digits at lanes 3k and
  // 3k + 1.
  const Units v = Load(in + 4);
  const Units letters = InRange(Or(v, Splat(0x20)), u'a', u'f');
  const unsigned digits = LaneBits(Or(InRange(v, u'0', u'9'), letters));
  const unsigned percents = LaneBits(Equal(v, u'%')) << 1 | 1;
  const Units values = Add(And(v, Splat(0xF)), And(letters, Splat(9)));
  // Each lane's value times 16 plus the next lane's: the bytes, in lanes 0,
  // 3 and 6.
  const Units bytes = Add(_mm_slli_epi16(values, 4), _mm_srli_si128(values, 2));
  const unsigned continuations = LaneBits(Equal(And(bytes, Splat(0xC0)), 0x80));
  // Bits 0, 3 and 6: the escapes that are continuations; how many in a row.
  const unsigned good = percents & digits & digits >> 1 & continuations;
  const int gotten = __builtin_ctz((~good & 0x49) | 0x200) / 3;
  // Their low six bits, the first highest: 4096 * b0 + 64 * b1 + b2.
  const Units weighted =
      _mm_madd_epi16(And(bytes, Splat(0x3F)), _mm_setr_epi16(4096, 0, 0, 64, 0, 0, 1, 0));
  const Units halves =
      _mm_add_epi32(weighted, _mm_shuffle_epi32(weighted, _MM_SHUFFLE(1, 0, 3, 2)));
  const Units sum = _mm_add_epi32(halves, _mm_shuffle_epi32(halves, _MM_SHUFFLE(2, 3, 0, 1)));
  const uint32_t bits = static_cast<uint32_t>(byte & (0x3F >> expected)) << 18 |
                        static_cast<uint32_t>(_mm_cvtsi128_si32(sum));
  // Without a branch, as broken text breaks sequences anywhere: a broken
  // sequence takes the value 0, which is written as "?" like the other
  // values that name no character, and ends at the event that broke it.
  const bool whole = gotten >= expected;
  const uint32_t value = whole ? bits >> (6 * (3 - expected)) : 0;
  const bool named = value - 1 < 0x10FFFF;  // neither 0 nor above 0x10FFFF
  const bool pair = value >= 0x10000 && named;
  char16_t* o = *out;
  o[0] = pair ? HighSurrogateOf(value) : named ? static_cast<char16_t>(value) : u'?';
  // The second unit goes out in any case, and is overwritten next unless the
  // pair needs it; the block has room, as the escapes read are longer.
  o[1] = LowSurrogateOf(value);
  *out = o + 1 + pair;
  return 3 + 3 * static_cast<size_t>(whole ? expected : gotten);
}

// Lanes of the escapes' digits and of their "%" signs, in the units after a
// lead "%": its two digits, then "%" and two digits twice.
constexpr uint16_t kOn = 0xFFFF;
alignas(16) constexpr uint16_t kDigitLanes[8] = {kOn, kOn, 0, kOn, kOn, 0, kOn, kOn};
alignas(16) constexpr uint16_t kPercentLanes[8] = {0, 0, kOn, 0, 0, kOn, 0, 0};

// The marker bits of a lead byte and of two continuation bytes, in the lanes
// where the bytes of three escapes come to lie, and the values they must
// take: by the number of continuation bytes the lead opens, 2 or 3.
alignas(16) constexpr uint16_t kMarkBits[2][8] = {{0xF0, 0, 0, 0xC0, 0, 0, 0xC0, 0},
                                                  {0xF8, 0, 0, 0xC0, 0, 0, 0xC0, 0}};
alignas(16) constexpr uint16_t kMarks[2][8] = {{0xE0, 0, 0, 0x80, 0, 0, 0x80, 0},
                                               {0xF0, 0, 0, 0x80, 0, 0, 0x80, 0}};

simd::Units LoadLanes(const uint16_t* lanes) {
  return _mm_load_si128(reinterpret_cast<const simd::Units*>(lanes));
}

// Decodes the sequence that the escape at in[0] opens when it is a lead of
// kExpected (2 or 3) continuation escapes, with at least as many units at in.
// The first three escapes are checked and read in one vector. A sequence
// that a later event breaks is told from the same vector, as broken text
// breaks them anywhere: it writes "?" and returns the units up to the event
// that broke it, as DecodeUrlScalar does. Returns the units read, or 0 when
// the escape at in[0] is no such lead; the general step reads it then.
template <int kExpected>
size_t DecodeLeadSequence(const char16_t* in, char16_t** out) {
  using namespace simd;
  const Units v = Load(in + 1);
  const Units letters = InRange(Or(v, Splat(0x20)), u'a', u'f');
  const Units digits = Or(InRange(v, u'0', u'9'), letters);
  const Units shape =
      Or(And(digits, LoadLanes(kDigitLanes)), And(Equal(v, u'%'), LoadLanes(kPercentLanes)));
  const Units values = Add(And(v, Splat(0xF)), And(letters, Splat(9)));
  // Each lane's value times 16 plus the next lane's: the bytes, in lanes 0,
  // 3 and 6.
  const Units bytes = Add(_mm_slli_epi16(values, 4), _mm_srli_si128(values, 2));
  const Units marked = _mm_cmpeq_epi16(And(bytes, LoadLanes(kMarkBits[kExpected - 2])),
                                       LoadLanes(kMarks[kExpected - 2]));
  const unsigned good = Mask(And(shape, marked));
  if (good != 0xFFFF) {
    // Two bits a lane: the lead escape's digits in lanes 0 and 1, then the
    // first continuation escape in lanes 2 to 4 and the second in 5 to 7.
    if ((good & 0xF) != 0xF) return 0;
    const size_t gotten = (good & 0x3F0) != 0x3F0 ? 0 : 1;
    *(*out)++ = u'?';
    return 3 + 3 * gotten;
  }
  uint32_t value = static_cast<uint32_t>(_mm_extract_epi16(bytes, 0) & (0x3F >> kExpected)) << 12 |
                   static_cast<uint32_t>(_mm_extract_epi16(bytes, 3) & 0x3F) << 6 |
                   static_cast<uint32_t>(_mm_extract_epi16(bytes, 6) & 0x3F);
  if constexpr (kExpected == 3) {
    const int byte = in[9] == u'%' ? ReadWholeEscape(in + 9) : kNoEscape;
    if (byte < 0 || !IsContinuation(byte)) {
      *(*out)++ = u'?';
      return 9;
    }
    value = value << 6 | static_cast<uint32_t>(byte & 0x3F);
  }
  *out = WriteSequenceValue(*out, value);
  return 3 + 3 * kExpected;
}

}  // namespace

// One event per step: a plus, an escape, a lone percent or any other unit.
// With a sequence open (Pending), a continuation byte adds to it; every
// other event breaks it, which writes one "?" and then acts as without an
// open sequence (Idle). So right before a lead escape the decoder is as good
// as Idle, and a piece that stops in Pending leaves its tail from there.
Progress DecodeUrlScalar(const char16_t* in, size_t n, char16_t* out, bool last) {
  char16_t* o = out;
  size_t i = 0;
  int expected = 0;       // continuation bytes still expected; 0 in Idle
  uint32_t gathered = 0;  // the bits of the open sequence so far
  size_t lead_at = 0;     // where the open sequence's lead escape begins
  while (i < n) {
    const char16_t u = in[i];
    int byte = u == u'%' ? ReadEscape(in + i, n - i) : kNoEscape;
    if (byte == kUndecided) {
      if (!last) break;
      byte = kNoEscape;
    }
    if (expected > 0 && byte >= 0 && IsContinuation(byte)) {
      gathered = gathered << 6 | (byte & 0x3F);
      i += 3;
      if (--expected == 0) o = WriteSequenceValue(o, gathered);
      continue;
    }
    if (expected > 0) {
      *o++ = u'?';
      expected = 0;
    }
    if (byte < 0) {  // a plus, a lone percent or any other unit
      *o++ = url::Percent::Map(u);
      ++i;
    } else if (ContinuationCount(byte) > 0) {  // a lead byte opens a sequence
      lead_at = i;
      expected = ContinuationCount(byte);
      gathered = byte & (0x3F >> expected);
      i += 3;
    } else {  // a single, lone continuation or stray byte: its own value
      *o++ = static_cast<char16_t>(byte);
      i += 3;
    }
  }
  if (!last) return {expected > 0 ? lead_at : i, static_cast<size_t>(o - out)};
  if (expected > 0) *o++ = u'?';
  return {i, static_cast<size_t>(o - out)};
}

// As DecodeUrlScalar, with the state machine unrolled around each lead byte:
// runs without a "%" go eight units at a time (pluses turned into spaces);
// a lead escape reads its continuation escapes right away, and the first
// event that is not one breaks the sequence ("?") and is read again, as
// without an open sequence. A piece that stops inside a sequence leaves its
// tail from the lead escape on.
Progress DecodeUrl(const char16_t* in, size_t n, char16_t* out, bool last) {
  char16_t* o = out;
  size_t i = 0;
  while (i < n) {
    const size_t plain = simd::CopyMappedUnits<url::Percent>(in + i, n - i, o);
    i += plain;
    o += plain;
    // Escapes one after another, as in encoded non-Latin text, are read
    // without going back to the run copy.
    while (i < n && url::Percent::Has(in[i])) {
      const char16_t u = in[i];
      // Escaped three- and four-byte UTF-8, in long runs in most non-Latin
      // text, is told by the first digit of its lead escape.
      const size_t left = n - i;
      if (left >= 9 && (in[i + 1] | 0x20) == u'e') {
        const size_t read = DecodeLeadSequence<2>(in + i, &o);
        i += read;
        if (read != 0) continue;
      } else if (left >= 12 && (in[i + 1] | 0x20) == u'f') {
        const size_t read = DecodeLeadSequence<3>(in + i, &o);
        i += read;
        if (read != 0) continue;
      }
      // One event, and the sequence it may open, as in DecodeUrlScalar.
      int byte = ReadEvent(in + i, n - i);
      if (byte == kUndecided) {
        if (!last) return {i, static_cast<size_t>(o - out)};
        byte = kNoEscape;
      }
      if (byte == kNoEscape) {  // a lone percent
        *o++ = u;
        ++i;
        continue;
      }
      const int expected = kContinuationCounts.count[byte >> 3];
      if (expected == 0) {  // a single, lone continuation or stray byte: its own value
        *o++ = static_cast<char16_t>(byte);
        i += 3;
        continue;
      }
      if (n - i >= kLongestSequence) {
        i += DecodeSequence(in + i, byte, expected, &o);
        continue;
      }
      uint32_t value = byte & (0x3F >> expected);
      size_t next = i + 3;
      int gotten = 0;
      for (; gotten < expected && next < n; ++gotten, next += 3) {
        int event = ReadEvent(in + next, n - next);
        if (event == kUndecided) {
          if (!last) return {i, static_cast<size_t>(o - out)};
          event = kNoEscape;
        }
        if (event < 0 || !IsContinuation(event)) break;
        value = value << 6 | (event & 0x3F);
      }
      if (gotten == expected) {
        o = WriteSequenceValue(o, value);
      } else if (next < n || last) {
        *o++ = u'?';  // broken by the event at `next`, which is read next as in Idle
      } else {
        return {i, static_cast<size_t>(o - out)};  // the next piece may go on with it
      }
      i = next;
    }
  }
  return {i, static_cast<size_t>(o - out)};
}

}  // namespace tobble
