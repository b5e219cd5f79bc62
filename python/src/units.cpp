// Strings and units: the str's storage read as UTF-16 units, and units
// written into a str.
#include "python/src/units.h"

#include <string.h>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

#include "filters/common/utf8.h"
#include "lib/transcode.h"
#include "python/src/pages.h"

namespace tobble_python {
namespace {

// The storage class of units whose largest (or all ORed together) is `bits`.
Py_UCS4 MaxCharOf(uint16_t bits) {
  return bits < 0x80 ? 0x7Fu : bits < 0x100 ? 0xFFu : 0xFFFFu;
}

// Writes units as code points into out from `at` on, each high surrogate
// followed by a low one joined into one code point and any other
// surrogate kept as a code point of its own value; returns where it ended.
// `after_high` says that out[at - 1] was written for a high surrogate that
// the first unit may join, and is left saying the same of the last.
size_t JoinUnitsPlain(const uint16_t* units, size_t n, Py_UCS4* out, size_t at, bool& after_high) {
  for (size_t i = 0; i < n; ++i) {
    if (after_high && IsLow(units[i])) {
      out[at - 1] = 0x10000 + ((out[at - 1] - 0xD800) << 10) + (units[i] - 0xDC00);
      after_high = false;
    } else {
      out[at++] = units[i];
      after_high = IsHigh(units[i]);
    }
  }
  return at;
}

#if defined(__x86_64__) || defined(__i386__)
#define TOBBLE_UNITS_SHUFFLED 1

// Byte shuffles that pack the leading bytes of four 32-bit lanes: for each
// set of marked lanes (bit k: lane k), the shuffle that takes `unmarked`
// bytes from the start of each lane not in the set and `marked` from each
// in it, one after the other, and how many `unit`-byte units that makes.
struct LaneShuffles {
  alignas(16) uint8_t shuffle[16][16];
  uint8_t units[16];
};

constexpr LaneShuffles MakeLaneShuffles(int unmarked, int marked, int unit) {
  LaneShuffles table{};
  for (int set = 0; set < 16; ++set) {
    int at = 0;
    for (int lane = 0; lane < 4; ++lane) {
      const int bytes = (set >> lane) & 1 ? marked : unmarked;
      for (int byte = 0; byte < bytes; ++byte) table.shuffle[set][at++] = 4 * lane + byte;
    }
    table.units[set] = static_cast<uint8_t>(at / unit);
    while (at < 16) table.shuffle[set][at++] = 0x80;
  }
  return table;
}

// The code points of a group whose marked lanes (the joined low
// surrogates) are dropped.
constexpr LaneShuffles kDropLanes = MakeLaneShuffles(4, 0, 4);

// JoinUnitsPlain eight units a vector. Each unit's code point is made (the
// pair's where a high surrogate is followed by a low one), the low
// surrogates so joined are dropped by a byte shuffle a four-lane group, and
// the rest stored at once. The loop always steps eight units: a pair that
// ends past a block carries into the next as its first lane dropped, so
// that where the next block starts never waits on this one's arithmetic.
__attribute__((target("ssse3"))) size_t JoinUnitsShuffled(const uint16_t* units, size_t n,
                                                          Py_UCS4* out, size_t at,
                                                          bool& after_high) {
  size_t i = 0;
  if (n > 0 && after_high && IsLow(units[0])) {
    out[at - 1] = 0x10000 + ((out[at - 1] - 0xD800) << 10) + (units[0] - 0xDC00);
    i = 1;
  }
  after_high = false;
  const __m128i zero = _mm_setzero_si128();
  const __m128i kind_bits = _mm_set1_epi16(static_cast<short>(0xFC00));
  const __m128i high_kind = _mm_set1_epi16(static_cast<short>(0xD800));
  const __m128i low_kind = _mm_set1_epi16(static_cast<short>(0xDC00));
  // (high << 10) + low, less what the two surrogate bases add, is the code
  // point; in 32-bit lanes, wrapping.
  const __m128i base = _mm_set1_epi32(static_cast<int>(0x10000u - (0xD800u << 10) - 0xDC00u));
  unsigned carry = 0;
  // Nine units a step: the ninth is the partner of a high eighth.
  for (; n - i >= 9; i += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
    __m128i kind = _mm_and_si128(v, kind_bits);
    __m128i high = _mm_cmpeq_epi16(kind, high_kind);
    __m128i low = _mm_cmpeq_epi16(kind, low_kind);
    // A carried pair's low makes the block one with surrogates.
    if (_mm_movemask_epi8(_mm_or_si128(high, low)) == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), _mm_unpacklo_epi16(v, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at + 4), _mm_unpackhi_epi16(v, zero));
      at += 8;
      continue;
    }
    __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i + 1));
    __m128i join = _mm_and_si128(high, _mm_cmpeq_epi16(_mm_and_si128(next, kind_bits), low_kind));
    // One bit a unit: the units that start a pair; the unit after each is
    // dropped.
    unsigned starts = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(join, zero)));
    unsigned dropped = ((starts << 1) | carry) & 0xFF;
    carry = starts >> 7;
    for (int half = 0; half < 2; ++half) {
      __m128i unit = half == 0 ? _mm_unpacklo_epi16(v, zero) : _mm_unpackhi_epi16(v, zero);
      __m128i after = half == 0 ? _mm_unpacklo_epi16(next, zero) : _mm_unpackhi_epi16(next, zero);
      __m128i joined = half == 0 ? _mm_unpacklo_epi16(join, join) : _mm_unpackhi_epi16(join, join);
      __m128i pair = _mm_add_epi32(_mm_add_epi32(_mm_slli_epi32(unit, 10), after), base);
      __m128i point = _mm_or_si128(_mm_and_si128(joined, pair), _mm_andnot_si128(joined, unit));
      unsigned group = (dropped >> (4 * half)) & 0xF;
      __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(kDropLanes.shuffle[group]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), _mm_shuffle_epi8(point, order));
      at += kDropLanes.units[group];
    }
  }
  // A pair carried out of the last block took its low already.
  i += carry;
  return JoinUnitsPlain(units + i, n - i, out, at, after_high);
}

