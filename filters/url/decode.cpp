#include "filters/common/hex.h"
#include "filters/common/simd.h"
#include "filters/common/surrogate.h"
#include "filters/common/utf8.h"
#include "filters/url/dense.h"
#include "filters/url/unit_classes.h"
#include "filters/url/url.h"

namespace tobble {
namespace {

// What a unit begins besides the byte of an escape.
constexpr int kNoEscape = -1;   // any unit but "%", or a "%" that begins no escape
constexpr int kUndecided = -2;  // a "%" whose deciding units are still to come

// Reads the "%" at in[0], with n units from it on: the byte of its escape, or
// kNoEscape, or kUndecided when the text stops before the units that decide.
// The second digit is looked at only after a first one. "%00" is no escape:
// it would write a zero unit, and the host's text ends at the first one.
template <typename Unit>
int ReadEscape(const Unit* in, size_t n) {
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

// Writes a unit that no escape decodes ("?", or a unit copied).
template <typename Unit>
Unit* WritePlain(Unit* out, char16_t u, DecodedOutput<Unit>& output) {
  out = output.Settle(out);
  *out++ = static_cast<Unit>(u);
  return out;
}

// Writes the value of a completed sequence whose lead escape begins at input
// position `at`. The value 0 (an overlong form) and values above 0x10FFFF
// name no character that the text can hold, so they are broken sequences
// like any other: one "?".
template <typename Unit>
Unit* WriteSequenceValue(Unit* out, uint32_t value, DecodedOutput<Unit>& output, size_t at) {
  if (value == 0 || value > 0x10FFFF) return WritePlain(out, u'?', output);
  if (value < 0x10000) return output.Unit(out, static_cast<char16_t>(value), at);
  return output.Pair(out, value);
}

// The byte of the escape at in[0] ("%" and two hex digits, in[0] == '%'),
// with at least three units there: as ReadEscape, in fewer steps.
template <typename Unit>
int ReadWholeEscape(const Unit* in) {
  const unsigned high = in[1], low = in[2];
  if ((high | low) >= 0x80) return kNoEscape;
  const int high_value = detail::kHexValues.value[high], low_value = detail::kHexValues.value[low];
  if ((high_value | low_value) < 0) return kNoEscape;
  const int byte = high_value << 4 | low_value;
  return byte == 0 ? kNoEscape : byte;  // "%00" is no escape
}

// Room for the longest sequence: four escapes.
constexpr size_t kLongestSequence = 12;

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

// Writes the character whose three bytes ReadThreeByteSequences gave: in
// UTF-8 the bytes themselves, with one store that reaches a byte past them.
inline uint8_t* WriteThreeBytes(uint8_t* out, int32_t bytes) {
  StoreBytes(out, static_cast<uint32_t>(bytes));
  return out + 3;
}
inline char16_t* WriteThreeBytes(char16_t* out, int32_t bytes) {
  *out = url::ThreeByteCharacter(bytes);
  return out + 1;
}

// Decodes the sequence that the escape at in[0] opens when it is a lead of
// kExpected (1 to 3) continuation escapes, with at least kLongestSequence
// units at in. For three- and four-byte UTF-8 the lead and two continuation
// escapes are checked and read in one vector, and a sequence that a later
// event breaks is told from the same vector, as broken text breaks them
// anywhere. A broken sequence writes "?" and reads up to the event that
// broke it, as DecodeUrlScalar does. Returns the units read, or 0 when the
// escape at in[0] is no such lead; the caller reads it as a single byte then.
template <int kExpected, typename Unit>
size_t DecodeLeadSequence(const Unit* in, Unit** out, DecodedOutput<Unit>& output, size_t at) {
  using namespace simd;
  if constexpr (kExpected == 1) {
    // Two escapes only: read one by one, as broken text most often breaks
    // a sequence right after its lead.
    const int lead = ReadWholeEscape(in);
    if (lead < 0 || ContinuationCount(lead) != 1) return 0;
    const int next = in[3] == u'%' ? ReadWholeEscape(in + 3) : kNoEscape;
    if (next < 0 || !IsContinuation(next)) {
      *out = WritePlain(*out, u'?', output);
      return 3;
    }
    *out = WriteSequenceValue(*out, static_cast<uint32_t>((lead & 0x1F) << 6 | (next & 0x3F)),
                              output, at);
    return 6;
  } else {
    const Units v = Load(in + 1);
    const Units letters = InRange(Or(v, Splat(0x20)), u'a', u'f');
    const Units digits = Or(InRange(v, u'0', u'9'), letters);
    const Units shape =
        Or(And(digits, LoadLanes(kDigitLanes)), And(Equal(v, u'%'), LoadLanes(kPercentLanes)));
    const Units values = Add(And(v, Splat(0xF)), And(letters, Splat(9)));
    // Each lane's value times 16 plus the next lane's: the bytes, in lanes
    // 0, 3 and 6.
    const Units bytes = Add(_mm_slli_epi16(values, 4), _mm_srli_si128(values, 2));
    const Units marked = _mm_cmpeq_epi16(And(bytes, LoadLanes(kMarkBits[kExpected - 2])),
                                         LoadLanes(kMarks[kExpected - 2]));
    const unsigned good = Mask(And(shape, marked));
    if (good != 0xFFFF) {
      // Two bits a lane: the lead escape's digits in lanes 0 and 1, then the
      // first continuation escape in lanes 2 to 4 and the second in 5 to 7.
      if ((good & 0xF) != 0xF) return 0;
      const size_t gotten = (good & 0x3F0) != 0x3F0 ? 0 : 1;
      *out = WritePlain(*out, u'?', output);
      return 3 + 3 * gotten;
    }
    uint32_t value = static_cast<uint32_t>(_mm_extract_epi16(bytes, 0) & (0x3F >> kExpected))
                         << 12 |
                     static_cast<uint32_t>(_mm_extract_epi16(bytes, 3) & 0x3F) << 6 |
                     static_cast<uint32_t>(_mm_extract_epi16(bytes, 6) & 0x3F);
    if constexpr (kExpected == 3) {
      const int byte = in[9] == u'%' ? ReadWholeEscape(in + 9) : kNoEscape;
      if (byte < 0 || !IsContinuation(byte)) {
        *out = WritePlain(*out, u'?', output);
        return 9;
      }
      value = value << 6 | static_cast<uint32_t>(byte & 0x3F);
    }
    *out = WriteSequenceValue(*out, value, output, at);
    return 3 + 3 * kExpected;
  }
}

// Latin text with escapes of ASCII characters between its words (English
// URLs and form data), from in[i] on: each run up to the next "%" copied a
// vector at a time (pluses as spaces), each such escape written as its
// byte, with nothing else to decide between them: nothing waits after an
// ASCII character. Stops at a "%" that begins no such escape (as
// ReadWholeEscape reads it, so never "%00"), which the caller reads, and
// where fewer than two vectors are left. Returns where it
// stopped.
template <typename Unit>
__attribute__((noinline)) size_t DecodeAsciiEscapeRuns(const Unit* in, size_t n, size_t i,
                                                       Unit*& out) {
  using namespace simd;
  constexpr size_t kStep = 16 / sizeof(Unit);
  Unit* o = out;
  while (n - i >= 2 * kStep) {
    unsigned percents;
    if constexpr (sizeof(Unit) == 1) {
      const Units bytes = LoadBytes(in + i);
      StoreBytes(o, url::Percent::MapBytes(bytes));
      percents = Mask(url::Percent::Bytes(bytes));
    } else {
      const Units units = Load(in + i);
      Store(o, url::Percent::Map(units));
      percents = LaneBits(url::Percent::Lanes(units));
    }
    if (percents == 0) {
      i += kStep;
      o += kStep;
      continue;
    }
    const size_t k = static_cast<size_t>(__builtin_ctz(percents));
    i += k;
    o += k;
    const int byte = ReadWholeEscape(in + i);
    if (byte < 0 || byte >= 0x80) break;
    *o++ = static_cast<Unit>(byte);
    i += 3;
  }
  out = o;
  return i;
}

}  // namespace

// One event per step: a plus, an escape, a lone percent or any other unit.
// With a sequence open (Pending), a continuation byte adds to it; every
// other event breaks it, which writes one "?" and then acts as without an
// open sequence (Idle). So right before a lead escape the decoder is as good
// as Idle, and a piece that stops in Pending leaves its tail from there.
//
// The steps, from in[0] (input position `base`) on, through `output`:
// returns how far they got, and moves o on.
template <typename Unit>
size_t DecodeUrlSteps(const Unit* in, size_t n, Unit*& o, bool last, DecodedOutput<Unit>& output,
                      size_t base) {
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
      if (--expected == 0) o = WriteSequenceValue(o, gathered, output, base + lead_at);
      continue;
    }
    if (expected > 0) {
      o = WritePlain(o, u'?', output);
      expected = 0;
    }
    if (byte < 0) {  // a plus, a lone percent or any other unit
      o = WritePlain(o, url::Percent::Map(u), output);
      ++i;
    } else if (ContinuationCount(byte) > 0) {  // a lead byte opens a sequence
      lead_at = i;
      expected = ContinuationCount(byte);
      gathered = byte & (0x3F >> expected);
      i += 3;
    } else {  // a single, lone continuation or stray byte: its own value
      o = output.Unit(o, static_cast<char16_t>(byte), base + i);
      i += 3;
    }
  }
  if (!last) return expected > 0 ? lead_at : i;
  if (expected > 0) o = WritePlain(o, u'?', output);
  return i;
}

