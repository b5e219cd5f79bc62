// convert(): a str converted through this thread's slice buffers, which stay
// in the processor's cache.
#include "python/src/convert.h"

#include <stdint.h>
#include <string.h>

#include "filters/filters.h"
#include "include/tobble.h"
#include "python/src/arguments.h"
#include "python/src/pages.h"
#include "python/src/threads.h"
#include "python/src/units.h"

namespace tobble_python {
namespace {

// The sliced conversion's input slice in units: its output (at most
// tobble_output_bound of it, 9 units a unit) stays in the processor's
// cache, and a 64 KiB text is one slice.
constexpr size_t kSliceUnits = 32 * 1024;

// The most a thread keeps for writing results into before they are copied
// into a str of their own size; larger ones are written into their str.
constexpr size_t kStagingBytes = size_t{4} << 20;

// Of a result larger than that, the most taken before the output shows what
// it needs.
constexpr size_t kUpFrontRoom = size_t{64} << 20;

// The encoders' UTF-16 way converts a slice this many units at a time.
constexpr size_t kPieceUnits = 4096;

// A call's input and output slice buffers.
class SliceBuffers {
 public:
  static constexpr size_t kInRoom = kSliceUnits + TOBBLE_MAX_TAIL;

  SliceBuffers() = default;
  SliceBuffers(const SliceBuffers&) = delete;
  SliceBuffers& operator=(const SliceBuffers&) = delete;
  ~SliceBuffers() {
    PyMem_RawFree(in_);
    PyMem_RawFree(utf8_);
  }

  // The UTF-8 of a slice of kSliceUnits code points (and one more), for the
  // encoders' way; false when memory ran out. No Python API.
  bool ReadyUtf8() {
    if (utf8_ == nullptr) utf8_ = static_cast<uint8_t*>(PyMem_RawMalloc(kUtf8Room));
    return utf8_ != nullptr;
  }
  static constexpr size_t kUtf8Room = 4 * kSliceUnits + 4;
  uint8_t* utf8() { return utf8_; }

  // Allocates the buffers unless they are; false when memory ran out. No
  // Python API.
  bool Ready() {
    if (in_ != nullptr) return true;
    size_t out_room = 0;
    for (size_t i = 0; i < tobble_filter_count(); ++i) {
      size_t bound = tobble_output_bound(tobble_filter_at(i), kInRoom);
      out_room = bound > out_room ? bound : out_room;
    }
    in_ = static_cast<uint16_t*>(PyMem_RawMalloc((kInRoom + out_room) * 2));
    out_room_ = out_room;
    return in_ != nullptr;
  }

  uint16_t* in() { return in_; }
  uint16_t* out() { return in_ + kInRoom; }
  size_t out_room() const { return out_room_; }

  // Results of up to kStagingBytes are written here first (StrBuilder).
  StagingBuffer staging;

 private:
  uint16_t* in_ = nullptr;
  size_t out_room_ = 0;
  uint8_t* utf8_ = nullptr;
};

// A text's units a slice at a time: a str of two bytes a code point is
// UTF-16 already and is read where it is; any other is widened into the
// slice buffer, behind the unread tail of the slice before. No Python API.
class SliceSource {
 public:
  SliceSource(PyObject* text, uint16_t* buffer) : reader_(text), buffer_(buffer) {
    if (PyUnicode_KIND(text) == PyUnicode_2BYTE_KIND) {
      units_ = PyUnicode_2BYTE_DATA(text);
      length_ = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    }
  }

  // The next slice, *n units, and whether it ends the text.
  const uint16_t* Next(size_t* n, int* last) {
    if (units_ != nullptr) {
      *n = length_ - at_ < kSliceUnits ? length_ - at_ : kSliceUnits;
      *last = at_ + *n == length_;
      return units_ + at_;
    }
    *n = held_ + reader_.Read(buffer_ + held_, SliceBuffers::kInRoom - held_);
    *last = reader_.done();
    return buffer_;
  }