// The units of a group whose marked lanes hold pairs: a lane's unit, or
// both halves for a pair.
constexpr LaneShuffles kPackUnits = MakeLaneShuffles(2, 4, 2);

// UnitReader::Read of four-byte storage, four code points a vector: each
// lane makes its unit, or its pair (high unit first), and one byte shuffle
// packs them, so that no branch asks which code points take two units
// (emoji, skin tones and joiners mix them). Returns the units written, and
// leaves the rest to the plain loop.
__attribute__((target("ssse3"))) size_t SplitFourByteShuffled(const Py_UCS4* in, size_t& position,
                                                              size_t length, uint16_t* out,
                                                              size_t room) {
  size_t j = 0;
  for (; length - position >= 4 && room - j >= 8; position += 4) {
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + position));
    __m128i pair = _mm_cmpgt_epi32(c, _mm_set1_epi32(0xFFFF));
    unsigned pairs = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(pair)));
    __m128i d = _mm_sub_epi32(c, _mm_set1_epi32(0x10000));
    __m128i high = _mm_add_epi32(_mm_srli_epi32(d, 10), _mm_set1_epi32(0xD800));
    __m128i low = _mm_add_epi32(_mm_and_si128(d, _mm_set1_epi32(0x3FF)), _mm_set1_epi32(0xDC00));
    __m128i pairs_of = _mm_or_si128(high, _mm_slli_epi32(low, 16));
    __m128i lanes = _mm_or_si128(_mm_and_si128(pair, pairs_of), _mm_andnot_si128(pair, c));
    __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(kPackUnits.shuffle[pairs]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm_shuffle_epi8(lanes, order));
    j += kPackUnits.units[pairs];
  }
  return j;
}

bool HasShuffles() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
}

// Whether the SSSE3 loops are taken: the processor is asked once.
bool& ShufflesTaken() {
  static bool taken = HasShuffles();
  return taken;
}
#else
#define TOBBLE_UNITS_SHUFFLED 0
#endif

size_t JoinUnits(const uint16_t* units, size_t n, Py_UCS4* out, size_t at, bool& after_high) {
#if TOBBLE_UNITS_SHUFFLED
  if (ShufflesTaken()) return JoinUnitsShuffled(units, n, out, at, after_high);
#endif
  return JoinUnitsPlain(units, n, out, at, after_high);
}

}  // namespace

bool ChooseShuffles(bool wanted) {
#if TOBBLE_UNITS_SHUFFLED
  ShufflesTaken() = wanted && HasShuffles();
  return ShufflesTaken();
#else
  (void)wanted;
  return false;
#endif
}

StrShape ShapeOf(const uint16_t* units, size_t n) {
  // One pass that compilers vectorize: the units ORed together, whose
  // highest bit is the largest unit's (the storage classes end at powers of
  // two, so it tells the class as the largest unit would), and whether any
  // is a surrogate (only then can a pair join two units into one code
  // point).
  uint16_t bits = 0;
  uint16_t surrogates = 0;
  for (size_t i = 0; i < n; ++i) {
    bits |= units[i];
    surrogates |= (units[i] & 0xF800) == 0xD800;
  }
  // A low surrogate is never high, so no unit is counted in two pairs.
  size_t pairs = 0;
  if (surrogates) {
    for (size_t i = 0; i + 1 < n; ++i) pairs += IsHigh(units[i]) & IsLow(units[i + 1]);
  }
  if (pairs > 0) return {n - pairs, 0x10FFFF};
  return {n, MaxCharOf(bits)};
}

