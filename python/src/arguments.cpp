// The extension's argument checks and the exceptions it raises.
#include "python/src/arguments.h"

#include <string.h>

#include <string>

namespace tobble_python {
namespace {

PyObject* UnknownFilter(PyObject* name) {
  std::string names;
  for (size_t i = 0; i < tobble_filter_count(); ++i) {
    if (i > 0) names += ", ";
    names += tobble_filter_name(tobble_filter_at(i));
  }
  return PyErr_Format(PyExc_ValueError, "unknown filter %R; the filters are: %s", name,
                      names.c_str());
}

// The length of the maximal subpart of an ill-formed UTF-8 sequence at
// bytes[0] (n > 0 bytes on): the longest start of a well-formed sequence
// there, or its one byte when no sequence starts with it. The same bytes
// Python's decoder reports, and one U+FFFD in replace mode.
size_t MaximalSubpart(const uint8_t* bytes, size_t n) {
  uint8_t lead = bytes[0];
  size_t need;
  uint8_t low = 0x80;  // the range of the byte after the lead
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong form
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 1;
  }
  size_t length = 1;
  while (length < need && length < n && bytes[length] >= low && bytes[length] <= high) {
    ++length;
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

}  // namespace

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

PyObject* RaiseInvalidInput(tobble_encoding encoding, const char* object, Py_ssize_t n,
                            Py_ssize_t start, uint64_t offset, PyObject* output) {
  if (start < 0 || start >= n) start = n > 0 ? n - 1 : 0;  // never, but stay inside
  Py_ssize_t length = 1;
  if (encoding == TOBBLE_UTF8 && start < n) {
    length = static_cast<Py_ssize_t>(
        MaximalSubpart(reinterpret_cast<const uint8_t*>(object) + start, n - start));
  }
  std::string reason = std::string("invalid ") + tobble_encoding_name(encoding) + " at byte " +
                       std::to_string(static_cast<unsigned long long>(offset));
  PyObject* error =
      PyUnicodeDecodeError_Create(CodecName(encoding), object == nullptr ? "" : object, n, start,
                                  start + length, reason.c_str());
  if (error == nullptr) return nullptr;
  PyObject* where = PyLong_FromUnsignedLongLong(offset);
  PyObject* before = output != nullptr ? Py_NewRef(output) : PyBytes_FromStringAndSize("", 0);
  if (where != nullptr && before != nullptr &&
      PyObject_SetAttrString(error, "offset", where) == 0 &&
      PyObject_SetAttrString(error, "output", before) == 0) {
    PyErr_SetObject(PyExc_UnicodeDecodeError, error);
  }
  Py_XDECREF(where);
  Py_XDECREF(before);
  Py_DECREF(error);
  return nullptr;
}

bool GetBytes(PyObject* data, Py_buffer* view) {
  if (PyUnicode_Check(data)) {
    PyErr_SetString(PyExc_TypeError, "data must be bytes-like, not str (encode it first)");
    return false;
  }
  if (!PyObject_CheckBuffer(data)) {
    PyErr_Format(PyExc_TypeError, "data must be bytes-like, not %.100s", Py_TYPE(data)->tp_name);
    return false;
  }
  if (PyObject_GetBuffer(data, view, PyBUF_SIMPLE) == 0) return true;
  if (!PyErr_ExceptionMatches(PyExc_BufferError)) return false;
  // Not contiguous: bytes() copies it in its logical order, and the view
  // keeps the copy alive until it is released.
  PyErr_Clear();
  PyObject* copy = PyBytes_FromObject(data);
  if (copy == nullptr) return false;
  int got = PyObject_GetBuffer(copy, view, PyBUF_SIMPLE);
  Py_DECREF(copy);
  return got == 0;
}

}  // namespace tobble_python
