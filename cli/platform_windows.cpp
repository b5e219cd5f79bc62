// The platform layer on Windows.
#define WIN32_LEAN_AND_MEAN
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "cli/platform.h"
#include "cli/platform_detail.h"

namespace tobble::cli {

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

}  // namespace

namespace detail {

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

}  // namespace detail

namespace {

using detail::g_temporary;

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

namespace {

// Opens an existing file or folder, links followed, for its information
// only; INVALID_HANDLE_VALUE with GetLastError() set on failure.
HANDLE OpenForInformation(const wchar_t* name) {
  return CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Whether process `pid` has surely ended: there is no such process, or
// what is left of it has ended. One that may not be asked about counts as
// running.
bool HasEnded(DWORD pid) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  return ended;
}

// Removes the temporary files in `folder` named `prefix` + "PID-XXXXXX"
// whose process has ended: left behind by a program that was killed.
void RemoveStaleTemporaries(const std::wstring& folder, const std::wstring& prefix) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + prefix + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const uint32_t pid = detail::TemporaryOwner(std::wstring(found.cFileName), prefix);
    if (pid == 0 || pid == GetCurrentProcessId() ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !HasEnded(pid)) {
      continue;
    }
    DeleteFileW((folder + found.cFileName).c_str());
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace

bool IdentifyFile(const wchar_t* name, FileId* id) {
  const HANDLE handle = OpenForInformation(name);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = ErrnoOf(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info);
  const DWORD error = GetLastError();
  CloseHandle(handle);
  if (!known) {
    errno = ErrnoOf(error);
    return false;
  }
  *id = FileId{info.dwVolumeSerialNumber,
               static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
  return true;
}

bool AtomicFile::Open(const wchar_t* target, bool must_be_regular) {
  Discard();
  failed_path_.clear();
  failed_action_.clear();
  links_ = 0;
  target_ = target;
  const HANDLE probe = OpenForInformation(target);
  if (probe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (must_be_regular || error != ERROR_FILE_NOT_FOUND) {
      errno = ErrnoOf(error);
      return Fail();
    }
  } else {
    const DWORD type = GetFileType(probe);
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(probe, &info);
    const bool folder = known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (type == FILE_TYPE_DISK && !folder) {
      // The file itself, where the name leads through a symbolic link: it
      // is the one replaced, and the link stays. (Wine does not show its
      // links as reparse points, so every name is asked.)
      std::wstring final_path(32768, L'\0');
      const DWORD length = GetFinalPathNameByHandleW(probe, &final_path[0], 32768, 0);
      if (length > 0 && length < 32768) target_.assign(final_path, 0, length);
      if (known) links_ = info.nNumberOfLinks;
    }
    CloseHandle(probe);
    if (folder) {
      errno = EISDIR;
      return Fail();
    }
    if (type != FILE_TYPE_DISK) {  // NUL, CON, a pipe
      if (must_be_regular) {
        errno = EINVAL;
        return Fail();
      }
      fd_ = _wopen(target, _O_WRONLY | _O_BINARY);
      if (fd_ < 0) return Fail();
      direct_ = true;
      return true;
    }
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      errno = EACCES;
      return Fail();
    }
  }

  const size_t slash = target_.find_last_of(L"\\/:");
  const std::wstring folder = slash == std::wstring::npos ? L"" : target_.substr(0, slash + 1);
  const std::wstring prefix =
      detail::TemporaryPrefix(slash == std::wstring::npos ? target_ : target_.substr(slash + 1));
  RemoveStaleTemporaries(folder, prefix);
  static constexpr wchar_t kDigits[] = L"0123456789abcdefghijklmnopqrstuvwxyz";
  uint64_t seed = GetTickCount64() ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring name = folder + prefix + std::to_wstring(GetCurrentProcessId()) + L"-";
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    for (int k = 0; k < 6; ++k) name += kDigits[(seed >> (16 + 5 * k)) % 36];
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      errno = ErrnoOf(error);
      if (errno == EACCES || errno == ENOSPC) {
        return Fail(folder.empty() ? L"." : folder.substr(0, folder.size() - 1),
                    "cannot create a file");
      }
      return Fail();
    }
    temporary_ = name;
    g_temporary.store(temporary_.c_str());
    fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd_ < 0) {
      CloseHandle(handle);
      errno = EMFILE;
      return Fail();
    }
    return true;
  }
  errno = EEXIST;
  return Fail();
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
    errno = error;
    return Fail();
  }
  _close(fd);
  if (!MoveFileExW(temporary_.c_str(), target_.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    errno = ErrnoOf(GetLastError());
    return Fail();
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

}  // namespace tobble::cli
