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
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>

namespace tobble::cli {
namespace {

// One write, at most 1 GiB, as both systems allow.
int64_t WriteSome(int fd, const uint8_t* bytes, size_t n);

// The temporary file of the AtomicFile that is open, for the handlers that
// remove it when the program is stopped; null when there is none. Lock-free,
// so that a signal handler may read it.
std::atomic<const NativeString::value_type*> g_temporary{nullptr};
static_assert(std::atomic<const NativeString::value_type*>::is_always_lock_free);

// The longest file name most file systems take, in bytes (Linux) or UTF-16
// units (Windows), and what the temporary name adds to the target's.
constexpr size_t kMaxNameLength = 255;
constexpr size_t kTemporaryExtra = sizeof(".") - 1 + sizeof(".tobble-XXXXXX") - 1;

// The target's name cut so that its temporary name fits, at a character
// boundary.
template <typename Char>
std::basic_string<Char> ShortenedName(std::basic_string<Char> name) {
  if (name.size() + kTemporaryExtra <= kMaxNameLength) return name;
  size_t cut = kMaxNameLength - kTemporaryExtra;
  if constexpr (sizeof(Char) == 1) {
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  } else {
    if ((name[cut] & 0xFC00) == 0xDC00) --cut;
  }
  name.resize(cut);
  return name;
}

}  // namespace

#ifdef _WIN32

namespace {

// errno for the Windows errors the tool meets.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    // The reader of a pipe has gone: the C runtime would say EINVAL, and
    // Wine gives ERROR_PIPE_NOT_CONNECTED.
    case ERROR_NO_DATA:
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
      return EPIPE;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    default:
      return EIO;
  }
}

int64_t WriteSome(int fd, const uint8_t* bytes, size_t n) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  DWORD written = 0;
  if (!WriteFile(handle, bytes, static_cast<DWORD>(std::min<size_t>(n, 1u << 30)), &written,
                 nullptr)) {
    errno = ErrnoOf(GetLastError());
    return -1;
  }
  return written;
}

BOOL WINAPI RemoveTemporaryOnCtrl(DWORD) {
  // The file was opened with FILE_SHARE_DELETE: it goes when the program's
  // handle closes, as the program ends.
  const wchar_t* temporary = g_temporary.load();
  if (temporary != nullptr) DeleteFileW(temporary);
  return FALSE;  // the default handler ends the program
}

}  // namespace

void PrepareStandardStreams() {
  _setmode(kStandardInput, _O_BINARY);
  _setmode(kStandardOutput, _O_BINARY);
  _setmode(kStandardError, _O_BINARY);
  SetConsoleCtrlHandler(RemoveTemporaryOnCtrl, TRUE);
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

void Close(int fd) {
  _close(fd);
}

bool IsRegularFile(int fd) {
  struct _stati64 status;
  return _fstati64(fd, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
}

int64_t ReadSome(int fd, uint8_t* buffer, size_t size) {
  return _read(fd, buffer, static_cast<unsigned>(std::min<size_t>(size, 1u << 30)));
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

bool AtomicFile::Open(const wchar_t* target, bool must_be_regular) {
  Discard();
  target_ = target;
  const HANDLE probe =
      CreateFileW(target, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (must_be_regular || error != ERROR_FILE_NOT_FOUND) {
      errno = ErrnoOf(error);
      return false;
    }
  } else {
    const DWORD type = GetFileType(probe);
    BY_HANDLE_FILE_INFORMATION info;
    const bool folder = GetFileInformationByHandle(probe, &info) &&
                        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const DWORD attributes = GetFileAttributesW(target);
    if (type == FILE_TYPE_DISK && !folder && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      // A symbolic link: the file it points to is the one replaced.
      std::wstring final_path(32768, L'\0');
      const DWORD length = GetFinalPathNameByHandleW(probe, &final_path[0], 32768, 0);
      if (length > 0 && length < 32768) target_.assign(final_path, 0, length);
    }
    CloseHandle(probe);
    if (folder) {
      errno = EISDIR;
      return false;
    }
    if (type != FILE_TYPE_DISK) {  // NUL, CON, a pipe
      if (must_be_regular) {
        errno = EINVAL;
        return false;
      }
      fd_ = _wopen(target, _O_WRONLY | _O_BINARY);
      direct_ = fd_ >= 0;
      return direct_;
    }
  }

  const size_t slash = target_.find_last_of(L"\\/:");
  const std::wstring folder = slash == std::wstring::npos ? L"" : target_.substr(0, slash + 1);
  const std::wstring base =
      ShortenedName(slash == std::wstring::npos ? target_ : target_.substr(slash + 1));
  static constexpr wchar_t kDigits[] = L"0123456789abcdefghijklmnopqrstuvwxyz";
  uint64_t seed = GetTickCount64() ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring name = folder + L"." + base + L".tobble-";
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    for (int k = 0; k < 6; ++k) name += kDigits[(seed >> (16 + 5 * k)) % 36];
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      errno = ErrnoOf(error);
      return false;
    }
    temporary_ = name;
    g_temporary.store(temporary_.c_str());
    fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd_ < 0) {
      CloseHandle(handle);
      Discard();
      errno = EMFILE;
      return false;
    }
    return true;
  }
  errno = EEXIST;
  return false;
}

