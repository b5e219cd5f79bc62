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

// Raises UnicodeDecodeError for invalid input, as Python's own codecs do:
// `object` (n bytes) is the stretch of input the error was found in, and the
// invalid sequence (in UTF-8 its maximal subpart, in UTF-16 the odd last
// byte) begins at byte `start` of it. Two attributes are added: offset, the
// sequence's offset in the whole input (as the tool reports it, and in the
// message), and output, the bytes converted before the error (`output`, or
// empty when null).
PyObject* RaiseInvalidInput(tobble_encoding encoding, const char* object, Py_ssize_t n,
                            Py_ssize_t start, uint64_t offset, PyObject* output);

// Gets a bytes-like argument as one contiguous buffer: any object with the
// buffer protocol, read in its logical order (a strided view through a
// contiguous copy). TypeError for str and for other objects.
bool GetBytes(PyObject* data, Py_buffer* view);

}  // namespace tobble_python

#endif  // TOBBLE_PYTHON_ARGUMENTS_H_
