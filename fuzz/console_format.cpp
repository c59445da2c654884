// The wide console formatter, with format text and arguments from the input. The harness
// parses the format by the documented rules (%s, %% and %ld, %lu, %lx, each number
// optionally zero-padded to a width of one or two digits, as %08lx) and passes exactly the
// arguments that those conversions take, with the types they take, followed by two canary
// arguments that a correct formatter never reaches. Its output must equal the reference: the
// C library's printf for the numbers, and the whole line's text (in which a surrogate pair
// may be split between a literal and an argument) through an independent UTF-8 encoder; a
// format outside the rules must print nothing and return -1.
#include "fuzz/harness.h"
#include "platform/platform.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

enum class Kind { Text, Signed, Unsigned };

// Conversions that take an argument, at most; a format with more is cut before the next one.
constexpr std::size_t MaxArguments = 5;

struct Argument {
    Kind kind;
    const WCHAR *text;
    std::int32_t number;
};

const WCHAR Canary[] = u"\u2620canary";

// Calls ConsolePrint with the arguments' static types matching their kinds, so that no
// input can make the call itself undefined.
template <typename... Passed>
int PrintWith(const WCHAR *format, const std::vector<Argument> &arguments, Passed... passed) {
    constexpr std::size_t count = sizeof...(Passed);
    if constexpr (count < MaxArguments) {
        if (count < arguments.size()) {
            const Argument &next = arguments[count];
            switch (next.kind) {
            case Kind::Text:
                return PrintWith(format, arguments, passed..., next.text);
            case Kind::Signed:
                return PrintWith(format, arguments, passed..., LONG{next.number});
            case Kind::Unsigned:
                return PrintWith(format, arguments, passed..., static_cast<DWORD>(next.number));
            }
        }
    }
    return ConsolePrint(format, passed..., Canary, Canary);
}

std::u16string Number(const char *conversion, int width, std::int32_t value) {
    char text[128]; // a width of at most 99
    int length = std::snprintf(text, sizeof text, conversion, width, value);
    REQUIRE(length > 0 && static_cast<std::size_t>(length) < sizeof text);
    return std::u16string(text, text + length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::size_t formatUnits = input.ConsumeIntegralInRange<std::size_t>(0, 512);
    std::vector<std::uint8_t> formatBytes = input.ConsumeBytes<std::uint8_t>(formatUnits * 2);
    std::u16string format;
    for (std::size_t i = 0; i + 1 < formatBytes.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(formatBytes[i] | formatBytes[i + 1] << 8);
        if (unit == 0) {
            break;
        }
        format += unit;
    }

    // Walk the format by the rules, drawing each argument from the input as it is needed.
    std::vector<Argument> arguments;
    std::vector<std::u16string> texts; // owns the text arguments
    texts.reserve(MaxArguments);
    std::u16string line; // the line the format and the arguments make
    bool valid = true;
    std::size_t literal = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != u'%') {
            continue;
        }
        std::size_t start = i;
        std::size_t at = i + 1;
        int width = -1;
        if (at < format.size() && format[at] == u'0') {
            std::size_t digits = ++at;
            while (at < format.size() && format[at] >= u'0' && format[at] <= u'9') {
                ++at;
            }
            if (at - digits == 0 || at - digits > 2) {
                valid = false;
            } else {
                width = format[digits] - u'0';
                if (at - digits == 2) {
                    width = width * 10 + (format[digits + 1] - u'0');
                }
            }
        }
        char16_t conversion = at < format.size() ? format[at] : 0;
        char16_t modified = at + 1 < format.size() ? format[at + 1] : 0;
        bool number =
            conversion == u'l' && (modified == u'd' || modified == u'u' || modified == u'x');
        bool takesArgument = conversion == u's' || number;
        if (!valid || (width >= 0 && !number) || (conversion != u'%' && !takesArgument)) {
            valid = false;
            break;
        }
        if (takesArgument && arguments.size() == MaxArguments) {
            format.resize(start); // the harness takes no more arguments: cut here
            break;
        }
        line.append(format, literal, start - literal);
        if (conversion == u'%') {
            line += u'%';
        } else if (conversion == u's') {
            // A text argument: some units from the input, repeated, so that lines longer than
            // the formatter's stack buffer come up too; or, rarely, a null pointer.
            std::size_t units = input.ConsumeIntegralInRange<std::size_t>(0, 64);
            std::size_t repeat = input.ConsumeIntegralInRange<std::size_t>(0, 255);
            std::vector<std::uint8_t> bytes = input.ConsumeBytes<std::uint8_t>(units * 2);
            std::u16string piece;
            for (std::size_t k = 0; k + 1 < bytes.size(); k += 2) {
                char16_t unit = static_cast<char16_t>(bytes[k] | bytes[k + 1] << 8);
                piece += unit == 0 ? u'0' : unit;
            }
            if (repeat == 0) {
                arguments.push_back({Kind::Text, nullptr, 0});
                line += u"(null)";
            } else {
                std::u16string text;
                for (std::size_t k = 0; k < repeat; ++k) {
                    text += piece;
                }
                texts.push_back(text);
                arguments.push_back({Kind::Text, texts.back().c_str(), 0});
                line += text;
            }
        } else {
            std::int32_t value = input.ConsumeIntegral<std::int32_t>();
            int padding = width < 0 ? 0 : width;
            if (modified == u'd') {
                arguments.push_back({Kind::Signed, nullptr, value});
                line += Number("%0*d", padding, value);
            } else {
                arguments.push_back({Kind::Unsigned, nullptr, value});
                line += Number(modified == u'u' ? "%0*u" : "%0*x", padding, value);
            }
        }
        i = conversion == u'%' || conversion == u's' ? at : at + 1;
        literal = i + 1;
    }
    if (valid) {
        line.append(format, literal, format.size() - literal);
    }

    ClearStdout();
    int result = PrintWith(format.c_str(), arguments);
    std::string output = CapturedStdout();
    if (!valid) {
        REQUIRE(result == -1);
        REQUIRE(output.empty());
        return 0;
    }
    std::string expected = ReferenceUtf8(line.data(), line.size());
    REQUIRE(output == expected);
    REQUIRE(result == static_cast<int>(expected.size()));
    return 0;
}
