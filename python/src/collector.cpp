// A stream's output, collected in blocks and returned as bytes.
#include "python/src/collector.h"

#include <string.h>

#include <new>

#include "python/src/threads.h"

namespace tobble_python {

int Collector::Write(void* context, const uint8_t* data, size_t n) {
  Collector* self = static_cast<Collector*>(context);
  try {
    self->Append(reinterpret_cast<const char*>(data), n);
    return 0;
  } catch (const std::bad_alloc&) {
    self->out_of_memory = true;
    return 1;
  }
}

PyObject* Collector::Take() {
  if (blocks_.size() <= 1) {
    PyObject* result = PyBytes_FromStringAndSize(blocks_.empty() ? "" : blocks_[0].data(),
                                                 static_cast<Py_ssize_t>(size_));
    Clear();
    return result;
  }
  PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size_));
  bool interrupted = false;
  if (result != nullptr) {
    char* out = PyBytes_AS_STRING(result);
    GilReleased gil;
    for (const std::string& block : blocks_) {
      memcpy(out, block.data(), block.size());
      out += block.size();
      if (!gil.Continue()) break;
    }
    interrupted = gil.interrupted();
  }
  Clear();
  if (interrupted) Py_CLEAR(result);
  return result;
}

void Collector::Clear() {
  if (blocks_.size() > 1) blocks_.resize(1);
  if (!blocks_.empty()) blocks_[0].clear();
  size_ = 0;
}

void Collector::Trim() {
  Clear();
  if (!blocks_.empty() && blocks_[0].capacity() > kBlockBytes) std::string().swap(blocks_[0]);
}

void Collector::Append(const char* data, size_t n) {
  if (blocks_.empty()) blocks_.emplace_back();
  std::string* last = &blocks_.back();
  if (last->size() + n > last->capacity() && last->size() + n > kBlockBytes) {
    blocks_.emplace_back();
    last = &blocks_.back();
    last->reserve(n > kBlockBytes ? n : kBlockBytes);
  }
  last->append(data, n);
  size_ += n;
}

}  // namespace tobble_python
