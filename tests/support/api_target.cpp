#include "tests/support/api_target.h"

#include <stdio.h>

#include <memory>

#include "include/tobble.h"
#include "tests/support/byte_stream_target.h"
#include "tests/support/utf.h"

namespace tobble::testing {
namespace {

using Violations = std::vector<Violation>;

// The input: two header bytes, then one byte a call.
//   byte 0: the filter (low 6 bits, modulo the count), the encoding (high 2
//           bits: UTF-8, UTF-16LE, UTF-16BE, UTF-8)
//   byte 1: bit 0 replace mode; bit 1 the callback calls into its own stream
//           each time; bits 2-7, when not 0, the callback's call (counted
//           from creation or reset) that fails
//   a call: its low 3 bits pick it, the high 5 (A) say more
//     0, 1  feed the next A bytes of the input
//     2     feed the next 16 * A bytes
//     3     feed the next 256 * A bytes
//     4     flush   5  finish   6  reset
//     7     destroy, and create a stream with filter A (modulo the count)
// When the calls are done an unfinished stream is finished, and the one-shot
// call converts the stream's last input.
enum Call : uint8_t { kFeed = 0, kFeed16 = 2, kFeed256 = 3, kFlush, kFinish, kReset, kRecreate };
constexpr uint8_t kReplaceBit = 1;
constexpr uint8_t kReenterBit = 2;

constexpr tobble_encoding kHeaderEncodings[] = {TOBBLE_UTF8, TOBBLE_UTF16LE, TOBBLE_UTF16BE,
                                                TOBBLE_UTF8};

lib::Encoding LibEncoding(tobble_encoding encoding) {
  return encoding == TOBBLE_UTF8      ? lib::Encoding::kUtf8
         : encoding == TOBBLE_UTF16LE ? lib::Encoding::kUtf16le
                                      : lib::Encoding::kUtf16be;
}

std::string Show(const std::string& bytes) {
  constexpr size_t kShown = 120;
  std::string shown = "\"";
  for (size_t i = 0; i < bytes.size() && i < kShown; ++i) {
    const uint8_t b = static_cast<uint8_t>(bytes[i]);
    char hex[8];
    snprintf(hex, sizeof hex, b >= 0x20 && b < 0x7F && b != '\\' && b != '"' ? "%c" : "\\x%02X", b);
    shown += hex;
  }
  shown += "\"";
  if (bytes.size() > kShown) shown += "... (" + std::to_string(bytes.size()) + " bytes)";
  return shown;
}

bool IsPrefix(const std::string& prefix, const std::string& whole) {
  return prefix.size() <= whole.size() && whole.compare(0, prefix.size(), prefix) == 0;
}

// One stream and what the model knows of it.
struct Session {
  const Filter* filter = nullptr;
  tobble_encoding encoding = TOBBLE_UTF8;
  bool replace = false;
  bool reenter = false;
  unsigned fail_at = 0;  // the callback's call that fails, or 0
  tobble_stream* stream = nullptr;
  std::string input;  // fed since creation or reset
  std::string got;    // taken by the callback since then
  unsigned calls = 0;
  bool failed = false;   // the callback has failed
  bool stopped = false;  // finished, or stopped by an error
  bool in_callback = false;
  Violations* found = nullptr;

