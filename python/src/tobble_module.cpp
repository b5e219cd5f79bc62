// tobble._tobble: the Python extension over the library's C interface
// (include/tobble.h). Written against the CPython C API directly: a call of
// convert() on a short string is a handful of nanoseconds of argument work,
// and a str's own storage (one, two or four bytes a code point) is read
// without any intermediate codec.
//
// Strings and units: a Python str is turned into UTF-16 units code point by
// code point; a code point above U+FFFF becomes a surrogate pair and any
// surrogate code point (D800 to DFFF) the unit of its own value. Units come
// back the same way: a high surrogate followed by a low one is one code
// point, any other surrogate stays a code point of its own value.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <stdint.h>
#include <string.h>

#include <new>
#include <string>

#include "include/tobble.h"

namespace {

// Inputs above this many bytes are converted with the GIL released, so that
// other threads run meanwhile; below it releasing costs more than it gives.
constexpr size_t kReleaseGilBytes = 4096;

// convert() keeps input and output units of short strings on the stack.
constexpr size_t kStackUnits = 1024;

// ---------------------------------------------------------------------------
// Filters and encodings

PyObject* UnknownFilter(PyObject* name) {
  std::string names;
  for (size_t i = 0; i < tobble_filter_count(); ++i) {
    if (i > 0) names += ", ";
    names += tobble_filter_name(tobble_filter_at(i));
  }
  return PyErr_Format(PyExc_ValueError, "unknown filter %R; the filters are: %s", name,
                      names.c_str());
}

// The filter named by `name`, or null with ValueError or TypeError set.
const tobble_filter* FindFilter(PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "filter must be a str, not %.100s", Py_TYPE(name)->tp_name);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) {
    // A lone surrogate cannot be UTF-8, so it names no filter either.
    PyErr_Clear();
    UnknownFilter(name);
    return nullptr;
  }
  const tobble_filter* filter =
      strlen(utf8) == static_cast<size_t>(size) ? tobble_filter_find(utf8) : nullptr;
  if (filter == nullptr) UnknownFilter(name);
  return filter;
}

// Python's codec name for each tobble_encoding, for UnicodeDecodeError.
const char* CodecName(tobble_encoding encoding) {
  switch (encoding) {
    case TOBBLE_UTF16LE:
      return "utf-16-le";
    case TOBBLE_UTF16BE:
      return "utf-16-be";
    default:
      return "utf-8";
  }
}

