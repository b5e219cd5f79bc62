// Large results and the pages they are written into.
#include "python/src/pages.h"

#include <stdint.h>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
// Linux 6.1's, which the C library's headers may not know yet; older
// kernels refuse it.
#ifndef MADV_COLLAPSE
#define MADV_COLLAPSE 25
#endif
#endif

namespace tobble_python {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// Below a few huge pages there is little to gain.
constexpr size_t kLeastBytes = 2 * kHugePage;
// What the allocator adds to a large block, at most.
constexpr size_t kAllocatorBytes = 64;

}  // namespace

size_t HugePageSize(size_t bytes) {
  if (bytes < kLeastBytes || bytes > SIZE_MAX - 2 * kHugePage) return bytes;
  return (bytes + kAllocatorBytes + kHugePage - 1) / kHugePage * kHugePage - kAllocatorBytes;
}

void AdviseHugePages(void* data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < kLeastBytes) return;
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  // The whole pages the buffer touches. A buffer this large is a mapping
  // of its own, which this covers (but, rarely, for the allocator's last
  // few bytes): advice on part of a mapping splits it, and the parts could
  // no longer grow or shrink in place.
  uintptr_t start = reinterpret_cast<uintptr_t>(data) & ~(page - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes + page - 1) & ~(page - 1);
  // Advice only: when it is refused, the pages are ordinary ones.
  if (madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE) != 0) return;
  // The object's header was written already, in a small page, which
  // keeps the rest of its huge page small too: made huge now, it saves
  // hundreds of faults.
  if (start % kHugePage == 0) madvise(reinterpret_cast<void*>(start), kHugePage, MADV_COLLAPSE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace tobble_python
