#include "lib/text.h"

#include "pipe/shown_text.h"

#include <algorithm>
#include <vector>

namespace {

constexpr char32_t Replacement = 0xFFFD;

// Calls put(byte) with each byte of the UTF-8 form of a code point.
template <typename Put> void PutUtf8(char32_t point, Put put) {
    if (point < 0x80) {
        put(static_cast<char>(point));
    } else if (point < 0x800) {
        put(static_cast<char>(0xC0 | (point >> 6)));
        put(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        put(static_cast<char>(0xE0 | (point >> 12)));
        put(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        put(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        put(static_cast<char>(0xF0 | (point >> 18)));
        put(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
        put(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        put(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

// Calls put(point) with each code point of 'count' UTF-16 code units, unit(i) giving the
// i-th: a surrogate pair joined, a lone surrogate as U+FFFD.
template <typename Unit, typename Put> void EachPoint(std::size_t count, Unit unit, Put put) {
    for (std::size_t i = 0; i < count; ++i) {
        char32_t first = unit(i);
        char32_t second = i + 1 < count ? unit(i + 1) : 0;
        if (first >= 0xD800 && first <= 0xDBFF && second >= 0xDC00 && second <= 0xDFFF) {
            put(0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
            ++i;
        } else {
            put(first >= 0xD800 && first <= 0xDFFF ? Replacement : first);
        }
    }
}

// The length of a UTF-8 sequence by its first byte; 0 for a byte that starts none.
int SequenceLength(unsigned lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC0 && lead < 0xE0) {
        return 2;
    }
    if (lead >= 0xE0 && lead < 0xF0) {
        return 3;
    }
    return lead >= 0xF0 && lead < 0xF8 ? 4 : 0;
}

// The code point of the UTF-8 sequence at 'at', moving 'at' past it; Replacement, with
// 'valid' cleared, for bytes that are not UTF-8.
char32_t NextPoint(const unsigned char *&at, bool *valid) {
    static constexpr char32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    unsigned lead = *at++;
    int length = SequenceLength(lead);
    if (length == 1) {
        return lead;
    }
    char32_t point = length == 0 ? 0 : lead & (0xFFu >> (length + 1));
    for (int i = 1; i < length; ++i, ++at) {
        if ((*at & 0xC0) != 0x80) {
            length = 0; // also at the NUL that ends the text
            break;
        }
        point = (point << 6) | (*at & 0x3F);
    }
    if (length == 0 || point < Smallest[length] || point > 0x10FFFF ||
        (point >= 0xD800 && point <= 0xDFFF)) {
        *valid = false;
        return Replacement;
    }
    return point;
}

} // namespace

bool Utf8ToText(const char *utf8, Text *text) {
    text->clear();
    bool valid = true;
    for (auto at = reinterpret_cast<const unsigned char *>(utf8); *at != 0 && valid;) {
        char32_t point = NextPoint(at, &valid);
        if (point >= 0x10000) {
            text->push_back(static_cast<WCHAR>(0xD800 + ((point - 0x10000) >> 10)));
            text->push_back(static_cast<WCHAR>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
            text->push_back(static_cast<WCHAR>(point));
        }
    }
    return valid;
}

std::string TextToUtf8(const WCHAR *units, std::size_t count) {
    std::string utf8;
    EachPoint(
        count, [units](std::size_t i) { return static_cast<char32_t>(units[i] & 0xFFFF); },
        [&utf8](char32_t point) { PutUtf8(point, [&utf8](char byte) { utf8.push_back(byte); }); });
    return utf8;
}

std::size_t ReplyToUtf8(const unsigned char *bytes, std::size_t size, char *out,
                        std::size_t capacity) {
    std::size_t units = 0;
    while (units < size / 2 && (bytes[2 * units] != 0 || bytes[2 * units + 1] != 0)) {
        ++units;
    }
    std::size_t needed = 0;
    std::size_t written = 0; // whole characters, while each one so far has fitted
    EachPoint(
        units, [bytes](std::size_t i) { return char32_t{bytes[2 * i]} | bytes[2 * i + 1] << 8; },
        [&](char32_t point) {
            char encoded[4];
            std::size_t length = 0;
            PutUtf8(point, [&](char byte) { encoded[length++] = byte; });
            if (written == needed && needed + length < capacity) {
                std::copy(encoded, encoded + length, out + written);
                written += length;
            }
            needed += length;
        });
    if (capacity > 0) {
        out[written] = 0;
    }
    return needed + 1;
}

Text Shown(const WCHAR *text, std::size_t units) {
    std::vector<WCHAR> shown(units + 1);
    ShowSafely(text, static_cast<DWORD>(units * sizeof(WCHAR)), shown.data());
    return Text(shown.data());
}

Text Decimal(unsigned long long value) {
    Text digits;
    do {
        digits.insert(digits.begin(), static_cast<WCHAR>(WIDE('0') + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

Text CodeText(DWORD code) {
    Text text = WIDE("0x");
    for (int shift = 28; shift >= 0; shift -= 4) {
        text += WIDE("0123456789abcdef")[(code >> shift) & 0xF];
    }
    return text;
}
