#include "lib/memory.h"

#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sys/mman.h>
#else
#include <stdlib.h>
#endif

namespace tobble::lib {

#if defined(_WIN32)

void* AllocateBlock(size_t size) {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeBlock(void* block, size_t) {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

#elif defined(__linux__)

namespace {

constexpr size_t kHugePage = 2 << 20;

// Precondition: size <= SIZE_MAX - kHugePage.
size_t HugePages(size_t size) {
  return (size + kHugePage - 1) / kHugePage * kHugePage;
}

}  // namespace

void* AllocateBlock(size_t size) {
  if (size == 0 || size > SIZE_MAX / 2) return nullptr;
  // Mapped with a huge page to spare, and cut to a block that starts on a
  // huge page boundary; the system may still give small pages.
  const size_t rounded = HugePages(size);
  void* mapped = mmap(nullptr, rounded + kHugePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  uint8_t* const first = static_cast<uint8_t*>(mapped);
  uint8_t* const block =
      first + (kHugePage - reinterpret_cast<uintptr_t>(first) % kHugePage) % kHugePage;
  if (block > first) munmap(first, static_cast<size_t>(block - first));
  uint8_t* const end = first + rounded + kHugePage;
  if (end > block + rounded) munmap(block + rounded, static_cast<size_t>(end - block - rounded));
  madvise(block, rounded, MADV_HUGEPAGE);
  return block;
}

void FreeBlock(void* block, size_t size) {
  if (block != nullptr) munmap(block, HugePages(size));
}

#else

void* AllocateBlock(size_t size) {
  return size == 0 ? nullptr : aligned_alloc(64, (size + 63) / 64 * 64);
}

void FreeBlock(void* block, size_t) {
  free(block);
}

#endif

}  // namespace tobble::lib
