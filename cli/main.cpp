// tobble: the filters of the plug-in as a command-line tool. Converts files or
// standard input to standard output, to a file (-o) or into the files
// themselves (-i), in one pass and in bounded memory whatever their size.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/platform.h"
#include "cli/quote.h"
#include "tobble.h"

namespace tobble::cli {
namespace {

constexpr char kUsageLines[] =
    "Usage: tobble [-e ENCODING] [--replace] [-o FILE | -i] FILTER [FILE...]\n"
    "       tobble --list | --help | --version\n";

constexpr char kHelpBody[] =
    "\n"
    "Converts each FILE in turn (standard input when there is none, or for \"-\")\n"
    "with FILTER and writes the result to standard output, as it goes. At input\n"
    "that is not valid, the conversion of what came before it is written, the\n"
    "rest of that input is skipped with a message, and the next FILE follows.\n"
    "\n"
    "Options:\n"
    "  -e, --encoding ENC  input and output encoding: utf-8 (the default), utf-16le\n"
    "                      or utf-16be, in any case, with or without the hyphen\n"
    "  -o, --output FILE   write to FILE instead, all or nothing: on any failure\n"
    "                      FILE stays as it was\n"
    "  -i, --in-place      convert each FILE into itself, all or nothing per FILE\n"
    "      --replace       write invalid input as U+FFFD instead of stopping\n"
    "      --list          the filters: export name, key, English name, one a line\n"
    "  -h, --help          this help\n"
    "      --version       the version\n"
    "  --                  the end of the options: a FILE after it may start with -\n"
    "\n"
    "Filters, each with an example:\n";

constexpr char kHelpEnd[] =
    "\n"
    "A byte-order mark is the character U+FEFF, converted like any other. A lone\n"
    "surrogate in the result cannot be written as UTF-8: it becomes U+FFFD, with a\n"
    "warning. Exit status: 0 on success, 1 when an input could not be read or is\n"
    "not valid or the output could not be written, 2 for a mistake on the command\n"
    "line.\n";

constexpr char kOutOfMemory[] = "tobble: out of memory\n";

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

int OutOfMemory() {
  WriteRaw(kStandardError, kOutOfMemory);
  return 1;
}

int PrintText(const std::string& text) {
  if (WriteText(kStandardOutput, text) || IsBrokenPipe(errno)) return 0;
  Report("standard output: " + Reason(errno));
  return 1;
}

// The width of the longest filter name.
size_t NameWidth() {
  size_t width = 0;
  for (size_t i = 0; i < tobble_filter_count(); ++i) {
    width = std::max(width, std::string(tobble_filter_name(tobble_filter_at(i))).size());
  }
  return width;
}

int PrintList() {
  std::string list;
  for (size_t i = 0; i < tobble_filter_count(); ++i) {
    const tobble_filter* filter = tobble_filter_at(i);
    std::string function = tobble_filter_name(filter);
    function.resize(NameWidth() + 2, ' ');
    list += function + tobble_filter_key(filter) + "  " + tobble_filter_name_en(filter) + "\n";
  }
  return PrintText(list);
}

// The filter's UTF-8 output for a UTF-8 text.
std::string ConvertText(const tobble_filter* filter, const std::string& text) {
  std::string result(tobble_output_bytes_bound(filter, TOBBLE_UTF8, text.size()), '\0');
  size_t written = 0;
  tobble_convert_bytes(filter, TOBBLE_UTF8, 0, text.data(), text.size(), result.data(),
                       result.size(), &written, nullptr);
  result.resize(written);
  return result;
}

int PrintHelp() {
  std::string help = std::string(kUsageLines) + kHelpBody;
  for (size_t i = 0; i < tobble_filter_count(); ++i) {
    const tobble_filter* filter = tobble_filter_at(i);
    const std::string function = tobble_filter_name(filter);
    std::string line = "  " + function;
    const char* example = tobble_filter_example(filter);
    line.resize(NameWidth() + 4, ' ');
    line += std::string(example) + "  ->  " + ConvertText(filter, example);
    help += line + "\n";
  }
  return PrintText(help + kHelpEnd);
}

// A filter, option or encoding name in a message: in single quotes, and
// quoted as a file name where that needs more.
std::string Quoted(const std::string& text) {
  const std::string quoted = QuoteName(text);
  return quoted == text ? "'" + text + "'" : quoted;
}

// An unknown filter: a usage error, or, when it matches a filter ignoring
// case, the name to use instead.
int UnknownFilter(const std::string& name) {
  const auto lower = [](std::string text) {
    for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
  };
  for (size_t i = 0; i < tobble_filter_count(); ++i) {
    const std::string function = tobble_filter_name(tobble_filter_at(i));
    if (lower(function) == lower(name)) {
      Report("unknown filter " + Quoted(name) + "; did you mean '" + function + "'?");
      return 2;
    }
  }
  return UsageError("unknown filter " + Quoted(name));
}

// Where the stream's output goes: standard output or an AtomicFile. Keeps
// the reason of a failed write.
struct Destination {
  int fd = kStandardOutput;
  int error = 0;
};

int WriteToDestination(void* context, const uint8_t* bytes, size_t n) {
  Destination& destination = *static_cast<Destination*>(context);
  if (WriteAll(destination.fd, bytes, n)) return 0;
  destination.error = errno;
  return 1;
}

enum class Outcome { kConverted, kFailed, kOutputFailed };

// What every input shares: one stream and one read block for the whole run.
struct Job {
  tobble_encoding encoding;
  tobble_stream* stream;
  uint8_t* block;  // kBlockBytes
  Destination destination;
  bool flush_pipes;             // write out what came before waiting for more
  uint64_t replaced_input = 0;  // invalid sequences written as U+FFFD
  uint64_t replaced_lone = 0;   // lone surrogates written as U+FFFD
};

Outcome Failed(const std::string& name, int error) {
  Report(name + ": " + Reason(error));
  return Outcome::kFailed;
}

Outcome Invalid(const Job& job, const std::string& name) {
  const std::string offset = std::to_string(tobble_stream_error_offset(job.stream));
  if (job.encoding == TOBBLE_UTF8) {
    Report(name + ": invalid UTF-8 at byte " + offset);
  } else {
    Report(name + ": invalid " + tobble_encoding_name(job.encoding) + " at byte " + offset +
           ": odd number of bytes");
  }
  return Outcome::kFailed;
}

// Converts one input in a single pass. Everything read is converted and
// handed on at once; a read that comes short (a pipe or a terminal with
// nothing more for now) also writes out what is converted so far, so that
// `tail -f` works. At invalid input the conversion of what came before it is
// written, and the rest is left unread.
Outcome ConvertInput(Job& job, int fd, const std::string& name) {
  tobble_stream_reset(job.stream);
  const bool flush_short_reads = job.flush_pipes && !IsRegularFile(fd);
  tobble_status status = TOBBLE_OK;
  for (;;) {
    const int64_t got = ReadSome(fd, job.block, kBlockBytes);
    if (got < 0) {
      // What came before is converted and written; the input is still not
      // whole.
      const int error = errno;
      tobble_stream_flush(job.stream);
      return Failed(name, error);
    }
    if (got == 0) {
      status = tobble_stream_finish(job.stream);
      break;
    }
    status = tobble_stream_feed(job.stream, job.block, static_cast<size_t>(got));
    if (status == TOBBLE_OK && flush_short_reads && static_cast<size_t>(got) < kBlockBytes) {
      status = tobble_stream_flush(job.stream);
    }
    if (status != TOBBLE_OK) break;
  }
  job.replaced_input += tobble_stream_replaced_input(job.stream);
  job.replaced_lone += tobble_stream_replaced_surrogates(job.stream);
  switch (status) {
    case TOBBLE_OK:
      return Outcome::kConverted;
    case TOBBLE_ERROR_INVALID_INPUT:
      return Invalid(job, name);
    case TOBBLE_ERROR_WRITE:
      return Outcome::kOutputFailed;
    case TOBBLE_ERROR_NO_MEMORY:
      throw std::bad_alloc();
    default:
      Report(name + ": " + tobble_status_message(status));
      return Outcome::kFailed;
  }
}

bool IsStandardInputName(const ArgChar* name) {
  return name[0] == '-' && name[1] == 0;
}

std::string InputName(const ArgChar* file) {
  return file == nullptr || IsStandardInputName(file) ? "standard input" : QuoteName(ToUtf8(file));
}

// Opens and converts one input; standard input for null or "-".
Outcome ConvertFile(Job& job, const ArgChar* file) {
  const std::string name = InputName(file);
  if (file == nullptr || IsStandardInputName(file)) return ConvertInput(job, kStandardInput, name);
  const int fd = OpenForReading(file);
  if (fd < 0) return Failed(name, errno);
  const Outcome outcome = ConvertInput(job, fd, name);
  Close(fd);
  return outcome;
}

// All inputs to standard output. A reader that has gone, as `head` does,
// ends the program quietly.
int ConvertToStandardOutput(Job& job, const std::vector<const ArgChar*>& files) {
  int status = 0;
  for (const ArgChar* file : files) {
    const Outcome outcome = ConvertFile(job, file);
    if (outcome == Outcome::kOutputFailed) {
      if (IsBrokenPipe(job.destination.error)) return status;
      Report("standard output: " + Reason(job.destination.error));
      return 1;
    }
    if (outcome == Outcome::kFailed) status = 1;
  }
  return status;
}

// An AtomicFile's failure: the file or folder it concerns, what was being
// done when that is not plain, and the system's reason.
void FileFailed(const AtomicFile& file, const std::string& target_name, int error) {
  const std::string name =
      file.failed_path().empty() ? target_name : QuoteName(ToUtf8(file.failed_path().c_str()));
  const std::string action = file.failed_action().empty() ? "" : file.failed_action() + ": ";
  Report(name + ": " + action + Reason(error));
}

std::string Plural(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A file replaced under one of its names: the others still lead to the old
// contents.
void WarnOfOtherLinks(const AtomicFile& file, const std::string& name) {
  if (file.links() < 2) return;
  Report("warning: " + name + ": has " + Plural(file.links(), "link", "links") + "; " +
         (file.links() == 2 ? "the other keeps" : "the others keep") + " the old text");
}

// All inputs into one file, or nothing: the first failure leaves it as it
// was. Output that is not a file to replace (a pipe, /dev/stdout) is
// written as it goes, and a reader that has gone ends the program quietly,
// as on standard output.
int ConvertToFile(Job& job, const std::vector<const ArgChar*>& files, const ArgChar* output) {
  const std::string output_name = QuoteName(ToUtf8(output));
  AtomicFile file;
  if (!file.Open(output, false)) {
    FileFailed(file, output_name, errno == EINVAL ? EISDIR : errno);
    return 1;
  }
  job.destination.fd = file.fd();
  job.flush_pipes = file.direct();
  for (const ArgChar* input : files) {
    const Outcome outcome = ConvertFile(job, input);
    if (outcome == Outcome::kOutputFailed) {
      if (file.direct() && IsBrokenPipe(job.destination.error)) return 0;
      Failed(output_name, job.destination.error);
    }
    if (outcome != Outcome::kConverted) return 1;  // `file` removes its temporary file
  }
  if (!file.Commit()) {
    FileFailed(file, output_name, errno);
    return 1;
  }
  WarnOfOtherLinks(file, output_name);
  return 0;
}

// For each file, the position of the first earlier one that is the same
// file under another name (`f ./f`, or a link), or -1.
std::vector<ptrdiff_t> EarlierNames(const std::vector<const ArgChar*>& files) {
  struct Named {
    FileId id;
    size_t position;
  };
  std::vector<Named> known;
  for (size_t k = 0; k < files.size(); ++k) {
    FileId id;
    if (IdentifyFile(files[k], &id)) known.push_back({id, k});
  }
  std::sort(known.begin(), known.end(), [](const Named& a, const Named& b) {
    if (a.id.device != b.id.device) return a.id.device < b.id.device;
    return a.id.index != b.id.index ? a.id.index < b.id.index : a.position < b.position;
  });
  std::vector<ptrdiff_t> earlier(files.size(), -1);
  for (size_t k = 1; k < known.size(); ++k) {
    if (known[k].id == known[k - 1].id) {
      const size_t first = earlier[known[k - 1].position] < 0
                               ? known[k - 1].position
                               : static_cast<size_t>(earlier[known[k - 1].position]);
      earlier[known[k].position] = static_cast<ptrdiff_t>(first);
    }
  }
  return earlier;
}

// Each file into itself, each all or nothing; a file that fails stays as it
// was, and the others are still converted. A file named twice is converted
// once: its identity is taken before any is replaced, as a replaced file is
// a new one.
int ConvertInPlace(Job& job, const std::vector<const ArgChar*>& files) {
  int status = 0;
  const std::vector<ptrdiff_t> earlier = EarlierNames(files);
  for (size_t k = 0; k < files.size(); ++k) {
    const ArgChar* input = files[k];
    const std::string name = InputName(input);
    if (earlier[k] >= 0) {
      Report("warning: " + name + ": the same file as " + InputName(files[earlier[k]]) +
             ", converted once");
      continue;
    }
    // The output first: it refuses what is not a regular file, which
    // could not be replaced and might block when opened (a pipe).
    AtomicFile file;
    if (!file.Open(input, true)) {
      if (errno == EINVAL) {
        Report(name + ": not a regular file");
      } else {
        FileFailed(file, name, errno);
      }
      status = 1;
      continue;
    }
    const int fd = OpenForReading(input);
    if (fd < 0) {
      Failed(name, errno);
      status = 1;
      continue;
    }
    job.destination.fd = file.fd();
    Outcome outcome = ConvertInput(job, fd, name);
    Close(fd);
    if (outcome == Outcome::kOutputFailed) Failed(name, job.destination.error);
    if (outcome == Outcome::kConverted) {
      if (file.Commit()) {
        WarnOfOtherLinks(file, name);
      } else {
        FileFailed(file, name, errno);
        outcome = Outcome::kFailed;
      }
    }
    if (outcome != Outcome::kConverted) status = 1;
  }
  return status;
}

// Reads an option's value: the next argument, or what follows `=` or the
// short option's letter. False when it is missing.
bool OptionValue(int argc, ArgChar** argv, int& i, const std::string& arg, std::string* value,
                 const ArgChar** native) {
  const size_t equals = arg.find('=');
  if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
    *value = arg.substr(equals + 1);
    *native = nullptr;
    return true;
  }
  if (arg.compare(0, 2, "--") != 0 && arg.size() > 2) {
    *value = arg.substr(2);
    *native = argv[i] + 2;
    return true;
  }
  if (i + 1 == argc) return false;
  *native = argv[++i];
  *value = ToUtf8(*native);
  return true;
}

bool IsOption(const std::string& arg, const char* short_name, const char* long_name) {
  const size_t length = std::string(long_name).size();
  return (short_name != nullptr && arg.compare(0, 2, short_name) == 0) || arg == long_name ||
         arg.compare(0, length + 1, std::string(long_name) + "=") == 0;
}

int Main(int argc, ArgChar** argv) {
  PrepareStandardStreams();
  const tobble_filter* filter = nullptr;
  tobble_encoding encoding = TOBBLE_UTF8;
  unsigned flags = 0;
  bool in_place = false;
  const ArgChar* output = nullptr;
  NativeString output_storage;  // an --output=FILE value
  std::vector<const ArgChar*> files;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = ToUtf8(argv[i]);
    if (!options_end && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_end = true;
      } else if (arg == "-h" || arg == "--help") {
        return PrintHelp();
      } else if (arg == "--version") {
        return PrintText(std::string("tobble ") + tobble_version() + "\n");
      } else if (arg == "--list") {
        return PrintList();
      } else if (arg == "--replace") {
        flags |= TOBBLE_REPLACE;
      } else if (arg == "-i" || arg == "--in-place") {
        in_place = true;
      } else if (IsOption(arg, "-e", "--encoding")) {
        std::string value;
        const ArgChar* native;
        if (!OptionValue(argc, argv, i, arg, &value, &native)) {
          return UsageError("option '" + arg + "' needs an encoding");
        }
        if (tobble_encoding_parse(value.c_str(), &encoding) != TOBBLE_OK) {
          return UsageError("unknown encoding " + Quoted(value) + " (utf-8, utf-16le or utf-16be)");
        }
      } else if (IsOption(arg, "-o", "--output")) {
        std::string value;
        if (!OptionValue(argc, argv, i, arg, &value, &output)) {
          return UsageError("option '" + arg + "' needs a file name");
        }
        if (output == nullptr) {
          const NativeString whole = argv[i];
          output_storage = whole.substr(whole.find('=') + 1);
          output = output_storage.c_str();
        }
        if (value.empty()) return UsageError("option '-o' needs a file name");
      } else {
        return UsageError("unknown option " + Quoted(arg));
      }
      continue;
    }
    if (filter == nullptr) {
      filter = tobble_filter_find(arg.c_str());
      if (filter == nullptr) return UnknownFilter(arg);
    } else {
      files.push_back(argv[i]);
    }
  }
  if (filter == nullptr) return UsageError("no filter given");
  if (in_place) {
    if (output != nullptr) return UsageError("options '-i' and '-o' exclude each other");
    if (files.empty()) return UsageError("option '-i' needs a FILE");
    for (const ArgChar* file : files) {
      if (IsStandardInputName(file)) {
        return UsageError("option '-i' cannot convert standard input ('-')");
      }
    }
  }
  if (files.empty()) files.push_back(nullptr);
  // `-o -` is standard output, as an input of "-" is standard input.
  if (output != nullptr && IsStandardInputName(output)) output = nullptr;

