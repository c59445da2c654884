// What both consoles do alike: the program's subset of printf, formatted into one wide line
// (on the stack, or for a longer line in one heap block), which the platform's console then
// writes out in a single call (WriteConsoleLine), so that a line goes out whole or not at all.
#include "platform/console.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// Every line the program prints fits here, a failure cause with the words around it
// included; a longer line takes one heap block.
constexpr std::size_t LocalUnits = PipeCauseCapacity + 64;

// A line being formatted into 'capacity' units at 'out': what does not fit is only counted,
// so that 'used' ends as the units the whole line needs.
struct Line {
    WCHAR *out;
    std::size_t capacity;
    std::size_t used;
};

void Put(Line *line, WCHAR unit) {
    if (line->used < line->capacity) {
        line->out[line->used] = unit;
    }
    ++line->used;
}

void PutText(Line *line, const WCHAR *text, std::size_t units) {
    if (line->used < line->capacity) {
        std::size_t fits = std::min(units, line->capacity - line->used);
        std::memcpy(line->out + line->used, text, fits * sizeof(WCHAR));
    }
    line->used += units;
}

// As printf: the width counts the sign.
void PutNumber(Line *line, unsigned long long value, unsigned base, std::size_t width,
               bool negative) {
    WCHAR digits[24];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<WCHAR>("0123456789abcdef"[value % base]);
        value /= base;
    } while (value != 0);
    if (negative) {
        Put(line, WIDE('-'));
    }
    for (std::size_t pad = count + (negative ? 1 : 0); pad < width; ++pad) {
        Put(line, WIDE('0'));
    }
    while (count > 0) {
        Put(line, digits[--count]);
    }
}

// Formats by the subset that platform.h documents; false for any other format.
bool FormatLine(Line *line, const WCHAR *format, va_list arguments) {
    const WCHAR *literal = format;
    for (const WCHAR *p = format; *p != 0; ++p) {
        if (*p != WIDE('%')) {
            continue;
        }
        PutText(line, literal, static_cast<std::size_t>(p - literal));
        ++p;
        // A number may be zero-padded to a width of one or two digits, as in %08lx.
        std::size_t width = 0;
        bool padded = *p == WIDE('0');
        if (padded) {
            const WCHAR *digits = ++p;
            for (; *p >= WIDE('0') && *p <= WIDE('9'); ++p) {
                if (p - digits == 2) {
                    return false;
                }
                width = width * 10 + static_cast<std::size_t>(*p - WIDE('0'));
            }
            if (p == digits) {
                return false;
            }
        }
        if (*p == WIDE('%') && !padded) {
            Put(line, WIDE('%'));
        } else if (*p == WIDE('s') && !padded) {
            const WCHAR *text = va_arg(arguments, const WCHAR *);
            if (text == nullptr) {
                text = WIDE("(null)");
            }
            PutText(line, text, std::char_traits<WCHAR>::length(text));
        } else if (*p == WIDE('l') &&
                   (p[1] == WIDE('d') || p[1] == WIDE('u') || p[1] == WIDE('x'))) {
            ++p;
            // LONG and DWORD are 32-bit on both platforms, whatever the width of long.
            if (*p == WIDE('d')) {
                long long value = va_arg(arguments, LONG);
                PutNumber(line, static_cast<unsigned long long>(value < 0 ? -value : value), 10,
                          width, value < 0);
            } else {
                DWORD value = va_arg(arguments, DWORD);
                PutNumber(line, value, *p == WIDE('x') ? 16 : 10, width, false);
            }
        } else {
            return false;
        }
        literal = p + 1;
    }
    PutText(line, literal, std::char_traits<WCHAR>::length(literal));
    return true;
}

int PrintTo(ConsoleStream stream, const WCHAR *format, va_list arguments) {
    WCHAR local[LocalUnits];
    Line line{local, LocalUnits, 0};
    va_list again;
    va_copy(again, arguments);
    int result = -1;
    if (!FormatLine(&line, format, arguments)) {
        // A format outside the subset: nothing is written.
    } else if (line.used <= LocalUnits) {
        result = WriteConsoleLine(stream, local, line.used);
    } else if (line.used > MaxConsoleLineUnits) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } else if (auto *block =
                   static_cast<WCHAR *>(LocalAlloc(LMEM_FIXED, line.used * sizeof(WCHAR)));
               block != nullptr) {
        Line whole{block, line.used, 0};
        FormatLine(&whole, format, again);
        result = WriteConsoleLine(stream, block, whole.used);
        LocalFree(block);
    }
    va_end(again);
    return result;
}

} // namespace

int ConsolePrint(const WCHAR *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = PrintTo(ConsoleStream::Output, format, arguments);
    va_end(arguments);
    return result;
}

int ConsolePrintError(const WCHAR *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = PrintTo(ConsoleStream::Error, format, arguments);
    va_end(arguments);
    return result;
}