  // Notes that the conversion read `read` of the slice's n units; false
  // when it left more than the library ever leaves, which would mean no
  // progress.
  bool Consumed(size_t read, size_t n) {
    if (n - read > TOBBLE_MAX_TAIL) return false;
    if (units_ != nullptr) {
      at_ += read;
    } else {
      held_ = n - read;
      memmove(buffer_, buffer_ + read, held_ * sizeof(uint16_t));
    }
    return true;
  }

 private:
  UnitReader reader_;
  uint16_t* buffer_;
  const uint16_t* units_ = nullptr;  // a two-byte str's own units
  size_t length_ = 0;
  size_t at_ = 0;
  size_t held_ = 0;
};

// How much room a result gets each time it needs more.
class RoomPolicy {
 public:
  // For a text of `units` units (at most); `least` gives only the room the
  // output needs, slice by slice, for the tests.
  RoomPolicy(const tobble_filter* filter, size_t units, bool least)
      : units_(units), bound_(tobble_output_bound(filter, units)), least_(least) {}

  // The room for the builder's output so far and `written` code points
  // more, the conversion of the text's first `read` units.
  size_t Room(const StrBuilder& builder, size_t read, size_t written) const {
    size_t needed = builder.length() + written;
    if (least_) return needed;
    size_t room;
    if (!builder.started()) {
      // The text's output grows as its first slice's did, give or take an
      // eighth; but of more than twice the text's units, only
      // kUpFrontRoom is taken at once, so that a conversion stopped early
      // took little.
      room = read > 0 ? written * (units_ / read) + written : bound_;
      room += room / 8;
      size_t cap = 2 * units_ > kUpFrontRoom ? 2 * units_ : kUpFrontRoom;
      room = room < cap ? room : cap;
    } else {
      room = 2 * builder.room();
    }
    // Never more than any output can take, nor less than this one needs.
    if (bound_ > 0 && room > bound_) room = bound_;
    return room > needed ? room : needed;
  }

