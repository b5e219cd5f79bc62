// UTF-8 checked a vector at a time by table lookups, after John Keiser and
// Daniel Lemire, "Validating UTF-8 In Less Than One Instruction Per Byte",
// Software: Practice and Experience, 2021. Every error in UTF-8 shows in a
// byte and the one before it, or in a lead byte two or three bytes back that
// wants more continuations than follow; the second kind is left to the
// bytes that must continue a sequence.
//
// The check is written once, over the vector operations of an instruction
// set (V below); sse41.cpp runs it on sixteen bytes a vector, avx2.cpp on
// 32. V must belong to the anonymous namespace of the file that includes
// this header, so that each instruction set's code stays its own.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tobble::lib::transcode::utf8_check {

// Each way a byte and the one before it can be wrong, one bit; three table
// lookups (the high and low nibble of the byte before, the high nibble of
// the byte) each give the bits their nibble allows, and the pair is wrong
// where all three agree.
inline constexpr uint8_t kTooShort = 1 << 0;      // a lead byte not followed by a continuation
inline constexpr uint8_t kTooLong = 1 << 1;       // ASCII followed by a continuation
inline constexpr uint8_t kOverlong3 = 1 << 2;     // E0 80-9F
inline constexpr uint8_t kTooLarge = 1 << 3;      // F4 90-BF, or F5-FF 90-BF
inline constexpr uint8_t kSurrogate = 1 << 4;     // ED A0-BF
inline constexpr uint8_t kOverlong2 = 1 << 5;     // C0-C1 80-BF
inline constexpr uint8_t kTooLarge1000 = 1 << 6;  // F5-FF 80-8F
inline constexpr uint8_t kOverlong4 = 1 << 6;     // F0 80-8F
inline constexpr uint8_t kTwoConts = 1 << 7;      // a continuation after a continuation
inline constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;
inline constexpr uint8_t kLarge = kCarry | kTooLarge | kTooLarge1000;
inline constexpr uint8_t kCont = kTooLong | kOverlong2 | kTwoConts;

// clang-format off
// By the high nibble of the byte before: ASCII, continuation, two-, three-
// and four-byte leads.
alignas(16) inline constexpr uint8_t kByte1High[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    kTooShort | kOverlong2, kTooShort,
    kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
// By the low nibble of the byte before.
alignas(16) inline constexpr uint8_t kByte1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
    kCarry | kTooLarge, kLarge, kLarge, kLarge,
    kLarge, kLarge, kLarge, kLarge,
    kLarge, kLarge | kSurrogate, kLarge, kLarge};
// By the high nibble of the byte: ASCII, continuations 80-8F, 90-9F and
// A0-BF, leads.
alignas(16) inline constexpr uint8_t kByte2High[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kCont | kOverlong3 | kTooLarge1000 | kOverlong4, kCont | kOverlong3 | kTooLarge,
    kCont | kSurrogate | kTooLarge, kCont | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort};
// The largest byte that needs no byte after the last sixteen.
alignas(16) inline constexpr uint8_t kLastComplete[16] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1};
// clang-format on

// The error bits of the bytes of `input`, given the vector of bytes before
// it. V provides, for vectors of V::kBytes bytes: Previous<N>(input,
// before), the bytes N places back; Lookup(table, v), table[b] for each
// byte b of v below 16; HighNibbles, LowNibbles, And, Or, Xor, Splat, and
// SubtractSaturated (unsigned bytes).
template <typename V>
inline typename V::Vector Utf8Errors(typename V::Vector input, typename V::Vector before) {
  const auto prev1 = V::template Previous<1>(input, before);
  const auto byte1_high = V::Lookup(kByte1High, V::HighNibbles(prev1));
  const auto byte1_low = V::Lookup(kByte1Low, V::LowNibbles(prev1));
  const auto byte2_high = V::Lookup(kByte2High, V::HighNibbles(input));
  const auto pairs = V::And(V::And(byte1_high, byte1_low), byte2_high);
  // The third and fourth bytes of three- and four-byte sequences must be
  // continuations, and are the only continuations allowed after one.
  const auto third =
      V::SubtractSaturated(V::template Previous<2>(input, before), V::Splat(0xE0 - 0x80));
  const auto fourth =
      V::SubtractSaturated(V::template Previous<3>(input, before), V::Splat(0xF0 - 0x80));
  const auto must_continue = V::And(V::Or(third, fourth), V::Splat(0x80));
  return V::Xor(must_continue, pairs);
}

// How far whole blocks of in[0, n) pass the check: the start of the first
// block with an error, or the end of the last whole block. Blocks are two
// vectors, each checked against the bytes before it: `before` starts as
// ASCII, as the input starts between sequences, and a block of ASCII only
// checks that the one before it left no sequence unfinished. The caller
// finds the exact end of the valid prefix from there with ValidUtf8From.
// V also provides Load, Zero, AnyHigh (a byte of 0x80 or more), IsZero, and
// LastComplete(): the bytes that leave no sequence unfinished where they
// stand in the second vector of a block are at most its bytes.
template <typename V>
inline size_t ValidBlocks(const uint8_t* in, size_t n) {
  using Vector = typename V::Vector;
  const Vector last_complete = V::LastComplete();
  Vector before = V::Zero();
  Vector unfinished = V::Zero();
  size_t i = 0;
  for (; i + 2 * V::kBytes <= n; i += 2 * V::kBytes) {
    const Vector a = V::Load(in + i);
    const Vector b = V::Load(in + i + V::kBytes);
    Vector errors;
    if (!V::AnyHigh(V::Or(a, b))) {
      errors = unfinished;  // a sequence cut short by ASCII
      unfinished = V::Zero();
    } else {
      errors = V::Or(Utf8Errors<V>(a, before), Utf8Errors<V>(b, a));
      unfinished = V::SubtractSaturated(b, last_complete);
    }
    before = b;
    if (!V::IsZero(errors)) break;
  }
  return i;
}

}  // namespace tobble::lib::transcode::utf8_check