template <typename Unit>
Progress DecodeUrlScalar(const Unit* in, size_t n, Unit* out, bool last) {
  DecodedOutput<Unit> output;
  Unit* o = out;
  const size_t read = DecodeUrlSteps(in, n, o, last, output, 0);
  return EndDecoding(read, out, o, last, output);
}

// As DecodeUrlScalar, with the state machine unrolled around each lead byte:
// runs without a "%" go eight units at a time (pluses turned into spaces);
// a lead escape reads its continuation escapes right away, and the first
// event that is not one breaks the sequence ("?") and is read again, as
// without an open sequence. Between events the decoder is as good as Idle,
// so the last few units, too few for a whole sequence, go to
// DecodeUrlScalar, which also decides what a piece leaves for the next.
template <typename Unit>
Progress DecodeUrl(const Unit* in, size_t n, Unit* out, bool last) {
  DecodedOutput<Unit> output;
  // From the "%" at in[i]: the escape or sequence it begins, and in UTF-16
  // the events after a sequence, up to a gap longer than url::kGapUnits,
  // which the run copy takes on. (Inlined by force: the compiler would call
  // it.)
  const auto convert = [&, in, n ](size_t & i, Unit * &o) __attribute__((always_inline)) {
    if (n - i < kLongestSequence) {
      i += DecodeUrlSteps(in + i, n - i, o, last, output, i);
      return i == n;
    }
    for (;;) {
      // A lead escape is told by its first digit: "c" or "d" opens two-byte
      // UTF-8, "e" three-byte and "f" four-byte, in long runs in most
      // non-Latin text. DecodeLeadSequence reads the whole sequence. Whole
      // sequences move on by a constant each, so that the next one's loads
      // wait on a predicted branch only.
      size_t read = 0;
      switch (in[i + 1] | 0x20) {
        case u'c':
        case u'd':
          read = DecodeLeadSequence<1>(in + i, &o, output, i);
          if (read != 6) break;
          i += 6;
          goto next;
        case u'e':
          // In UTF-8, two characters of the shortest form, the most common,
          // read at once and written as the bytes they are, when the next
          // sequence's lead is of the same kind. (In UTF-16 this measured no
          // faster than the vector read below: 4% fewer instructions on
          // Japanese, 1% more on emoji, and no gain in time.)
          if (sizeof(Unit) == 1 && n - i >= 2 * 9 && (in[i + 10] | 0x20) == u'e' &&
              !output.Waiting()) {
            int32_t bytes[2];
            if (url::ReadThreeByteSequences(in + i, bytes)) {
              o = WriteThreeBytes(WriteThreeBytes(o, bytes[0]), bytes[1]);
              i += 2 * 9;
              goto next;
            }
          }
          read = DecodeLeadSequence<2>(in + i, &o, output, i);
          if (read != 9) break;
          i += 9;
          goto next;
        case u'f':
          read = DecodeLeadSequence<3>(in + i, &o, output, i);
          if (read != 12) break;
          i += 12;
          goto next;
      }
      if (read != 0) {
        i += read;  // a broken sequence, written as "?"
        if constexpr (sizeof(Unit) == 1) return true;
        goto next;
      }
      {
        // No lead: the byte of a single, lone continuation or stray
        // escape, its own value, or a lone percent. In Latin text these
        // stand between words of any length, which the run copy takes on.
        const int byte = ReadWholeEscape(in + i);
        if (byte == kNoEscape) {
          o = WritePlain(o, in[i++], output);
        } else {
          o = output.Unit(o, static_cast<char16_t>(byte), i);
          i += 3;
          // Where plain text follows, as between words, not another
          // escape, as in Japanese after its punctuation.
          if (byte < 0x80 && n - i > 0 && in[i] != u'%') i = DecodeAsciiEscapeRuns(in, n, i, o);
        }
        return true;
      }
    next:
      if constexpr (sizeof(Unit) == 1) {
        // In UTF-8 the run copy reads sixteen bytes at once, and the gaps
        // below measured no faster there.
        if (n - i < kLongestSequence || in[i] != u'%') return true;
      } else {
        // Characters of a sequence mostly follow each other, or stand a
        // space apart.
        if (n - i < url::kGapUnits) return true;
        if (in[i] == u'%') continue;
        if (in[i + 1] == u'%') {  // one unit, a space most often
          o = WritePlain(o, url::Percent::Map(in[i]), output);
          ++i;
          continue;
        }
        o = output.Settle(o);
        const size_t gap = url::CopyGap(in + i, o);
        i += gap;
        o += gap;
        if (gap == url::kGapUnits || n - i < kLongestSequence) return true;
      }
    }
  };
  const Progress done = simd::ConvertAroundAsciiRuns<url::Percent, true>(
      in, n, out, convert, [&](Unit* o) { return output.Settle(o); });
  return EndDecoding(done.read, out, out + done.written, last, output);
}

TOBBLE_INSTANTIATE(DecodeUrlScalar)
TOBBLE_INSTANTIATE(DecodeUrl)

}  // namespace tobble
