// convert(): a str converted through this thread's slice buffers, which stay
// in the processor's cache.
#include "python/src/convert.h"

#include <stdint.h>
#include <string.h>

#include "include/tobble.h"
#include "python/src/arguments.h"
#include "python/src/threads.h"
#include "python/src/units.h"

namespace tobble_python {
namespace {

// The sliced conversion's input slice in units: its output (at most
// tobble_output_bound of it, 9 units a unit) stays in the processor's
// cache, and a 64 KiB text is one slice.
constexpr size_t kSliceUnits = 32 * 1024;

// The most a thread keeps for writing results into before they are copied
// into a str of their own size; larger ones are written into their str.
constexpr size_t kStagingBytes = size_t{4} << 20;

// A call's input and output slice buffers.
class SliceBuffers {
 public:
  static constexpr size_t kInRoom = kSliceUnits + TOBBLE_MAX_TAIL;

  SliceBuffers() = default;
  SliceBuffers(const SliceBuffers&) = delete;
  SliceBuffers& operator=(const SliceBuffers&) = delete;
  ~SliceBuffers() { PyMem_RawFree(in_); }

  // Allocates the buffers unless they are; false when memory ran out. No
  // Python API.
  bool Ready() {
    if (in_ != nullptr) return true;
    size_t out_room = 0;
    for (size_t i = 0; i < tobble_filter_count(); ++i) {
      size_t bound = tobble_output_bound(tobble_filter_at(i), kInRoom);
      out_room = bound > out_room ? bound : out_room;
    }
    in_ = static_cast<uint16_t*>(PyMem_RawMalloc((kInRoom + out_room) * 2));
    out_room_ = out_room;
    return in_ != nullptr;
  }

  uint16_t* in() { return in_; }
  uint16_t* out() { return in_ + kInRoom; }
  size_t out_room() const { return out_room_; }

  // Results of up to kStagingBytes are written here first (StrBuilder).
  StagingBuffer staging;

 private:
  uint16_t* in_ = nullptr;
  size_t out_room_ = 0;
};

// A text's units a slice at a time: a str of two bytes a code point is
// UTF-16 already and is read where it is; any other is widened into the
// slice buffer, behind the unread tail of the slice before. No Python API.
class SliceSource {
 public:
  SliceSource(PyObject* text, uint16_t* buffer) : reader_(text), buffer_(buffer) {
    if (PyUnicode_KIND(text) == PyUnicode_2BYTE_KIND) {
      units_ = PyUnicode_2BYTE_DATA(text);
      length_ = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    }
  }

  // The next slice, *n units, and whether it ends the text.
  const uint16_t* Next(size_t* n, int* last) {
    if (units_ != nullptr) {
      *n = length_ - at_ < kSliceUnits ? length_ - at_ : kSliceUnits;
      *last = at_ + *n == length_;
      return units_ + at_;
    }
    *n = held_ + reader_.Read(buffer_ + held_, SliceBuffers::kInRoom - held_);
    *last = reader_.done();
    return buffer_;
  }

  // Notes that the conversion read `read` of the slice's n units; false
  // when it left more than the library ever leaves, which would mean no
  // progress.
  bool Consumed(size_t read, size_t n) {
    if (n - read > TOBBLE_MAX_TAIL) return false;
    if (units_ != nullptr) {
      at_ += read;
    } else {
      held_ = n - read;
      memmove(buffer_, buffer_ + read, held_ * sizeof(uint16_t));
    }
    return true;
  }

 private:
  UnitReader reader_;
  uint16_t* buffer_;
  const uint16_t* units_ = nullptr;  // a two-byte str's own units
  size_t length_ = 0;
  size_t at_ = 0;
  size_t held_ = 0;
};

// How much room a result gets each time it needs more.
class RoomPolicy {
 public:
  // For a text of `units` units (at most); `least` gives only the room the
  // output needs, slice by slice, for the tests.
  RoomPolicy(const tobble_filter* filter, size_t units, bool least)
      : units_(units), bound_(tobble_output_bound(filter, units)), least_(least) {}

  // The room for the builder's output so far and `written` code points
  // more, the conversion of the text's first `read` units.
  size_t Room(const StrBuilder& builder, size_t read, size_t written) const {
    size_t needed = builder.length() + written;
    if (least_) return needed;
    size_t room;
    if (!builder.started()) {
      // The text's output grows as its first slice's did, give or take an
      // eighth; but of more than twice the text's units, only
      // kUpFrontRoom is taken at once, so that a conversion stopped early
      // took little.
      room = read > 0 ? written * (units_ / read) + written : bound_;
      room += room / 8;
      size_t cap = 2 * units_ > kUpFrontRoom ? 2 * units_ : kUpFrontRoom;
      room = room < cap ? room : cap;
    } else {
      room = 2 * builder.room();
    }
    // Never more than any output can take, nor less than this one needs.
    if (bound_ > 0 && room > bound_) room = bound_;
    return room > needed ? room : needed;
  }

