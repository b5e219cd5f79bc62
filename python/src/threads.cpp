// Threads and signals: the GIL released for long conversions, and taken back
// briefly to let Ctrl-C through.
#include "python/src/threads.h"

namespace tobble_python {
namespace {

// How often a conversion in the main thread runs the signal handlers: short
// enough that Ctrl-C feels immediate, long enough that taking the GIL back
// (a wait of up to the switch interval while other threads hold it) costs
// little.
constexpr std::chrono::milliseconds kSignalCheckInterval{25};

unsigned long main_thread = 0;

}  // namespace

bool FindMainThread() {
  PyObject* threading = PyImport_ImportModule("threading");
  if (threading == nullptr) return false;
  PyObject* thread = PyObject_CallMethod(threading, "main_thread", nullptr);
  Py_DECREF(threading);
  if (thread == nullptr) return false;
  PyObject* ident = PyObject_GetAttrString(thread, "ident");
  Py_DECREF(thread);
  if (ident == nullptr) return false;
  main_thread = PyLong_AsUnsignedLong(ident);
  Py_DECREF(ident);
  return !PyErr_Occurred();
}

GilReleased::GilReleased()
    : checks_signals_(PyThread_get_thread_ident() == main_thread),
      next_check_(std::chrono::steady_clock::now() + kSignalCheckInterval) {
  state_ = PyEval_SaveThread();
}

GilReleased::~GilReleased() {
  PyEval_RestoreThread(state_);
}

bool GilReleased::Continue() {
  if (interrupted_) return false;
  if (!checks_signals_) return true;
  auto now = std::chrono::steady_clock::now();
  if (now < next_check_) return true;
  PyEval_RestoreThread(state_);
  interrupted_ = PyErr_CheckSignals() != 0;
  state_ = PyEval_SaveThread();
  next_check_ = std::chrono::steady_clock::now() + kSignalCheckInterval;
  return !interrupted_;
}

}  // namespace tobble_python
