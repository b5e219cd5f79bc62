// A stream's output, collected as the stream writes it.
#ifndef TOBBLE_PYTHON_COLLECTOR_H_
#define TOBBLE_PYTHON_COLLECTOR_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace tobble_python {

// Collects a stream's output in blocks that stay where they are once
// written: growing one buffer would copy all the output so far at each
// doubling, for gigabytes of output a long stretch that Ctrl-C cannot stop.
// Write is called with the GIL released, so it uses no Python API.
class Collector {
 public:
  bool out_of_memory = false;

  // The stream's write callback; `context` is the collector.
  static int Write(void* context, const uint8_t* data, size_t n);

  // The collected bytes as a bytes object, leaving the collector empty. Null
  // with the exception set: MemoryError, or KeyboardInterrupt, since output
  // of several blocks is copied with the GIL released.
  PyObject* Take();

  // Drops what was collected.
  void Clear();

  // Clears, and gives back memory beyond one block, so that a collector
  // kept from call to call does not hold on to the largest output it saw.
  void Trim();

 private:
  // The first block grows up to this size; each later one is made this
  // size (or the size of a larger write) at once.
  static constexpr size_t kBlockBytes = 1 << 20;

  void Append(const char* data, size_t n);

  std::vector<std::string> blocks_;
  size_t size_ = 0;
};

}  // namespace tobble_python

#endif  // TOBBLE_PYTHON_COLLECTOR_H_
