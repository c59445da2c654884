#include "platform/utf.h"

#include <algorithm>

namespace {

constexpr char32_t Replacement = 0xFFFD;

} // namespace

char32_t NextCodePoint(const WCHAR *text, std::size_t units, std::size_t *index) {
    char32_t unit = text[(*index)++];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (*index < units && text[*index] >= 0xDC00 && text[*index] <= 0xDFFF) {
            char32_t low = text[(*index)++];
            return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        return Replacement;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return Replacement;
    }
    return unit;
}

std::size_t EncodeUtf8(char32_t point, char *out) {
    if (point < 0x80) {
        out[0] = static_cast<char>(point);
        return 1;
    }
    if (point < 0x800) {
        out[0] = static_cast<char>(0xC0 | (point >> 6));
        out[1] = static_cast<char>(0x80 | (point & 0x3F));
        return 2;
    }
    if (point < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (point >> 12));
        out[1] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (point & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (point >> 18));
    out[1] = static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (point & 0x3F));
    return 4;
}

std::size_t WriteUtf8(const WCHAR *text, std::size_t units, char *out, std::size_t capacity) {
    std::size_t needed = 0;
    std::size_t index = 0;
    while (index < units) {
        char encoded[4];
        std::size_t length = EncodeUtf8(NextCodePoint(text, units, &index), encoded);
        for (std::size_t i = 0; i < length; ++i) {
            if (needed + i < capacity) {
                out[needed + i] = encoded[i];
            }
        }
        needed += length;
    }
    return needed;
}

std::string Utf16ToUtf8(const WCHAR *text, std::size_t units) {
    std::string result(WriteUtf8(text, units, nullptr, 0), '\0');
    WriteUtf8(text, units, result.data(), result.size());
    return result;
}

std::string Utf16ToUtf8(const WCHAR *text) {
    return Utf16ToUtf8(text, std::char_traits<WCHAR>::length(text));
}

std::basic_string<WCHAR> Utf8ToUtf16(const char *text, bool *valid) {
    std::basic_string<WCHAR> result;
    if (valid != nullptr) {
        *valid = true;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    std::size_t i = 0;
    while (bytes[i] != 0) {
        unsigned char lead = bytes[i];
        std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 0;
        char32_t point = length == 1   ? lead
                         : length == 2 ? (lead & 0x1F)
                         : length == 3 ? (lead & 0x0F)
                                       : (lead & 0x07);
        std::size_t taken = 1;
        bool wellFormed = length != 0;
        for (; wellFormed && taken < length; ++taken) {
            if ((bytes[i + taken] & 0xC0) != 0x80) {
                wellFormed = false;
                break;
            }
            point = (point << 6) | (bytes[i + taken] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are ill-formed.
        static constexpr char32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (wellFormed && (point < Smallest[length] || point > 0x10FFFF ||
                           (point >= 0xD800 && point <= 0xDFFF))) {
            wellFormed = false;
        }
        if (!wellFormed) {
            if (valid != nullptr) {
                *valid = false;
            }
            result.push_back(static_cast<WCHAR>(Replacement));
            i += taken == 0 ? 1 : taken;
            continue;
        }
        if (point >= 0x10000) {
            point -= 0x10000;
            result.push_back(static_cast<WCHAR>(0xD800 + (point >> 10)));
            result.push_back(static_cast<WCHAR>(0xDC00 + (point & 0x3FF)));
        } else {
            result.push_back(static_cast<WCHAR>(point));
        }
        i += length;
    }
    return result;
}

DWORD CopyToWide(const char *text, WCHAR *out, DWORD capacity) {
    std::basic_string<WCHAR> wide = Utf8ToUtf16(text);
    if (wide.empty() || wide.size() >= capacity) {
        return 0;
    }
    std::copy(wide.begin(), wide.end(), out);
    out[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}
