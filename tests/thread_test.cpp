// The thread calls run control relies on, with the same results from Windows and our layer.
#include "pipe_test_support.h"

#include <atomic>

namespace {

std::atomic<int> release{0};
std::atomic<int> ran{0};

unsigned __stdcall WaitForRelease(void *) {
    while (release.load() == 0) {
        Sleep(1);
    }
    ran = 1;
    return 0;
}

void __cdecl EndAtOnce(void *) {
    ran = 1;
}

TEST(Threads, BeginThreadExHandleOutlivesItsThread) {
    release = 0;
    ran = 0;
    auto handle =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitForRelease, nullptr, 0, nullptr));
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(WaitForSingleObject(handle, 10), WAIT_TIMEOUT);
    release = 1;
    EXPECT_EQ(WaitForSingleObject(handle, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ran.load(), 1);
    // Long after the end, the handle still names that thread.
    Sleep(20);
    EXPECT_EQ(WaitForSingleObject(handle, 10), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST(Threads, BeginThreadHandleIsClosedWhenItsThreadEnds) {
    // This is why run control does not keep a _beginthread value for its final wait.
    ran = 0;
    auto handle = reinterpret_cast<HANDLE>(_beginthread(EndAtOnce, 0, nullptr));
    ASSERT_NE(handle, reinterpret_cast<HANDLE>(-1));
    for (int i = 0; i < 500 && ran.load() == 0; ++i) {
        Sleep(1);
    }
    Sleep(100);
    EXPECT_LAST_ERROR(WaitForSingleObject(handle, 10), WAIT_FAILED, ERROR_INVALID_HANDLE);
}

} // namespace
