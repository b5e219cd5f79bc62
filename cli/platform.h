// The little the command-line tool needs from the operating system: files as
// descriptors, a temporary file, and messages. Linux and Windows differ only
// here.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace tobble::cli {

// Command-line arguments as the system gives them: bytes on Linux, UTF-16 on
// Windows, so that any file name can be opened.
#ifdef _WIN32
using ArgChar = wchar_t;
#else
using ArgChar = char;
#endif

constexpr int kStandardInput = 0;
constexpr int kStandardOutput = 1;
constexpr int kStandardError = 2;

// Binary standard streams; a write to a closed pipe fails instead of
// killing the program.
void PrepareStandardStreams();

// An argument as UTF-8, for messages and option parsing.
std::string ToUtf8(const ArgChar* arg);

// Opens a file for reading; -1 with errno set on failure.
int OpenForReading(const ArgChar* name);

// Creates a temporary file that disappears when closed; -1 with errno set on
// failure.
int OpenTemporaryFile();

void Close(int fd);

// A block of memory for the tool's buffers, or null. On Linux it asks for
// huge pages: one page fault for the whole block instead of one every 4 KiB.
void* AllocateBuffers(size_t size);
void FreeBuffers(void* block, size_t size);

// Whether fd is a regular file, which can be read a second time.
bool IsRegularFile(int fd);

// The current position, or -1 with errno set.
int64_t Tell(int fd);

// Moves to position; false with errno set.
bool Seek(int fd, int64_t position);

// Reads until `size` bytes or the end of the input. Returns the bytes read,
// or -1 with errno set.
int64_t ReadFull(int fd, uint8_t* buffer, size_t size);

// Writes all bytes; false with errno set.
bool WriteAll(int fd, const uint8_t* bytes, size_t n);

// Whether errno value `error` means the reader of a pipe has gone.
bool IsBrokenPipe(int error);

// The system's reason for errno value `error`.
std::string Reason(int error);

// Writes UTF-8 text for a person to read: as wide characters on a Windows
// console, as the bytes themselves anywhere else. False with errno set.
bool WriteText(int fd, const std::string& text);

}  // namespace tobble::cli
