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

// Binary standard streams; a write to a closed pipe fails instead of
// killing the program; SIGINT, SIGTERM and SIGHUP (Ctrl-C on Windows)
// remove an output file's temporary file before the program ends.
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

// An output file that appears whole or not at all. It is written under a
// temporary name, `.NAME.tobble-XXXXXX`, in the target's folder, then
// flushed to the disk and renamed over the target. Until Commit() succeeds
// the target is untouched; the temporary file is removed on every failure,
// on destruction, and by the handlers PrepareStandardStreams() installs.
//
// An existing target keeps its permission bits (and, for root, its owner
// and group). A symbolic link is followed: the file it points to is
// replaced and the link stays a link. A target that exists and is not a
// regular file (/dev/null, a pipe) is written directly, as it cannot be
// replaced; with `must_be_regular` it is refused instead.
//
// One AtomicFile at a time: the signal handlers know a single temporary.
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile() { Discard(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file for `target`. False with errno set (EINVAL:
  // not a regular file where one is needed).
  bool Open(const ArgChar* target, bool must_be_regular);

  // The descriptor to write to; -1 when not open.
  int fd() const { return fd_; }

  // Flushes the file to the disk and puts it in place. False with errno set;
  // the temporary file is gone either way.
  bool Commit();

  // Closes and removes the temporary file, if any.
  void Discard();

 private:
  int fd_ = -1;
  bool direct_ = false;  // writing the target itself
  NativeString target_;
  NativeString temporary_;
};

}  // namespace tobble::cli