// Reads the encoding and errors arguments of convert_bytes() and Converter.
// Either may be null for its default. False with an exception set.
bool ParseStreamOptions(PyObject* encoding_arg, PyObject* errors_arg, tobble_encoding* encoding,
                        unsigned* flags) {
  *encoding = TOBBLE_UTF8;
  *flags = 0;
  if (encoding_arg != nullptr) {
    if (!PyUnicode_Check(encoding_arg)) {
      PyErr_Format(PyExc_TypeError, "encoding must be a str, not %.100s",
                   Py_TYPE(encoding_arg)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(encoding_arg, &size);
    if (name == nullptr) PyErr_Clear();
    // A zero character would end the name early: no encoding has one.
    if (name != nullptr && strlen(name) != static_cast<size_t>(size)) name = nullptr;
    // Python's spelling "utf-16-le" is accepted beside the library's.
    std::string spelling = name == nullptr ? "" : name;
    if (spelling.size() == 9 &&
        (spelling.compare(0, 7, "utf-16-") == 0 || spelling.compare(0, 7, "UTF-16-") == 0)) {
      spelling.erase(6, 1);
    }
    if (name == nullptr || tobble_encoding_parse(spelling.c_str(), encoding) != TOBBLE_OK) {
      PyErr_Format(PyExc_ValueError,
                   "unknown encoding %R; the encodings are: utf-8, utf-16le, utf-16be",
                   encoding_arg);
      return false;
    }
  }
  if (errors_arg != nullptr) {
    if (!PyUnicode_Check(errors_arg)) {
      PyErr_Format(PyExc_TypeError, "errors must be a str, not %.100s",
                   Py_TYPE(errors_arg)->tp_name);
      return false;
    }
    if (PyUnicode_CompareWithASCIIString(errors_arg, "replace") == 0) {
      *flags = TOBBLE_REPLACE;
    } else if (PyUnicode_CompareWithASCIIString(errors_arg, "strict") != 0) {
      PyErr_Format(PyExc_ValueError, "unknown errors %R; it is 'strict' or 'replace'", errors_arg);
      return false;
    }
  }
  return true;
}

// Raises the exception for a failed library call other than invalid input.
PyObject* RaiseStatus(tobble_status status) {
  if (status == TOBBLE_ERROR_NO_MEMORY) return PyErr_NoMemory();
  if (status == TOBBLE_ERROR_TOO_LONG) {
    return PyErr_Format(PyExc_OverflowError, "input too long: %s", tobble_status_message(status));
  }
  if (status == TOBBLE_ERROR_FINISHED) {
    return PyErr_Format(PyExc_ValueError, "the converter is finished; call reset() to start again");
  }
  return PyErr_Format(PyExc_RuntimeError, "tobble: %s", tobble_status_message(status));
}

// Raises UnicodeDecodeError for invalid input at byte `offset` of the whole
// input; `bytes` is the piece the error was found in. start is the offset in
// the whole input, as the tool reports it (so for a Converter it may lie
// beyond the piece); end is one byte after it.
PyObject* RaiseInvalidInput(tobble_encoding encoding, const char* bytes, Py_ssize_t n,
                            uint64_t offset) {
  Py_ssize_t start = static_cast<Py_ssize_t>(offset);
  std::string reason = std::string("invalid ") + tobble_encoding_name(encoding) + " at byte " +
                       std::to_string(static_cast<unsigned long long>(offset));
  PyObject* error = PyUnicodeDecodeError_Create(CodecName(encoding), bytes == nullptr ? "" : bytes,
                                                n, start, start + 1, reason.c_str());
  if (error != nullptr) {
    PyErr_SetObject(PyExc_UnicodeDecodeError, error);
    Py_DECREF(error);
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// str <-> UTF-16 units

// Units of a buffer that holds up to kStackUnits on the stack and allocates
// beyond.
class UnitBuffer {
 public:
  UnitBuffer() = default;
  UnitBuffer(const UnitBuffer&) = delete;
  UnitBuffer& operator=(const UnitBuffer&) = delete;
  ~UnitBuffer() { PyMem_RawFree(heap_); }

  // Room for n units, or null (MemoryError set).
  uint16_t* Reserve(size_t n) {
    if (n <= kStackUnits) return stack_;
    if (n > PY_SSIZE_T_MAX / sizeof(uint16_t)) {
      PyErr_NoMemory();
      return nullptr;
    }
    heap_ = static_cast<uint16_t*>(PyMem_RawMalloc(n * sizeof(uint16_t)));
    if (heap_ == nullptr) PyErr_NoMemory();
    return heap_;
  }

 private:
  uint16_t stack_[kStackUnits];
  uint16_t* heap_ = nullptr;
};

// The UTF-16 units of `text` in *units (*n of them): its own storage when it
// is kept two bytes a code point, otherwise written into `buffer`. False with
// an exception set.
bool StrToUnits(PyObject* text, UnitBuffer* buffer, const uint16_t** units, size_t* n) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: {
      const Py_UCS1* in = PyUnicode_1BYTE_DATA(text);
      uint16_t* out = buffer->Reserve(length);
      if (out == nullptr) return false;
      for (Py_ssize_t i = 0; i < length; ++i) out[i] = in[i];
      *units = out;
      *n = length;
      return true;
    }
    case PyUnicode_2BYTE_KIND:
      *units = reinterpret_cast<const uint16_t*>(PyUnicode_2BYTE_DATA(text));
      *n = length;
      return true;
    default: {
      const Py_UCS4* in = PyUnicode_4BYTE_DATA(text);
      size_t supplementary = 0;
      for (Py_ssize_t i = 0; i < length; ++i) supplementary += in[i] > 0xFFFF;
      uint16_t* out = buffer->Reserve(length + supplementary);
      if (out == nullptr) return false;
      size_t j = 0;
      for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = in[i];
        if (c > 0xFFFF) {
          c -= 0x10000;
          out[j++] = static_cast<uint16_t>(0xD800 + (c >> 10));
          out[j++] = static_cast<uint16_t>(0xDC00 + (c & 0x3FF));
        } else {
          out[j++] = static_cast<uint16_t>(c);
        }
      }
      *units = out;
      *n = j;
      return true;
    }
  }
}

bool IsHigh(uint16_t unit) {
  return (unit & 0xFC00) == 0xD800;
}
bool IsLow(uint16_t unit) {
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
// (strs of different storage never compare equal). Uses no Python API.
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
  return {n, Py_UCS4{largest < 0x80 ? 0x7Fu : largest < 0x100 ? 0xFFu : 0xFFFFu}};
}

// Writes the units into a new str of ShapeOf(units, n). Uses no Python API:
// the str is not yet seen by any other code.
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

// ---------------------------------------------------------------------------
// convert()

// The sliced conversion's input slice in units: its output (at most
// tobble_output_bound of it, 9 units a unit) stays in the processor's
// cache, and a 64 KiB text is one slice.
constexpr size_t kSliceUnits = 32 * 1024;

// Reads a str's code points as UTF-16 units, a slice at a time. Uses no
// Python API, so it runs without the GIL (a str never changes).
class UnitReader {
 public:
  explicit UnitReader(PyObject* text)
      : kind_(PyUnicode_KIND(text)),
        data_(PyUnicode_DATA(text)),
        length_(static_cast<size_t>(PyUnicode_GET_LENGTH(text))) {}

  bool done() const { return position_ == length_; }

  // Writes up to `room` units (at least 2) into out; returns how many. A
  // pair is never cut.
  size_t Read(uint16_t* out, size_t room) {
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

 private:
  int kind_;
  const void* data_;
  size_t length_;
  size_t position_ = 0;
};

// Converts whole: the units into one output buffer, then the str. The plain
// way, for short texts (on the stack), and beside the sliced way in the
// tests (_convert_whole).
PyObject* ConvertWhole(const tobble_filter* filter, PyObject* text) {
  UnitBuffer in_buffer;
  const uint16_t* in = nullptr;
  size_t n = 0;
  if (!StrToUnits(text, &in_buffer, &in, &n)) return nullptr;
  size_t capacity = tobble_output_bound(filter, n);
  if (capacity == 0) return RaiseStatus(TOBBLE_ERROR_TOO_LONG);
  UnitBuffer out_buffer;
  uint16_t* out = out_buffer.Reserve(capacity);
  if (out == nullptr) return nullptr;
  size_t written = 0;
  tobble_status status;
  StrShape shape{0, 0};
  if (n * sizeof(uint16_t) <= kReleaseGilBytes) {
    status = tobble_convert(filter, in, n, out, capacity, 1, nullptr, &written);
    if (status != TOBBLE_OK) return RaiseStatus(status);
    shape = ShapeOf(out, written);
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), shape.max_char);
    if (result != nullptr) FillStr(result, out, written);
    return result;
  }
  // Everything but the allocation of the str runs without the GIL.
  Py_BEGIN_ALLOW_THREADS;
  status = tobble_convert(filter, in, n, out, capacity, 1, nullptr, &written);
  if (status == TOBBLE_OK) shape = ShapeOf(out, written);
  Py_END_ALLOW_THREADS;
  if (status != TOBBLE_OK) return RaiseStatus(status);
  PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), shape.max_char);
  if (result == nullptr) return nullptr;
  Py_BEGIN_ALLOW_THREADS;
  FillStr(result, out, written);
  Py_END_ALLOW_THREADS;
  return result;
}

