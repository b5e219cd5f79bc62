// Strings and units: a Python str is turned into UTF-16 units code point by
// code point; a code point above U+FFFF becomes a surrogate pair and any
// surrogate code point (D800 to DFFF) the unit of its own value. Units come
// back the same way: a high surrogate followed by a low one is one code
// point, any other surrogate stays a code point of its own value.
//
// A str's own storage (one, two or four bytes a code point) is read without
// any intermediate codec. Nothing here but the str's creation uses the
// Python API, so the rest runs without the GIL (a str never changes).
#ifndef TOBBLE_PYTHON_UNITS_H_
#define TOBBLE_PYTHON_UNITS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>
#include <stdint.h>

namespace tobble_python {

inline bool IsHigh(uint16_t unit) {
  return (unit & 0xFC00) == 0xD800;
}
inline bool IsLow(uint16_t unit) {
  return (unit & 0xFC00) == 0xDC00;
}

// What a str of some units needs: its length in code points and the
// largest code point class, as PyUnicode_New takes it.
struct StrShape {
  size_t length;
  Py_UCS4 max_char;
};

// Pairs joined, lone surrogates as code points of their own value; the
// storage the narrowest that holds every code point, as every str's must be
// (strs of different storage never compare equal).
StrShape ShapeOf(const uint16_t* units, size_t n);

// Writes the units into a new str of ShapeOf(units, n). The str must not yet
// be seen by any other code.
void FillStr(PyObject* text, const uint16_t* units, size_t n);

// The text's length in UTF-16 units, counted up to `limit` (any more than
// that may be reported as limit + 1).
size_t UnitsUpTo(PyObject* text, size_t limit);

// Reads a str's code points as UTF-16 units, a slice at a time.
class UnitReader {
 public:
  explicit UnitReader(PyObject* text);

  bool done() const { return position_ == length_; }

  // Writes up to `room` units (at least 2) into out; returns how many. A
  // pair is never cut.
  size_t Read(uint16_t* out, size_t room);

 private:
  int kind_;
  const void* data_;
  size_t length_;
  size_t position_ = 0;
};

// Takes slices of units one after another and finds the shape of the str
// they make together, pairs across slice edges included.
struct ShapeCounter {
  size_t units = 0;
  size_t pairs = 0;
  uint16_t largest = 0;
  bool after_high = false;  // the last unit so far is an unpaired high surrogate

  void operator()(const uint16_t* slice, size_t n);
  StrShape shape() const;
};

// Writes slices of units one after another into a str of the shape a
// ShapeCounter found for them.
struct StrFiller {
  PyObject* text;
  size_t at = 0;
  bool after_high = false;  // the code point at at - 1 is an unpaired high surrogate

  void operator()(const uint16_t* slice, size_t n);
};

}  // namespace tobble_python

#endif  // TOBBLE_PYTHON_UNITS_H_
