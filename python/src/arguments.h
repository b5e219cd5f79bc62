// The extension's argument checks and the exceptions it raises.
#ifndef TOBBLE_PYTHON_ARGUMENTS_H_
#define TOBBLE_PYTHON_ARGUMENTS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

#include "include/tobble.h"

namespace tobble_python {

// The filter named by `name`, or null with ValueError or TypeError set.
const tobble_filter* FindFilter(PyObject* name);

// Python's codec name for each tobble_encoding, for UnicodeDecodeError.
const char* CodecName(tobble_encoding encoding);

// Reads the encoding and errors arguments of convert_bytes() and Converter.
// Either may be null for its default. False with an exception set.
bool ParseStreamOptions(PyObject* encoding_arg, PyObject* errors_arg, tobble_encoding* encoding,
                        unsigned* flags);

// Raises the exception for a failed library call other than invalid input.
PyObject* RaiseStatus(tobble_status status);

// Raises UnicodeDecodeError for invalid input at byte `offset` of the whole
// input; `bytes` is the piece the error was found in. start is the offset in
// the whole input, as the tool reports it (so for a Converter it may lie
// beyond the piece); end is one byte after it.
PyObject* RaiseInvalidInput(tobble_encoding encoding, const char* bytes, Py_ssize_t n,
                            uint64_t offset);

// Gets a bytes-like argument as a contiguous buffer. TypeError for str.
bool GetBytes(PyObject* data, Py_buffer* view);

}  // namespace tobble_python

#endif  // TOBBLE_PYTHON_ARGUMENTS_H_
