#include "filters/common/hex.h"
#include "filters/common/simd.h"
#include "filters/common/surrogate.h"
#include "filters/common/units.h"
#include "filters/common/utf8.h"
#include "filters/url/dense.h"
#include "filters/url/unit_classes.h"
#include "filters/url/url.h"

namespace tobble {
namespace {

using url::IsKept;

// Writes one byte as "%" and two upper-case hex digits.
template <typename Unit>
Unit* WriteByte(Unit* out, uint32_t byte) {
  *out++ = u'%';
  *out++ = static_cast<Unit>(kUpperHexDigits[(byte >> 4) & 0xF]);
  *out++ = static_cast<Unit>(kUpperHexDigits[byte & 0xF]);
  return out;
}

// The first byte's marker bits, by the number of continuation bytes.
constexpr uint32_t kLeadMarks[] = {0x00, 0xC0, 0xE0, 0xF0};

// Writes the escaped UTF-8 bytes of a value up to 0x10FFFF. Surrogate code
// points take the three-byte form like any other value below 0x10000.
template <typename Unit>
Unit* WriteEscapedUtf8(Unit* out, uint32_t value) {
  const int continuation = value < 0x80 ? 0 : value < 0x800 ? 1 : value < 0x10000 ? 2 : 3;
  out = WriteByte(out, kLeadMarks[continuation] | value >> (6 * continuation));
  for (int shift = 6 * (continuation - 1); shift >= 0; shift -= 6) {
    out = WriteByte(out, 0x80 | ((value >> shift) & 0x3F));
  }
  return out;
}

// "%" and the two digits of every byte, and one more unit that the next
// write covers: one store writes an escaped byte.
struct PercentTable {
  uint64_t escape[256];
  constexpr PercentTable() : escape() {
    for (int byte = 0; byte < 256; ++byte) {
      escape[byte] = PackUnits(u'%', kUpperHexDigits[byte >> 4], kUpperHexDigits[byte & 0xF], 0);
    }
  }
};
constexpr PercentTable kPercent;

// Every ASCII unit as written: itself, "+" or "%XX", packed for one store,
// with the count of units that count in its last unit, which the next store
// overwrites.
struct AsciiTable {
  uint64_t written[128];
  constexpr AsciiTable() : written() {
    for (int u = 0; u < 128; ++u) {
      const char16_t unit = static_cast<char16_t>(u);
      written[u] = IsKept(unit)   ? PackUnits(unit, 0, 0, 1)
                   : unit == u' ' ? PackUnits(u'+', 0, 0, 1)
                                  : kPercent.escape[u] | uint64_t{3} << 48;
    }
  }
};
constexpr AsciiTable kAscii;

// Writes the ASCII units in[0, count) through the table, without a branch
// on what they are.
char16_t* WriteAscii(const char16_t* in, size_t count, char16_t* out) {
  for (size_t k = 0; k < count; ++k) {
    const uint64_t written = kAscii.written[in[k]];
    StoreQuad(out, written);
    out += written >> 48;
  }
  return out;
}

// Writes one byte as "%XX", and the unit after it with anything.
char16_t* WriteByteFast(char16_t* out, uint32_t byte) {
  StoreQuad(out, kPercent.escape[byte]);
  return out + 3;
}

// Every byte of UTF-8 as written: itself, "+" or "%XX", in the low three
// bytes, and the count of bytes that count in the top one, which the next
// store overwrites.
struct ByteTable {
  uint32_t written[256];
  constexpr ByteTable() : written() {
    for (int b = 0; b < 256; ++b) {
      const char16_t unit = static_cast<char16_t>(b);
      written[b] = IsKept(unit) ? static_cast<uint32_t>(b) | 1u << 24
                   : unit == u' '
                       ? static_cast<uint32_t>(u'+') | 1u << 24
                       : u'%' | static_cast<uint32_t>(kUpperHexDigits[b >> 4]) << 8 |
                             static_cast<uint32_t>(kUpperHexDigits[b & 0xF]) << 16 | 3u << 24;
    }
  }
};
constexpr ByteTable kBytes;

// Writes the bytes in[0, count) through the table, without a branch on
// what they are: the bytes of a character above U+007F are the bytes that
// its escape writes.
inline uint8_t* WriteBytes(const uint8_t* in, size_t count, uint8_t* out) {
  for (size_t k = 0; k < count; ++k) {
    const uint32_t written = kBytes.written[in[k]];
    StoreBytes(out, written);
    out += written >> 24;
  }
  return out;
}

// As WriteEscapedUtf8, through the table. Each input unit comes to at most
// nine output units, so the unit written past the last escape always lies
// within the filter's block.
inline __attribute__((always_inline)) char16_t* WriteEscapedUtf8Fast(char16_t* out,
                                                                     uint32_t value) {
  if (value < 0x80) return WriteByteFast(out, value);
  if (value < 0x800) {
    out = WriteByteFast(out, 0xC0 | value >> 6);
  } else {
    if (value < 0x10000) {
      out = WriteByteFast(out, 0xE0 | value >> 12);
    } else {
      out = WriteByteFast(out, 0xF0 | value >> 18);
      out = WriteByteFast(out, 0x80 | ((value >> 12) & 0x3F));
    }
    out = WriteByteFast(out, 0x80 | ((value >> 6) & 0x3F));
  }
  return WriteByteFast(out, 0x80 | (value & 0x3F));
}

// Writes the units in[0, count), none of them a surrogate, one by one: the
// table for ASCII, two or three escaped bytes for the others. Runs of one
// kind, as of kana and kanji, take the same branches unit after unit.
char16_t* WriteBmpUnits(const char16_t* in, size_t count, char16_t* out) {
  for (size_t k = 0; k < count; ++k) {
    const uint32_t u = in[k];
    if (u < 0x80) {
      const uint64_t written = kAscii.written[u];
      StoreQuad(out, written);
      out += written >> 48;
    } else {
      if (u < 0x800) {
        out = WriteByteFast(out, 0xC0 | u >> 6);
      } else {
        out = WriteByteFast(out, 0xE0 | u >> 12);
        out = WriteByteFast(out, 0x80 | ((u >> 6) & 0x3F));
      }
      out = WriteByteFast(out, 0x80 | (u & 0x3F));
    }
  }
  return out;
}

// Escapes the unit at in[i], which is neither kept nor a space, or the pair
// it begins. Returns the units read: 1 or 2, or 0 for a high surrogate that
// ends a piece before the last, whose partner may start the next one.
size_t EscapeAt(const char16_t* in, size_t n, size_t i, bool last, char16_t** out) {
  const Character c = CharacterAt(in, n, i, last);
  // Each kind written by its own call, which knows its range: a pair is
  // always four bytes, a single unit never.
  if (c.units == 2) {
    if (c.value < 0x10000) __builtin_unreachable();  // a pair is above U+FFFF
    *out = WriteEscapedUtf8Fast(*out, c.value);
  } else if (c.units == 1) {
    *out = WriteEscapedUtf8Fast(*out, static_cast<char16_t>(c.value));
  }
  return c.units;
}
// In UTF-8 the escape of a character is the escapes of its bytes, so each
// byte is escaped by itself, one at a time.
inline size_t EscapeAt(const uint8_t* in, size_t, size_t i, bool, uint8_t** out) {
  *out = WriteBytes(in + i, 1, *out);
  return 1;
}

// Spaces as "+" ("+" is 0x0B above " "), every other lane as it is.
simd::Units SpacesToPluses(simd::Units v) {
  return simd::Add(v, simd::And(simd::Equal(v, u' '), simd::Splat(u'+' - u' ')));
}

}  // namespace

template <typename Unit>
Progress EncodeUrlScalar(const Unit* in, size_t n, Unit* out, bool last) {
  Unit* o = out;
  size_t i = 0;
  while (i < n) {
    const char16_t u = in[i];
    if (IsKept(u)) {
      *o++ = u;
      ++i;
    } else if (u == u' ') {
      *o++ = u'+';
      ++i;
    } else {
      const Character c = CharacterAt(in, n, i, last);
      if (c.units == 0) break;  // its partner may start the next piece
      o = WriteEscapedUtf8(o, c.value);
      i += c.units;
    }
  }
  return {i, static_cast<size_t>(o - out)};
}

// Sixteen units at a time: each block is classified once. A block with
// escapes in it and no surrogate goes unit by unit; any other is stored with
// its spaces turned into "+", and each unit that needs escaping is written at
// its place, and the units after it, up to the next such unit of the block,
// are stored again from there, shifted by the escape's length.
template <typename Unit>
Progress EncodeUrl(const Unit* in, size_t n, Unit* out, bool last) {
  constexpr size_t kBlock = 2 * simd::kWidth;
  // Stores the block's units from in[i] on at o, spaces as "+": as many as
  // remain of the block, and more that later stores overwrite.
  auto store_from = [&](size_t i, Unit* o) {
    simd::Store(o, SpacesToPluses(simd::Load(in + i)));
    simd::Store(o + simd::kWidth, SpacesToPluses(simd::Load(in + i + simd::kWidth)));
  };
  Unit* o = out;
  size_t i = 0;
  while (n - i >= kBlock) {
    const simd::Units first = simd::Load(in + i), second = simd::Load(in + i + simd::kWidth);
    unsigned escaped = url::Escaped::Bits(first, second);
    // In UTF-8 a block with escapes in it goes byte by byte through the
    // table, which writes every byte as it must be written.
    if constexpr (sizeof(Unit) == 1) {
      if (escaped != 0) {
        o = WriteBytes(in + i, kBlock, o);
        i += kBlock;
        continue;
      }
    } else {
      // A block of ASCII with escapes in it, as in prose and its punctuation,
      // goes unit by unit through the table: fewer steps than storing the
      // block again after every escape, and none that depends on where the
      // escapes lie.
      if (escaped != 0 && simd::Mask(simd::Below(simd::Or(first, second), 0x80)) == 0xFFFF) {
        o = WriteAscii(in + i, kBlock, o);
        i += kBlock;
        continue;
      }
      // A block whose first eight units are all three-byte characters, as in
      // runs of kana and kanji, has those written eight at a time without a
      // branch, and so every eight after them that are too; the window moves
      // on past them.
      if ((escaped & 0xFF) == 0xFF && url::LeadingThreeByteUnits(in + i) == url::kBlockUnits) {
        do {
          url::WriteThreeByteEscapes(in + i, o);
          i += url::kBlockUnits;
          o += url::kBlockEscapeUnits;
        } while (n - i >= url::kBlockUnits &&
                 url::LeadingThreeByteUnits(in + i) == url::kBlockUnits);
        continue;
      }
      // Any other block with non-ASCII in it but no surrogate, whose units
      // each stand for themselves, goes unit by unit too.
      if (escaped != 0 && simd::Mask(simd::Or(simd::InRange(first, 0xD800, 0xDFFF),
                                              simd::InRange(second, 0xD800, 0xDFFF))) == 0) {
        o = WriteBmpUnits(in + i, kBlock, o);
        i += kBlock;
        continue;
      }
    }
    store_from(i, o);
    const size_t block = i;
    const size_t block_end = i + kBlock;
    for (;;) {
      if (escaped == 0) {  // the units from i on are in place
        o += block_end - i;
        i = block_end;
        break;
      }
      const size_t at = block + static_cast<size_t>(__builtin_ctz(escaped));
      o += at - i;
      const size_t read = EscapeAt(in, n, at, last, &o);
      if (read == 0) return {at, static_cast<size_t>(o - out)};
      i = at + read;
      // Past the block (its last unit, or a pair across its end), or too
      // near the end of the text to store a whole block: on from i.
      if (i >= block_end || n - i < kBlock) break;
      escaped &= ~0u << (i - block);
      // Unless the next unit needs escaping too, as in a run of non-ASCII.
      if ((escaped >> (i - block) & 1) == 0) store_from(i, o);
    }
  }
  while (i < n) {
    const char16_t u = in[i];
    if (!url::Escaped::Has(u)) {
      *o++ = u == u' ' ? u'+' : u;
      ++i;
    } else {
      const size_t read = EscapeAt(in, n, i, last, &o);
      if (read == 0) break;
      i += read;
    }
  }
  return {i, static_cast<size_t>(o - out)};
}

TOBBLE_INSTANTIATE(EncodeUrlScalar)
TOBBLE_INSTANTIATE(EncodeUrl)

}  // namespace tobble
