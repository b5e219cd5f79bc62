#include "cli/platform.h"

#include <errno.h>
#include <string.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>

namespace tobble::cli {
namespace {

// One read or write, at most 1 GiB, as both systems allow.
int64_t ReadSome(int fd, uint8_t* buffer, size_t size);
int64_t WriteSome(int fd, const uint8_t* bytes, size_t n);

}  // namespace

#ifdef _WIN32

namespace {

int64_t ReadSome(int fd, uint8_t* buffer, size_t size) {
  return _read(fd, buffer, static_cast<unsigned>(std::min<size_t>(size, 1u << 30)));
}

int64_t WriteSome(int fd, const uint8_t* bytes, size_t n) {
  return _write(fd, bytes, static_cast<unsigned>(std::min<size_t>(n, 1u << 30)));
}

}  // namespace

void PrepareStandardStreams() {
  _setmode(kStandardInput, _O_BINARY);
  _setmode(kStandardOutput, _O_BINARY);
  _setmode(kStandardError, _O_BINARY);
}

std::string ToUtf8(const wchar_t* arg) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, arg, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, arg, -1, &text[0], size, nullptr, nullptr);
  text.pop_back();  // the terminating zero
  return text;
}

int OpenForReading(const wchar_t* name) {
  return _wopen(name, _O_RDONLY | _O_BINARY | _O_SEQUENTIAL);
}

int OpenTemporaryFile() {
  wchar_t directory[MAX_PATH + 1];
  wchar_t path[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, directory);
  if (length == 0 || length > MAX_PATH || GetTempFileNameW(directory, L"tob", 0, path) == 0) {
    errno = EACCES;
    return -1;
  }
  // Deleted by the system when closed, however the program ends.
  const int fd = _wopen(path, _O_RDWR | _O_BINARY | _O_TRUNC | _O_TEMPORARY | _O_SHORT_LIVED);
  if (fd < 0) {
    const int error = errno;
    DeleteFileW(path);
    errno = error;
  }
  return fd;
}

void Close(int fd) {
  _close(fd);
}

void* AllocateBuffers(size_t size) {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeBuffers(void* block, size_t) {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

bool IsRegularFile(int fd) {
  struct _stati64 status;
  return _fstati64(fd, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
}

int64_t Tell(int fd) {
  return _lseeki64(fd, 0, SEEK_CUR);
}

bool Seek(int fd, int64_t position) {
  return _lseeki64(fd, position, SEEK_SET) == position;
}

bool IsBrokenPipe(int error) {
  return error == EPIPE;
}

bool WriteText(int fd, const std::string& text) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    DWORD written;
    if (WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr)) {
      return true;
    }
    errno = EIO;
    return false;
  }
  return WriteAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

#else

namespace {

int64_t ReadSome(int fd, uint8_t* buffer, size_t size) {
  return read(fd, buffer, std::min<size_t>(size, 1u << 30));
}

int64_t WriteSome(int fd, const uint8_t* bytes, size_t n) {
  return write(fd, bytes, std::min<size_t>(n, 1u << 30));
}

}  // namespace

void PrepareStandardStreams() {
  signal(SIGPIPE, SIG_IGN);
  // A larger pipe lets the reader take one block while the next is being
  // converted; the system may refuse, and that is fine.
  struct stat status;
  if (fstat(kStandardOutput, &status) == 0 && S_ISFIFO(status.st_mode)) {
    fcntl(kStandardOutput, F_SETPIPE_SZ, 1 << 20);
  }
}

std::string ToUtf8(const char* arg) {
  return arg;
}

int OpenForReading(const char* name) {
  return open(name, O_RDONLY | O_CLOEXEC);
}

int OpenTemporaryFile() {
  const char* directory = getenv("TMPDIR");
  std::string path = directory != nullptr && *directory != '\0' ? directory : "/tmp";
  path += "/tobble.XXXXXX";
  const int fd = mkostemp(&path[0], O_CLOEXEC);
  // Unlinked at once: the space is freed when the file is closed, however
  // the program ends.
  if (fd >= 0) unlink(path.c_str());
  return fd;
}

void Close(int fd) {
  close(fd);
}

namespace {

constexpr size_t kHugePage = 2 << 20;

size_t HugePages(size_t size) {
  return (size + kHugePage - 1) / kHugePage * kHugePage;
}

}  // namespace

void* AllocateBuffers(size_t size) {
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

void FreeBuffers(void* block, size_t size) {
  if (block != nullptr) munmap(block, HugePages(size));
}

bool IsRegularFile(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

int64_t Tell(int fd) {
  return lseek(fd, 0, SEEK_CUR);
}

bool Seek(int fd, int64_t position) {
  return lseek(fd, position, SEEK_SET) == position;
}

bool IsBrokenPipe(int error) {
  return error == EPIPE;
}

bool WriteText(int fd, const std::string& text) {
  return WriteAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

#endif

int64_t ReadFull(int fd, uint8_t* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    const int64_t n = ReadSome(fd, buffer + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(got);
}

bool WriteAll(int fd, const uint8_t* bytes, size_t n) {
  while (n > 0) {
    const int64_t written = WriteSome(fd, bytes, n);
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

std::string Reason(int error) {
  return strerror(error);
}

}  // namespace tobble::cli