 private:
  size_t units_;
  size_t bound_;  // 0 when it does not fit a size_t
  bool least_;
};

// Converts slice by slice into the builder, with the GIL released but for
// the builder's allocations. Stops early when a signal handler raised or
// the builder could not grow: then *raised is set, and so is the
// exception.
tobble_status ConvertSlices(const tobble_filter* filter, PyObject* text, const RoomPolicy& policy,
                            SliceBuffers* buffers, StrBuilder* builder, bool* raised) {
  GilReleased gil;
  SliceSource source(text, buffers->in());
  *raised = false;
  size_t total_read = 0;
  while (true) {
    size_t n;
    int last;
    const uint16_t* in = source.Next(&n, &last);
    size_t read = 0;
    size_t written = 0;
    tobble_status status =
        tobble_convert(filter, in, n, buffers->out(), buffers->out_room(), last, &read, &written);
    if (status != TOBBLE_OK) return status;
    total_read += read;
    if (!builder->Append(buffers->out(), written)) {
      size_t room = policy.Room(*builder, total_read, written);
      if (!gil.WithGil([&] { return builder->Reserve(buffers->out(), written, room); })) {
        *raised = true;
        return TOBBLE_OK;
      }
      // Reserve made the room and storage the units need.
      if (!builder->Append(buffers->out(), written)) return TOBBLE_ERROR_CAPACITY;
    }
    if (last) return TOBBLE_OK;
    if (!gil.Continue()) {
      *raised = true;
      return TOBBLE_OK;
    }
    if (!source.Consumed(read, n)) return TOBBLE_ERROR_CAPACITY;
  }
}

// Converts in one pass, slice by slice, straight into the result. With
// `least`, the result is given only the room it needs, slice by slice.
PyObject* ConvertSliced(const tobble_filter* filter, PyObject* text, bool least) {
  // Kept from call to call: a conversion into fresh memory pays a page
  // fault every 4 KiB, which costs more than converting what fills it.
  KeptLease<SliceBuffers> lease;
  SliceBuffers* buffers = lease.get();
  if (!buffers->Ready()) return PyErr_NoMemory();
  size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  // A code point above U+FFFF is two units.
  size_t units = PyUnicode_KIND(text) == PyUnicode_4BYTE_KIND ? 2 * length : length;
  RoomPolicy policy(filter, units, least);
  // The tests' way goes from the staging buffer to a str of its own early.
  StrBuilder builder(&buffers->staging, least ? kSliceUnits : kStagingBytes);
  bool raised;
  tobble_status status = ConvertSlices(filter, text, policy, buffers, &builder, &raised);
  if (raised) return nullptr;
  if (status != TOBBLE_OK) return RaiseStatus(status);
  return builder.Finish();
}

// Converts a text of at most one slice once, through the slice buffers; with the GIL released for
// more than kReleaseGilBytes of units.
PyObject* ConvertOneSlice(const tobble_filter* filter, PyObject* text) {
  KeptLease<SliceBuffers> lease;
  SliceBuffers* buffers = lease.get();
  if (!buffers->Ready()) return PyErr_NoMemory();
  bool release = static_cast<size_t>(PyUnicode_GET_LENGTH(text)) * 2 > kReleaseGilBytes;
  size_t written = 0;
  tobble_status status;
  StrShape shape{0, 0};
  {
    PyThreadState* state = release ? PyEval_SaveThread() : nullptr;
    const uint16_t* in;
    size_t n;
    if (PyUnicode_KIND(text) == PyUnicode_2BYTE_KIND) {
      in = PyUnicode_2BYTE_DATA(text);
      n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    } else {
      UnitReader reader(text);
      n = reader.Read(buffers->in(), SliceBuffers::kInRoom);
      in = buffers->in();
    }
    status =
        tobble_convert(filter, in, n, buffers->out(), buffers->out_room(), 1, nullptr, &written);
    if (status == TOBBLE_OK) shape = ShapeOf(buffers->out(), written);
    if (release) PyEval_RestoreThread(state);
  }
  if (status != TOBBLE_OK) return RaiseStatus(status);
  PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), shape.max_char);
  if (result == nullptr) return nullptr;
  PyThreadState* state = release ? PyEval_SaveThread() : nullptr;
  FillStr(result, buffers->out(), written);
  if (release) PyEval_RestoreThread(state);
  return result;
}

// An encoder's result: ASCII bytes, written straight into a one-byte str by
// its conversion over UTF-8 or from the str's own units or code points, or
// narrowed into it from its UTF-16 output. A
// result of up to `staging_limit` bytes is written into the staging buffer
// and copied into a str of its own size at the end, as StrBuilder does; a
// larger one straight into its str, on huge pages. Space and Wrote use no
// Python API; Reserve and Finish do.
class AsciiBuilder {
 public:
  AsciiBuilder(StagingBuffer* staging, size_t staging_limit)
      : staging_(staging), staging_limit_(staging_limit) {}
  AsciiBuilder(const AsciiBuilder&) = delete;
  AsciiBuilder& operator=(const AsciiBuilder&) = delete;
  ~AsciiBuilder() { Py_XDECREF(text_); }

  bool started() const { return staged_ || text_ != nullptr; }
  bool staged() const { return staged_; }
  size_t length() const { return at_; }
  size_t room() const { return room_; }

  // Where the next bytes go when `need` bytes fit after those so far, or
  // null: then Reserve.
  uint8_t* Space(size_t need) {
    if (!started() || need > room_ - at_) return nullptr;
    return static_cast<uint8_t*>(staged_ ? staging_->data : PyUnicode_DATA(text_)) + at_;
  }
  void Wrote(size_t n) { at_ += n; }

