// The length of a zero-terminated UTF-16 text, as the plug-in finds it
// before it sizes a result block.
#pragma once

#include <stddef.h>

namespace tobble {

// The number of units before the terminating zero unit.
// Precondition: text is readable up to and including a zero unit.
size_t CountUnits(const char16_t* text);

}  // namespace tobble
