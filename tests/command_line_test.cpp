#include "control/command_line.h"
#include "control/run_state.h"

#include <gtest/gtest.h>

namespace {

class CommandLine : public testing::Test {
  protected:
    void SetUp() override {
        RunState.replyMode = ReplyNone;
        RunState.exchangeDone = 0;
    }

    // Reads a command line of the program path and the given arguments.
    bool Read(std::initializer_list<const WCHAR *> arguments) {
        std::vector<WCHAR *> argv = {const_cast<WCHAR *>(WIDE("pipeword.exe"))};
        for (const WCHAR *argument : arguments) {
            argv.push_back(const_cast<WCHAR *>(argument));
        }
        argv.push_back(nullptr);
        return ReadCommandLine(static_cast<int>(argv.size() - 1), argv.data());
    }
};

TEST_F(CommandLine, NoArgumentChoosesStart) {
    EXPECT_TRUE(Read({}));
    EXPECT_EQ(RunState.replyMode, ReplyStart);
}

TEST_F(CommandLine, StopAndContinueChooseTheirReplies) {
    EXPECT_TRUE(Read({WIDE("Stop")}));
    EXPECT_EQ(RunState.replyMode, ReplyStop);
    RunState.replyMode = ReplyNone;
    EXPECT_TRUE(Read({WIDE("Continue")}));
    EXPECT_EQ(RunState.replyMode, ReplyContinue);
}

TEST_F(CommandLine, OtherSingleArgumentsAreAcceptedWithNoReply) {
    const WCHAR *lookalikes[] = {
        WIDE("stop"),      WIDE("STOP"), WIDE("Stop "),  WIDE(" Stop"),    WIDE("Continue2"),
        WIDE(""),          WIDE("Sto"),  WIDE("Contin"), WIDE("continue"), WIDE("Stop\u00A0"),
        WIDE("\uFF33top"), // fullwidth S
    };
    for (const WCHAR *argument : lookalikes) {
        RunState.replyMode = ReplyNone;
        EXPECT_TRUE(Read({argument}));
        EXPECT_EQ(RunState.replyMode, ReplyNone);
    }
}

TEST_F(CommandLine, AnyOtherCountIsRefused) {
    EXPECT_FALSE(Read({WIDE("Stop"), WIDE("Continue")}));
    EXPECT_FALSE(Read({WIDE("a"), WIDE("b"), WIDE("c")}));
    WCHAR *none[] = {nullptr};
    EXPECT_FALSE(ReadCommandLine(0, none));
    EXPECT_EQ(RunState.replyMode, ReplyNone);
}

TEST_F(CommandLine, RefusalReturnsZeroWithoutStartingAnything) {
    RunState.exchangeDone = 1;
    WCHAR *argv[] = {const_cast<WCHAR *>(WIDE("pipeword.exe")), const_cast<WCHAR *>(WIDE("Stop")),
                     const_cast<WCHAR *>(WIDE("Continue")), nullptr};
    EXPECT_EQ(WideMain(3, argv), 0);
    EXPECT_EQ(RunState.exchangeDone.load(), 0);
    EXPECT_EQ(RunState.workerHandle, 0u);
    EXPECT_EQ(RunState.pipeHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RunState.pipeSecurity, nullptr);
}

} // namespace
