// The fuzz target of the library's public calls (include/tobble.h): random
// sequences of stream calls (feed in pieces, flush, finish, reset, destroy and
// create again) over random bytes in UTF-8, UTF-16LE and UTF-16BE, strict and
// replace, with write callbacks that fail or call back into their stream, and
// the one-shot tobble_convert_bytes() on each input; all held to the plain
// model of byte_stream_target.h.
#pragma once

#include "tests/support/properties.h"

namespace tobble::testing {

// The row in FuzzTargets(): a header of two bytes (filter and encoding; mode,
// callback behaviour), then the calls, each a byte with the bytes it feeds.
FuzzTarget MakeApiTarget();

}  // namespace tobble::testing
