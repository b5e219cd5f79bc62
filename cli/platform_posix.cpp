// The platform layer on Linux.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "cli/platform.h"
#include "cli/platform_detail.h"

namespace tobble::cli {

namespace detail {

int64_t WriteSome(int fd, const uint8_t* bytes, size_t n) {
  return write(fd, bytes, std::min<size_t>(n, 1u << 30));
}

}  // namespace detail

namespace {

using detail::g_temporary;

// The signals whose handler removes the temporary file: those that end the
// program by default and were not set aside by the caller (ignored, as
// nohup does) or by a runtime that handles them itself. Filled once by
// PrepareStandardStreams().
sigset_t g_stop_signals;

// The signals that end the program by default, apart from SIGPIPE and
// SIGXFSZ, which the program ignores so that the write fails instead, and
// SIGKILL and SIGSTOP, which cannot be caught. SIGTRAP is left to debuggers.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGABRT, SIGBUS,
                                  SIGFPE,  SIGUSR1, SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM,
                                  SIGXCPU, SIGPROF, SIGVTALRM, SIGIO,   SIGPWR,  SIGSYS};

extern "C" void RemoveTemporaryAndStop(int signal_number) {
  const char* temporary = g_temporary.load();
  if (temporary != nullptr) unlink(temporary);
  // Ends the program as the signal would have: the handler was installed
  // with SA_RESETHAND, and the signal arrives again once it returns (a
  // fault, as the instruction runs again).
  raise(signal_number);
}

// Blocks the stop signals while the temporary file and g_temporary are
// changed together, so that a handler never misses a file nor removes the
// renamed one.
class SignalsHeld {
 public:
  SignalsHeld() { sigprocmask(SIG_BLOCK, &g_stop_signals, &old_); }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

void CatchToRemoveTemporary(int signal_number) {
  struct sigaction action;
  if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler != SIG_DFL ||
      (action.sa_flags & SA_SIGINFO) != 0) {
    return;
  }
  memset(&action, 0, sizeof action);
  action.sa_handler = RemoveTemporaryAndStop;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  if (sigaction(signal_number, &action, nullptr) == 0) sigaddset(&g_stop_signals, signal_number);
}

// The folder part of a path, with its slash: "dir/", "/", or "" for none.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The folder of a path as a message names it: "dir", "/", or ".".
std::string FolderName(const std::string& path) {
  const std::string folder = FolderOf(path);
  if (folder.empty()) return ".";
  return folder.size() == 1 ? folder : folder.substr(0, folder.size() - 1);
}

// Whether `folder` (with its slash; "" for the current one) is in /proc,
// where a symbolic link stands for an open file (/proc/self/fd/1) rather
// than a name.
bool IsInProc(const std::string& folder) {
  struct statfs status;
  return statfs(folder.empty() ? "." : folder.c_str(), &status) == 0 &&
         status.f_type == PROC_SUPER_MAGIC;
}

// The number of the descriptor that `path`, a link in /proc, names when
// that is this program's own (/proc/self/fd/N, and /dev/fd/N, which leads
// there); -1 otherwise.
int OwnDescriptor(const std::string& path) {
  const std::string folder = FolderOf(path);
  const std::string number = path.substr(folder.size());
  if (number.empty() || number.size() > 9 ||
      number.find_first_not_of("0123456789") != std::string::npos) {
    return -1;
  }
  struct stat link_folder;
  if (stat(folder.c_str(), &link_folder) != 0) return -1;
  for (const char* own : {"/proc/self/fd", "/proc/thread-self/fd"}) {
    struct stat status;
    if (stat(own, &status) == 0 && status.st_dev == link_folder.st_dev &&
        status.st_ino == link_folder.st_ino) {
      return atoi(number.c_str());
    }
  }
  return -1;
}

// Removes the temporary files in `folder` named `prefix` + "PID-XXXXXX"
// whose process PID no longer runs: left behind by a program that was
// killed. One that a process still holds locked (a process of that number
// in another PID namespace, where this one cannot see it) stays; one that
// this user may not open to look at its lock goes by its number alone.
void RemoveStaleTemporaries(const std::string& folder, const std::string& prefix) {
  DIR* listing = opendir(folder.empty() ? "." : folder.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    const uint32_t pid = detail::TemporaryOwner(name, prefix);
    if (pid == 0 || static_cast<pid_t>(pid) == getpid()) continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    const std::string path = folder + name;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat status;
    if (fd >= 0) {
      if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        unlink(path.c_str());
      }
      close(fd);
    } else if (errno == EACCES && lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      unlink(path.c_str());
    }
  }
  closedir(listing);
}