// Slice buffers, one pair for each thread, kept from call to call: a
// conversion into fresh memory pays a page fault every 4 KiB, which costs
// more than converting what fills it.
class SliceBuffers {
 public:
  static constexpr size_t kInRoom = kSliceUnits + TOBBLE_MAX_TAIL;

  ~SliceBuffers() { PyMem_RawFree(in_); }

  // This thread's buffers, or null when memory ran out. No Python API.
  static SliceBuffers* ForThisThread() {
    thread_local SliceBuffers buffers;
    if (buffers.in_ == nullptr) {
      size_t out_room = 0;
      for (size_t i = 0; i < tobble_filter_count(); ++i) {
        size_t bound = tobble_output_bound(tobble_filter_at(i), kInRoom);
        out_room = bound > out_room ? bound : out_room;
      }
      buffers.in_ = static_cast<uint16_t*>(PyMem_RawMalloc((kInRoom + out_room) * 2));
      if (buffers.in_ == nullptr) return nullptr;
      buffers.out_room_ = out_room;
    }
    return &buffers;
  }

  uint16_t* in() { return in_; }
  uint16_t* out() { return in_ + kInRoom; }
  size_t out_room() const { return out_room_; }

 private:
  uint16_t* in_ = nullptr;
  size_t out_room_ = 0;
};

// Runs the filter over the text a slice at a time, handing each slice's
// output to sink(units, n). No Python API.
template <typename Sink>
tobble_status ForEachSlice(const tobble_filter* filter, PyObject* text, SliceBuffers* buffers,
                           Sink& sink) {
  UnitReader reader(text);
  uint16_t* in = buffers->in();
  size_t held = 0;  // the unread tail of the last slice, at the front of `in`
  while (true) {
    size_t n = held + reader.Read(in + held, SliceBuffers::kInRoom - held);
    int last = reader.done();
    size_t read = 0;
    size_t written = 0;
    tobble_status status =
        tobble_convert(filter, in, n, buffers->out(), buffers->out_room(), last, &read, &written);
    if (status != TOBBLE_OK) return status;
    sink(buffers->out(), written);
    if (last) return TOBBLE_OK;
    held = n - read;
    // The library leaves at most TOBBLE_MAX_TAIL units unread; more would
    // mean no progress.
    if (held > TOBBLE_MAX_TAIL) return TOBBLE_ERROR_CAPACITY;
    memmove(in, in + read, held * sizeof(uint16_t));
  }
}

