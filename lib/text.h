// Internal to libpipeword and pipeword-client: text as the Win32 surface takes it (UTF-16
// code units), as the library's callers give and take it (UTF-8), and as a console line
// shows it.
#pragma once

#include "platform/platform.h"
#include "platform/utf.h"

#include <cstddef>
#include <string>
#include <vector>

using Text = std::basic_string<WCHAR>;

// UTF-8 as UTF-16 into 'text'; false, with 'text' left unspecified, for bytes that are not
// UTF-8 (a stray or missing continuation byte, an overlong form, a surrogate, a code point
// beyond U+10FFFF).
bool Utf8ToText(const char *utf8, Text *text);

// UTF-16 code units as UTF-8: surrogate pairs joined, a lone surrogate as U+FFFD.
inline std::string TextToUtf8(const Text &text) {
    return Utf16ToUtf8(text.data(), text.size());
}

// The text of a reply, UTF-16LE bytes, up to its first NUL or its last whole code unit, as
// UTF-8 with a NUL in 'out' when 'capacity' allows: whole characters only, as many as fit.
// Returns the bytes that the whole text needs, its NUL included.
// A request's bytes from text: UTF-16LE whatever the host, the terminating NUL included.
std::vector<unsigned char> RequestBytes(const WCHAR *text);

// The text of a reply, UTF-16LE bytes, up to its first NUL or its last whole code unit.
Text ReplyText(const unsigned char *bytes, std::size_t size);

std::size_t ReplyToUtf8(const unsigned char *bytes, std::size_t size, char *out,
                        std::size_t capacity);

// Text as a console line shows it, by the server's rule for the requests it shows: up to its
// NUL, each character that could end the line or act on the terminal (the ESC that starts an
// escape sequence, say) as U+FFFD.
Text Shown(const WCHAR *text, std::size_t units);
inline Text Shown(const Text &text) {
    return Shown(text.c_str(), text.size());
}

// A count in decimal digits, and a Win32 code as the programs write it, 0x and 8 hex digits.
Text Decimal(unsigned long long value);
Text CodeText(DWORD code);