  // Makes room for `room` bytes in all (at least those so far); false with
  // the exception set.
  bool Reserve(size_t room) {
    room = room > at_ ? room : at_;
    if (text_ == nullptr && room <= staging_limit_) {
      // Never none at all, so that Space finds memory even for no bytes.
      size_t bytes = room > 0 ? room : 1;
      if (!staging_->Grow(bytes)) {
        PyErr_NoMemory();
        return false;
      }
      staged_ = true;
      room_ = room;
      return true;
    }
    // As much more as fills the last huge page of a large str.
    const size_t header = sizeof(PyASCIIObject);
    if (room < PY_SSIZE_T_MAX - header - 1) room = HugePageSize(header + room + 1) - header - 1;
    if (text_ != nullptr) {
      if (PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(room)) != 0) return false;
    } else {
      text_ = PyUnicode_New(static_cast<Py_ssize_t>(room), 0x7F);
      if (text_ == nullptr) return false;
    }
    AdviseHugePages(PyUnicode_DATA(text_), room + 1);
    if (staged_) memcpy(PyUnicode_DATA(text_), staging_->data, at_);
    staged_ = false;
    room_ = room;
    return true;
  }

  // The str of the bytes written (a new reference); null with the
  // exception set.
  PyObject* Finish() {
    if (staged_) {
      PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(at_), 0x7F);
      if (text != nullptr) memcpy(PyUnicode_DATA(text), staging_->data, at_);
      return text;
    }
    if (text_ == nullptr) return PyUnicode_New(0, 0x7F);
    if (PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(at_)) != 0) return nullptr;
    PyObject* text = text_;
    text_ = nullptr;
    return text;
  }

 private:
  StagingBuffer* staging_;
  size_t staging_limit_;
  bool staged_ = false;       // written into the staging buffer
  PyObject* text_ = nullptr;  // or into this str
  size_t at_ = 0;
  size_t room_ = 0;
};

// Narrows n units into bytes, in one pass that compilers vectorize; false
// when one of them is not ASCII.
bool NarrowAscii(const char16_t* units, size_t n, uint8_t* out) {
  char16_t all = 0;
  for (size_t i = 0; i < n; ++i) {
    out[i] = static_cast<uint8_t>(units[i]);
    all |= units[i];
  }
  return all < 0x80;
}

// Whether n bytes are all ASCII, in one pass that compilers vectorize.
bool AllAscii(const uint8_t* bytes, size_t n) {
  uint8_t all = 0;
  for (size_t i = 0; i < n; ++i) all |= bytes[i];
  return all < 0x80;
}

// The code points whose UTF-8 is the n bytes: one for each byte that is not
// a continuation byte.
size_t CodePointsIn(const uint8_t* bytes, size_t n) {
  size_t count = 0;
  for (size_t i = 0; i < n; ++i) count += (bytes[i] & 0xC0) != 0x80;
  return count;
}

// The row of the core's table behind a filter handle: the handle is the
// row's address, which is checked against the library's own.
const tobble::Filter& RowOf(const tobble_filter* filter) {
  uintptr_t offset =
      reinterpret_cast<uintptr_t>(filter) - reinterpret_cast<uintptr_t>(tobble::kFilters);
  size_t i = offset / sizeof(tobble::Filter);
  if (i < tobble::kFilterCount && tobble_filter_at(i) == filter) return tobble::kFilters[i];
  i = 0;
  while (i + 1 < tobble::kFilterCount && tobble_filter_at(i) != filter) ++i;
  return tobble::kFilters[i];
}

// Which way each filter of the table takes, worked out as the program is
// compiled.
struct Ways {
  // The filter writes ASCII alone, for every text: the encoder of each
  // round trip escapes, references or percent-encodes every character
  // that is not.
  bool writes_ascii[tobble::kFilterCount];
  // A text that is not ASCII converts faster made UTF-8 first: so for
  // percent-encoding, which writes the UTF-8 bytes of each character; the
  // escapes and references name UTF-16 units or code points, which their
  // UTF-16 conversion reads straight from the str's own storage.
  bool reads_utf8[tobble::kFilterCount];
  // A str of one byte a code point that is not ASCII (accented letters
  // among ASCII) converts faster widened into the conversion into bytes
  // than through the UTF-16 conversion and a narrowing: so for the escape
  // encoders. The references' conversion into bytes is slower on such text
  // than their UTF-16 one (in French text, 105 against 80 us a 64 KiB str).
  bool widens_into_bytes[tobble::kFilterCount];
};

