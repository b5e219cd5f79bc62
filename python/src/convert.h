// convert(): a str to a str.
#ifndef TOBBLE_PYTHON_CONVERT_H_
#define TOBBLE_PYTHON_CONVERT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tobble_python {

// convert(filter, text): at most one slice of units converted once, more
// slice by slice.
PyObject* Convert(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _convert_sliced(filter, text): the slice by slice way for texts of any
// length, for the tests.
PyObject* ConvertSlicedForTests(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tobble_python

#endif  // TOBBLE_PYTHON_CONVERT_H_
