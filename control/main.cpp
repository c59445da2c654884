// The program's entry function, which the platform's start-up calls (platform/*/entry.cpp):
// the command line gives the reply mode, and run control does the rest.
#include "control/command_line.h"
#include "control/run_control.h"
#include "control/run_state.h"

#include "platform/platform.h"

int WideMain(int argc, WCHAR *argv[]) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    if (!ReadCommandLine(argc, argv)) {
        RunState.exchangeDone = 0;
        ConsolePrint(WIDE("More input parameters found. Server Message Send %ld \n"), LONG{0});
        return 0;
    }
    return RunExchange(frequency.QuadPart);
}