constexpr Ways MakeWays() {
  Ways ways{};
  for (size_t i = 0; i < tobble::kFilterCount; ++i) {
    const tobble::Filter& row = tobble::kFilters[i];
    ways.writes_ascii[i] = row.convert8 != nullptr && tobble::RoundTripOf(row).encoder == &row;
    ways.reads_utf8[i] = tobble::SameString(row.function, "URLencode");
    ways.widens_into_bytes[i] =
        row.ascii.from_units != nullptr && (tobble::SameString(row.function, "tobbleJ") ||
                                            tobble::SameString(row.function, "tobbleC"));
  }
  return ways;
}
constexpr Ways kWays = MakeWays();

bool WritesAscii(const tobble::Filter& row) {
  return kWays.writes_ascii[&row - tobble::kFilters];
}
bool ReadsUtf8(const tobble::Filter& row) {
  return kWays.reads_utf8[&row - tobble::kFilters];
}
bool WidensIntoBytes(const tobble::Filter& row) {
  return kWays.widens_into_bytes[&row - tobble::kFilters];
}

// How an encoder's conversion ended.
enum class Encoded {
  kDone,
  kRaised,     // with the exception set
  kFailed,     // with a status
  kSurrogate,  // met a surrogate code point, which UTF-8 cannot carry
  kNotAscii,   // the result was not ASCII after all
};

// The room a builder gets when `need` bytes more do not fit, `at` of the
// text's `length` units (or code points) converted.
size_t AsciiRoom(const AsciiBuilder& builder, size_t need, size_t at, size_t length, bool least) {
  size_t needed = builder.length() + need;
  size_t room = needed;
  if (!least && needed <= kStagingBytes) {
    // Staged, the room doubles.
    room = builder.started() ? 2 * builder.room() : needed;
    room = room < kStagingBytes ? room : kStagingBytes;
  } else if (!least && builder.staged() && at > 0) {
    // A str gets what the output so far says the whole text makes, and an
    // eighth more; but of more than twice the text's length only
    // kUpFrontRoom at once, so that a conversion stopped early took little.
    room = builder.length() * (length / at) + builder.length() + need;
    room += room / 8;
    size_t cap = 2 * length > kUpFrontRoom ? 2 * length : kUpFrontRoom;
    room = room < cap ? room : cap;
  } else if (!least) {
    room = 2 * builder.room();
  }
  return room > needed ? room : needed;
}

// Room for `need` bytes in the builder, made with the GIL (taken back when
// `gil` released it) when it has none; null, with *encoded set, when it
// could not be made.
uint8_t* SpaceFor(AsciiBuilder* builder, size_t need, size_t at, size_t length, bool least,
                  GilReleased* gil, Encoded* encoded, tobble_status* status) {
  uint8_t* out = builder->Space(need);
  if (out != nullptr) return out;
  size_t room = AsciiRoom(*builder, need, at, length, least);
  bool made = gil != nullptr ? gil->WithGil([&] { return builder->Reserve(room); })
                             : builder->Reserve(room);
  if (!made) {
    *encoded = Encoded::kRaised;
    return nullptr;
  }
  out = builder->Space(need);
  if (out == nullptr) {
    *status = TOBBLE_ERROR_CAPACITY;
    *encoded = Encoded::kFailed;
  }
  return out;
}

