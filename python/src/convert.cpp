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

 private:
  uint16_t* in_ = nullptr;
  size_t out_room_ = 0;
};

// Runs the filter over the text a slice at a time, handing each slice's
// output to sink(units, n); stops early (with TOBBLE_OK) when `gil` says
// a signal handler raised. No Python API.
template <typename Sink>
tobble_status ForEachSlice(const tobble_filter* filter, PyObject* text, SliceBuffers* buffers,
                           Sink& sink, GilReleased& gil) {
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
    if (last || !gil.Continue()) return TOBBLE_OK;
    held = n - read;
    // The library leaves at most TOBBLE_MAX_TAIL units unread; more would
    // mean no progress.
    if (held > TOBBLE_MAX_TAIL) return TOBBLE_ERROR_CAPACITY;
    memmove(in, in + read, held * sizeof(uint16_t));
  }
}

// One pass of ForEachSlice with the GIL released. Null with the exception
// set when the pass failed or a signal handler raised; otherwise `text`.
template <typename Sink>
PyObject* SlicePass(const tobble_filter* filter, PyObject* text, SliceBuffers* buffers,
                    Sink& sink) {
  tobble_status status;
  bool interrupted;
  {
    GilReleased gil;
    status = ForEachSlice(filter, text, buffers, sink, gil);
    interrupted = gil.interrupted();
  }
  if (interrupted) return nullptr;
  if (status != TOBBLE_OK) return RaiseStatus(status);
  return text;
}

// Converts in slices: a first pass finds the result's length and storage, a
// second converts again straight into the new str. Converting twice costs
// less than writing, and reading back, an intermediate buffer many times the
// text's size. With the GIL released throughout but for the str's
// allocation.
PyObject* ConvertSliced(const tobble_filter* filter, PyObject* text) {
  // Kept from call to call: a conversion into fresh memory pays a page
  // fault every 4 KiB, which costs more than converting what fills it.
  KeptLease<SliceBuffers> lease;
  SliceBuffers* buffers = lease.get();
  if (!buffers->Ready()) return PyErr_NoMemory();
  ShapeCounter counter;
  if (SlicePass(filter, text, buffers, counter) == nullptr) return nullptr;
  StrShape shape = counter.shape();
  PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), shape.max_char);
  if (result == nullptr) return nullptr;
  StrFiller filler{result};
  if (SlicePass(filter, text, buffers, filler) == nullptr) {
    Py_DECREF(result);
    return nullptr;
  }
  if (filler.at != shape.length) {
    Py_DECREF(result);
    return RaiseStatus(TOBBLE_ERROR_CAPACITY);
  }
  return result;
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
    UnitReader reader(text);
    size_t n = reader.Read(buffers->in(), SliceBuffers::kInRoom);
    status = tobble_convert(filter, buffers->in(), n, buffers->out(), buffers->out_room(), 1,
                            nullptr, &written);
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
  return ConvertSliced(filter, args[1]);
}

PyObject* ConvertSlicedForTests(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const tobble_filter* filter;
  if (!ConvertArguments("_convert_sliced", args, nargs, &filter)) return nullptr;
  return ConvertSliced(filter, args[1]);
}

}  // namespace tobble_python
