// The platform layer's parts that Linux and Windows share; the rest is in
// platform_posix.cpp and platform_windows.cpp.
#include <errno.h>
#include <string.h>

#include <utility>

#include "cli/platform.h"
#include "cli/platform_detail.h"

namespace tobble::cli {

namespace detail {

std::atomic<const NativeString::value_type*> g_temporary{nullptr};
static_assert(std::atomic<const NativeString::value_type*>::is_always_lock_free);

}  // namespace detail

bool WriteAll(int fd, const uint8_t* bytes, size_t n) {
  while (n > 0) {
    const int64_t written = detail::WriteSome(fd, bytes, n);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    bytes += written;
    n -= static_cast<size_t>(written);
  }
  return true;
}

void WriteRaw(int fd, const char* text) {
  WriteAll(fd, reinterpret_cast<const uint8_t*>(text), strlen(text));
}

std::string Reason(int error) {
  return strerror(error);
}

bool AtomicFile::Fail(NativeString path, std::string action) {
  const int error = errno;
  Discard();
  failed_path_ = std::move(path);
  failed_action_ = std::move(action);
  errno = error;
  return false;
}

}  // namespace tobble::cli