// Converts through the filter's UTF-8 conversion, slice by slice, straight
// into the builder: an ASCII str read where it is (its storage is UTF-8),
// any other made UTF-8 a slice at a time. With `gil` (null for short texts)
// the GIL is released but for the builder's allocations, and Ctrl-C stops
// the conversion between slices.
Encoded EncodeBytes(const tobble::Filter& row, PyObject* text, bool least, SliceBuffers* buffers,
                    AsciiBuilder* builder, GilReleased* gil, tobble_status* status) {
  const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  const uint8_t* ascii = PyUnicode_IS_ASCII(text) ? PyUnicode_1BYTE_DATA(text) : nullptr;
  size_t at = 0;  // code points converted
  while (true) {
    size_t wanted = length - at < kSliceUnits ? length - at : kSliceUnits;
    const uint8_t* in = ascii;
    size_t n = wanted;
    size_t code_points = wanted;
    if (ascii != nullptr) {
      in += at;
    } else {
      Utf8Read slice = ReadUtf8(text, at, kSliceUnits, buffers->utf8());
      if (slice.code_points < wanted) return Encoded::kSurrogate;
      in = buffers->utf8();
      n = slice.bytes;
      code_points = slice.code_points;
    }
    const bool last = at + code_points == length;
    Encoded encoded;
    uint8_t* out = SpaceFor(builder, tobble::Utf8OutputBound(row, n), at, length, least, gil,
                            &encoded, status);
    if (out == nullptr) return encoded;
    tobble::Progress done = row.convert8(in, n, out, last);
    if (!AllAscii(out, done.written)) return Encoded::kNotAscii;
    builder->Wrote(done.written);
    if (last) return Encoded::kDone;
    if (n - done.read > tobble::kMaxUtf8Tail) {
      *status = TOBBLE_ERROR_CAPACITY;
      return Encoded::kFailed;
    }
    at += code_points - CodePointsIn(in + done.read, n - done.read);
    if (gil != nullptr && !gil->Continue()) return Encoded::kRaised;
  }
}

// Converts through the filter's UTF-16 conversion, slice by slice (as
// ConvertSlices does), each slice's output narrowed into the builder.
Encoded EncodeUnits(const tobble::Filter& row, PyObject* text, bool least, SliceBuffers* buffers,
                    AsciiBuilder* builder, GilReleased* gil, tobble_status* status) {
  size_t units = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  // A code point above U+FFFF is two units.
  if (PyUnicode_KIND(text) == PyUnicode_4BYTE_KIND) units *= 2;
  SliceSource source(text, buffers->in());
  char16_t* units_out = reinterpret_cast<char16_t*>(buffers->out());
  size_t total_read = 0;
  while (true) {
    size_t n;
    int last;
    const char16_t* in = reinterpret_cast<const char16_t*>(source.Next(&n, &last));
    // The slice a piece at a time, whose output is narrowed while it is
    // still in the processor's nearest caches.
    size_t read = 0;
    while (true) {
      size_t piece = n - read < kPieceUnits ? n - read : kPieceUnits;
      const bool final_piece = read + piece == n;
      const bool ends = last && final_piece;
      tobble::Progress done = row.convert(in + read, piece, units_out, ends);
      Encoded encoded;
      uint8_t* out = SpaceFor(builder, done.written, total_read + read + done.read, units, least,
                              gil, &encoded, status);
      if (out == nullptr) return encoded;
      if (!NarrowAscii(units_out, done.written, out)) return Encoded::kNotAscii;
      builder->Wrote(done.written);
      read += done.read;
      // The final piece's tail, if any, starts the next slice.
      if (final_piece) break;
    }
    total_read += read;
    if (last) return Encoded::kDone;
    if (gil != nullptr && !gil->Continue()) return Encoded::kRaised;
    if (!source.Consumed(read, n)) {
      *status = TOBBLE_ERROR_CAPACITY;
      return Encoded::kFailed;
    }
  }
}

