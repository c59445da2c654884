// UTF-16 and UTF-8, one codec on both platforms: the POSIX layer's names, arguments and
// console lines, and libpipeword's text. Ill-formed input (a lone surrogate, bytes that are
// not UTF-8) becomes U+FFFD.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <string>

// The code point of the UTF-16 text at text[*index], moving the index past it: a surrogate
// pair joined, a lone surrogate as U+FFFD.
char32_t NextCodePoint(const WCHAR *text, std::size_t units, std::size_t *index);
// The UTF-8 form of a code point in 'out' (room for 4 bytes); returns its length.
std::size_t EncodeUtf8(char32_t point, char *out);

// WriteUtf8 writes what fits of the text into a fixed buffer and returns the bytes that the
// whole text needs, so a caller can detect truncation; it never writes past capacity.
std::size_t WriteUtf8(const WCHAR *text, std::size_t units, char *out, std::size_t capacity);
std::string Utf16ToUtf8(const WCHAR *text, std::size_t units);
std::string Utf16ToUtf8(const WCHAR *text);
// 'valid', where given, tells whether the bytes were UTF-8 throughout (no stray or missing
// continuation byte, overlong form, surrogate or code point beyond U+10FFFF).
std::basic_string<WCHAR> Utf8ToUtf16(const char *text, bool *valid = nullptr);

// Writes UTF-8 text as UTF-16, with a NUL, into a caller's buffer of 'capacity' code units
// when it fits there, and returns its length in code units; 0, with nothing written, when
// the text is empty or does not fit.
DWORD CopyToWide(const char *text, WCHAR *out, DWORD capacity);
