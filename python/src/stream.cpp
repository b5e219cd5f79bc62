// Bytes through the library's streams: convert_bytes() and Converter. A
// stream's output is collected as it is written and returned as bytes.
#include "python/src/stream.h"

#include <stdint.h>
#include <string.h>

#include <new>
#include <string>

#include "include/tobble.h"
#include "python/src/arguments.h"
#include "python/src/collector.h"
#include "python/src/threads.h"
#include "python/src/units.h"

namespace tobble_python {
namespace {

// A stream and its collector, for convert_bytes(). Each thread keeps one
// from call to call and resets it for the next call with the same filter,
// encoding and errors: a new stream maps its memory afresh, which costs far
// more than converting a short input.
class CachedStream {
 public:
  CachedStream() = default;
  CachedStream(const CachedStream&) = delete;
  CachedStream& operator=(const CachedStream&) = delete;
  ~CachedStream() { tobble_stream_destroy(stream_); }

  // Makes the stream ready for a new input with the options. No Python API.
  tobble_status Prepare(const tobble_filter* filter, tobble_encoding encoding, unsigned flags) {
    tobble_status status;
    if (stream_ != nullptr && filter_ == filter && encoding_ == encoding && flags_ == flags) {
      status = tobble_stream_reset(stream_);
    } else {
      tobble_stream_destroy(stream_);
      stream_ = nullptr;
      status =
          tobble_stream_create(filter, encoding, flags, &Collector::Write, &collector, &stream_);
      filter_ = filter;
      encoding_ = encoding;
      flags_ = flags;
    }
    collector.Clear();
    collector.out_of_memory = false;
    return status;
  }

  tobble_stream* stream() { return stream_; }
  Collector collector;

 private:
  const tobble_filter* filter_ = nullptr;
  tobble_encoding encoding_ = TOBBLE_UTF8;
  unsigned flags_ = 0;
  tobble_stream* stream_ = nullptr;
};

// A text whose output bound is at most this many bytes is converted in one
// call of tobble_convert_bytes(), into memory each thread keeps: straight
// from the caller's bytes, with no stream around it. Larger ones go through
// the stream, which releases the GIL and sees Ctrl-C between slices.
constexpr size_t kOneShotBytes = size_t{1} << 20;

// Converts a short text in one call. Returns the result, or null with the
// exception set; *done is false (and nothing set) when the text is not one
// for this way.
PyObject* ConvertShortBytes(const tobble_filter* filter, tobble_encoding encoding, unsigned flags,
                            const char* data, Py_ssize_t n, bool* done) {
  *done = false;
  const size_t length = static_cast<size_t>(n);
  const size_t bound = tobble_output_bytes_bound(filter, encoding, length);
  if (bound == 0 || bound > kOneShotBytes) return nullptr;
  // Written into memory the thread keeps, then copied into bytes of their
  // own size.
  KeptLease<StagingBuffer> lease;
  if (!lease.get()->Grow(bound)) return nullptr;  // the stream may still manage
  uint8_t* out = static_cast<uint8_t*>(lease.get()->data);
  *done = true;
  size_t written = 0, error_offset = 0;
  tobble_status status;
  if (length <= kReleaseGilBytes) {
    status = tobble_convert_bytes(filter, encoding, flags, data, length, out, bound, &written,
                                  &error_offset);
  } else {
    Py_BEGIN_ALLOW_THREADS;
    status = tobble_convert_bytes(filter, encoding, flags, data, length, out, bound, &written,
                                  &error_offset);
    Py_END_ALLOW_THREADS;
  }
  PyObject* output = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out),
                                               static_cast<Py_ssize_t>(written));
  if (output == nullptr || status == TOBBLE_OK) return output;
  if (status == TOBBLE_ERROR_INVALID_INPUT) {
    // The output converted before the error comes with it.
    RaiseInvalidInput(encoding, data, n, static_cast<Py_ssize_t>(error_offset), error_offset,
                      output);
  } else {
    RaiseStatus(status);
  }
  Py_DECREF(output);
  return nullptr;
}

// The exception for a stream call's status other than invalid input.
PyObject* RaiseStreamFailure(tobble_status status, const Collector& collector) {
  if (status == TOBBLE_ERROR_WRITE && collector.out_of_memory) return PyErr_NoMemory();
  return RaiseStatus(status);
}

// Large inputs are fed this many bytes at a time, so that Ctrl-C is seen
// between them.
constexpr size_t kFeedSliceBytes = 1 << 20;

