// tobble: the filters of the plug-in as a command-line tool. Converts files or
// standard input to standard output, in bounded memory whatever their size.
#include <errno.h>
#include <stdint.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cli/platform.h"
#include "lib/stream.h"
#include "core/filters.h"

namespace tobble::cli {
namespace {

constexpr char kUsageLines[] =
    "Usage: tobble [-e ENCODING] FILTER [FILE...]\n"
    "       tobble --list | --help | --version\n";

constexpr char kHelpBody[] =
    "\n"
    "Converts each FILE in turn (standard input when there is none, or for \"-\")\n"
    "with FILTER and writes the result to standard output. Each input is checked\n"
    "before it is converted: nothing of an invalid input is written.\n"
    "\n"
    "Options:\n"
    "  -e, --encoding ENC  input and output encoding: utf-8 (the default) or utf-16le\n"
    "      --list          the filters: export name, key, English name, one a line\n"
    "  -h, --help          this help\n"
    "      --version       the version\n"
    "\n"
    "Filters, each with an example:\n";

constexpr char kHelpEnd[] =
    "\n"
    "A lone surrogate in the result cannot be written as UTF-8: it becomes U+FFFD,\n"
    "with a warning. Exit status: 0 on success, 1 when an input could not be read\n"
    "or is not valid, 2 for a mistake on the command line.\n";

// The example --help shows for a filter; the output beside it is the
// filter's own.
struct Example {
  const char* function;
  const char* input;
};
constexpr Example kExamples[] = {
    {"tobbleJ", u8"café 😀"},
    {"untobbleJ", u8"caf\\u00e9"},
    {"tobbleC", u8"café 😀"},
    {"untobbleC", u8"caf\\u00e9 \\U0001f600"},
    {"charref2text", u8"&lt;p&gt; &eacute;&#233;&#xe9;"},
    {"text2charref", u8"<é>"},
    {"URLencode", u8"a b/é"},
    {"URLdecode", u8"a+b%2F%C3%A9"},
    {"text2charrefx", u8"<é>"},
};

// Input pieces: large enough for few system calls, small enough to keep the
// whole program within a few MiB.
constexpr size_t kBlockBytes = 1 << 18;

// The filters the tool offers: those of the table that convert.
const Filter* FindConvertingFilter(const std::string& function) {
  const Filter* filter = FindFilter(function.c_str());
  return filter != nullptr && filter->convert != nullptr ? filter : nullptr;
}

void Report(const std::string& message) {
  WriteText(kStandardError, "tobble: " + message + "\n");
}

int UsageError(const std::string& problem) {
  Report(problem + "; see 'tobble --help'");
  return 2;
}

// Standard output; remembers why a write failed.
class OutputSink : public ByteSink {
 public:
  bool Write(const uint8_t* bytes, size_t n) override {
    if (WriteAll(kStandardOutput, bytes, n)) return true;
    error_ = errno;
    return false;
  }
  int error() const { return error_; }