void FillStr(PyObject* text, const uint16_t* units, size_t n) {
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: {
      Py_UCS1* out = PyUnicode_1BYTE_DATA(text);
      for (size_t i = 0; i < n; ++i) out[i] = static_cast<Py_UCS1>(units[i]);
      break;
    }
    case PyUnicode_2BYTE_KIND:
      memcpy(PyUnicode_2BYTE_DATA(text), units, n * sizeof(uint16_t));
      break;
    default: {
      bool after_high = false;
      JoinUnits(units, n, PyUnicode_4BYTE_DATA(text), 0, after_high);
    }
  }
}

size_t UnitsUpTo(PyObject* text, size_t limit) {
  size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  if (PyUnicode_KIND(text) != PyUnicode_4BYTE_KIND || length > limit) return length;
  const Py_UCS4* in = PyUnicode_4BYTE_DATA(text);
  size_t supplementary = 0;
  for (size_t i = 0; i < length; ++i) supplementary += in[i] > 0xFFFF;
  return length + supplementary;
}

UnitReader::UnitReader(PyObject* text)
    : kind_(PyUnicode_KIND(text)),
      data_(PyUnicode_DATA(text)),
      length_(static_cast<size_t>(PyUnicode_GET_LENGTH(text))) {}

size_t UnitReader::Read(uint16_t* out, size_t room) {
  size_t j = 0;
  if (kind_ == PyUnicode_1BYTE_KIND) {
    const Py_UCS1* in = static_cast<const Py_UCS1*>(data_) + position_;
    size_t count = room < length_ - position_ ? room : length_ - position_;
    for (size_t i = 0; i < count; ++i) out[i] = in[i];
    position_ += count;
    return count;
  }
  if (kind_ == PyUnicode_2BYTE_KIND) {
    const Py_UCS2* in = static_cast<const Py_UCS2*>(data_) + position_;
    size_t count = room < length_ - position_ ? room : length_ - position_;
    memcpy(out, in, count * sizeof(uint16_t));
    position_ += count;
    return count;
  }
  // In locals: the stores into out could otherwise be this object.
  const Py_UCS4* in = static_cast<const Py_UCS4*>(data_);
  size_t position = position_;
  const size_t length = length_;
#if TOBBLE_UNITS_SHUFFLED
  if (ShufflesTaken()) j = SplitFourByteShuffled(in, position, length, out, room);
#endif
  while (position < length && j + 2 <= room) {
    Py_UCS4 c = in[position++];
    if (c > 0xFFFF) {
      c -= 0x10000;
      out[j++] = static_cast<uint16_t>(0xD800 + (c >> 10));
      out[j++] = static_cast<uint16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out[j++] = static_cast<uint16_t>(c);
    }
  }
  position_ = position;
  return j;
}

Utf8Read ReadUtf8(PyObject* text, size_t position, size_t count, uint8_t* out) {
  size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  size_t end = length - position < count ? length : position + count;
  uint8_t* start = out;
  size_t i = position;
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: {
      const Py_UCS1* in = PyUnicode_1BYTE_DATA(text);
      for (; i < end; ++i) {
        uint8_t c = in[i];
        if (c < 0x80) {
          *out++ = c;
        } else {
          *out++ = static_cast<uint8_t>(0xC0 | c >> 6);
          *out++ = static_cast<uint8_t>(0x80 | (c & 0x3F));
        }
      }
      break;
    }
    case PyUnicode_2BYTE_KIND: {
      // The units are UTF-16 as they stand; one more unit lets a pair at
      // the slice's end be read whole.
      size_t n = end - position + (end < length);
      const char16_t* in = reinterpret_cast<const char16_t*>(PyUnicode_2BYTE_DATA(text)) + position;
      tobble::lib::Encoded done = tobble::lib::FastestTranscoder().encode_utf8(in, n, out);
      return {done.read, done.written};
    }
    default: {
      const Py_UCS4* in = PyUnicode_4BYTE_DATA(text);
      for (; i < end; ++i) {
        Py_UCS4 c = in[i];
        if (c < 0x80) {
          *out++ = static_cast<uint8_t>(c);
        } else if ((c & 0xFFFFF800) == 0xD800) {
          break;
        } else {
          out = tobble::WriteUtf8(out, c);
        }
      }
    }
  }
  return {i - position, static_cast<size_t>(out - start)};
}