// The first pass: the shape of the str that all slices' units make, pairs
// across slice edges included.
struct ShapeCounter {
  size_t units = 0;
  size_t pairs = 0;
  uint16_t largest = 0;
  bool after_high = false;  // the last unit so far is an unpaired high surrogate

  void operator()(const uint16_t* slice, size_t n) {
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

  StrShape shape() const {
    if (pairs > 0) return {units - pairs, 0x10FFFF};
    return {units, Py_UCS4{largest < 0x80 ? 0x7Fu : largest < 0x100 ? 0xFFu : 0xFFFFu}};
  }
};

// The second pass: writes the slices' units into the str the first pass
// shaped. Only four-byte storage can hold a pair.
struct StrFiller {
  PyObject* text;
  size_t at = 0;
  bool after_high = false;  // the code point at at - 1 is an unpaired high surrogate

  void operator()(const uint16_t* slice, size_t n) {
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
};

// Converts in slices through this thread's buffers, which stay in cache:
// a first pass finds the result's length and storage, a second converts
// again straight into the new str. Converting twice costs less than
// writing, and reading back, an intermediate buffer many times the text's
// size. With the GIL released throughout but for the str's allocation.
PyObject* ConvertSliced(const tobble_filter* filter, PyObject* text) {
  SliceBuffers* buffers = SliceBuffers::ForThisThread();
  if (buffers == nullptr) return PyErr_NoMemory();
  ShapeCounter counter;
  tobble_status status;
  Py_BEGIN_ALLOW_THREADS;
  status = ForEachSlice(filter, text, buffers, counter);
  Py_END_ALLOW_THREADS;
  if (status != TOBBLE_OK) return RaiseStatus(status);
  StrShape shape = counter.shape();
  PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), shape.max_char);
  if (result == nullptr) return nullptr;
  StrFiller filler{result};
  Py_BEGIN_ALLOW_THREADS;
  status = ForEachSlice(filter, text, buffers, filler);
  Py_END_ALLOW_THREADS;
  if (status != TOBBLE_OK || filler.at != shape.length) {
    Py_DECREF(result);
    return RaiseStatus(status != TOBBLE_OK ? status : TOBBLE_ERROR_CAPACITY);
  }
  return result;
}

// The text's length in UTF-16 units, counted up to `limit` (any more than
// that may be reported as limit + 1).
size_t UnitsUpTo(PyObject* text, size_t limit) {
  size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  if (PyUnicode_KIND(text) != PyUnicode_4BYTE_KIND || length > limit) return length;
  const Py_UCS4* in = PyUnicode_4BYTE_DATA(text);
  size_t supplementary = 0;
  for (size_t i = 0; i < length; ++i) supplementary += in[i] > 0xFFFF;
  return length + supplementary;
}

// Converts a text of at most one slice once, through this thread's
// buffers.
PyObject* ConvertOneSlice(const tobble_filter* filter, PyObject* text) {
  SliceBuffers* buffers = SliceBuffers::ForThisThread();
  if (buffers == nullptr) return PyErr_NoMemory();
  UnitReader reader(text);
  size_t n = reader.Read(buffers->in(), SliceBuffers::kInRoom);
  size_t written = 0;
  tobble_status status = tobble_convert(filter, buffers->in(), n, buffers->out(),
                                        buffers->out_room(), 1, nullptr, &written);
  if (status != TOBBLE_OK) return RaiseStatus(status);
  StrShape shape = ShapeOf(buffers->out(), written);
  PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), shape.max_char);
  if (result != nullptr) FillStr(result, buffers->out(), written);
  return result;
}

// The filter and text arguments of convert() and _convert_whole(); false
// with an exception set.
bool ConvertArguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                      const tobble_filter** filter) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "%s() takes 2 arguments (filter, text), %zd given", function,
                 nargs);
    return false;
  }
  *filter = FindFilter(args[0]);
  if (*filter == nullptr) return false;
  if (!PyUnicode_Check(args[1])) {
    PyErr_Format(PyExc_TypeError, "text must be a str, not %.100s", Py_TYPE(args[1])->tp_name);
    return false;
  }
  return true;
}

PyObject* Convert(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const tobble_filter* filter;
  if (!ConvertArguments("convert", args, nargs, &filter)) return nullptr;
  // At most one slice of units is converted once.
  if (UnitsUpTo(args[1], kSliceUnits) <= kSliceUnits) {
    return ConvertOneSlice(filter, args[1]);
  }
  return ConvertSliced(filter, args[1]);
}

PyObject* ConvertWholeForTests(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const tobble_filter* filter;
  if (!ConvertArguments("_convert_whole", args, nargs, &filter)) return nullptr;
  return ConvertWhole(filter, args[1]);
}

