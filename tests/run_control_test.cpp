#include "control/run_control.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(ElapsedMilliseconds, ExactlyTheDeadlineDoesNotPassIt) {
    const LONGLONG frequency = 1000000000;
    EXPECT_EQ(ElapsedMilliseconds(0, 10 * frequency, frequency), 10000.0);
    EXPECT_FALSE(ElapsedMilliseconds(0, 10 * frequency, frequency) > DeadlineMilliseconds);
    EXPECT_TRUE(ElapsedMilliseconds(0, 10 * frequency + 1, frequency) > DeadlineMilliseconds);
}

TEST(ElapsedMilliseconds, MultipliesBeforeDividing) {
    // Dividing first would give 1.0000000000000002e-06 and 9.999999999999999e-05.
    EXPECT_EQ(ElapsedMilliseconds(0, 1, 1000000000), 1e-06);
    EXPECT_EQ(ElapsedMilliseconds(0, 1, 10000000), 0.0001);
}

TEST(ElapsedMilliseconds, SeveralGigahertzFromFullCounterValues) {
    // A 5.5 GHz counter that has been running for years: only the difference matters.
    const LONGLONG frequency = 5500000000;
    const LONGLONG start = (LONGLONG{1} << 62) + 12345;
    EXPECT_FALSE(ElapsedMilliseconds(start, start + 10 * frequency, frequency) >
                 DeadlineMilliseconds);
    EXPECT_TRUE(ElapsedMilliseconds(start, start + 10 * frequency + frequency / 1000, frequency) >
                DeadlineMilliseconds);
    EXPECT_NEAR(ElapsedMilliseconds(start, start + frequency / 2, frequency), 500.0, 1e-9);
}

TEST(ElapsedMilliseconds, RealCounterAdvances) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER first;
    LARGE_INTEGER second;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    ASSERT_GT(frequency.QuadPart, 0);
    QueryPerformanceCounter(&first);
    Sleep(20);
    QueryPerformanceCounter(&second);
    double elapsed = ElapsedMilliseconds(first.QuadPart, second.QuadPart, frequency.QuadPart);
    EXPECT_GE(elapsed, 15.0);
    EXPECT_LT(elapsed, 5000.0);
}

} // namespace