// Converts a str of one byte a code point, not ASCII, widened to UTF-16
// slice by slice (as EncodeUnits does), through the filter's conversion from
// UTF-16 units into bytes straight into the builder.
Encoded EncodeWidened(const tobble::Filter& row, PyObject* text, bool least, SliceBuffers* buffers,
                      AsciiBuilder* builder, GilReleased* gil, tobble_status* status) {
  const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  SliceSource source(text, buffers->in());
  size_t at = 0;  // units converted
  while (true) {
    size_t n;
    int last;
    const char16_t* in = reinterpret_cast<const char16_t*>(source.Next(&n, &last));
    Encoded encoded;
    uint8_t* out = SpaceFor(builder, tobble::AsciiOutputBound<char16_t>(row, n), at, length, least,
                            gil, &encoded, status);
    if (out == nullptr) return encoded;
    const tobble::Progress done = row.ascii.from_units(in, n, out, last);
    builder->Wrote(done.written);
    if (last) return Encoded::kDone;
    if (gil != nullptr && !gil->Continue()) return Encoded::kRaised;
    if (!source.Consumed(done.read, n)) {
      *status = TOBBLE_ERROR_CAPACITY;
      return Encoded::kFailed;
    }
    at += done.read;
  }
}

// Converts a str of two or four bytes a code point where it lies, through
// the filter's conversion from UTF-16 units or from code points into bytes,
// slice by slice, straight into the builder (as EncodeBytes does).
template <typename In>
Encoded EncodeStorage(tobble::AsciiConversionOf<In> conversion, const tobble::Filter& row,
                      PyObject* text, bool least, AsciiBuilder* builder, GilReleased* gil,
                      tobble_status* status) {
  const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  const In* storage = static_cast<const In*>(PyUnicode_DATA(text));
  size_t at = 0;
  while (true) {
    const size_t n = length - at < kSliceUnits ? length - at : kSliceUnits;
    const bool last = at + n == length;
    Encoded encoded;
    uint8_t* out = SpaceFor(builder, tobble::AsciiOutputBound<In>(row, n), at, length, least, gil,
                            &encoded, status);
    if (out == nullptr) return encoded;
    const tobble::Progress done = conversion(storage + at, n, out, last);
    builder->Wrote(done.written);
    if (last) return Encoded::kDone;
    if (n - done.read > tobble::kMaxTail) {
      *status = TOBBLE_ERROR_CAPACITY;
      return Encoded::kFailed;
    }
    at += done.read;
    if (gil != nullptr && !gil->Continue()) return Encoded::kRaised;
  }
}

// The ways into the builder.
enum class Way {
  kBytes,           // EncodeBytes
  kUnits,           // EncodeUnits
  kFromUnits,       // EncodeStorage from a str of two bytes a code point
  kFromCodePoints,  // EncodeStorage from a str of four bytes a code point
  kWidened,         // EncodeWidened from a str of one byte a code point
};

Encoded EncodeBy(Way way, const tobble::Filter& row, PyObject* text, bool least,
                 SliceBuffers* buffers, AsciiBuilder* builder, GilReleased* gil,
                 tobble_status* status) {
  switch (way) {
    case Way::kBytes:
      return EncodeBytes(row, text, least, buffers, builder, gil, status);
    case Way::kUnits:
      return EncodeUnits(row, text, least, buffers, builder, gil, status);
    case Way::kFromUnits:
      return EncodeStorage(row.ascii.from_units, row, text, least, builder, gil, status);
    case Way::kWidened:
      return EncodeWidened(row, text, least, buffers, builder, gil, status);
    default:
      return EncodeStorage(row.ascii.from_code_points, row, text, least, builder, gil, status);
  }
}

// One of the ways into the builder, with the GIL released for a text of
// more than kReleaseGilBytes.
Encoded Encode(Way way, const tobble::Filter& row, PyObject* text, bool least,
               SliceBuffers* buffers, AsciiBuilder* builder, tobble_status* status) {
  if (static_cast<size_t>(PyUnicode_GET_LENGTH(text)) * 2 <= kReleaseGilBytes) {
    return EncodeBy(way, row, text, least, buffers, builder, nullptr, status);
  }
  GilReleased gil;
  return EncodeBy(way, row, text, least, buffers, builder, &gil, status);
}

