// Behaviour of the POSIX layer that Windows provides by itself: UTF conversions, the wide
// console formatter, and what the layer refuses instead of silently ignoring.
#include "pipe_test_support.h"
#include "platform/posix/layer.h"

#include <climits>
#include <string>
#include <thread>
#include <sched.h>
#include <unistd.h>

namespace {

// Runs 'print' with stdout redirected to a pipe; returns what reached the pipe and how
// many write(2) calls... cannot be seen, but the bytes can.
template <typename Print> std::string Captured(Print print, int *result = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "<pipe failed>";
    }
    int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    int value = print();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    if (result != nullptr) {
        *result = value;
    }
    std::string bytes;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fds[0], chunk, sizeof chunk)) > 0) {
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    close(fds[0]);
    return bytes;
}

TEST(ConsolePrint, TheProgramsFormats) {
    EXPECT_EQ(Captured([] {
                  return ConsolePrint(WIDE("The named pipe (%s) is created.\n"),
                                      WIDE("\\\\.\\pipe\\SamplePipe"));
              }),
              "The named pipe (\\\\.\\pipe\\SamplePipe) is created.\n");
    EXPECT_EQ(Captured([] { return ConsolePrint(WIDE("Server Message Send %ld \n"), LONG{1}); }),
              "Server Message Send 1 \n");
    EXPECT_EQ(Captured([] { return ConsolePrint(WIDE("x w/err 0x%08lx\n"), DWORD{0xE8}); }),
              "x w/err 0x000000e8\n");
    EXPECT_EQ(Captured([] {
                  return ConsolePrint(WIDE("%08lx %lx %lu %ld %ld 100%%\n"), DWORD{0xDEADBEEF},
                                      DWORD{0}, DWORD{4294967295u}, LONG{INT32_MIN}, LONG{-5});
              }),
              "deadbeef 0 4294967295 -2147483648 -5 100%\n");
}

TEST(ConsolePrint, WideTextBecomesUtf8AndIllFormedTextU_FFFD) {
    const WCHAR text[] = {u'\u00E9', 0xD83D, 0xDE00, 0xD800, u'a', 0xDC00, 0};
    EXPECT_EQ(Captured([&] { return ConsolePrint(WIDE("[%s]\n"), text); }),
              "[\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD"
              "a\xEF\xBF\xBD]\n");
}

TEST(ConsolePrint, ALongLineStillGoesOutWhole) {
    std::u16string longText(5000, u'\u20AC'); // 3 bytes each in UTF-8
    std::string expected = "<";
    for (int i = 0; i < 5000; ++i) {
        expected += "\xE2\x82\xAC";
    }
    expected += ">\n";
    EXPECT_EQ(Captured([&] { return ConsolePrint(WIDE("<%s>\n"), longText.c_str()); }), expected);
}

TEST(ConsolePrint, FormatsOutsideTheSubsetAreRefused) {
    int result = 0;
    EXPECT_EQ(Captured([] { return ConsolePrint(WIDE("%d\n"), 5); }, &result), "");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(Captured([] { return ConsolePrint(WIDE("%ls\n"), WIDE("x")); }, &result), "");
    EXPECT_EQ(result, -1);
    // Padding is for numbers only, and at most two digits wide: a width of many digits once
    // made the formatter pad for as long as the number said.
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
              "[-0042] [-42] [0000000007] [ff] [" + std::string(98, '0') + "1]\n");
}

TEST(Utf, ArgumentsFromUtf8) {
    EXPECT_EQ(Utf8ToUtf16("Stop"), u"Stop");
    EXPECT_EQ(Utf8ToUtf16("\xC3\xA9\xF0\x9F\x98\x80"), u"\u00E9\U0001F600");
    // Invalid bytes, a truncated sequence, an overlong form and an encoded surrogate.
    EXPECT_EQ(Utf8ToUtf16("a\xFF"
                          "b\xE2\x82"
                          "c\xC0\xAF"
                          "d\xED\xA0\x80"),
              u"a\uFFFDb\uFFFDc\uFFFDd\uFFFD");
}

TEST(Security, SectionsOutsideTheGrammarAreRefusedNotIgnored) {
    for (const WCHAR *text : {WIDE("O:BAD:(A;;GA;;;BA)"), WIDE("G:BA"), WIDE("S:(AU;SA;GA;;;WD)"),
                              WIDE("D:P(A;;GA;;;BA)"), WIDE("D:AI(A;;GA;;;BA)")}) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        EXPECT_LAST_ERROR(
            ConvertStringSecurityDescriptorToSecurityDescriptorW(text, 1, &descriptor, nullptr),
            FALSE, ERROR_NOT_SUPPORTED);
        EXPECT_EQ(descriptor, nullptr);
    }
}

TEST(LastError, IsPerThread) {
    SetLastError(5);
    std::thread other([] { SetLastError(109); });
    other.join();
    EXPECT_EQ(GetLastError(), 5u);
}

TEST(LocalHeap, ZeroFilledAndRejectsUnknownFlags) {
    auto *block = static_cast<unsigned char *>(LocalAlloc(LPTR, 64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(block[i], 0);
    }
    EXPECT_EQ(LocalFree(block), nullptr);
    EXPECT_LAST_ERROR(LocalAlloc(0x2 /* LMEM_MOVEABLE */, 8), nullptr, ERROR_INVALID_PARAMETER);
}

} // namespace

namespace {

cpu_set_t startedOn;
cpu_set_t runsOn;

unsigned __stdcall RecordAffinity(void *) {
    sched_getaffinity(0, sizeof runsOn, &runsOn);
    return 0;
}

} // namespace

// A new thread starts away from its creator's processor, but may then run anywhere the
// process may: a thread left pinned would lose a processor for good.
TEST(Threads, ANewThreadMayRunWhereverTheProcessMay) {
    ASSERT_EQ(sched_getaffinity(0, sizeof startedOn, &startedOn), 0);
    CPU_ZERO(&runsOn);
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RecordAffinity, nullptr, 0, nullptr));
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(CPU_EQUAL(&runsOn, &startedOn));
    CloseHandle(thread);
}