  std::string Where() const {
    return std::string(filter->function) + " in " + tobble_encoding_name(encoding) +
           (replace ? ", replace" : ", strict") + " after " + Show(input);
  }
  void Report(Property property, const std::string& what) {
    found->push_back({property, Where() + ": " + what});
  }
  PlainStream Plain(const std::string& bytes) const {
    return StreamPlainly(*filter, LibEncoding(encoding), replace, bytes);
  }
};

void ExpectStatus(Session& s, Property property, const char* call, tobble_status status,
                  tobble_status expected) {
  if (status != expected) {
    s.Report(property, std::string(call) + " gave \"" + tobble_status_message(status) +
                           "\", not \"" + tobble_status_message(expected) + "\"");
  }
}

int Write(void* context, const uint8_t* bytes, size_t n) {
  Session& s = *static_cast<Session*>(context);
  if (n == 0) s.Report(Property::kStreamCalls, "the callback was handed 0 bytes");
  if (s.failed) s.Report(Property::kFailedWrite, "the callback was called again after it failed");
  if (s.in_callback) s.Report(Property::kStreamCalls, "the callback was entered twice");
  if (s.reenter) {
    s.in_callback = true;
    const uint8_t byte = 'a';
    ExpectStatus(s, Property::kStreamCalls, "feed from the callback",
                 tobble_stream_feed(s.stream, &byte, 1), TOBBLE_ERROR_REENTERED);
    ExpectStatus(s, Property::kStreamCalls, "flush from the callback",
                 tobble_stream_flush(s.stream), TOBBLE_ERROR_REENTERED);
    ExpectStatus(s, Property::kStreamCalls, "finish from the callback",
                 tobble_stream_finish(s.stream), TOBBLE_ERROR_REENTERED);
    ExpectStatus(s, Property::kStreamCalls, "reset from the callback",
                 tobble_stream_reset(s.stream), TOBBLE_ERROR_REENTERED);
    tobble_stream_destroy(s.stream);  // does nothing from here
    s.in_callback = false;
  }
  if (++s.calls == s.fail_at) {
    s.failed = true;
    return 1;
  }
  s.got.append(reinterpret_cast<const char*>(bytes), n);
  return 0;
}

bool Create(Session& s) {
  s.input.clear();
  s.got.clear();
  s.calls = 0;
  s.failed = s.stopped = false;
  const tobble_status status =
      tobble_stream_create(tobble_filter_find(s.filter->function), s.encoding,
                           s.replace ? TOBBLE_REPLACE : 0, Write, &s, &s.stream);
  ExpectStatus(s, Property::kStreamCalls, "create", status, TOBBLE_OK);
  return status == TOBBLE_OK && s.stream != nullptr;
}

// Whether invalid input found in `input` stays invalid there whatever comes
// next (not a sequence that the end of the input merely cut short).
bool InvalidWhateverFollows(const Session& s, const PlainStream& now) {
  for (const char* more : {"\x80\x80\x80", "\x90\x80\x80", "\xA0\x80\x80"}) {
    const PlainStream later = s.Plain(s.input + more);
    if (later.valid || later.error_offset != now.error_offset) return false;
  }
  return true;
}

// The checks after feed, flush or finish.
void AfterCall(Session& s, const char* call, tobble_status status, bool was_stopped,
               bool failed_before, bool ends) {
  if (was_stopped) {
    ExpectStatus(s, failed_before ? Property::kFailedWrite : Property::kStreamCalls, call, status,
                 TOBBLE_ERROR_FINISHED);
    return;
  }
  const PlainStream plain = s.Plain(s.input);
  if (s.failed) {
    ExpectStatus(s, Property::kFailedWrite, call, status, TOBBLE_ERROR_WRITE);
    if (!IsPrefix(s.got, plain.bytes)) {
      s.Report(Property::kFailedWrite, std::string(call) + ": the callback took " + Show(s.got) +
                                           ", which does not begin " + Show(plain.bytes));
    }
    s.stopped = true;
    return;
  }
  if (status == TOBBLE_ERROR_INVALID_INPUT) {
    s.stopped = true;
    const uint64_t offset = tobble_stream_error_offset(s.stream);
    if (s.replace || plain.valid || offset != plain.error_offset ||
        (!ends && !InvalidWhateverFollows(s, plain))) {
      s.Report(
          Property::kStreamCalls,
          std::string(call) + " refused the input at byte " + std::to_string(offset) +
              "; plainly " +
              (plain.valid ? "valid" : "refused at byte " + std::to_string(plain.error_offset)) +
              (ends ? "" : " (the input may go on)"));
    }
  } else if (status != TOBBLE_OK) {
    ExpectStatus(s, Property::kStreamCalls, call, status, TOBBLE_OK);
    s.stopped = true;
    return;
  } else if (ends) {
    s.stopped = true;
    if (!plain.valid) {
      s.Report(Property::kStreamCalls, std::string(call) + " took input refused plainly at byte " +
                                           std::to_string(plain.error_offset));
    }
  }
  const bool whole = s.stopped;  // all output is out
  if (whole ? s.got != plain.bytes : !IsPrefix(s.got, plain.bytes)) {
    s.Report(Property::kStreamCalls, std::string(call) + ": the callback took " + Show(s.got) +
                                         (whole ? ", plainly " : ", which does not begin ") +
                                         Show(plain.bytes));
  }
  if (tobble_stream_bytes_out(s.stream) != s.got.size()) {
    s.Report(Property::kStreamCalls,
             std::string(call) + ": counted " + std::to_string(tobble_stream_bytes_out(s.stream)) +
                 " bytes out, the callback took " + std::to_string(s.got.size()));
  }
  if (whole && (tobble_stream_replaced_input(s.stream) != plain.replaced_input ||
                tobble_stream_replaced_surrogates(s.stream) != plain.replaced_surrogates)) {
    s.Report(Property::kStreamCalls,
             std::string(call) + ": counted " +
                 std::to_string(tobble_stream_replaced_input(s.stream)) + " invalid parts and " +
                 std::to_string(tobble_stream_replaced_surrogates(s.stream)) +
                 " lone surrogates replaced, plainly " + std::to_string(plain.replaced_input) +
                 " and " + std::to_string(plain.replaced_surrogates));
  }
}

// The one-shot call on the same bytes: what the finished stream writes, in
// a buffer of exactly the bound it asks for; one byte less is refused.
void CheckOneShot(Session& s) {
  const tobble_filter* filter = tobble_filter_find(s.filter->function);
  const unsigned flags = s.replace ? TOBBLE_REPLACE : 0;
  const size_t bound = tobble_output_bytes_bound(filter, s.encoding, s.input.size());
  const PlainStream plain = s.Plain(s.input);
  if (bound < plain.bytes.size()) {
    s.Report(Property::kOneShot, "a bound of " + std::to_string(bound) + " bytes for " +
                                     std::to_string(plain.bytes.size()) + " of output");
    return;
  }
  std::unique_ptr<uint8_t[]> out(new uint8_t[bound > 0 ? bound : 1]);
  size_t written = 1, offset = 1;
  tobble_status status = tobble_convert_bytes(filter, s.encoding, flags, s.input.data(),
                                              s.input.size(), out.get(), bound, &written, &offset);
  const std::string bytes(reinterpret_cast<const char*>(out.get()), written);
  const tobble_status expected = plain.valid ? TOBBLE_OK : TOBBLE_ERROR_INVALID_INPUT;
  if (status != expected || bytes != plain.bytes || offset != plain.error_offset) {
    s.Report(Property::kOneShot, std::string("gave \"") + tobble_status_message(status) + "\", " +
                                     Show(bytes) + ", error offset " + std::to_string(offset) +
                                     "; plainly " + Show(plain.bytes) + ", error offset " +
                                     std::to_string(plain.error_offset));
  }
  if (bound == 0) return;
  written = 1;
  status = tobble_convert_bytes(filter, s.encoding, flags, s.input.data(), s.input.size(),
                                out.get(), bound - 1, &written, nullptr);
  if (status != TOBBLE_ERROR_CAPACITY || written != 0) {
    s.Report(Property::kOneShot, "a byte less than the bound gave \"" +
                                     std::string(tobble_status_message(status)) + "\" and " +
                                     std::to_string(written) + " bytes");
  }
}

Violations CheckApiInput(const FuzzTarget&, const uint8_t* data, size_t size) {
  Violations found;
  if (size < 2) return found;
  Session s;
  s.found = &found;
  s.filter = &kFilters[(data[0] & 0x3F) % kFilterCount];
  s.encoding = kHeaderEncodings[data[0] >> 6];
  s.replace = (data[1] & kReplaceBit) != 0;
  s.reenter = (data[1] & kReenterBit) != 0;
  s.fail_at = data[1] >> 2;
  if (!Create(s)) return found;
  for (size_t at = 2; at < size && found.empty();) {
    const uint8_t call = data[at] & 7, more = data[at] >> 3;
    ++at;
    const bool was_stopped = s.stopped, failed_before = s.failed;
    if (call <= kFeed256) {
      const size_t wanted = call == kFeed256 ? 256u * more : call == kFeed16 ? 16u * more : more;
      const size_t n = wanted < size - at ? wanted : size - at;
      const tobble_status status = tobble_stream_feed(s.stream, data + at, n);
      if (!was_stopped) s.input.append(reinterpret_cast<const char*>(data) + at, n);
      at += n;
      AfterCall(s, "feed", status, was_stopped, failed_before, false);
    } else if (call == kFlush) {
      AfterCall(s, "flush", tobble_stream_flush(s.stream), was_stopped, failed_before, false);
    } else if (call == kFinish) {
      AfterCall(s, "finish", tobble_stream_finish(s.stream), was_stopped, failed_before, true);
      if (!was_stopped) CheckOneShot(s);
    } else if (call == kReset) {
      ExpectStatus(s, Property::kStreamCalls, "reset", tobble_stream_reset(s.stream), TOBBLE_OK);
      s.input.clear();
      s.got.clear();
      s.calls = 0;
      s.failed = s.stopped = false;
      if (tobble_stream_bytes_in(s.stream) != 0 || tobble_stream_bytes_out(s.stream) != 0) {
        s.Report(Property::kStreamCalls, "the counts do not start again at 0 after a reset");
      }
    } else {
      tobble_stream_destroy(s.stream);
      s.stream = nullptr;
      s.filter = &kFilters[more % kFilterCount];
      if (!Create(s)) return found;
    }
  }
  if (found.empty() && !s.stopped) {
    AfterCall(s, "finish", tobble_stream_finish(s.stream), false, s.failed, true);
    CheckOneShot(s);
  }
  tobble_stream_destroy(s.stream);
  return found;
}

// The case's text in UTF-8 (lone surrogates in the three-byte form that
// makes it invalid) fed in pieces of 5 bytes with a flush after each,
// finished, reset and fed again whole; in UTF-16LE in replace mode with a
// callback that calls back in and then fails on its second call; in
// UTF-16BE fed whole after a stream created again.
std::vector<std::string> ApiInputs(const Filter& filter, const std::u16string& text) {
  std::string utf8;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code_point = text[i];
    if (code_point >= 0xD800 && code_point < 0xDC00 && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    AppendUtf8(utf8, code_point);
  }
  const auto feed = [](const std::string& bytes, size_t piece, bool flush) {
    std::string calls;
    for (size_t at = 0; at < bytes.size(); at += piece) {
      const std::string part = bytes.substr(at, piece);
      calls += static_cast<char>(kFeed | part.size() << 3) + part;
      if (flush) calls += static_cast<char>(kFlush);
    }
    return calls;
  };
  const char index = static_cast<char>(&filter - kFilters);
  const std::string utf16le = WriteUtf16(text, false), utf16be = WriteUtf16(text, true);
  return {std::string{index, 0} + feed(utf8, 5, true) + static_cast<char>(kFinish) +
              static_cast<char>(kReset) + feed(utf8, 31, false),
          std::string{static_cast<char>(index | 1 << 6),
                      static_cast<char>(kReplaceBit | kReenterBit | 2 << 2)} +
              feed(utf16le, 7, true),
          std::string{static_cast<char>(index | 2 << 6), 0} +
              static_cast<char>(kRecreate | index << 3) + feed(utf16be, 31, false)};
}

}  // namespace

FuzzTarget MakeApiTarget() {
  return {"api",
          nullptr,
          CheckApiInput,
          ApiInputs,
          "a header of two bytes, then calls: the first byte picks the filter (its low 6 bits, "
          "modulo " +
              std::to_string(kFilterCount) +
              ") and the encoding (its high 2 bits: UTF-8, UTF-16LE, UTF-16BE, UTF-8), the second "
              "replace mode (bit 0), a callback that calls into its own stream (bit 1) and the "
              "callback's call that fails (bits 2 to 7, 0 for none); then each byte is a call of "
              "include/tobble.h by its low 3 bits, its high 5 bits (A) saying more: feed the next "
              "A, 16 A or 256 A bytes of the input, flush, finish, reset, or destroy and create "
              "with filter A; an unfinished stream is finished at the end, and "
              "tobble_convert_bytes() converts each finished input",
          {Property::kStreamCalls, Property::kFailedWrite, Property::kOneShot}};
}

}  // namespace tobble::testing
