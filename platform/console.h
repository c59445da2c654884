// Inside the console: platform/console.cpp formats a line the same way on both platforms
// and hands it whole to the one step that differs, writing it out, which each platform's
// console.cpp provides.
#pragma once

#include "platform/platform.h"

#include <cstddef>

enum class ConsoleStream { Output, Error };

// Writes one formatted line of 'units' code units (at most MaxConsoleLineUnits) to
// standard output or standard error in a single call, so that lines of two threads never
// mix. Returns the count written (bytes on Linux, code units on Windows), or -1 when the
// line could not be written whole.
int WriteConsoleLine(ConsoleStream stream, const WCHAR *line, std::size_t units);

// The longest line the console takes: any encoding of it, at most three bytes a code unit,
// still has a count that fits an int.
constexpr std::size_t MaxConsoleLineUnits = 0x7FFFFFFF / 3;
