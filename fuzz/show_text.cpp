// A request piece on its way to the console: the input is the bytes one read returned. The
// shown text (ShowSafely) must stop at the first NUL or the last whole code unit read,
// whichever comes first, and hold no character that can end a line (C0 and C1 controls, DEL,
// U+2028, U+2029), each replaced with U+FFFD, every other unit kept; the receive line that
// ConsolePrint writes must be that text in well-formed UTF-8, on exactly one line.
#include "fuzz/harness.h"
#include "pipe/endpoint.h"
#include "pipe/exchange.h"
#include "platform/posix/layer.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

bool IsControl(WCHAR unit) {
    return unit < 0x20 || unit == 0x7F;
}

bool EndsALine(WCHAR unit) {
    return IsControl(unit) || (unit >= 0x80 && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029;
}

// Checks the shown text of 'piece' (the bytes read) against the piece itself.
std::size_t CheckShown(const WCHAR *piece, DWORD bytes, const WCHAR *shown) {
    std::size_t whole = bytes / sizeof(WCHAR);
    std::size_t expected = 0;
    while (expected < whole && piece[expected] != 0) {
        ++expected;
    }
    // The terminator sits right after the shown units, within bytes / 2 + 1 units.
    REQUIRE(shown[expected] == 0);
    for (std::size_t i = 0; i < expected; ++i) {
        REQUIRE(!EndsALine(shown[i]));
        REQUIRE(shown[i] == (EndsALine(piece[i]) ? 0xFFFD : piece[i]));
    }
    return expected;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > RequestPieceSize) {
        return -1; // a read never returns more
    }
    const DWORD bytes = static_cast<DWORD>(size);

    // The piece in a block of exactly the units that hold it, so that reading past it is
    // caught; the half unit of an odd count is non-zero, so that showing it is caught too.
    std::size_t units = (size + 1) / sizeof(WCHAR);
    std::unique_ptr<WCHAR[]> piece(new WCHAR[units == 0 ? 1 : units]);
    std::memset(piece.get(), 0x41, units * sizeof(WCHAR));
    std::memcpy(piece.get(), data, size);
    std::unique_ptr<WCHAR[]> shown(new WCHAR[bytes / sizeof(WCHAR) + 1]);
    ShowSafely(piece.get(), bytes, shown.get());
    std::size_t length = CheckShown(piece.get(), bytes, shown.get());

    // The same bytes at the front of the worker's reused read buffer, behind which an earlier,
    // longer piece left text without a NUL: none of it may show.
    WCHAR buffer[RequestPieceSize / sizeof(WCHAR)];
    for (WCHAR &unit : buffer) {
        unit = u'o';
    }
    std::memcpy(buffer, data, size);
    WCHAR shownAgain[RequestPieceSize / sizeof(WCHAR) + 1];
    ShowSafely(buffer, bytes, shownAgain);
    REQUIRE(CheckShown(buffer, bytes, shownAgain) == length);
    REQUIRE(std::memcmp(shownAgain, shown.get(), (length + 1) * sizeof(WCHAR)) == 0);

    // The console's conversion: first only measured, then into a block of exactly that size,
    // then cut short at a capacity chosen by the input.
    std::size_t needed = WriteUtf8(shown.get(), length, nullptr, 0);
    REQUIRE(needed <= 3 * length);
    std::unique_ptr<char[]> utf8(new char[needed == 0 ? 1 : needed]);
    REQUIRE(WriteUtf8(shown.get(), length, utf8.get(), needed) == needed);
    std::string text(utf8.get(), needed);
    REQUIRE(WellFormedUtf8(text));
    REQUIRE(text == ReferenceUtf8(shown.get(), length));
    for (char byte : text) {
        REQUIRE(!IsControl(static_cast<unsigned char>(byte)));
    }
    std::size_t capacity = size == 0 ? 0 : data[0] % (needed + 1);
    std::unique_ptr<char[]> cut(new char[capacity == 0 ? 1 : capacity]);
    REQUIRE(WriteUtf8(shown.get(), length, cut.get(), capacity) == needed);
    REQUIRE(std::memcmp(cut.get(), text.data(), capacity) == 0);
    // And back: the same text, lone surrogates replaced.
    std::u16string back = Utf8ToUtf16(text.c_str());
    REQUIRE(ReferenceUtf8(back.data(), back.size()) == text);

    // The receive line as the worker prints it: one whole line.
    ClearStdout();
    int printed = ConsolePrint(WIDE("Receive %ld bytes from client: \"%s\"\n"),
                               static_cast<LONG>(bytes), shown.get());
    std::string line = CapturedStdout();
    REQUIRE(line == "Receive " + std::to_string(bytes) + " bytes from client: \"" + text + "\"\n");
    REQUIRE(printed == static_cast<int>(line.size()));
    return 0;
}
