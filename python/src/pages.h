// Large results and the pages they are written into.
#ifndef TOBBLE_PYTHON_PAGES_H_
#define TOBBLE_PYTHON_PAGES_H_

#include <stddef.h>

namespace tobble_python {

// Asks the system to back a large buffer that is about to be written (its
// bytes from data on, all it was allocated with) with huge pages, where it
// can: fresh memory costs a
// page fault each 4 KiB otherwise, which on some machines takes longer than
// converting what fills the page. Only the policy of the pages changes;
// smaller buffers, and systems without it, are left alone.
void AdviseHugePages(void* data, size_t bytes);

// The size to allocate for a large object of at least `bytes` (all its
// bytes, header included): a little short of a whole number of huge pages,
// so that with the allocator's own few bytes its mapping is exactly that
// many, which the system places on a huge page boundary. The pages at its
// ends are then huge too. Smaller sizes come back as they are.
size_t HugePageSize(size_t bytes);

}  // namespace tobble_python

#endif  // TOBBLE_PYTHON_PAGES_H_
