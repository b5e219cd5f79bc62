// Threads and signals: long conversions run with the GIL released, and stop
// for Ctrl-C.
#ifndef TOBBLE_PYTHON_THREADS_H_
#define TOBBLE_PYTHON_THREADS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>

#include <chrono>

namespace tobble_python {

// Inputs above this many bytes are converted with the GIL released, so that
// other threads run meanwhile; below it releasing costs more than it gives.
constexpr size_t kReleaseGilBytes = 4096;

// Notes the thread Python runs signal handlers in. Called when the module
// is made; false with an exception set.
bool FindMainThread();

// Releases the GIL for its lifetime, for a conversion that works in slices
// and calls Continue() between them. In the main thread Continue() takes the
// GIL back for a moment every few hundredths of a second and runs Python's
// signal handlers, so that Ctrl-C stops the conversion soon; other threads
// run no handlers and never take the GIL back.
class GilReleased {
 public:
  GilReleased();
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;
  ~GilReleased();

  // False once a signal handler raised (KeyboardInterrupt, say): the
  // conversion is to stop; the exception is set for when the GIL is back.
  bool Continue();

  bool interrupted() const { return interrupted_; }

 private:
  PyThreadState* state_;
  bool checks_signals_;
  bool interrupted_ = false;
  std::chrono::steady_clock::time_point next_check_;
};

}  // namespace tobble_python

#endif  // TOBBLE_PYTHON_THREADS_H_
