// Bytes through the library's streams: convert_bytes() and Converter. A
// stream's output is collected as it is written and returned as bytes.
#include "python/src/stream.h"

#include <stdint.h>

#include <new>
#include <string>

#include "include/tobble.h"
#include "python/src/arguments.h"
#include "python/src/threads.h"

namespace tobble_python {
namespace {

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

}  // namespace

PyType_Spec kConverterSpec = {"tobble.Converter", sizeof(ConverterObject), 0, Py_TPFLAGS_DEFAULT,
                              kConverterSlots};

}  // namespace tobble_python