// The mode an existing file's replacement gets: its permission bits, less
// the set-user-ID bit when the owner changes, and, when the group changes,
// less the set-group-ID bit and with group and others each given only what
// both had, as members of the old group may now count as others and
// members of the new one counted as others before.
mode_t ReplacementMode(mode_t mode, bool owner_kept, bool group_kept) {
  mode &= 07777;
  if (!owner_kept) mode &= ~S_ISUID;
  if (!group_kept) {
    const mode_t both = (mode >> 3) & mode & 07;
    mode = (mode & ~(S_ISGID | 077)) | both << 3 | both;
  }
  return mode;
}

// An extended attribute's value, links followed (fd < 0: by path); false
// with errno set.
bool ReadAttribute(int fd, const std::string& path, const char* name, std::string* value) {
  for (;;) {
    const ssize_t size =
        fd >= 0 ? fgetxattr(fd, name, nullptr, 0) : getxattr(path.c_str(), name, nullptr, 0);
    if (size < 0) return false;
    value->assign(static_cast<size_t>(size), '\0');
    const ssize_t got = fd >= 0 ? fgetxattr(fd, name, &(*value)[0], value->size())
                                : getxattr(path.c_str(), name, &(*value)[0], value->size());
    if (got >= 0) {
      value->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;  // grown meanwhile: again
  }
}

// The names of a file's extended attributes, each ended by a zero byte.
bool ListAttributes(int fd, const std::string& path, std::string* names) {
  for (;;) {
    const ssize_t size = fd >= 0 ? flistxattr(fd, nullptr, 0) : listxattr(path.c_str(), nullptr, 0);
    if (size < 0) {
      if (errno != ENOTSUP) return false;
      names->clear();  // none, where the file system has none
      return true;
    }
    names->assign(static_cast<size_t>(size), '\0');
    const ssize_t got = fd >= 0 ? flistxattr(fd, &(*names)[0], names->size())
                                : listxattr(path.c_str(), &(*names)[0], names->size());
    if (got >= 0) {
      names->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

// An attribute in a message: the access control lists by their own name.
std::string AttributeName(const char* name) {
  if (strcmp(name, "system.posix_acl_access") == 0) return "its access control list";
  return std::string("its extended attribute ") + name;
}

// Gives the file `fd` exactly the extended attributes of the file `path`
// (access control lists and security labels included): copies each, and
// removes those it has that `path` has not (inherited from the folder's
// default list, say). False with errno set and *action telling what failed.
bool CopyAttributes(const std::string& path, int fd, std::string* action) {
  std::string names;
  if (!ListAttributes(-1, path, &names)) {
    *action = "cannot read its extended attributes";
    return false;
  }
  std::string value;
  std::string present;
  for (size_t at = 0; at < names.size(); at += strlen(&names[at]) + 1) {
    const char* name = &names[at];
    if (!ReadAttribute(-1, path, name, &value)) {
      if (errno == ENODATA) continue;  // removed meanwhile
      *action = "cannot read " + AttributeName(name);
      return false;
    }
    // One given already (a security label the system chose) is left, as
    // setting it again may need rights that keeping it does not.
    if (ReadAttribute(fd, path, name, &present) && present == value) continue;
    if (fsetxattr(fd, name, value.data(), value.size(), 0) != 0) {
      *action = "cannot copy " + AttributeName(name);
      return false;
    }
  }
  std::string own;
  if (!ListAttributes(fd, path, &own)) {
    *action = "cannot read the new file's extended attributes";
    return false;
  }
  for (size_t at = 0; at < own.size(); at += strlen(&own[at]) + 1) {
    const char* name = &own[at];
    bool listed = false;
    for (size_t k = 0; k < names.size() && !listed; k += strlen(&names[k]) + 1) {
      listed = strcmp(&names[k], name) == 0;
    }
    // An access list the old file did not have would widen access; other
    // attributes the system gives (a security label) may stay.
    if (!listed && fremovexattr(fd, name) != 0 && errno != ENODATA &&
        strncmp(name, "system.", 7) == 0) {
      *action = "cannot remove the new file's " + std::string(name);
      return false;
    }
  }
  return true;
}

}  // namespace

void PrepareStandardStreams() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  sigemptyset(&g_stop_signals);
  for (const int signal_number : kEndingSignals) CatchToRemoveTemporary(signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    CatchToRemoveTemporary(signal_number);
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

bool IdentifyFile(const char* name, FileId* id) {
  struct stat status;
  if (stat(name, &status) != 0) return false;
  *id = FileId{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
  return true;
}

bool AtomicFile::Open(const char* target, bool must_be_regular) {
  Discard();
  failed_path_.clear();
  failed_action_.clear();
  links_ = 0;
  // The links in the last part of the name are followed one at a time, so
  // that one standing for an open descriptor is seen as such.
  std::string path = target;
  struct stat status;
  bool exists = false;
  for (int hops = 0;; ++hops) {
    if (lstat(path.c_str(), &status) != 0) {
      if (errno != ENOENT || must_be_regular) return Fail();
      path = target;  // a link to nothing yet is replaced itself
      break;
    }
    if (!S_ISLNK(status.st_mode)) {
      exists = true;
      break;
    }
    if (hops == 40) {
      errno = ELOOP;
      return Fail();
    }
    if (IsInProc(FolderOf(path))) {
      // An open descriptor (/dev/stdout leads to /proc/self/fd/1): written
      // through the descriptor itself when it is this program's, so that
      // the shell's >> still appends, and never replaced.
      if (must_be_regular) {
        errno = EINVAL;
        return Fail();
      }
      const int own = OwnDescriptor(path);
      if (own >= 0) {
        const int flags = fcntl(own, F_GETFL);
        if (flags != -1 && (flags & O_ACCMODE) == O_RDONLY) errno = EBADF;
        fd_ = flags == -1 || (flags & O_ACCMODE) == O_RDONLY ? -1 : fcntl(own, F_DUPFD_CLOEXEC, 0);
      } else {
        fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC);
      }
      if (fd_ < 0) return Fail();
      direct_ = true;
      return true;
    }
    char next[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), next, sizeof next);
    if (length < 0) return Fail();
    if (static_cast<size_t>(length) == sizeof next) {
      errno = ENAMETOOLONG;
      return Fail();
    }
    const std::string destination(next, static_cast<size_t>(length));
    path = destination[0] == '/' ? destination : FolderOf(path) + destination;
  }
  if (exists && !S_ISREG(status.st_mode)) {
    if (must_be_regular || S_ISDIR(status.st_mode)) {
      errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
      return Fail();
    }
    fd_ = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return Fail();
    direct_ = true;
    return true;
  }
  // Replacing a file the user may not write would change what they could
  // not change.
  if (exists && faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return Fail();
  target_ = path;

  const std::string folder = FolderOf(path);
  const std::string prefix = detail::TemporaryPrefix(path.substr(folder.size()));
  RemoveStaleTemporaries(folder, prefix);
  std::string temporary = folder + prefix + std::to_string(getpid()) + "-XXXXXX";
  {
    const SignalsHeld held;
    fd_ = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd_ < 0) {
      // Where the file itself is fine, the folder is at fault.
      if (errno == EACCES || errno == EPERM || errno == EROFS || errno == ENOSPC ||
          errno == EDQUOT) {
        return Fail(FolderName(path), "cannot create a file");
      }
      return Fail();
    }
    temporary_ = temporary;
    g_temporary.store(temporary_.c_str());
  }
  // Held while the file is open: RemoveStaleTemporaries() of another
  // program leaves it.
  flock(fd_, LOCK_EX | LOCK_NB);
  if (!exists) {
    const mode_t mask = umask(0);
    umask(mask);
    mode_ = 0666 & ~mask;
    return true;
  }
  links_ = status.st_nlink;
  bool owner_kept = true;
  bool group_kept = true;
  if (geteuid() == 0) {
    // The owner first: a change of owner clears the set-user-ID bit.
    if (fchown(fd_, status.st_uid, status.st_gid) != 0) {
      return Fail(std::string(), "cannot keep its owner and group");
    }
  } else {
    owner_kept = status.st_uid == geteuid();
    struct stat created;
    if (fstat(fd_, &created) != 0) return Fail();
    if (created.st_gid != status.st_gid &&
        fchown(fd_, static_cast<uid_t>(-1), status.st_gid) != 0) {
      if (errno != EPERM) return Fail(std::string(), "cannot keep its group");
      group_kept = false;
    }
  }
  mode_ = ReplacementMode(status.st_mode, owner_kept, group_kept);
  return true;
}

bool AtomicFile::Commit() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  if (direct_) {
    const int fd = fd_;
    fd_ = -1;
    direct_ = false;
    return close(fd) == 0;
  }
  // The attributes and the mode come last: a write by a user without the
  // right to keep them clears a set-user-ID bit and a file capability.
  // Setting an access list sets the mode too, so the mode follows it.
  std::string action;
  if (links_ > 0 && !CopyAttributes(target_, fd_, &action)) return Fail(std::string(), action);
  if (fchmod(fd_, mode_) != 0) return Fail(std::string(), "cannot keep its permissions");
  const int fd = fd_;
  fd_ = -1;
  const bool flushed = fsync(fd) == 0;
  int error = errno;
  const bool closed = close(fd) == 0;
  if (!flushed || !closed) {
    if (flushed) error = errno;
    errno = error;
    return Fail();
  }
  {
    const SignalsHeld held;
    if (rename(temporary_.c_str(), target_.c_str()) != 0) return Fail();
    g_temporary.store(nullptr);
  }
  temporary_.clear();
  // The new name reaches the disk with its folder; some file systems refuse
  // to flush a folder, and the file itself is safe by then.
  const std::string folder = FolderOf(target_);
  const int folder_fd =
      open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

}  // namespace tobble::cli
