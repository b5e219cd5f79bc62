// Threads: long conversions run with the GIL released.
#ifndef TOBBLE_PYTHON_THREADS_H_
#define TOBBLE_PYTHON_THREADS_H_

#include <stddef.h>

namespace tobble_python {

// Inputs above this many bytes are converted with the GIL released, so that
// other threads run meanwhile; below it releasing costs more than it gives.
constexpr size_t kReleaseGilBytes = 4096;

}  // namespace tobble_python

#endif  // TOBBLE_PYTHON_THREADS_H_