bool AtomicFile::Commit() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (direct_) {
    direct_ = false;
    return _close(fd) == 0;
  }
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (!FlushFileBuffers(handle)) {
    const int error = ErrnoOf(GetLastError());
    _close(fd);
    Discard();
    errno = error;
    return false;
  }
  _close(fd);
  if (!MoveFileExW(temporary_.c_str(), target_.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const int error = ErrnoOf(GetLastError());
    Discard();
    errno = error;
    return false;
  }
  g_temporary.store(nullptr);
  temporary_.clear();
  return true;
}

void AtomicFile::Discard() {
  if (fd_ >= 0) _close(fd_);
  fd_ = -1;
  direct_ = false;
  if (temporary_.empty()) return;
  g_temporary.store(nullptr);
  DeleteFileW(temporary_.c_str());
  temporary_.clear();
}

#else

namespace {

int64_t WriteSome(int fd, const uint8_t* bytes, size_t n) {
  return write(fd, bytes, std::min<size_t>(n, 1u << 30));
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveTemporaryAndStop(int signal_number) {
  const char* temporary = g_temporary.load();
  if (temporary != nullptr) unlink(temporary);
  // Ends the program as the signal would have: the handler was installed
  // with SA_RESETHAND, and the signal arrives again once it returns.
  raise(signal_number);
}

// Blocks the stop signals while the temporary file and g_temporary are
// changed together, so that a handler never misses a file nor removes the
// renamed one.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t stop;
    sigemptyset(&stop);
    for (const int signal_number : kStopSignals) sigaddset(&stop, signal_number);
    sigprocmask(SIG_BLOCK, &stop, &old_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

}  // namespace

void PrepareStandardStreams() {
  signal(SIGPIPE, SIG_IGN);
  for (const int signal_number : kStopSignals) {
    struct sigaction action;
    // A signal the caller ignores (nohup) stays ignored.
    if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    memset(&action, 0, sizeof action);
    action.sa_handler = RemoveTemporaryAndStop;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
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

void Close(int fd) {
  close(fd);
}

bool IsRegularFile(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

int64_t ReadSome(int fd, uint8_t* buffer, size_t size) {
  for (;;) {
    const int64_t n = read(fd, buffer, std::min<size_t>(size, 1u << 30));
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool IsBrokenPipe(int error) {
  return error == EPIPE;
}

bool WriteText(int fd, const std::string& text) {
  return WriteAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool AtomicFile::Open(const char* target, bool must_be_regular) {
  Discard();
  target_ = target;
  struct stat status;
  if (lstat(target, &status) == 0 && S_ISLNK(status.st_mode)) {
    // The file the link points to is the one replaced; a link to nothing
    // yet is replaced itself.
    char* resolved = realpath(target, nullptr);
    if (resolved != nullptr) {
      target_ = resolved;
      free(resolved);
    } else if (must_be_regular || errno != ENOENT) {
      return false;
    }
  }
  const bool exists = stat(target_.c_str(), &status) == 0;
  if (!exists && (must_be_regular || errno != ENOENT)) return false;
  if (exists && !S_ISREG(status.st_mode)) {
    if (must_be_regular || S_ISDIR(status.st_mode)) {
      errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
      return false;
    }
    fd_ = open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    direct_ = fd_ >= 0;
    return direct_;
  }

  const size_t slash = target_.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string base =
      ShortenedName(slash == std::string::npos ? target_ : target_.substr(slash + 1));
  std::string temporary = folder + "." + base + ".tobble-XXXXXX";
  {
    const SignalsHeld held;
    fd_ = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd_ < 0) return false;
    temporary_ = temporary;
    g_temporary.store(temporary_.c_str());
  }
  mode_t mode;
  if (exists) {
    // The owner first: a change of owner clears the set-user-ID bit.
    if (geteuid() == 0 && fchown(fd_, status.st_uid, status.st_gid) != 0) {
      const int error = errno;
      Discard();
      errno = error;
      return false;
    }
    mode = status.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (fchmod(fd_, mode) != 0) {
    const int error = errno;
    Discard();
    errno = error;
    return false;
  }
  return true;
}

bool AtomicFile::Commit() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (direct_) {
    direct_ = false;
    return close(fd) == 0;
  }
  const bool flushed = fsync(fd) == 0;
  int error = errno;
  const bool closed = close(fd) == 0;
  if (!flushed || !closed) {
    if (flushed) error = errno;
    Discard();
    errno = error;
    return false;
  }
  {
    const SignalsHeld held;
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
      const int error = errno;
      Discard();
      errno = error;
      return false;
    }
    g_temporary.store(nullptr);
  }
  temporary_.clear();
  // The new name reaches the disk with its folder; some file systems refuse
  // to flush a folder, and the file itself is safe by then.
  const size_t slash = target_.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
  const int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd >= 0) {
    fsync(folder_fd);
    close(folder_fd);
  }
  return true;
}

void AtomicFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  direct_ = false;
  if (temporary_.empty()) return;
  {
    const SignalsHeld held;
    unlink(temporary_.c_str());
    g_temporary.store(nullptr);
  }
  temporary_.clear();
}

#endif

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

void WriteRaw(int fd, const char* text) {
  WriteAll(fd, reinterpret_cast<const uint8_t*>(text), strlen(text));
}

std::string Reason(int error) {
  return strerror(error);
}

}  // namespace tobble::cli
