#include "pipe/exchange.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::u16string Shown(const WCHAR *piece, DWORD bytes) {
    WCHAR shown[1025];
    std::memset(shown, 0x55, sizeof shown);
    ShowSafely(piece, bytes, shown);
    std::u16string text;
    for (const WCHAR *unit = shown; *unit != 0; ++unit) {
        text.push_back(static_cast<char16_t>(*unit));
    }
    return text;
}

TEST(ShowSafely, StopsAtTheFirstNul) {
    const WCHAR piece[] = {'a', 'b', 0, 'c', 'd'};
    EXPECT_EQ(Shown(piece, sizeof piece), u"ab");
}

TEST(ShowSafely, WithoutNulShowsOnlyTheUnitsRead) {
    // Bytes left over from an earlier, longer piece must not show.
    const WCHAR buffer[] = {'n', 'e', 'w', 'o', 'l', 'd', 'e', 'r'};
    EXPECT_EQ(Shown(buffer, 6), u"new");
    EXPECT_EQ(Shown(buffer, 0), u"");
}

TEST(ShowSafely, AnOddByteCountDropsTheHalfUnit) {
    const WCHAR buffer[] = {'x', 'y', 'z'};
    EXPECT_EQ(Shown(buffer, 5), u"xy");
    EXPECT_EQ(Shown(buffer, 1), u"");
}

TEST(ShowSafely, NoCharacterThatCanEndALineIsKept) {
    // C0 controls, DEL, C1 controls (NEL ends a line for many readers, CSI drives a terminal)
    // and the line and paragraph separators; their neighbours U+0020, U+007E, U+00A0, U+2027
    // and U+202A are text.
    const WCHAR piece[] = {'a',  '\n', 'S',    '\r',   '\t', 0x1B, 0x01, 0x1F,   0x7F,   0x80, 0x85,
                           0x9B, 0x9F, 0x2028, 0x2029, ' ',  '~',  0xA0, 0x2027, 0x202A, 'z'};
    EXPECT_EQ(Shown(piece, sizeof piece), u"a\uFFFDS\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"
                                          u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD ~\u00A0\u2027\u202Az");
}

TEST(ShowSafely, OtherTextIncludingLoneSurrogatesIsKept) {
    const WCHAR piece[] = {0xD800, 'a', 0xDC00, 0xD83D, 0xDE00, 0x00E9, 0xFFFF};
    EXPECT_EQ(Shown(piece, sizeof piece),
              std::u16string({0xD800, u'a', 0xDC00, 0xD83D, 0xDE00, 0x00E9, 0xFFFF}));
}

TEST(ShowSafely, AFullPieceFillsTheWholeShownBuffer) {
    WCHAR piece[1024];
    for (WCHAR &unit : piece) {
        unit = 'q';
    }
    EXPECT_EQ(Shown(piece, sizeof piece), std::u16string(1024, u'q'));
}

} // namespace
