#include "filters/common/hex.h"
#include "filters/common/number.h"
#include "filters/common/simd.h"
#include "filters/common/utf8.h"
#include "filters/escape/decode_avx512.h"
#include "filters/escape/dense.h"
#include "filters/escape/escape.h"
#include "filters/escape/unit_classes.h"

namespace tobble {
namespace {

// Decodes the escapes at in[0, n), the long form only when `long_form`.
//
// An escape is a backslash, "u" and a four-unit field, or a backslash, "U"
// and an eight-unit field. The field is read by ParseInteger and must be
// accepted whole, and its value must name a character other than U+0000. A
// refused escape is copied: its backslash goes out as it is and scanning
// resumes right after it. A piece that more input follows stops before a
// backslash at its end, and before an escape whose field it cuts short while
// the units so far may still begin a number.
template <typename Unit>
Progress DecodeEscapes(const Unit* in, size_t n, Unit* out, bool last, bool long_form) {
  DecodedOutput<Unit> output;
  Unit* o = out;
  size_t i = 0;
  while (i < n) {
    const Unit u = in[i];
    if (!escape::Backslash::Has(u)) {
      o = output.Settle(o);
      *o++ = u;
      ++i;
      continue;
    }
    if (i + 1 == n && !last) break;
    const char16_t letter = i + 1 < n ? in[i + 1] : 0;
    const size_t digits = letter == u'u' ? 4 : letter == u'U' && long_form ? 8 : 0;
    if (digits != 0) {
      if (i + 2 + digits > n && !last && MayStartInteger(in + i + 2, n - i - 2, 16)) break;
      int32_t value;
      Unit* end;
      if (i + 2 + digits <= n && ParseInteger(in + i + 2, digits, 16, &value) &&
          (end = WriteNumberedCharacter(o, value, output, i)) != nullptr) {
        o = end;
        i += 2 + digits;
        continue;
      }
    }
    o = output.Settle(o);
    *o++ = u;
    ++i;
  }
  return EndDecoding(i, out, o, last, output);
}

// The value of four hex digit units, or -1 when any of them is no hex digit.
template <typename Unit>
int32_t FourHexDigits(const Unit* field) {
  const unsigned a = field[0], b = field[1], c = field[2], d = field[3];
  if ((a | b | c | d) >= 0x80) return -1;
  const int32_t va = detail::kHexValues.value[a], vb = detail::kHexValues.value[b],
                vc = detail::kHexValues.value[c], vd = detail::kHexValues.value[d];
  if ((va | vb | vc | vd) < 0) return -1;
  return va << 12 | vb << 8 | vc << 4 | vd;
}

// Reads a field of 4 or 8 units exactly as ParseInteger reads it in base
// 16, with at least eight units readable at `field`, and without a branch on
// the units: each kind of unit the parse tells apart becomes one bit a lane,
// and the parse's steps become shifts of those bits. Lenient fields (white
// space, a sign, "0x") and fields that fail late, at any unit, all cost the
// same.
template <typename Unit>
bool ReadFieldAtOnce(const Unit* field, size_t digits, int32_t* value) {
  using namespace simd;
  const Units v = Load(field);
  const Units lower = Or(v, Splat(0x20));
  const Units letter = InRange(lower, u'a', u'f');
  const Units hex = Or(InRange(v, u'0', u'9'), letter);
  const unsigned all = (1u << digits) - 1;
  const unsigned spaces = LaneBits(Or(InRange(v, 0x09, 0x0D), Equal(v, u' '))) & all;
  const unsigned signs = LaneBits(Or(Equal(v, u'+'), Equal(v, u'-')));
  const unsigned minus = LaneBits(Equal(v, u'-'));
  const unsigned zeros = LaneBits(Equal(v, u'0'));
  const unsigned exes = LaneBits(Equal(lower, u'x'));
  const unsigned digit_lanes = LaneBits(hex) & all;
  // White space, one sign, "0x" when a digit follows it, then digits to the
  // end of the field, at least one.
  const unsigned start = static_cast<unsigned>(__builtin_ctz(~spaces));
  unsigned at = start + (signs >> start & 1);
  at += 2 * (zeros >> at & exes >> (at + 1) & digit_lanes >> (at + 2) & 1);
  if (at >= digits || digit_lanes >> at != all >> at) return false;
  // Every unit before the digits is white space, a sign, "0" or "x", so the
  // value of all lanes, with zero for those that are no digit, is the value
  // of the digits. Pairs of digits make bytes, high digit first.
  const Units values = And(hex, Add(And(v, Splat(0xF)), And(letter, Splat(9))));
  const Units bytes = _mm_madd_epi16(values, _mm_set1_epi32(0x00010010));
  const Units packed = _mm_packus_epi16(_mm_packs_epi32(bytes, bytes), bytes);
  const uint32_t all_bytes = __builtin_bswap32(static_cast<uint32_t>(_mm_cvtsi128_si32(packed)));
  const uint32_t magnitude = digits == 8 ? all_bytes : all_bytes >> 16;
  if (minus >> start & 1) {
    *value = magnitude >= 0x80000000u ? INT32_MIN : -static_cast<int32_t>(magnitude);
  } else {
    *value = magnitude > 0x7FFFFFFFu ? INT32_MAX : static_cast<int32_t>(magnitude);
  }
  return true;
}

// Reads a field that is not all plain hex digits as ParseInteger does, with
// `room` units readable at `field`.
template <typename Unit>
bool ReadLenientField(const Unit* field, size_t digits, size_t room, int32_t* value) {
  if (room >= simd::kWidth) return ReadFieldAtOnce(field, digits, value);
  return ParseInteger(field, digits, 16, value);
}

// Reads an escape's field of 4 or 8 units exactly as ParseInteger does.
// Plain hex digits, by far the common field, are read directly.
template <typename Unit>
inline __attribute__((always_inline)) bool ReadField(const Unit* field, size_t digits, size_t room,
                                                     int32_t* value) {
  const int32_t high = FourHexDigits(field);
  if (high >= 0) {
    if (digits == 4) {
      *value = high;
      return true;
    }
    const int32_t low = FourHexDigits(field + 4);
    if (low >= 0) {
      *value = high > 0x7FFF ? INT32_MAX : high << 16 | low;  // clamped as ParseInteger does
      return true;
    }
  }
  return ReadLenientField(field, digits, room, value);
}

// Reads runs of "\u" escapes from the one at in[i] on, eight at a time, as
// long as the text has room for eight, and returns true when it read any; the
// units after them may be anything. A whole block moves on by a constant, so
// that the next block's loads wait on a predicted branch only, not on this
// block's result. Kept out of line: the escapes one by one around it take
// fewer steps for it. In UTF-8 the block's units go out through `output`.
template <typename Unit>
__attribute__((noinline)) bool ReadEscapeBlocks(const Unit* in, size_t n, size_t& i, Unit*& o,
                                                DecodedOutput<Unit>& output) {
  const size_t start = i;
  do {
    size_t count;
    if constexpr (sizeof(Unit) == 2) {
      count = escape::ReadUnitEscapes(in + i, o);
      o += count;
    } else {
      alignas(16) char16_t units[escape::kBlockUnits];
      count = escape::ReadUnitEscapes(in + i, units);
      if (count == escape::kBlockUnits && !output.Waiting() &&
          simd::StoreThreeByteUtf8(o, simd::Load(units))) {
        o += 3 * escape::kBlockUnits;
      } else {
        for (size_t k = 0; k < count; ++k) {
          // A pair within the block goes out at once.
          if (k + 1 < count && IsHighSurrogate(units[k]) && IsLowSurrogate(units[k + 1]) &&
              !output.Waiting()) {
            o = WriteFourByteUtf8(o, CombineSurrogates(units[k], units[k + 1]));
            ++k;
          } else {
            o = output.Unit(o, units[k], i + 6 * k);
          }
        }
      }
    }
    if (count != escape::kBlockUnits) {
      i += 6 * count;
      return i != start;
    }
    i += escape::kBlockEscapeUnits;
  } while (n - i >= escape::kBlockEscapeUnits && in[i] == u'\\' && in[i + 1] == u'u');
  return true;
}

// In UTF-16, reads dense text from the "\u" escape at in[i] on a step at a
// time (escape::DecodeRunStep) while the text has room for a window, and
// returns true when it read any. Stops at an escape that a step does not
// read, and after eight plain units, which the run copy takes on faster.
__attribute__((noinline)) bool ReadEscapeRuns(const char16_t* in, size_t n, size_t& at,
                                              char16_t*& out) {
  // Kept in registers: the vector stores may write anything, as the
  // compiler sees them, at and out among it.
  size_t i = at;
  char16_t* o = out;
  while (n - i >= escape::kRunWindowUnits) {
    const escape::RunStep step = escape::DecodeRunStep(in + i, o);
    // Within a long run the next step begins a block further on: moving on
    // by a constant lets its loads go ahead of this step's sums.
    if (step.escapes == escape::kBlockUnits && step.plain == 0) {
      i += escape::kBlockEscapeUnits;
      o += escape::kBlockUnits;
      continue;
    }
    i += 6 * step.escapes + step.plain;
    o += step.escapes + step.plain;
    if (step.stopped || step.plain == escape::kBlockUnits) break;
  }
  const bool read = i != at;
  at = i;
  out = o;
  return read;
}

// As DecodeEscapes, reading fields through ReadField and skipping runs
// without a backslash eight units at a time.
template <bool kLongForm, typename Unit>
Progress DecodeEscapesFast(const Unit* in, size_t n, Unit* out, bool last) {
  DecodedOutput<Unit> output;
  const bool use_avx512 = sizeof(Unit) == 2 && avx512::Use();
  // One backslash at in[i], and the escape it may begin.
  const auto convert = [&](size_t& i, Unit*& o) {
    Unit* end;
    int32_t value;
    // The common escape first: "\u" and a field within the text, most often
    // four plain hex digits, and often more such escapes right after it:
    // those eight at a time while the text has room for them. The block's
    // eight units written lie within the units read.
    if (n - i >= 6 && in[i + 1] == u'u') {
      value = FourHexDigits(in + i + 2);
      if (value > 0) {
        // Steps (in UTF-16) or blocks (in UTF-8) only from an escape that
        // reads and has another "\u" after it: tried at escapes that fail,
        // or at one alone, they read nothing or little and cost more than
        // they save. Where "\U" escapes may come between, a step that stops
        // at one costs more than it saves too: there steps only from three
        // "\u" on. A block also wants its last escape to look like "\u".
        // The AVX-512 windows read any mix of escapes and plain units and
        // take "\U" escapes too: they go from an escape that a backslash
        // follows.
        if constexpr (sizeof(Unit) == 2) {
          if (use_avx512) {
            if (n - i >= escape::avx512::kReadUnits && in[i + 6] == u'\\' &&
                escape::avx512::ReadEscapeWindows(in, n, i, o, kLongForm)) {
              return true;
            }
          } else if (n - i >= escape::kRunWindowUnits && in[i + 7] == u'u' &&
                     (!kLongForm || in[i + 13] == u'u') && ReadEscapeRuns(in, n, i, o)) {
            return true;
          }
        } else if (n - i >= escape::kBlockEscapeUnits && in[i + 7] == u'u' && in[i + 43] == u'u' &&
                   ReadEscapeBlocks(in, n, i, o, output)) {
          return true;
        }
        o = output.Unit(o, static_cast<char16_t>(value), i);
        i += 6;
        return true;
      }
      if (value < 0 && ReadLenientField(in + i + 2, 4, n - i - 2, &value) &&
          (end = WriteNumberedCharacter(o, value, output, i)) != nullptr) {
        o = end;
        i += 6;
        return true;
      }
      o = output.Settle(o);
      *o++ = in[i++];
      return true;
    }
    const char16_t letter = n - i >= 2 ? in[i + 1] : 0;
    const size_t digits = letter == u'u' ? 4 : letter == u'U' && kLongForm ? 8 : 0;
    if (digits != 0 && n - i >= 2 + digits) {
      // A long escape's field is read at once, as a vector: eight plain hex
      // digits of a character go out at once; others are clamped as
      // ParseInteger clamps them, and any other field is read leniently.
      bool parsed;
      uint32_t long_value;
      if (digits != 8) {
        parsed = ReadField(in + i + 2, digits, n - i - 2, &value);
      } else if (escape::ReadEightHexDigits(in + i + 2, &long_value)) {
        if (long_value - 1 < 0x10FFFF) {
          // Long escapes back to back (emoji) go a window at a time too.
          if constexpr (sizeof(Unit) == 2) {
            if (use_avx512 && n - i >= escape::avx512::kReadUnits && in[i + 10] == u'\\' &&
                escape::avx512::ReadEscapeWindows(in, n, i, o, kLongForm)) {
              return true;
            }
          }
          o = long_value > 0xFFFF ? output.Pair(o, long_value)
                                  : output.Unit(o, static_cast<char16_t>(long_value), i);
          i += 10;
          return true;
        }
        value = long_value > 0x7FFFFFFF ? INT32_MAX : static_cast<int32_t>(long_value);
        parsed = true;
      } else {
        parsed = ReadLenientField(in + i + 2, 8, n - i - 2, &value);
      }
      if (parsed && (end = WriteNumberedCharacter(o, value, output, i)) != nullptr) {
        o = end;
        i += 2 + digits;
        return true;
      }
    } else if (!last &&
               (n - i == 1 || (digits != 0 && MayStartInteger(in + i + 2, n - i - 2, 16)))) {
      return false;  // the escape may go on in the next piece
    }
    o = output.Settle(o);
    *o++ = in[i++];
    return true;
  };
  const Progress done = simd::ConvertAroundRuns<escape::Backslash>(
      in, n, out, convert, [&](Unit* o) { return output.Settle(o); });
  return EndDecoding(done.read, out, out + done.written, last, output);
}

}  // namespace

template <typename Unit>
Progress DecodeEscapesJScalar(const Unit* in, size_t n, Unit* out, bool last) {
  return DecodeEscapes(in, n, out, last, false);
}

template <typename Unit>
Progress DecodeEscapesCScalar(const Unit* in, size_t n, Unit* out, bool last) {
  return DecodeEscapes(in, n, out, last, true);
}

template <typename Unit>
Progress DecodeEscapesJ(const Unit* in, size_t n, Unit* out, bool last) {
  return DecodeEscapesFast<false>(in, n, out, last);
}

template <typename Unit>
Progress DecodeEscapesC(const Unit* in, size_t n, Unit* out, bool last) {
  return DecodeEscapesFast<true>(in, n, out, last);
}

TOBBLE_INSTANTIATE(DecodeEscapesJScalar)
TOBBLE_INSTANTIATE(DecodeEscapesCScalar)
TOBBLE_INSTANTIATE(DecodeEscapesJ)
TOBBLE_INSTANTIATE(DecodeEscapesC)

}  // namespace tobble