// Feeds n bytes (and, with `finish`, ends the input), with the GIL released
// for large pieces. Sets *interrupted (and leaves the exception set) when a
// signal handler raised before the piece was all fed.
tobble_status FeedStream(tobble_stream* stream, const char* bytes, size_t n, bool finish,
                         bool* interrupted) {
  *interrupted = false;
  tobble_status status;
  if (n <= kReleaseGilBytes) {
    status = tobble_stream_feed(stream, bytes, n);
    if (status == TOBBLE_OK && finish) status = tobble_stream_finish(stream);
    return status;
  }
  GilReleased gil;
  while (true) {
    size_t slice = n < kFeedSliceBytes ? n : kFeedSliceBytes;
    status = tobble_stream_feed(stream, bytes, slice);
    bytes += slice;
    n -= slice;
    if (status != TOBBLE_OK || n == 0) break;
    if (!gil.Continue()) {
      *interrupted = true;
      return status;
    }
  }
  if (status == TOBBLE_OK && finish) status = tobble_stream_finish(stream);
  return status;
}

}  // namespace

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
  bool done;
  PyObject* short_result = ConvertShortBytes(filter, encoding, flags,
                                             static_cast<const char*>(view.buf), view.len, &done);
  if (done) {
    PyBuffer_Release(&view);
    return short_result;
  }

  KeptLease<CachedStream> lease;
  CachedStream* cached = lease.get();
  tobble_status status = cached->Prepare(filter, encoding, flags);
  PyObject* result = nullptr;
  if (status != TOBBLE_OK) {
    RaiseStatus(status);
  } else {
    const char* data = static_cast<const char*>(view.buf);
    bool interrupted;
    status = FeedStream(cached->stream(), data, static_cast<size_t>(view.len), true, &interrupted);
    if (interrupted) {
      // The exception is set; the collector is trimmed below.
    } else if (status == TOBBLE_OK) {
      result = cached->collector.Take();
    } else if (status == TOBBLE_ERROR_INVALID_INPUT) {
      // The output converted before the error comes with it.
      PyObject* output = cached->collector.Take();
      if (output != nullptr) {
        uint64_t offset = tobble_stream_error_offset(cached->stream());
        RaiseInvalidInput(encoding, data, view.len, static_cast<Py_ssize_t>(offset), offset,
                          output);
        Py_DECREF(output);
      }
    } else {
      RaiseStreamFailure(status, cached->collector);
    }
    cached->collector.Trim();
  }
  PyBuffer_Release(&view);
  return result;
}

