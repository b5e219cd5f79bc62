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

// Converts in slices: a first pass finds the result's length and storage, a
// second converts again straight into the new str. Converting twice costs
// less than writing, and reading back, an intermediate buffer many times the
// text's size. With the GIL released throughout but for the str's
// allocation.
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
  return ConvertSliced(filter, args[1]);
}

PyObject* ConvertSlicedForTests(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const tobble_filter* filter;
  if (!ConvertArguments("_convert_sliced", args, nargs, &filter)) return nullptr;
  return ConvertSliced(filter, args[1]);
}

}  // namespace tobble_python
