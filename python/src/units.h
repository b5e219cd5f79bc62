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

// For the tests: strs stored four bytes a code point are read, and results
// holding surrogate pairs written, by the SSSE3 loops (where the processor
// has SSSE3) or by the plain ones from now on; returns whether the SSSE3
// loops are taken.
bool ChooseShuffles(bool wanted);

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

// How far reading a str as UTF-8 got: code points read, bytes written.
struct Utf8Read {
  size_t code_points;
  size_t bytes;
};

// Writes the str's code points from `position` on as UTF-8 into out (room
// for 4 * count + 4 bytes): `count` of them, or the rest of the text if
// fewer. A two-byte str's units are read as UTF-16, a pair of surrogate
// code points joined into one character as the conversions join them, and
// may give one code point more, so that a pair at the edge is read whole.
// Stops early before any other surrogate code point, which UTF-8 cannot
// carry. An ASCII str needs none of this: its storage is UTF-8 already.
Utf8Read ReadUtf8(PyObject* text, size_t position, size_t count, uint8_t* out);

// Memory a result is written into before it is copied into a str of its
// own size; each thread keeps one from call to call.
struct StagingBuffer {
  StagingBuffer() = default;
  StagingBuffer(const StagingBuffer&) = delete;
  StagingBuffer& operator=(const StagingBuffer&) = delete;
  ~StagingBuffer() { PyMem_RawFree(data); }

  // Makes data at least `wanted` bytes; false, leaving it as it was, when
  // there is no memory for that. No Python API.
  bool Grow(size_t wanted) {
    if (wanted <= bytes) return true;
    void* grown = PyMem_RawRealloc(data, wanted);
    if (grown == nullptr) return false;
    data = grown;
    bytes = wanted;
    return true;
  }

  void* data = nullptr;
  size_t bytes = 0;
};

// Builds a str from slices of units as they come, pairs joined across
// slices too, in the narrowest storage that holds its code points so far:
// it is made (when the first units come) as narrow as they allow, and made
// wider when a later slice needs it (at most three times), so that the
// result is the str Python itself would make. Its room grows when a slice
// needs more.
//
// A result of up to `staging_limit` bytes is written into the staging
// buffer and copied into a str of its own size at the end: the allocator
// serves a str of the same size as the last call's from memory it has,
// where a str made larger and then shrunk would be mapped afresh, page
// fault by page fault, at every call. A larger one is written straight
// into its str, on huge pages, and shrunk at the end.
//
// Append uses no Python API; Reserve and Finish do.
class StrBuilder {
 public:
  StrBuilder(StagingBuffer* staging, size_t staging_limit)
      : staging_(staging), staging_limit_(staging_limit) {}
  StrBuilder(const StrBuilder&) = delete;
  StrBuilder& operator=(const StrBuilder&) = delete;
  ~StrBuilder() { Py_XDECREF(text_); }

  bool started() const { return staged_ || text_ != nullptr; }
  size_t length() const { return at_; }
  size_t room() const { return room_; }

  // Writes the n units' code points after those so far. False, with
  // nothing counted, when they need more room or wider storage: Reserve,
  // then Append again.
  bool Append(const uint16_t* units, size_t n);

  // Makes room for `room` code points, and for the n units after those so
  // far, in storage that holds their code points; false with the exception
  // set.
  bool Reserve(const uint16_t* units, size_t n, size_t room);

  // The str of the code points written (a new reference); null with the
  // exception set.
  PyObject* Finish();

 private:
  void* data() { return staged_ ? staging_->data : PyUnicode_DATA(text_); }

  StagingBuffer* staging_;
  size_t staging_limit_;
  bool staged_ = false;       // written into the staging buffer
  PyObject* text_ = nullptr;  // or into this str
  Py_UCS4 max_char_ = 0x7F;   // the storage's, as PyUnicode_New takes it
  size_t at_ = 0;             // code points written
  size_t room_ = 0;
  bool after_high_ = false;  // the code point at at_ - 1 is an unpaired high surrogate
};

}  // namespace tobble_python

#endif  // TOBBLE_PYTHON_UNITS_H_
