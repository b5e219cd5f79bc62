#include "tests/win32_double.h"

#include <cstdlib>

#include "plugin/platform.h"

namespace tobble::testing::win32_double {
namespace {

// Each block's bytes are a separate allocation of exactly the requested size,
// so AddressSanitizer reports a write one byte past the end.
struct Block {
  void* bytes;
  size_t size;
  int locks;
};

}  // namespace

State& state() {
  static State instance;
  return instance;
}

size_t BlockSize(void* block) {
  return static_cast<Block*>(block)->size;
}
int LockCount(void* block) {
  return static_cast<Block*>(block)->locks;
}

}  // namespace tobble::testing::win32_double

using tobble::testing::win32_double::Block;
using tobble::testing::win32_double::state;

extern "C" {

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) {
  if (flags != GMEM_MOVEABLE) std::abort();  // the boundary asks for nothing else
  if (state().fail_allocations > 0) {
    --state().fail_allocations;
    return nullptr;
  }
  ++state().live_blocks;
  return new Block{std::malloc(bytes == 0 ? 1 : bytes), bytes, 0};
}

void* GlobalLock(HGLOBAL block) {
  if (state().fail_locks > 0) {
    --state().fail_locks;
    return nullptr;
  }
  auto* b = static_cast<Block*>(block);
  ++b->locks;
  return b->bytes;
}

BOOL GlobalUnlock(HGLOBAL block) {
  auto* b = static_cast<Block*>(block);
  if (b->locks == 0) std::abort();
  return --b->locks != 0;
}

HGLOBAL GlobalFree(HGLOBAL block) {
  auto* b = static_cast<Block*>(block);
  std::free(b->bytes);
  delete b;
  --state().live_blocks;
  return nullptr;
}

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  ++state().message_boxes;
  state().message_box_owner = owner;
  state().message_box_text = text;
  state().message_box_caption = caption;
  state().message_box_type = type;
  return 1;
}
}