bool StrBuilder::Append(const uint16_t* units, size_t n) {
  if (n == 0) return true;
  if (!started() || n > room_ - at_) return false;
  // Each loop narrows or copies as it checks, in one pass that compilers
  // vectorize; what it wrote past at_ on failing is written again.
  if (max_char_ <= 0xFF) {
    Py_UCS1* out = static_cast<Py_UCS1*>(data()) + at_;
    uint16_t all = 0;
    for (size_t i = 0; i < n; ++i) {
      out[i] = static_cast<Py_UCS1>(units[i]);
      all |= units[i];
    }
    if (all > max_char_) return false;
    at_ += n;
    return true;
  }
  if (max_char_ == 0xFFFF) {
    Py_UCS2* out = static_cast<Py_UCS2*>(data()) + at_;
    uint16_t surrogates = 0;
    for (size_t i = 0; i < n; ++i) {
      out[i] = units[i];
      surrogates |= (units[i] & 0xF800) == 0xD800;
    }
    if (surrogates) {
      // A pair needs four-byte storage.
      if (after_high_ && IsLow(units[0])) return false;
      for (size_t i = 0; i + 1 < n; ++i) {
        if (IsHigh(units[i]) && IsLow(units[i + 1])) return false;
      }
    }
    at_ += n;
    after_high_ = IsHigh(units[n - 1]);
    return true;
  }
  at_ = JoinUnits(units, n, static_cast<Py_UCS4*>(data()), at_, after_high_);
  return true;
}

namespace {

size_t KindOf(Py_UCS4 max_char) {
  return max_char < 0x100 ? 1 : max_char < 0x10000 ? 2 : 4;
}

// Copies n code points into wider storage, last first, so that `to` may be
// `from` itself.
template <typename From, typename To>
void Widen(const void* from, void* to, size_t n) {
  const From* in = static_cast<const From*>(from);
  To* out = static_cast<To*>(to);
  for (size_t i = n; i-- > 0;) out[i] = in[i];
}

void CopyWidened(const void* from, size_t from_kind, void* to, size_t to_kind, size_t n) {
  if (from_kind == to_kind) {
    memmove(to, from, n * to_kind);
  } else if (from_kind == 1 && to_kind == 2) {
    Widen<Py_UCS1, Py_UCS2>(from, to, n);
  } else if (from_kind == 1) {
    Widen<Py_UCS1, Py_UCS4>(from, to, n);
  } else {
    Widen<Py_UCS2, Py_UCS4>(from, to, n);
  }
}

}  // namespace

bool StrBuilder::Reserve(const uint16_t* units, size_t n, size_t room) {
  Py_UCS4 max_char = ShapeOf(units, n).max_char;
  if (after_high_ && n > 0 && IsLow(units[0])) max_char = 0x10FFFF;
  max_char = max_char > max_char_ ? max_char : max_char_;
  room = room > at_ + n ? room : at_ + n;
  room = room > room_ ? room : room_;
  size_t kind = KindOf(max_char);
  size_t old_kind = KindOf(max_char_);
  if (text_ == nullptr && room <= staging_limit_ / kind) {
    if (!staging_->Grow(room * kind)) {
      PyErr_NoMemory();
      return false;
    }
    if (staged_) CopyWidened(staging_->data, old_kind, staging_->data, kind, at_);
    staged_ = true;
    max_char_ = max_char;
    room_ = room;
    return true;
  }
  // As much more as fills the last huge page of a large str.
  size_t header = max_char < 0x80 ? sizeof(PyASCIIObject) : sizeof(PyCompactUnicodeObject);
  if (room < (PY_SSIZE_T_MAX - header) / kind - 1) {
    room = (HugePageSize(header + (room + 1) * kind) - header) / kind - 1;
  }
  if (text_ != nullptr && max_char == max_char_) {
    if (PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(room)) != 0) return false;
    AdviseHugePages(PyUnicode_DATA(text_), (room + 1) * kind);
    room_ = room;
    return true;
  }
  PyObject* wider = PyUnicode_New(static_cast<Py_ssize_t>(room), max_char);
  if (wider == nullptr) return false;
  AdviseHugePages(PyUnicode_DATA(wider), (room + 1) * kind);
  if (started()) CopyWidened(data(), old_kind, PyUnicode_DATA(wider), kind, at_);
  Py_XSETREF(text_, wider);
  staged_ = false;
  max_char_ = max_char;
  room_ = room;
  return true;
}

PyObject* StrBuilder::Finish() {
  if (!started()) return PyUnicode_New(0, 0);
  if (staged_) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(at_), max_char_);
    if (text != nullptr) memcpy(PyUnicode_DATA(text), staging_->data, at_ * KindOf(max_char_));
    return text;
  }
  if (PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(at_)) != 0) return nullptr;
  PyObject* text = text_;
  text_ = nullptr;
  return text;
}

}  // namespace tobble_python
