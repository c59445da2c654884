#include "control/run_control.h"
#include "pipe_test_support.h"

#include <cstdint>
#include <string>

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

// ---- RunExchange with a stand-in worker -------------------------------------------------

#include "control/run_state.h"
#include "pipe/security.h"

namespace {

class RunExchangeTest : public testing::Test {
  protected:
    void SetUp() override {
        RunState.exchangeDone = 0;
        RunState.workerHandle = 0;
    }
    void TearDown() override {
        StartWorker = savedStart;
        ReleasePipeSecurity();
        RunState.exchangeDone = 0;
    }
    std::uintptr_t (*savedStart)(unsigned(__stdcall *)(void *)) = StartWorker;
};

LONGLONG Frequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

double SecondsSince(LONGLONG start) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return ElapsedMilliseconds(start, now.QuadPart, Frequency()) / 1000.0;
}

LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// Standard output while RunExchange runs in a test that reads its report line.
OutputCapture *report = nullptr;

// RunExchange with its report line captured: what it printed, then the status it returned.
std::string ReportAndStatus() {
    OutputCapture output;
    report = &output;
    std::int32_t status = RunExchange(Frequency());
    report = nullptr;
    return output.Finish() + "status " + std::to_string(status);
}

TEST_F(RunExchangeTest, AWorkerDoneBeforeThePollEndsTheRunAtOnce) {
    StartWorker = [](unsigned(__stdcall *)(void *)) -> std::uintptr_t {
        RunState.exchangeDone = 1;
        return 0;
    };
    LONGLONG start = Now();
    EXPECT_EQ(RunExchange(Frequency()), 1);
    EXPECT_LT(SecondsSince(start), 5.0);
}

// The cases below wait out the 10-second deadline; CTest runs them as tests of their own,
// in parallel with the rest.

TEST_F(RunExchangeTest, DeadlineAFailedThreadStartReturnsZeroAfterTheDeadline) {
    StartWorker = [](unsigned(__stdcall *)(void *)) -> std::uintptr_t { return 0; };
    ASSERT_TRUE(CreatePipeSecurity());
    LONGLONG start = Now();
    EXPECT_EQ(ReportAndStatus(), AsPrinted("Server Message Send 0 \n") + "status 0");
    double seconds = SecondsSince(start);
    EXPECT_GT(seconds, 10.0);
    EXPECT_LT(seconds, 30.0);
    // The main thread released what the absent worker would have.
    EXPECT_EQ(RunState.pipeSecurity, nullptr);
}

unsigned __stdcall FinishHoldingTheSecurityRecord(void *) {
    // A worker still using the security record when the deadline passes (creating its pipe,
    // say), which finishes its exchange once the report line is out, just before it lets the
    // record go. The main thread, done polling, waits in ReleasePipeSecurity until then, so
    // the flag turns 1 after the poll's last read and no later than the read after the final
    // wait, however the threads are scheduled: the line says 0, the status is 1.
    BeginSecurityStretch();
    while (report->Printed().find("Server Message Send") == std::string::npos) {
        Sleep(10);
    }
    RunState.exchangeDone = 1;
    EndSecurityStretch();
    return 0;
}

TEST_F(RunExchangeTest, DeadlineAWorkerFinishingInTheFinalWaitMakesTheStatusOne) {
    ASSERT_TRUE(CreatePipeSecurity());
    StartWorker = [](unsigned(__stdcall *)(void *)) -> std::uintptr_t {
        return _beginthreadex(nullptr, 0, FinishHoldingTheSecurityRecord, nullptr, 0, nullptr);
    };
    EXPECT_EQ(ReportAndStatus(), AsPrinted("Server Message Send 0 \n") + "status 1");
    EXPECT_EQ(RunState.workerHandle, 0u);
}

} // namespace
