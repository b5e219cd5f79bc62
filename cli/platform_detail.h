// What the Linux and Windows halves of the platform layer share: the names
// of temporary files, the record of the one in use, and single writes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>

#include "cli/platform.h"

namespace tobble::cli::detail {

// One write, at most 1 GiB, as both systems allow.
int64_t WriteSome(int fd, const uint8_t* bytes, size_t n);

// The temporary file of the AtomicFile that is open, for the handlers that
// remove it when the program is stopped; null when there is none. Lock-free,
// so that a signal handler may read it.
extern std::atomic<const NativeString::value_type*> g_temporary;

// The longest file name most file systems take, in bytes (Linux) or UTF-16
// units (Windows), and the most the temporary name adds to the target's:
// ".", ".tobble-", a process number of up to 10 digits, "-" and 6 letters.
constexpr size_t kMaxNameLength = 255;
constexpr size_t kTemporaryExtra = 1 + 8 + 10 + 1 + 6;

// The start of the temporary names for a target named `base` (no folder):
// ".BASE.tobble-", BASE cut at a character boundary so that the whole name
// fits.
template <typename Char>
std::basic_string<Char> TemporaryPrefix(std::basic_string<Char> base) {
  if (base.size() + kTemporaryExtra > kMaxNameLength) {
    size_t cut = kMaxNameLength - kTemporaryExtra;
    if constexpr (sizeof(Char) == 1) {
      while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
    } else {
      if ((base[cut] & 0xFC00) == 0xDC00) --cut;
    }
    base.resize(cut);
  }
  const Char tail[] = {'.', 't', 'o', 'b', 'b', 'l', 'e', '-'};
  return Char('.') + base + std::basic_string<Char>(tail, sizeof tail / sizeof tail[0]);
}

// The process number in a temporary name, `PREFIX` + "PID-XXXXXX"; 0 when
// `name` is not one.
template <typename Char>
uint32_t TemporaryOwner(const std::basic_string<Char>& name,
                        const std::basic_string<Char>& prefix) {
  if (name.size() < prefix.size() + 8 || name.compare(0, prefix.size(), prefix) != 0) return 0;
  const size_t dash = name.size() - 7;
  if (name[dash] != '-' || dash - prefix.size() > 10) return 0;
  uint64_t pid = 0;
  for (size_t k = prefix.size(); k < dash; ++k) {
    if (name[k] < '0' || name[k] > '9') return 0;
    pid = pid * 10 + static_cast<uint64_t>(name[k] - '0');
  }
  return pid <= 0x7FFFFFFF ? static_cast<uint32_t>(pid) : 0;
}

}  // namespace tobble::cli::detail