 private:
  int error_ = 0;
};

int PrintText(const std::string& text) {
  if (WriteText(kStandardOutput, text) || IsBrokenPipe(errno)) return 0;
  Report("standard output: " + Reason(errno));
  return 1;
}

// The width of the longest name among the filters the tool offers.
size_t NameWidth() {
  size_t width = 0;
  for (const Filter& filter : kFilters) {
    if (filter.convert != nullptr) width = std::max(width, std::string(filter.function).size());
  }
  return width;
}

int PrintList() {
  std::string list;
  for (const Filter& filter : kFilters) {
    if (filter.convert == nullptr) continue;
    std::string function = filter.function;
    function.resize(NameWidth() + 2, ' ');
    list += function + filter.key + "  " + filter.name_en + "\n";
  }
  return PrintText(list);
}

// The filter's UTF-8 output for a UTF-8 text.
std::string ConvertText(const Filter& filter, const std::string& text) {
  StringSink result;
  StreamConverter converter(filter, Encoding::kUtf8, result);
  converter.Feed(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  converter.Finish();
  return result.text;
}

int PrintHelp() {
  std::string help = std::string(kUsageLines) + kHelpBody;
  for (const Filter& filter : kFilters) {
    if (filter.convert == nullptr) continue;
    std::string line = "  " + std::string(filter.function);
    for (const Example& example : kExamples) {
      if (std::string(example.function) != filter.function) continue;
      line.resize(NameWidth() + 4, ' ');
      line += std::string(example.input) + "  ->  " + ConvertText(filter, example.input);
    }
    help += line + "\n";
  }
  return PrintText(help + kHelpEnd);
}

bool ParseEncoding(const std::string& name, Encoding* encoding) {
  std::string lower = name;
  for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  if (lower == "utf-8") {
    *encoding = Encoding::kUtf8;
  } else if (lower == "utf-16le") {
    *encoding = Encoding::kUtf16le;
  } else {
    return false;
  }
  return true;
}

// Closes a file descriptor when it goes out of scope.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() {
    if (fd_ >= 0) Close(fd_);
  }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  int fd_;
};

// Memory from AllocateBuffers, or from the heap where that fails.
class Buffers {
 public:
  explicit Buffers(size_t size) : size_(size), block_(AllocateBuffers(size)) {
    if (block_ == nullptr) heap_.reset(new uint8_t[size]);
  }
  ~Buffers() { FreeBuffers(block_, size_); }
  Buffers(const Buffers&) = delete;
  Buffers& operator=(const Buffers&) = delete;

  uint8_t* bytes() const { return heap_ ? heap_.get() : static_cast<uint8_t*>(block_); }

