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

// What each thread keeps from call to call (buffers, a stream), lent to one
// call at a time. A call made while this thread's is lent out (a signal
// handler that the first call runs converts too) gets one of its own.
template <typename Kept>
class KeptLease {
 public:
  KeptLease() : kept_(lent_ ? &own_ : &thread_kept_) {
    if (kept_ == &thread_kept_) lent_ = true;
  }
  KeptLease(const KeptLease&) = delete;
  KeptLease& operator=(const KeptLease&) = delete;
  ~KeptLease() {
    if (kept_ == &thread_kept_) lent_ = false;
  }

  Kept* get() { return kept_; }

 private:
  static thread_local Kept thread_kept_;
  static thread_local bool lent_;
  Kept own_;
  Kept* kept_;
};
template <typename Kept>
thread_local Kept KeptLease<Kept>::thread_kept_;
template <typename Kept>
thread_local bool KeptLease<Kept>::lent_ = false;

}  // namespace tobble_python

#endif  // TOBBLE_PYTHON_THREADS_H_
