#include "common/hex.h"
#include "common/surrogate.h"
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

}  // namespace

// One event per step: a plus, an escape, a lone percent or any other unit.
// With a sequence open (Pending), a continuation byte adds to it; every
// other event breaks it, which writes one "?" and then acts as without an
// open sequence (Idle). So right before a lead escape the decoder is as good
// as Idle, and a piece that stops in Pending leaves its tail from there.
Progress DecodeUrl(const char16_t* in, size_t n, char16_t* out, bool last) {
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
      *o++ = u == u'+' ? u' ' : u;
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

}  // namespace tobble
