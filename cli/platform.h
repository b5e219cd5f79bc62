// The little the command-line tool needs from the operating system: files as
// descriptors, output files put in place atomically, and messages. Linux and
// Windows differ only here.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace tobble::cli {

// Command-line arguments as the system gives them: bytes on Linux, UTF-16 on
// Windows, so that any file name can be opened.
#ifdef _WIN32
using ArgChar = wchar_t;
using NativeString = std::wstring;
#else
using ArgChar = char;
using NativeString = std::string;
#endif

constexpr int kStandardInput = 0;
constexpr int kStandardOutput = 1;
constexpr int kStandardError = 2;

// Binary standard streams; a write to a closed pipe, or beyond the file
// size limit, fails instead of killing the program; every signal that ends
// the program and can be caught (Ctrl-C on Windows) first removes an output
// file's temporary file.
void PrepareStandardStreams();

// An argument as UTF-8, for messages and option parsing.
std::string ToUtf8(const ArgChar* arg);

// Opens a file for reading; -1 with errno set on failure.
int OpenForReading(const ArgChar* name);

void Close(int fd);

// Whether fd is a regular file, whose reads come short only at its end.
bool IsRegularFile(int fd);

// One read: what the input has now, at most `size` bytes; less from a pipe
// or a terminal that has nothing more for the moment. 0 at the end of the
// input, -1 with errno set on failure.
int64_t ReadSome(int fd, uint8_t* buffer, size_t size);

// Writes all bytes; false with errno set. A closed pipe gives EPIPE on both
// systems.
bool WriteAll(int fd, const uint8_t* bytes, size_t n);

// Whether errno value `error` means the reader of a pipe has gone.
bool IsBrokenPipe(int error);

// The system's reason for errno value `error`.
std::string Reason(int error);

// Writes UTF-8 text for a person to read: as wide characters on a Windows
// console, as the bytes themselves anywhere else. False with errno set.
bool WriteText(int fd, const std::string& text);

// Writes a message that must not allocate (out of memory).
void WriteRaw(int fd, const char* text);

// A file's identity: two names for the same file give the same one.
struct FileId {
  uint64_t device = 0;
  uint64_t index = 0;
  bool operator==(const FileId& other) const {
    return device == other.device && index == other.index;
  }
};

// The identity of the file `name` names, links followed. False with errno set.
bool IdentifyFile(const ArgChar* name, FileId* id);

// An output file that appears whole or not at all. It is written under a
// temporary name, `.NAME.tobble-PID-XXXXXX` (PID: this process), in the
// target's folder, then flushed to the disk and renamed over the target.
// Until Commit() succeeds the target is untouched; the temporary file is
// removed on every failure, on destruction, and by the handlers
// PrepareStandardStreams() installs. Open() first removes the temporary
// files of the same target that processes which no longer run left behind
// (killed with SIGKILL, say).
//
// An existing target is refused unless the user may write it. Its
// replacement keeps the permission bits, the group where the user may
// give it, the extended attributes (access control lists and security
// labels among them) and, for root, the owner. Where the group cannot be
// kept, the group and others get only what both had, so that no one gains
// access; a set-user-ID or set-group-ID bit whose owner or group changed
// is dropped.
//
// A symbolic link is followed: the file it points to is replaced and the
// link stays a link. A target that is not a regular file (/dev/null, a
// pipe) is written directly, as it cannot be replaced; so is one that names
// an open descriptor (/dev/stdout, /proc/self/fd/N), through that
// descriptor, so that output appended by the shell (>>) is appended. With
// `must_be_regular` both are refused instead.
//
// One AtomicFile at a time: the signal handlers know a single temporary.
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile() { Discard(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file for `target`. False with errno set (EINVAL:
  // not a regular file where one is needed); failed_path() and
  // failed_action() may tell more.
  bool Open(const ArgChar* target, bool must_be_regular);

  // The descriptor to write to; -1 when not open.
  int fd() const { return fd_; }

  // Whether the target itself is written, not a temporary file.
  bool direct() const { return direct_; }

  // The number of names the replaced file had; 0 for a new file. The other
  // names keep the old contents.
  uint64_t links() const { return links_; }

  // After a failure: the file or folder it concerns, when not the target
  // (empty otherwise), and what was being done, when errno alone does not
  // say it (empty otherwise).
  const NativeString& failed_path() const { return failed_path_; }
  const std::string& failed_action() const { return failed_action_; }

  // Flushes the file to the disk and puts it in place. False with errno set;
  // the temporary file is gone either way.
  bool Commit();

  // Closes and removes the temporary file, if any.
  void Discard();

 private:
  // Discard() keeping errno, and false; with what failed, for the messages.
  bool Fail(NativeString path = NativeString(), std::string action = std::string());

  int fd_ = -1;
  bool direct_ = false;  // writing the target itself
  uint64_t links_ = 0;
  unsigned mode_ = 0;  // the permission bits the file gets when put in place
  NativeString target_;
  NativeString temporary_;
  NativeString failed_path_;
  std::string failed_action_;
};

}  // namespace tobble::cli
