// The one block of memory each stream lives in.
#pragma once

#include <stddef.h>

namespace tobble::lib {

// A block of `size` bytes, aligned to at least 64, or null when the system
// has no memory to give; never throws. On Linux it asks for huge pages: one
// page fault for the whole block instead of one every 4 KiB.
void* AllocateBlock(size_t size);

// Frees a block from AllocateBlock of that size; null is ignored.
void FreeBlock(void* block, size_t size);

}  // namespace tobble::lib
