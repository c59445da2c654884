// What the fuzz targets share: a failed invariant that libFuzzer reports as a crash, and
// standard output captured in a memory file so that a target can read back what
// ConsolePrint wrote (libFuzzer itself writes to standard error).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#define REQUIRE(condition)                                                                         \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "Invariant failed at %s:%d: %s\n", __FILE__, __LINE__,            \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Empties the captured output; the first call puts the memory file in place of stdout.
inline void ClearStdout() {
    static const bool redirected = [] {
        int file = memfd_create("stdout", MFD_CLOEXEC);
        REQUIRE(file >= 0);
        REQUIRE(dup2(file, STDOUT_FILENO) == STDOUT_FILENO);
        close(file);
        return true;
    }();
    (void)redirected;
    REQUIRE(ftruncate(STDOUT_FILENO, 0) == 0);
    REQUIRE(lseek(STDOUT_FILENO, 0, SEEK_SET) == 0);
}

// What reached stdout since ClearStdout.
inline std::string CapturedStdout() {
    off_t size = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    REQUIRE(size >= 0);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    REQUIRE(pread(STDOUT_FILENO, bytes.data(), bytes.size(), 0) == size);
    return bytes;
}

// An independent check of well-formed UTF-8: shortest forms only, no surrogates, nothing
// past U+10FFFF.
inline bool WellFormedUtf8(const std::string &text) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    std::size_t length = text.size();
    for (std::size_t i = 0; i < length;) {
        unsigned lead = bytes[i];
        std::size_t extra;
        unsigned long point;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (i + extra >= length) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
            point = (point << 6) | (bytes[i + k] & 0x3F);
        }
        if ((extra == 2 && point < 0x800) || (extra == 3 && point < 0x10000) || point > 0x10FFFF ||
            (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// UTF-16 to UTF-8, written here again for comparison: a lone surrogate becomes U+FFFD.
inline std::string ReferenceUtf8(const char16_t *text, std::size_t units) {
    std::string out;
    for (std::size_t i = 0; i < units; ++i) {
        unsigned long point = text[i];
        if (point >= 0xD800 && point <= 0xDBFF && i + 1 < units && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            point = 0x10000 + ((point - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            point = 0xFFFD;
        }
        if (point < 0x80) {
            out += static_cast<char>(point);
        } else if (point < 0x800) {
            out += static_cast<char>(0xC0 | (point >> 6));
            out += static_cast<char>(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            out += static_cast<char>(0xE0 | (point >> 12));
            out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (point & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (point >> 18));
            out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (point & 0x3F));
        }
    }
    return out;
}
