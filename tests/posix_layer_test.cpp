// Behaviour of the POSIX layer that Windows provides by itself: UTF conversions, and what the
// layer refuses instead of silently ignoring.
#include "pipe_test_support.h"
#include "platform/posix/layer.h"

#include <thread>
#include <sched.h>

namespace {

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
