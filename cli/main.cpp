// tobble: the filters of the plug-in as a command-line tool. Converts files or
// standard input to standard output, in bounded memory whatever their size.
#include <errno.h>
#include <stdint.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "cli/platform.h"
#include "tobble.h"

namespace tobble::cli {
namespace {

constexpr char kUsageLines[] =
    "Usage: tobble [-e ENCODING] FILTER [FILE...]\n"
    "       tobble --list | --help | --version\n";

constexpr char kHelpBody[] =
    "\n"
    "Converts each FILE in turn (standard input when there is none, or for \"-\")\n"
    "with FILTER and writes the result to standard output. An invalid input is\n"
    "converted up to its first invalid byte, then reported.\n"
    "\n"
    "Options:\n"
    "  -e, --encoding ENC  input and output encoding: utf-8 (the default), utf-16le\n"
    "                      or utf-16be\n"
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

void Report(const std::string& message) {
  WriteText(kStandardError, "tobble: " + message + "\n");
}

int UsageError(const std::string& problem) {
  Report(problem + "; see 'tobble --help'");
  return 2;
}

int PrintText(const std::string& text) {
  if (WriteText(kStandardOutput, text) || IsBrokenPipe(errno)) return 0;
  Report("standard output: " + Reason(errno));
  return 1;
}

std::vector<const tobble_filter*> Filters() {
  std::vector<const tobble_filter*> filters;
  for (size_t i = 0; i < tobble_filter_count(); ++i) filters.push_back(tobble_filter_at(i));
  return filters;
}

// The width of the longest filter name.
size_t NameWidth() {
  size_t width = 0;
  for (const tobble_filter* filter : Filters()) {
    width = std::max(width, std::string(tobble_filter_name(filter)).size());
  }
  return width;
}

int PrintList() {
  std::string list;
  for (const tobble_filter* filter : Filters()) {
    std::string function = tobble_filter_name(filter);
    function.resize(NameWidth() + 2, ' ');
    list += function + tobble_filter_key(filter) + "  " + tobble_filter_name_en(filter) + "\n";
  }
  return PrintText(list);
}

int AppendToString(void* context, const uint8_t* bytes, size_t n) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes), n);
  return 0;
}

// The filter's UTF-8 output for a UTF-8 text.
std::string ConvertText(const tobble_filter* filter, const std::string& text) {
  std::string result;
  tobble_stream* stream = nullptr;
  if (tobble_stream_create(filter, TOBBLE_UTF8, 0, AppendToString, &result, &stream) == TOBBLE_OK) {
    tobble_stream_feed(stream, text.data(), text.size());
    tobble_stream_finish(stream);
  }
  tobble_stream_destroy(stream);
  return result;
}

int PrintHelp() {
  std::string help = std::string(kUsageLines) + kHelpBody;
  for (const tobble_filter* filter : Filters()) {
    const std::string function = tobble_filter_name(filter);
    std::string line = "  " + function;
    for (const Example& example : kExamples) {
      if (example.function != function) continue;
      line.resize(NameWidth() + 4, ' ');
      line += std::string(example.input) + "  ->  " + ConvertText(filter, example.input);
    }
    help += line + "\n";
  }
  return PrintText(help + kHelpEnd);
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

// Standard output as the stream's callback; remembers why a write failed.
struct Output {
  int error = 0;
};

int WriteOutput(void* context, const uint8_t* bytes, size_t n) {
  if (WriteAll(kStandardOutput, bytes, n)) return 0;
  static_cast<Output*>(context)->error = errno;
  return 1;
}

enum class Outcome { kConverted, kFailed, kOutputFailed };

struct Job {
  tobble_stream* stream;
  tobble_encoding encoding;
  uint8_t* block;         // kBlockBytes
  uint64_t replaced = 0;  // lone surrogates written as U+FFFD
};

Outcome Failed(const std::string& name, int error) {
  Report(name + ": " + Reason(error));
  return Outcome::kFailed;
}

// What a stream call's status means for the input.
Outcome Judge(Job& job, const std::string& name, tobble_status status) {
  if (status == TOBBLE_OK) return Outcome::kConverted;
  if (status != TOBBLE_ERROR_INVALID_INPUT) return Outcome::kOutputFailed;
  const std::string offset = std::to_string(tobble_stream_error_offset(job.stream));
  if (job.encoding == TOBBLE_UTF8) {
    Report(name + ": invalid UTF-8 at byte " + offset);
  } else {
    Report(name + ": invalid " + tobble_encoding_name(job.encoding) + " at byte " + offset +
           ": odd number of bytes");
  }
  return Outcome::kFailed;
}

// Converts an input in one pass: what comes before an invalid sequence is
// written, then the input is reported.
Outcome ConvertInput(Job& job, int fd, const std::string& name) {
  tobble_stream_reset(job.stream);
  Outcome outcome = Outcome::kConverted;
  for (;;) {
    const int64_t got = ReadFull(fd, job.block, kBlockBytes);
    if (got < 0) {
      // What was read is converted and written before the report.
      const tobble_status flushed = tobble_stream_flush(job.stream);
      if (flushed != TOBBLE_OK) return Outcome::kOutputFailed;
      return Failed(name, errno);
    }
    if (got == 0) break;
    outcome = Judge(job, name, tobble_stream_feed(job.stream, job.block, static_cast<size_t>(got)));
    if (outcome != Outcome::kConverted) return outcome;
  }
  outcome = Judge(job, name, tobble_stream_finish(job.stream));
  job.replaced += tobble_stream_replaced_surrogates(job.stream);
  return outcome;
}

bool IsStandardInputName(const ArgChar* name) {
  return name[0] == '-' && name[1] == 0;
}

int Main(int argc, ArgChar** argv) {
  PrepareStandardStreams();
  const tobble_filter* filter = nullptr;
  tobble_encoding encoding = TOBBLE_UTF8;
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
      if (arg == "--version") return PrintText("tobble " + std::string(tobble_version()) + "\n");
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
      if (tobble_encoding_parse(value.c_str(), &encoding) != TOBBLE_OK) {
        return UsageError("unknown encoding '" + value + "' (utf-8, utf-16le or utf-16be)");
      }
      continue;
    }
    if (filter == nullptr) {
      filter = tobble_filter_find(arg.c_str());
      if (filter == nullptr) return UsageError("unknown filter '" + arg + "'");
    } else {
      files.push_back(argv[i]);
    }
  }
  if (filter == nullptr) return UsageError("no filter given");

  // The read block and the stream, each allocated once for every input.
  Output output;
  tobble_stream* stream = nullptr;
  const tobble_status created =
      tobble_stream_create(filter, encoding, 0, WriteOutput, &output, &stream);
  const std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kBlockBytes]);
  if (created != TOBBLE_OK || block == nullptr) {
    tobble_stream_destroy(stream);
    Report(tobble_status_message(TOBBLE_ERROR_NO_MEMORY));
    return 1;
  }
  Job job{stream, encoding, block.get()};
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
      if (!IsBrokenPipe(output.error)) {
        Report("standard output: " + Reason(output.error));
        status = 1;
      }
      tobble_stream_destroy(stream);
      return status;
    }
    if (outcome == Outcome::kFailed) status = 1;
  }
  tobble_stream_destroy(stream);
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