PyObject* ConvertSlicedForTests(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const tobble_filter* filter;
  if (!ConvertArguments("_convert_sliced", args, nargs, &filter)) return nullptr;
  return ConvertSliced(filter, args[1]);
}

// ---------------------------------------------------------------------------
// Streams: convert_bytes() and Converter

// Collects a stream's output. Called with the GIL released, so it uses no
// Python API.
struct Collector {
  std::string bytes;
  bool out_of_memory = false;

  static int Write(void* context, const uint8_t* data, size_t n) {
    Collector* self = static_cast<Collector*>(context);
    try {
      self->bytes.append(reinterpret_cast<const char*>(data), n);
      return 0;
    } catch (const std::bad_alloc&) {
      self->out_of_memory = true;
      return 1;
    }
  }

  // The collected bytes as a bytes object, leaving the collector empty.
  PyObject* Take() {
    PyObject* result = PyBytes_FromStringAndSize(bytes.data(), bytes.size());
    bytes.clear();
    return result;
  }

  // Gives back memory beyond a few blocks, so that a collector kept from
  // call to call does not hold on to the largest output it ever saw.
  void Trim() {
    if (bytes.capacity() > kKeptBytes) std::string().swap(bytes);
  }

  static constexpr size_t kKeptBytes = 1 << 20;
};

// convert_bytes() keeps its last stream for each thread and resets it for
// the next call with the same filter, encoding and errors: a new stream maps
// its memory afresh, which costs far more than converting a short input.
class CachedStream {
 public:
  ~CachedStream() { tobble_stream_destroy(stream_); }

  // This thread's stream for the options, ready for a new input, or null
  // with *status set. No Python API.
  static CachedStream* Get(const tobble_filter* filter, tobble_encoding encoding, unsigned flags,
                           tobble_status* status) {
    thread_local CachedStream cached;
    *status = TOBBLE_OK;
    if (cached.stream_ != nullptr && cached.filter_ == filter && cached.encoding_ == encoding &&
        cached.flags_ == flags) {
      *status = tobble_stream_reset(cached.stream_);
    } else {
      tobble_stream_destroy(cached.stream_);
      cached.stream_ = nullptr;
      *status = tobble_stream_create(filter, encoding, flags, &Collector::Write, &cached.collector,
                                     &cached.stream_);
      cached.filter_ = filter;
      cached.encoding_ = encoding;
      cached.flags_ = flags;
    }
    cached.collector.bytes.clear();
    cached.collector.out_of_memory = false;
    return *status == TOBBLE_OK ? &cached : nullptr;
  }

  tobble_stream* stream() { return stream_; }
  Collector collector;

 private:
  const tobble_filter* filter_ = nullptr;
  tobble_encoding encoding_ = TOBBLE_UTF8;
  unsigned flags_ = 0;
  tobble_stream* stream_ = nullptr;
};

// The exception for a stream call's status. `data`/`n` is the piece just
// fed (or empty for finish).
PyObject* RaiseStreamStatus(tobble_status status, const tobble_stream* stream,
                            const Collector& collector, tobble_encoding encoding, const char* data,
                            Py_ssize_t n) {
  if (status == TOBBLE_ERROR_INVALID_INPUT) {
    return RaiseInvalidInput(encoding, data, n, tobble_stream_error_offset(stream));
  }
  if (status == TOBBLE_ERROR_WRITE && collector.out_of_memory) return PyErr_NoMemory();
  return RaiseStatus(status);
}

// Gets a bytes-like argument as a contiguous buffer. TypeError for str.
bool GetBytes(PyObject* data, Py_buffer* view) {
  if (PyUnicode_Check(data)) {
    PyErr_SetString(PyExc_TypeError, "data must be bytes-like, not str (encode it first)");
    return false;
  }
  if (PyObject_GetBuffer(data, view, PyBUF_SIMPLE) != 0) {
    PyErr_Format(PyExc_TypeError, "data must be bytes-like, not %.100s", Py_TYPE(data)->tp_name);
    return false;
  }
  return true;
}

// Feeds n bytes (and, with `finish`, ends the input), with the GIL released
// for large pieces.
tobble_status FeedStream(tobble_stream* stream, const void* bytes, size_t n, bool finish) {
  tobble_status status;
  if (n > kReleaseGilBytes) {
    Py_BEGIN_ALLOW_THREADS;
    status = tobble_stream_feed(stream, bytes, n);
    if (status == TOBBLE_OK && finish) status = tobble_stream_finish(stream);
    Py_END_ALLOW_THREADS;
  } else {
    status = tobble_stream_feed(stream, bytes, n);
    if (status == TOBBLE_OK && finish) status = tobble_stream_finish(stream);
  }
  return status;
}

