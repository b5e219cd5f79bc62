// Bytes through the library's streams: convert_bytes() and Converter.
#ifndef TOBBLE_PYTHON_STREAM_H_
#define TOBBLE_PYTHON_STREAM_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tobble_python {

// convert_bytes(filter, data, encoding='utf-8', errors='strict').
PyObject* ConvertBytes(PyObject* module, PyObject* args, PyObject* kwargs);

// The Converter type, made with PyType_FromSpec.
extern PyType_Spec kConverterSpec;

}  // namespace tobble_python

#endif  // TOBBLE_PYTHON_STREAM_H_
