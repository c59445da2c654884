#include "lib/text.h"

#include "pipe/shown_text.h"

#include <algorithm>
#include <vector>

bool Utf8ToText(const char *utf8, Text *text) {
    bool valid = false;
    *text = Utf8ToUtf16(utf8, &valid);
    return valid;
}

std::vector<unsigned char> RequestBytes(const WCHAR *text) {
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0;; ++i) {
        unsigned unit = static_cast<unsigned>(text[i]) & 0xFFFFu;
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
        if (unit == 0) {
            return bytes;
        }
    }
}

Text ReplyText(const unsigned char *bytes, std::size_t size) {
    Text units;
    for (std::size_t i = 0; i + 1 < size && (bytes[i] != 0 || bytes[i + 1] != 0); i += 2) {
        units.push_back(static_cast<WCHAR>(bytes[i] | bytes[i + 1] << 8));
    }
    return units;
}

std::size_t ReplyToUtf8(const unsigned char *bytes, std::size_t size, char *out,
                        std::size_t capacity) {
    const Text units = ReplyText(bytes, size);
    std::size_t needed = 0;
    std::size_t written = 0; // whole characters, while each one so far has fitted
    for (std::size_t index = 0; index < units.size();) {
        char encoded[4];
        std::size_t length = EncodeUtf8(NextCodePoint(units.data(), units.size(), &index), encoded);
        if (written == needed && needed + length < capacity) {
            std::copy(encoded, encoded + length, out + written);
            written += length;
        }
        needed += length;
    }
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
