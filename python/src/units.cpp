// Strings and units: the str's storage read as UTF-16 units, and units
// written into a str.
#include "python/src/units.h"

#include <string.h>

namespace tobble_python {
namespace {

Py_UCS4 MaxCharOf(uint16_t largest) {
  return largest < 0x80 ? 0x7Fu : largest < 0x100 ? 0xFFu : 0xFFFFu;
}

}  // namespace

StrShape ShapeOf(const uint16_t* units, size_t n) {
  // One pass that compilers vectorize: the largest unit, and whether any is
  // a surrogate (only then can a pair join two units into one code point).
  uint16_t largest = 0;
  uint16_t surrogates = 0;
  for (size_t i = 0; i < n; ++i) {
    largest = units[i] > largest ? units[i] : largest;
    surrogates |= (units[i] & 0xF800) == 0xD800;
  }
  size_t pairs = 0;
  if (surrogates) {
    for (size_t i = 0; i + 1 < n; ++i) {
      if (IsHigh(units[i]) && IsLow(units[i + 1])) {
        ++pairs;
        ++i;
      }
    }
  }
  if (pairs > 0) return {n - pairs, 0x10FFFF};
  return {n, MaxCharOf(largest)};
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
      Py_UCS4* out = PyUnicode_4BYTE_DATA(text);
      size_t j = 0;
      for (size_t i = 0; i < n; ++i) {
        if (i + 1 < n && IsHigh(units[i]) && IsLow(units[i + 1])) {
          out[j++] = 0x10000 + ((Py_UCS4{units[i]} - 0xD800) << 10) + (units[i + 1] - 0xDC00);
          ++i;
        } else {
          out[j++] = units[i];
        }
      }
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
  const Py_UCS4* in = static_cast<const Py_UCS4*>(data_);
  while (position_ < length_ && j + 2 <= room) {
    Py_UCS4 c = in[position_++];
    if (c > 0xFFFF) {
      c -= 0x10000;
      out[j++] = static_cast<uint16_t>(0xD800 + (c >> 10));
      out[j++] = static_cast<uint16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out[j++] = static_cast<uint16_t>(c);
    }
  }
  return j;
}

void ShapeCounter::operator()(const uint16_t* slice, size_t n) {
  units += n;
  uint16_t surrogates = 0;
  for (size_t i = 0; i < n; ++i) {
    largest = slice[i] > largest ? slice[i] : largest;
    surrogates |= (slice[i] & 0xF800) == 0xD800;
  }
  if (!surrogates) {
    after_high = after_high && n == 0;
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    if (after_high && IsLow(slice[i])) {
      ++pairs;
      after_high = false;
    } else {
      after_high = IsHigh(slice[i]);
    }
  }
}

StrShape ShapeCounter::shape() const {
  if (pairs > 0) return {units - pairs, 0x10FFFF};
  return {units, MaxCharOf(largest)};
}

// Only four-byte storage can hold a pair.
void StrFiller::operator()(const uint16_t* slice, size_t n) {
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: {
      Py_UCS1* out = PyUnicode_1BYTE_DATA(text) + at;
      for (size_t i = 0; i < n; ++i) out[i] = static_cast<Py_UCS1>(slice[i]);
      at += n;
      break;
    }
    case PyUnicode_2BYTE_KIND:
      memcpy(PyUnicode_2BYTE_DATA(text) + at, slice, n * sizeof(uint16_t));
      at += n;
      break;
    default: {
      Py_UCS4* out = PyUnicode_4BYTE_DATA(text);
      for (size_t i = 0; i < n; ++i) {
        if (after_high && IsLow(slice[i])) {
          out[at - 1] = 0x10000 + ((out[at - 1] - 0xD800) << 10) + (slice[i] - 0xDC00);
          after_high = false;
        } else {
          out[at++] = slice[i];
          after_high = IsHigh(slice[i]);
        }
      }
    }
  }
}

}  // namespace tobble_python