// The way a str is read when its UTF-16 units are: by the filter's
// conversion into bytes, when the filter has one, from the str's storage
// where it lies (two or four bytes a code point) or, for the filters that
// gain by it, widened slice by slice (one byte); else widened slice by
// slice, through UTF-16.
Way UnitsWay(const tobble::Filter& row, PyObject* text) {
  if (row.ascii.from_units == nullptr) return Way::kUnits;
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_2BYTE_KIND:
      return Way::kFromUnits;
    case PyUnicode_4BYTE_KIND:
      return Way::kFromCodePoints;
    default:
      return WidensIntoBytes(row) ? Way::kWidened : Way::kUnits;
  }
}

// An encoder's conversion straight into the result's bytes, through UTF-8
// for an ASCII str and where the filter reads UTF-8 faster, else through
// UTF-16 (and so for a text with a surrogate code point); with `least`,
// the result is given only the room it needs, slice by slice. Null with
// *taken false, and nothing set, when the result would not be ASCII.
PyObject* EncodeToAscii(const tobble::Filter& row, PyObject* text, bool least, bool* taken) {
  *taken = true;
  KeptLease<SliceBuffers> lease;
  SliceBuffers* buffers = lease.get();
  if (!buffers->Ready() || !buffers->ReadyUtf8()) return PyErr_NoMemory();
  const size_t staging_limit = least ? kSliceUnits : kStagingBytes;
  const bool bytes = PyUnicode_IS_ASCII(text) || ReadsUtf8(row);
  tobble_status status = TOBBLE_OK;
  AsciiBuilder builder(&buffers->staging, staging_limit);
  AsciiBuilder units_builder(&buffers->staging, staging_limit);
  AsciiBuilder* result = &builder;
  Encoded encoded =
      Encode(bytes ? Way::kBytes : UnitsWay(row, text), row, text, least, buffers, result, &status);
  if (encoded == Encoded::kSurrogate) {
    // Again from the start, what was written left behind.
    result = &units_builder;
    encoded = Encode(UnitsWay(row, text), row, text, least, buffers, result, &status);
  }
  switch (encoded) {
    case Encoded::kDone:
      return result->Finish();
    case Encoded::kRaised:
      return nullptr;
    case Encoded::kFailed:
      return RaiseStatus(status);
    default:
      *taken = false;
      return nullptr;
  }
}

// The filter and text arguments of convert() and _convert_sliced(); false
// with an exception set.
bool ConvertArguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                      const tobble_filter** filter) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "%s() takes 2 arguments (filter, text), %zd given", function,
                 nargs);
    return false;
  }
  *filter = FindFilter(args[0]);
  if (*filter == nullptr) return false;
  if (!PyUnicode_Check(args[1])) {
    PyErr_Format(PyExc_TypeError, "text must be a str, not %.100s", Py_TYPE(args[1])->tp_name);
    return false;
  }
  return true;
}

}  // namespace

PyObject* Convert(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const tobble_filter* filter;
  if (!ConvertArguments("convert", args, nargs, &filter)) return nullptr;
  const tobble::Filter& row = RowOf(filter);
  if (WritesAscii(row)) {
    bool taken;
    PyObject* result = EncodeToAscii(row, args[1], false, &taken);
    if (taken) return result;
  }
  // At most one slice of units is converted once.
  if (UnitsUpTo(args[1], kSliceUnits) <= kSliceUnits) {
    return ConvertOneSlice(filter, args[1]);
  }
  return ConvertSliced(filter, args[1], false);
}

PyObject* ConvertSlicedForTests(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const tobble_filter* filter;
  if (!ConvertArguments("_convert_sliced", args, nargs, &filter)) return nullptr;
  const tobble::Filter& row = RowOf(filter);
  if (WritesAscii(row)) {
    bool taken;
    PyObject* result = EncodeToAscii(row, args[1], true, &taken);
    if (taken) return result;
  }
  // From the least room, so that the result grows and widens on the way.
  return ConvertSliced(filter, args[1], true);
}

}  // namespace tobble_python