 private:
  static constexpr size_t kUpFrontRoom = size_t{64} << 20;
  size_t units_;
  size_t bound_;  // 0 when it does not fit a size_t
  bool least_;
};

// Converts slice by slice into the builder, with the GIL released but for
// the builder's allocations. Stops early when a signal handler raised or
// the builder could not grow: then *raised is set, and so is the
// exception.
tobble_status ConvertSlices(const tobble_filter* filter, PyObject* text, const RoomPolicy& policy,
                            SliceBuffers* buffers, StrBuilder* builder, bool* raised) {
  GilReleased gil;
  SliceSource source(text, buffers->in());
  *raised = false;
  size_t total_read = 0;
  while (true) {
    size_t n;
    int last;
    const uint16_t* in = source.Next(&n, &last);
    size_t read = 0;
    size_t written = 0;
    tobble_status status =
        tobble_convert(filter, in, n, buffers->out(), buffers->out_room(), last, &read, &written);
    if (status != TOBBLE_OK) return status;
    total_read += read;
    if (!builder->Append(buffers->out(), written)) {
      size_t room = policy.Room(*builder, total_read, written);
      if (!gil.WithGil([&] { return builder->Reserve(buffers->out(), written, room); })) {
        *raised = true;
        return TOBBLE_OK;
      }
      // Reserve made the room and storage the units need.
      if (!builder->Append(buffers->out(), written)) return TOBBLE_ERROR_CAPACITY;
    }
    if (last) return TOBBLE_OK;
    if (!gil.Continue()) {
      *raised = true;
      return TOBBLE_OK;
    }
    if (!source.Consumed(read, n)) return TOBBLE_ERROR_CAPACITY;
  }
}

// Converts in one pass, slice by slice, straight into the result. With
// `least`, the result is given only the room it needs, slice by slice.
PyObject* ConvertSliced(const tobble_filter* filter, PyObject* text, bool least) {
  // Kept from call to call: a conversion into fresh memory pays a page
  // fault every 4 KiB, which costs more than converting what fills it.
  KeptLease<SliceBuffers> lease;
  SliceBuffers* buffers = lease.get();
  if (!buffers->Ready()) return PyErr_NoMemory();
  size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  // A code point above U+FFFF is two units.
  size_t units = PyUnicode_KIND(text) == PyUnicode_4BYTE_KIND ? 2 * length : length;
  RoomPolicy policy(filter, units, least);
  // The tests' way goes from the staging buffer to a str of its own early.
  StrBuilder builder(&buffers->staging, least ? kSliceUnits : kStagingBytes);
  bool raised;
  tobble_status status = ConvertSlices(filter, text, policy, buffers, &builder, &raised);
  if (raised) return nullptr;
  if (status != TOBBLE_OK) return RaiseStatus(status);
  return builder.Finish();
}

// Converts a text of at most one slice once, through the slice buffers; with the GIL released for
// more than kReleaseGilBytes of units.
PyObject* ConvertOneSlice(const tobble_filter* filter, PyObject* text) {
  KeptLease<SliceBuffers> lease;
  SliceBuffers* buffers = lease.get();
  if (!buffers->Ready()) return PyErr_NoMemory();
  bool release = static_cast<size_t>(PyUnicode_GET_LENGTH(text)) * 2 > kReleaseGilBytes;
  size_t written = 0;
  tobble_status status;
  StrShape shape{0, 0};
  {
    PyThreadState* state = release ? PyEval_SaveThread() : nullptr;
    const uint16_t* in;
    size_t n;
    if (PyUnicode_KIND(text) == PyUnicode_2BYTE_KIND) {
      in = PyUnicode_2BYTE_DATA(text);
      n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    } else {
      UnitReader reader(text);
      n = reader.Read(buffers->in(), SliceBuffers::kInRoom);
      in = buffers->in();
    }
    status =
        tobble_convert(filter, in, n, buffers->out(), buffers->out_room(), 1, nullptr, &written);
    if (status == TOBBLE_OK) shape = ShapeOf(buffers->out(), written);
    if (release) PyEval_RestoreThread(state);
  }
  if (status != TOBBLE_OK) return RaiseStatus(status);
  PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), shape.max_char);
  if (result == nullptr) return nullptr;
  PyThreadState* state = release ? PyEval_SaveThread() : nullptr;
  FillStr(result, buffers->out(), written);
  if (release) PyEval_RestoreThread(state);
  return result;
}

// The filter and text arguments of convert() and _convert_sliced(); false
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

}  // namespace

PyObject* Convert(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const tobble_filter* filter;
  if (!ConvertArguments("convert", args, nargs, &filter)) return nullptr;
  // At most one slice of units is converted once.
  if (UnitsUpTo(args[1], kSliceUnits) <= kSliceUnits) {
    return ConvertOneSlice(filter, args[1]);
  }
  return ConvertSliced(filter, args[1], false);
}

PyObject* ConvertSlicedForTests(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const tobble_filter* filter;
  if (!ConvertArguments("_convert_sliced", args, nargs, &filter)) return nullptr;
  // From the least room, so that the result grows and widens on the way.
  return ConvertSliced(filter, args[1], true);
}

}  // namespace tobble_python