PyObject* ConvertBytes(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"filter", "data", "encoding", "errors", nullptr};
  PyObject* filter_arg = nullptr;
  PyObject* data_arg = nullptr;
  PyObject* encoding_arg = nullptr;
  PyObject* errors_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:convert_bytes",
                                   const_cast<char**>(keywords), &filter_arg, &data_arg,
                                   &encoding_arg, &errors_arg)) {
    return nullptr;
  }
  const tobble_filter* filter = FindFilter(filter_arg);
  if (filter == nullptr) return nullptr;
  tobble_encoding encoding;
  unsigned flags;
  if (!ParseStreamOptions(encoding_arg, errors_arg, &encoding, &flags)) return nullptr;
  Py_buffer view;
  if (!GetBytes(data_arg, &view)) return nullptr;

  tobble_status status;
  CachedStream* cached = CachedStream::Get(filter, encoding, flags, &status);
  PyObject* result = nullptr;
  if (cached == nullptr) {
    RaiseStatus(status);
  } else {
    status = FeedStream(cached->stream(), view.buf, static_cast<size_t>(view.len), true);
    if (status == TOBBLE_OK) {
      result = cached->collector.Take();
    } else {
      RaiseStreamStatus(status, cached->stream(), cached->collector, encoding,
                        static_cast<const char*>(view.buf), view.len);
    }
    cached->collector.Trim();
  }
  PyBuffer_Release(&view);
  return result;
}

struct ConverterObject {
  PyObject_HEAD tobble_stream* stream;
  Collector* collector;
  PyObject* filter_name;
  tobble_encoding encoding;
  unsigned flags;
  // Set while a call runs with the GIL released: a stream is used by one
  // thread at a time.
  bool busy;
};

int ConverterInit(ConverterObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"filter", "encoding", "errors", nullptr};
  PyObject* filter_arg = nullptr;
  PyObject* encoding_arg = nullptr;
  PyObject* errors_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:Converter", const_cast<char**>(keywords),
                                   &filter_arg, &encoding_arg, &errors_arg)) {
    return -1;
  }
  if (self->busy) {
    PyErr_SetString(PyExc_RuntimeError, "the converter is in use by another thread");
    return -1;
  }
  const tobble_filter* filter = FindFilter(filter_arg);
  if (filter == nullptr) return -1;
  tobble_encoding encoding;
  unsigned flags;
  if (!ParseStreamOptions(encoding_arg, errors_arg, &encoding, &flags)) return -1;
  if (self->collector == nullptr) {
    self->collector = new (std::nothrow) Collector;
    if (self->collector == nullptr) {
      PyErr_NoMemory();
      return -1;
    }
  }
  self->collector->bytes.clear();
  tobble_stream* stream = nullptr;
  tobble_status status =
      tobble_stream_create(filter, encoding, flags, &Collector::Write, self->collector, &stream);
  if (status != TOBBLE_OK) {
    RaiseStatus(status);
    return -1;
  }
  tobble_stream_destroy(self->stream);
  self->stream = stream;
  self->encoding = encoding;
  self->flags = flags;
  PyObject* name = PyUnicode_FromString(tobble_filter_name(filter));
  if (name == nullptr) return -1;
  Py_XSETREF(self->filter_name, name);
  return 0;
}

void ConverterDealloc(ConverterObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  tobble_stream_destroy(self->stream);
  delete self->collector;
  Py_XDECREF(self->filter_name);
  type->tp_free(reinterpret_cast<PyObject*>(self));
  Py_DECREF(type);  // a heap type is held by each of its instances
}

// False (with an exception set) when the converter cannot take a call now.
bool ConverterReady(ConverterObject* self) {
  if (self->stream == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the converter was not initialized");
    return false;
  }
  if (self->busy) {
    PyErr_SetString(PyExc_RuntimeError, "the converter is in use by another thread");
    return false;
  }
  return true;
}

// Feeds the piece (empty for finish) and returns the output it completed.
PyObject* ConverterStep(ConverterObject* self, const char* data, Py_ssize_t n, bool finish) {
  self->busy = true;
  tobble_status status = FeedStream(self->stream, data, static_cast<size_t>(n), finish);
  self->busy = false;
  if (status != TOBBLE_OK) {
    // Output before an error belongs to an input that failed: dropped.
    self->collector->bytes.clear();
    return RaiseStreamStatus(status, self->stream, *self->collector, self->encoding, data, n);
  }
  return self->collector->Take();
}

PyObject* ConverterFeed(ConverterObject* self, PyObject* data) {
  if (!ConverterReady(self)) return nullptr;
  Py_buffer view;
  if (!GetBytes(data, &view)) return nullptr;
  PyObject* result = ConverterStep(self, static_cast<const char*>(view.buf), view.len, false);
  PyBuffer_Release(&view);
  return result;
}

PyObject* ConverterFinish(ConverterObject* self, PyObject*) {
  if (!ConverterReady(self)) return nullptr;
  return ConverterStep(self, nullptr, 0, true);
}

