// tobble._tobble: the Python extension over the library's C interface
// (include/tobble.h), written against the CPython C API directly, so that a
// call on a short string costs a few tens of nanoseconds of argument work.
// This file holds the module's table; convert.cpp, stream.cpp, units.cpp and
// arguments.cpp the rest.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "include/tobble.h"
#include "python/src/convert.h"
#include "python/src/stream.h"
#include "python/src/threads.h"
#include "python/src/units.h"

namespace tobble_python {
namespace {

PyObject* ChooseShufflesForTests(PyObject*, PyObject* wanted) {
  int truth = PyObject_IsTrue(wanted);
  if (truth < 0) return nullptr;
  return PyBool_FromLong(ChooseShuffles(truth != 0));
}

// The filters in table order, as (name, key, English name) tuples.
PyObject* FilterTuples() {
  size_t count = tobble_filter_count();
  PyObject* filters = PyTuple_New(static_cast<Py_ssize_t>(count));
  if (filters == nullptr) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    const tobble_filter* filter = tobble_filter_at(i);
    char key = tobble_filter_key(filter);
    PyObject* entry = Py_BuildValue("(ss#s)", tobble_filter_name(filter), &key, Py_ssize_t{1},
                                    tobble_filter_name_en(filter));
    if (entry == nullptr) {
      Py_DECREF(filters);
      return nullptr;
    }
    PyTuple_SET_ITEM(filters, static_cast<Py_ssize_t>(i), entry);
  }
  return filters;
}

PyMethodDef kModuleMethods[] = {
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Convert)), METH_FASTCALL,
     PyDoc_STR("convert(filter, text, /)\n--\n\n"
               "Converts a str with the filter named by its export name.\n\n"
               "Exact for every str: a code point above U+FFFF is a surrogate pair in\n"
               "UTF-16, and any surrogate code point (U+D800 to U+DFFF) is the unit of\n"
               "its own value, in and out. A high surrogate directly followed by a low\n"
               "one is a pair in UTF-16, and comes back as the one character it\n"
               "encodes.")},
    {"convert_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ConvertBytes)),
     METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("convert_bytes(filter, data, encoding='utf-8', errors='strict')\n--\n\n"
               "Converts encoded bytes; the result is in the same encoding.\n\n"
               "encoding is 'utf-8', 'utf-16le' or 'utf-16be'. A lone surrogate that a\n"
               "filter writes cannot be UTF-8 and becomes U+FFFD there; UTF-16 carries\n"
               "it exactly. With errors='strict', invalid input raises\n"
               "UnicodeDecodeError: start (also its offset) and end locate the\n"
               "invalid sequence in data, and its output holds the bytes converted\n"
               "before it. With errors='replace' it becomes U+FFFD, one for each\n"
               "maximal subpart of an ill-formed UTF-8 sequence.")},
    {"_convert_sliced",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ConvertSlicedForTests)),
     METH_FASTCALL,
     PyDoc_STR("_convert_sliced(filter, text, /)\n--\n\n"
               "convert() the way it takes for large texts, slice by slice, for\n"
               "texts of any length, its result given only the room each slice\n"
               "needs, so that it grows and widens on the way; for the tests.")},
    {"_choose_shuffles",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ChooseShufflesForTests)), METH_O,
     PyDoc_STR("_choose_shuffles(wanted, /)\n--\n\n"
               "Strs stored four bytes a code point are read, and results holding\n"
               "surrogate pairs written, by the SSSE3 loops (where the processor has\n"
               "SSSE3) or by the plain ones from now on; returns whether the SSSE3\n"
               "loops are taken. For the tests.")},
    {"_filters", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(FilterTuples)),
     METH_NOARGS, PyDoc_STR("The filters as (name, key, English name) tuples, in table order.")},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tobble._tobble",
    PyDoc_STR("The tobble library's conversions; use them through the tobble package."),
    -1,
    kModuleMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tobble_python

PyMODINIT_FUNC PyInit__tobble(void) {
  if (!tobble_python::FindMainThread()) return nullptr;
  PyObject* module = PyModule_Create(&tobble_python::kModule);
  if (module == nullptr) return nullptr;
  PyObject* converter_type = PyType_FromSpec(&tobble_python::kConverterSpec);
  bool added =
      converter_type != nullptr &&
      PyModule_AddObjectRef(module, "Converter", converter_type) == 0 &&
      PyModule_AddStringConstant(module, "library_version", tobble_version()) == 0 &&
      PyModule_AddIntConstant(module, "RELEASE_GIL_BYTES", tobble_python::kReleaseGilBytes) == 0;
  Py_XDECREF(converter_type);
  if (!added) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