 private:
  size_t size_;
  void* block_;
  std::unique_ptr<uint8_t[]> heap_;
};

enum class Outcome { kConverted, kFailed, kOutputFailed };

struct Job {
  const Filter& filter;
  Encoding encoding;
  OutputSink& sink;
  uint8_t* block;         // kBlockBytes
  Workspace workspace;    // for each input's StreamConverter
  uint64_t replaced = 0;  // lone surrogates written as U+FFFD
};

Outcome Failed(const std::string& name, int error) {
  Report(name + ": " + Reason(error));
  return Outcome::kFailed;
}

Outcome Invalid(const std::string& name, const InputValidator& validator) {
  Report(name + ": invalid UTF-8 at byte " + std::to_string(validator.error_offset()));
  return Outcome::kFailed;
}

Outcome Finish(Job& job, StreamConverter& converter) {
  if (!converter.Finish()) return Outcome::kOutputFailed;
  job.replaced += converter.replaced();
  return Outcome::kConverted;
}

// Converts `size` bytes from fd, already checked.
Outcome ConvertChecked(Job& job, int fd, const std::string& name, uint64_t size) {
  StreamConverter converter(job.filter, job.encoding, job.sink, {}, FastestTranscoder(),
                            job.workspace);
  while (size > 0) {
    const int64_t got = ReadFull(fd, job.block, std::min<uint64_t>(kBlockBytes, size));
    if (got < 0) return Failed(name, errno);
    if (got == 0) break;  // shorter than when it was checked
    size -= static_cast<uint64_t>(got);
    if (!converter.Feed(job.block, static_cast<size_t>(got))) return Outcome::kOutputFailed;
  }
  return Finish(job, converter);
}

// Checks a whole input, then converts it, so that nothing of an invalid input
// is written. An input that fits one block is read once. A larger one is read
// twice: a regular file from where it started, anything else (a pipe, a
// terminal) from a temporary copy made while checking.
Outcome ConvertInput(Job& job, int fd, const std::string& name) {
  InputValidator validator(job.encoding);
  const bool regular = IsRegularFile(fd);
  const int64_t start = regular ? Tell(fd) : 0;
  if (start < 0) return Failed(name, errno);
  int64_t got = ReadFull(fd, job.block, kBlockBytes);
  if (got < 0) return Failed(name, errno);
  if (static_cast<size_t>(got) < kBlockBytes) {
    const size_t size = static_cast<size_t>(got);
    if (!validator.Check(job.block, size) || !validator.CheckEnd()) return Invalid(name, validator);
    StreamConverter converter(job.filter, job.encoding, job.sink, {}, FastestTranscoder(),
                              job.workspace);
    if (!converter.Feed(job.block, size)) return Outcome::kOutputFailed;
    return Finish(job, converter);
  }

  const int spool = regular ? -1 : OpenTemporaryFile();
  const FileCloser spool_closer(spool);
  if (!regular && spool < 0) return Failed(name + ": temporary file", errno);
  do {
    const size_t size = static_cast<size_t>(got);
    if (!validator.Check(job.block, size)) return Invalid(name, validator);
    if (spool >= 0 && !WriteAll(spool, job.block, size)) {
      return Failed(name + ": temporary file", errno);
    }
    got = ReadFull(fd, job.block, kBlockBytes);
    if (got < 0) return Failed(name, errno);
  } while (got > 0);
  if (!validator.CheckEnd()) return Invalid(name, validator);

  const int source = regular ? fd : spool;
  if (!Seek(source, regular ? start : 0)) {
    return Failed(regular ? name : name + ": temporary file", errno);
  }
  return ConvertChecked(job, source, name, validator.size());
}

bool IsStandardInputName(const ArgChar* name) {
  return name[0] == '-' && name[1] == 0;
}

int Main(int argc, ArgChar** argv) {
  PrepareStandardStreams();
  const Filter* filter = nullptr;
  Encoding encoding = Encoding::kUtf8;
  std::vector<const ArgChar*> files;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = ToUtf8(argv[i]);
    if (!options_end && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_end = true;
        continue;
      }
      if (arg == "-h" || arg == "--help") return PrintHelp();
      if (arg == "--version") return PrintText("tobble " TOBBLE_VERSION "\n");
      if (arg == "--list") return PrintList();
      std::string value;
      if (arg == "-e" || arg == "--encoding") {
        if (i + 1 == argc) return UsageError("option '" + arg + "' needs an encoding");
        value = ToUtf8(argv[++i]);
      } else if (arg.compare(0, 11, "--encoding=") == 0) {
        value = arg.substr(11);
      } else if (arg.compare(0, 2, "-e") == 0) {
        value = arg.substr(2);
      } else {
        return UsageError("unknown option '" + arg + "'");
      }
      if (!ParseEncoding(value, &encoding)) {
        return UsageError("unknown encoding '" + value + "' (utf-8 or utf-16le)");
      }
      continue;
    }
    if (filter == nullptr) {
      filter = FindConvertingFilter(arg);
      if (filter == nullptr) return UsageError("unknown filter '" + arg + "'");
    } else {
      files.push_back(argv[i]);
    }
  }
  if (filter == nullptr) return UsageError("no filter given");

  // One block for the read buffer and the converter's buffers, for every
  // input.
  const size_t workspace_bytes = StreamConverter::WorkspaceBytes(*filter);
  const Buffers buffers(kBlockBytes + workspace_bytes);
  OutputSink sink;
  Job job{
      *filter, encoding, sink, buffers.bytes(), {buffers.bytes() + kBlockBytes, workspace_bytes}};
  int status = 0;
  if (files.empty()) files.push_back(nullptr);
  for (const ArgChar* file : files) {
    const bool standard = file == nullptr || IsStandardInputName(file);
    const std::string name = standard ? "standard input" : ToUtf8(file);
    const int fd = standard ? kStandardInput : OpenForReading(file);
    if (fd < 0) {
      Failed(name, errno);
      status = 1;
      continue;
    }
    const FileCloser closer(standard ? -1 : fd);
    const Outcome outcome = ConvertInput(job, fd, name);
    if (outcome == Outcome::kOutputFailed) {
      // A reader that has gone, as `head` does, ends the program quietly.
      if (IsBrokenPipe(sink.error())) return status;
      Report("standard output: " + Reason(sink.error()));
      return 1;
    }
    if (outcome == Outcome::kFailed) status = 1;
  }
  if (job.replaced > 0) {
    Report("warning: " + std::to_string(job.replaced) + " lone surrogate" +
           (job.replaced == 1 ? "" : "s") + " written as U+FFFD (UTF-8 cannot hold them)");
  }
  return status;
}

}  // namespace
}  // namespace tobble::cli

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return tobble::cli::Main(argc, argv);
}
#else
int main(int argc, char** argv) {
  return tobble::cli::Main(argc, argv);
}
#endif