PyObject* ConverterFlush(ConverterObject* self, PyObject*) {
  if (!ConverterReady(self)) return nullptr;
  tobble_status status = tobble_stream_flush(self->stream);
  if (status != TOBBLE_OK) {
    self->collector->bytes.clear();
    return RaiseStreamStatus(status, self->stream, *self->collector, self->encoding, nullptr, 0);
  }
  return self->collector->Take();
}

PyObject* ConverterReset(ConverterObject* self, PyObject*) {
  if (!ConverterReady(self)) return nullptr;
  tobble_stream_reset(self->stream);
  self->collector->bytes.clear();
  Py_RETURN_NONE;
}

PyObject* ConverterFilter(ConverterObject* self, void*) {
  if (self->filter_name == nullptr) Py_RETURN_NONE;
  return Py_NewRef(self->filter_name);
}

PyObject* ConverterEncoding(ConverterObject* self, void*) {
  return PyUnicode_FromString(CodecName(self->encoding));
}

PyObject* ConverterErrors(ConverterObject* self, void*) {
  return PyUnicode_FromString(self->flags & TOBBLE_REPLACE ? "replace" : "strict");
}

// The stream's counters, by the getter's closure.
enum class Count { kBytesIn, kBytesOut, kReplacedInput, kReplacedSurrogates };

PyObject* ConverterCount(ConverterObject* self, void* closure) {
  if (self->stream == nullptr) return PyLong_FromLong(0);
  uint64_t value = 0;
  switch (static_cast<Count>(reinterpret_cast<intptr_t>(closure))) {
    case Count::kBytesIn:
      value = tobble_stream_bytes_in(self->stream);
      break;
    case Count::kBytesOut:
      value = tobble_stream_bytes_out(self->stream);
      break;
    case Count::kReplacedInput:
      value = tobble_stream_replaced_input(self->stream);
      break;
    case Count::kReplacedSurrogates:
      value = tobble_stream_replaced_surrogates(self->stream);
      break;
  }
  return PyLong_FromUnsignedLongLong(value);
}

void* CountClosure(Count count) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(count));
}

