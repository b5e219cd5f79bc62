// A native stand-in for the Windows functions the plug-in boundary calls,
// so the exports run under the sanitizers and their failures can be forced.
#pragma once

#include <cstddef>
#include <string>

namespace tobble::testing::win32_double {

struct State {
  int fail_allocations = 0;  // the next this many GlobalAlloc calls fail
  int fail_locks = 0;        // the next this many GlobalLock calls fail
  int live_blocks = 0;       // allocated and not yet freed
  int message_boxes = 0;
  void* message_box_owner = nullptr;
  std::string message_box_text;
  std::string message_box_caption;
  unsigned message_box_type = 0;
};

// The double's state; tests reset it with `state() = {}`.
State& state();

// A block's size in bytes and lock count, as GlobalSize and GlobalFlags give.
size_t BlockSize(void* block);
int LockCount(void* block);

}  // namespace tobble::testing::win32_double