  // The stream and the read block, for every input: all the memory the
  // conversion will ever need, had once at the start.
  Job job{encoding, nullptr, nullptr, {}, output == nullptr && !in_place};
  if (tobble_stream_create(filter, encoding, flags, WriteToDestination, &job.destination,
                           &job.stream) != TOBBLE_OK) {
    return OutOfMemory();
  }
  const std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kBlockBytes]);
  if (block == nullptr) {
    tobble_stream_destroy(job.stream);
    return OutOfMemory();
  }
  job.block = block.get();

  int status = 0;
  try {
    status = in_place            ? ConvertInPlace(job, files)
             : output != nullptr ? ConvertToFile(job, files, output)
                                 : ConvertToStandardOutput(job, files);
  } catch (...) {
    tobble_stream_destroy(job.stream);
    throw;
  }
  tobble_stream_destroy(job.stream);
  if (job.replaced_input > 0) {
    Report("warning: " +
           Plural(job.replaced_input, "invalid input sequence", "invalid input sequences") +
           " written as U+FFFD");
  }
  if (job.replaced_lone > 0) {
    Report("warning: " + Plural(job.replaced_lone, "lone surrogate", "lone surrogates") +
           " written as U+FFFD (UTF-8 cannot hold them)");
  }
  return status;
}

// Any allocation that fails ends the program with one line, never with an
// exception that escapes; the AtomicFile in use removes its temporary file
// as the exception passes.
int GuardedMain(int argc, ArgChar** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  } catch (const std::length_error&) {
    return OutOfMemory();
  }
}

}  // namespace
}  // namespace tobble::cli

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return tobble::cli::GuardedMain(argc, argv);
}
#else
int main(int argc, char** argv) {
  return tobble::cli::GuardedMain(argc, argv);
}
#endif