PyMethodDef kConverterMethods[] = {
    {"feed", reinterpret_cast<PyCFunction>(ConverterFeed), METH_O,
     PyDoc_STR("feed(data, /)\n--\n\n"
               "Converts the next piece of input and returns the output completed so\n"
               "far, in whole blocks of up to 256 KiB (flush() returns the rest).\n"
               "Output that later input could still change (an escape cut short, a\n"
               "sequence cut by the end of the piece) is held until later input.\n"
               "Raises UnicodeDecodeError in strict mode at invalid input; its start is\n"
               "the offset in the whole input, counted from 0. The converter then\n"
               "takes nothing more until reset().")},
    {"finish", reinterpret_cast<PyCFunction>(ConverterFinish), METH_NOARGS,
     PyDoc_STR("finish()\n--\n\n"
               "Ends the input and returns the rest of the output. The pieces returned\n"
               "by feed() and finish() together equal convert_bytes() of the whole\n"
               "input. An input that ends inside a UTF-8 sequence, or on an odd byte\n"
               "in UTF-16, is invalid there (or ends with U+FFFD in replace mode).")},
    {"flush", reinterpret_cast<PyCFunction>(ConverterFlush), METH_NOARGS,
     PyDoc_STR("flush()\n--\n\n"
               "Returns everything converted so far but not yet returned: all output\n"
               "except what a held tail (an escape cut short, a sequence cut by the\n"
               "end of a piece) may still become. feed() returns output in blocks of\n"
               "up to 256 KiB; flush() is for input that arrives slowly.")},
    {"reset", reinterpret_cast<PyCFunction>(ConverterReset), METH_NOARGS,
     PyDoc_STR("reset()\n--\n\n"
               "Makes the converter ready for a new input, with the same filter,\n"
               "encoding and errors; drops any output still held and zeroes the counts.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kConverterGetters[] = {
    {"filter", reinterpret_cast<getter>(ConverterFilter), nullptr,
     PyDoc_STR("The filter's export name."), nullptr},
    {"encoding", reinterpret_cast<getter>(ConverterEncoding), nullptr,
     PyDoc_STR("The encoding of input and output, as Python's codec name."), nullptr},
    {"errors", reinterpret_cast<getter>(ConverterErrors), nullptr,
     PyDoc_STR("'strict' or 'replace'."), nullptr},
    {"bytes_in", reinterpret_cast<getter>(ConverterCount), nullptr,
     PyDoc_STR("Input bytes taken so far (for an invalid input, up to the error)."),
     CountClosure(Count::kBytesIn)},
    {"bytes_out", reinterpret_cast<getter>(ConverterCount), nullptr,
     PyDoc_STR("Output bytes returned so far."), CountClosure(Count::kBytesOut)},
    {"replaced_input", reinterpret_cast<getter>(ConverterCount), nullptr,
     PyDoc_STR("In replace mode: the U+FFFD written for invalid input so far."),
     CountClosure(Count::kReplacedInput)},
    {"replaced_surrogates", reinterpret_cast<getter>(ConverterCount), nullptr,
     PyDoc_STR("Lone surrogates in the filter's output written as U+FFFD so far\n"
               "(UTF-8 output only)."),
     CountClosure(Count::kReplacedSurrogates)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kConverterDoc[] =
    "Converter(filter, encoding='utf-8', errors='strict')\n--\n\n"
    "Converts an input given in pieces of any size, in memory bounded by the\n"
    "piece size. feed() each piece, then finish(): the bytes they return,\n"
    "joined, are what convert_bytes() gives for the whole input. A converter\n"
    "is used by one thread at a time; another thread's call while one runs\n"
    "raises RuntimeError.";

PyType_Slot kConverterSlots[] = {
    {Py_tp_doc, const_cast<char*>(kConverterDoc)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(ConverterInit)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ConverterDealloc)},
    {Py_tp_methods, kConverterMethods},
    {Py_tp_getset, kConverterGetters},
    {0, nullptr},
};

PyType_Spec kConverterSpec = {"tobble.Converter", sizeof(ConverterObject), 0, Py_TPFLAGS_DEFAULT,
                              kConverterSlots};

// The filters in table order, as (name, key, English name) tuples.
PyObject* FilterTuples() {
  size_t count = tobble_filter_count();
  PyObject* filters = PyTuple_New(static_cast<Py_ssize_t>(count));
  if (filters == nullptr) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    const tobble_filter* filter = tobble_filter_at(i);
    char key = tobble_filter_key(filter);
    PyObject* entry = Py_BuildValue("(ss#s)", tobble_filter_name(filter), &key, Py_ssize_t{1},
                                    tobble_filter_name_en(filter));
    if (entry == nullptr) {
      Py_DECREF(filters);
      return nullptr;
    }
    PyTuple_SET_ITEM(filters, static_cast<Py_ssize_t>(i), entry);
  }
  return filters;
}

PyMethodDef kModuleMethods[] = {
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Convert)), METH_FASTCALL,
     PyDoc_STR("convert(filter, text, /)\n--\n\n"
               "Converts a str with the filter named by its export name.\n\n"
               "Exact for every str: a code point above U+FFFF is a surrogate pair in\n"
               "UTF-16, and any surrogate code point (U+D800 to U+DFFF) is the unit of\n"
               "its own value, in and out. A high surrogate directly followed by a low\n"
               "one is a pair in UTF-16, and comes back as the one character it\n"
               "encodes.")},
    {"convert_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ConvertBytes)),
     METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("convert_bytes(filter, data, encoding='utf-8', errors='strict')\n--\n\n"
               "Converts encoded bytes; the result is in the same encoding.\n\n"
               "encoding is 'utf-8', 'utf-16le' or 'utf-16be'. A lone surrogate that a\n"
               "filter writes cannot be UTF-8 and becomes U+FFFD there; UTF-16 carries\n"
               "it exactly. With errors='strict', invalid input raises\n"
               "UnicodeDecodeError whose start is the offset of the first byte of the\n"
               "invalid sequence; with errors='replace' it becomes U+FFFD, one for\n"
               "each maximal subpart of an ill-formed UTF-8 sequence.")},
    {"_convert_whole",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ConvertWholeForTests)),
     METH_FASTCALL,
     PyDoc_STR("_convert_whole(filter, text, /)\n--\n\n"
               "convert() the plain way, the whole text at once; for the tests.")},
    {"_convert_sliced",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ConvertSlicedForTests)),
     METH_FASTCALL,
     PyDoc_STR("_convert_sliced(filter, text, /)\n--\n\n"
               "convert() the way it takes for large texts, slice by slice, for\n"
               "texts of any length; for the tests.")},
    {"_filters", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(FilterTuples)),
     METH_NOARGS, PyDoc_STR("The filters as (name, key, English name) tuples, in table order.")},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tobble._tobble",
    PyDoc_STR("The tobble library's conversions; use them through the tobble package."),
    -1,
    kModuleMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tobble(void) {
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  PyObject* converter_type = PyType_FromSpec(&kConverterSpec);
  bool added = converter_type != nullptr &&
               PyModule_AddObjectRef(module, "Converter", converter_type) == 0 &&
               PyModule_AddStringConstant(module, "library_version", tobble_version()) == 0 &&
               PyModule_AddIntConstant(module, "RELEASE_GIL_BYTES", kReleaseGilBytes) == 0;
  Py_XDECREF(converter_type);
  if (!added) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
