// The console functions on both platforms: the format subset, wide text in UTF-8, a line of
// any length written whole, and formats outside the subset refused.
#include "pipe_test_support.h"

#include <climits>
#include <string>

namespace {

// Runs 'print' with standard output captured; returns what it wrote, and in *result what it
// returned.
template <typename Print> std::string Captured(Print print, int *result = nullptr) {
    OutputCapture output;
    int value = print();
    if (result != nullptr) {
        *result = value;
    }
    return output.Finish();
}

TEST(ConsolePrint, TheProgramsFormats) {
    EXPECT_EQ(Captured([] {
                  return ConsolePrint(WIDE("The named pipe (%s) is created.\n"),
                                      WIDE("\\\\.\\pipe\\SamplePipe"));
              }),
              AsPrinted("The named pipe (\\\\.\\pipe\\SamplePipe) is created.\n"));
    EXPECT_EQ(Captured([] { return ConsolePrint(WIDE("Server Message Send %ld \n"), LONG{1}); }),
              AsPrinted("Server Message Send 1 \n"));
    EXPECT_EQ(Captured([] { return ConsolePrint(WIDE("x w/err 0x%08lx\n"), DWORD{0xE8}); }),
              AsPrinted("x w/err 0x000000e8\n"));
    EXPECT_EQ(Captured([] {
                  return ConsolePrint(WIDE("%08lx %lx %lu %ld %ld 100%%\n"), DWORD{0xDEADBEEF},
                                      DWORD{0}, DWORD{4294967295u}, LONG{INT32_MIN}, LONG{-5});
              }),
              AsPrinted("deadbeef 0 4294967295 -2147483648 -5 100%\n"));
}

TEST(ConsolePrint, WideTextBecomesUtf8AndIllFormedTextU_FFFD) {
    const WCHAR text[] = {WIDE('\u00E9'), 0xD83D, 0xDE00, 0xD800, WIDE('a'), 0xDC00, 0};
    EXPECT_EQ(Captured([&] { return ConsolePrint(WIDE("[%s]\n"), text); }),
              AsPrinted("[\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD"
                        "a\xEF\xBF\xBD]\n"));
    // The line is converted whole: a pair split between the format and an argument is one
    // character.
    const WCHAR low[] = {0xDE00, 0};
    EXPECT_EQ(Captured([&] { return ConsolePrint(WIDE("[\xD83D%s]\n"), low); }),
              AsPrinted("[\xF0\x9F\x98\x80]\n"));
}

TEST(ConsolePrint, ALongLineStillGoesOutWhole) {
    const WideString longText(100000, WIDE('\u20AC')); // 3 bytes each in UTF-8
    std::string expected = "<";
    for (std::size_t i = 0; i < longText.size(); ++i) {
        expected += "\xE2\x82\xAC";
    }
    expected += ">\n";
    int result = 0;
    EXPECT_EQ(Captured([&] { return ConsolePrint(WIDE("<%s>\n"), longText.c_str()); }, &result),
              AsPrinted(expected));
    EXPECT_NE(result, -1);
}

TEST(ConsolePrint, FormatsOutsideTheSubsetAreRefused) {
    int result = 0;
    EXPECT_EQ(Captured([] { return ConsolePrint(WIDE("%d\n"), 5); }, &result), "");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(Captured([] { return ConsolePrint(WIDE("%ls\n"), WIDE("x")); }, &result), "");
    EXPECT_EQ(result, -1);
    // Padding is for numbers only, and at most two digits wide: a width of many digits would
    // have the formatter pad for as long as the number says.
    for (const WCHAR *format : {WIDE("100%0%"), WIDE("[%0s]"), WIDE("%0lx"), WIDE("%0100lx"),
                                WIDE("%099999999999999999999lx"), WIDE("%"), WIDE("%l")}) {
        EXPECT_EQ(Captured([&] { return ConsolePrint(format, DWORD{7}); }, &result), "");
        EXPECT_EQ(result, -1);
    }
}

TEST(ConsolePrint, ZeroPaddingCountsTheSignAsPrintfDoes) {
    EXPECT_EQ(Captured([] {
                  return ConsolePrint(WIDE("[%05ld] [%02ld] [%010lu] [%00lx] [%099lx]\n"),
                                      LONG{-42}, LONG{-42}, DWORD{7}, DWORD{255}, DWORD{1});
              }),
              AsPrinted("[-0042] [-42] [0000000007] [ff] [" + std::string(98, '0') + "1]\n"));
}

} // namespace