namespace {

struct ConverterObject {
  PyObject_HEAD tobble_stream* stream;
  Collector* collector;
  PyObject* filter_name;
  tobble_encoding encoding;
  unsigned flags;
  // Set while a call runs with the GIL released: a stream is used by one
  // thread at a time.
  bool busy;
  // Set when a call stopped part of the way (Ctrl-C, or no memory for its
  // output): the converter takes nothing more until reset().
  bool stopped;
  // Input bytes fed so far, and the last few of them: an invalid sequence
  // cut by the end of a piece is reported with the next piece, and its
  // UnicodeDecodeError shows its bytes from the earlier piece.
  uint64_t fed;
  uint8_t recent[4];
  uint8_t recent_count;
  // Output bytes returned so far, an error's output included.
  uint64_t returned;
};

// Starts the converter's own counts again, for a new input.
void ConverterStartInput(ConverterObject* self) {
  self->collector->Clear();
  self->stopped = false;
  self->fed = 0;
  self->recent_count = 0;
  self->returned = 0;
}

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
  ConverterStartInput(self);
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

// As ConverterReady, for the calls that take input or give output.
bool ConverterTakes(ConverterObject* self) {
  if (!ConverterReady(self)) return false;
  if (self->stopped) {
    PyErr_SetString(PyExc_ValueError,
                    "the converter was stopped part of the way; call reset() to start again");
    return false;
  }
  return true;
}

// The output collected so far, as bytes, counted as returned. When it
// cannot be had (no memory, Ctrl-C) it is lost, and the converter stops.
PyObject* ConverterOutput(ConverterObject* self) {
  PyObject* output = self->collector->Take();
  if (output == nullptr) {
    self->stopped = true;
  } else {
    self->returned += static_cast<uint64_t>(PyBytes_GET_SIZE(output));
  }
  return output;
}

// Notes the n bytes of a piece fed whole.
void ConverterNoteFed(ConverterObject* self, const char* data, size_t n) {
  self->fed += n;
  if (n == 0) return;
  uint8_t joined[sizeof self->recent * 2];
  size_t count = self->recent_count;
  memcpy(joined, self->recent, count);
  size_t tail = n < sizeof self->recent ? n : sizeof self->recent;
  memcpy(joined + count, data + n - tail, tail);
  count += tail;
  size_t keep = count < sizeof self->recent ? count : sizeof self->recent;
  memcpy(self->recent, joined + count - keep, keep);
  self->recent_count = static_cast<uint8_t>(keep);
}

// Raises UnicodeDecodeError for the invalid input found in the piece just
// fed (data, n; empty for finish() and flush()), with the output before it.
// Its object is the piece, or, for a sequence that began in an earlier
// piece, the sequence's bytes from there followed by the piece.
PyObject* ConverterInvalidInput(ConverterObject* self, const char* data, size_t n) {
  uint64_t offset = tobble_stream_error_offset(self->stream);
  PyObject* output = ConverterOutput(self);
  if (output == nullptr) return nullptr;
  if (offset >= self->fed) {
    RaiseInvalidInput(self->encoding, data, static_cast<Py_ssize_t>(n),
                      static_cast<Py_ssize_t>(offset - self->fed), offset, output);
  } else {
    uint64_t back = self->fed - offset;
    size_t earlier = back < self->recent_count ? static_cast<size_t>(back) : self->recent_count;
    std::string object;
    try {
      object.assign(reinterpret_cast<const char*>(self->recent + self->recent_count - earlier),
                    earlier);
      if (n > 0) object.append(data, n);
    } catch (const std::bad_alloc&) {
      Py_DECREF(output);
      return PyErr_NoMemory();
    }
    RaiseInvalidInput(self->encoding, object.data(), static_cast<Py_ssize_t>(object.size()), 0,
                      offset, output);
  }
  Py_DECREF(output);
  return nullptr;
}

// The output of a call that fed the piece (data, n) and ended with
// `status`, or the exception for it.
PyObject* ConverterResult(ConverterObject* self, tobble_status status, const char* data, size_t n) {
  if (status == TOBBLE_ERROR_INVALID_INPUT) return ConverterInvalidInput(self, data, n);
  if (status != TOBBLE_OK) {
    self->collector->Clear();
    return RaiseStreamFailure(status, *self->collector);
  }
  ConverterNoteFed(self, data, n);
  return ConverterOutput(self);
}

// Feeds the piece (empty for finish) and returns the output it completed.
PyObject* ConverterStep(ConverterObject* self, const char* data, size_t n, bool finish) {
  // Busy until the output is taken, which for large output releases the
  // GIL too.
  self->busy = true;
  bool interrupted;
  tobble_status status = FeedStream(self->stream, data, n, finish, &interrupted);
  PyObject* result = nullptr;
  if (interrupted) {
    self->stopped = true;
    self->collector->Clear();
  } else {
    result = ConverterResult(self, status, data, n);
  }
  self->busy = false;
  return result;
}

PyObject* ConverterFeed(ConverterObject* self, PyObject* data) {
  if (!ConverterTakes(self)) return nullptr;
  Py_buffer view;
  if (!GetBytes(data, &view)) return nullptr;
  PyObject* result =
      ConverterStep(self, static_cast<const char*>(view.buf), static_cast<size_t>(view.len), false);
  PyBuffer_Release(&view);
  return result;
}

PyObject* ConverterFinish(ConverterObject* self, PyObject*) {
  if (!ConverterTakes(self)) return nullptr;
  return ConverterStep(self, nullptr, 0, true);
}

PyObject* ConverterFlush(ConverterObject* self, PyObject*) {
  if (!ConverterTakes(self)) return nullptr;
  self->busy = true;
  PyObject* result = ConverterResult(self, tobble_stream_flush(self->stream), nullptr, 0);
  self->busy = false;
  return result;
}

PyObject* ConverterReset(ConverterObject* self, PyObject*) {
  if (!ConverterReady(self)) return nullptr;
  tobble_stream_reset(self->stream);
  ConverterStartInput(self);
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
      value = self->returned;
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
               "far in whole blocks of 256 KiB, all of them in one bytes object (a\n"
               "large piece gives a large result; flush() returns the rest).\n"
               "Output that later input could still change (an escape cut short, a\n"
               "sequence cut by the end of the piece) is held until later input.\n"
               "In strict mode invalid input raises UnicodeDecodeError, as Python's\n"
               "incremental decoders do: start and end locate the invalid sequence in\n"
               "its object (the piece, after the sequence's bytes from earlier pieces\n"
               "when it began there); its offset in the whole input, counted from 0,\n"
               "is the error's offset, and the output before it, which no call\n"
               "returned, is the error's output. The converter then takes nothing\n"
               "more until reset(), as after Ctrl-C stopped a call.")},
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
               "end of a piece) may still become. feed() returns only whole 256 KiB\n"
               "blocks; flush() is for input that arrives slowly.")},
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
     PyDoc_STR("Output bytes returned so far, a UnicodeDecodeError's output included."),
     CountClosure(Count::kBytesOut)},
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

}  // namespace

PyType_Spec kConverterSpec = {"tobble.Converter", sizeof(ConverterObject), 0, Py_TPFLAGS_DEFAULT,
                              kConverterSlots};

}  // namespace tobble_python
