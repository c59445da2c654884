#include "control/run_control.h"

#include "control/run_state.h"
#include "pipe/exchange.h"
#include "pipe/security.h"

namespace {

unsigned __stdcall WorkerRoutine(void *argument) {
    PipeServerThread(argument);
    return 0;
}

// _beginthreadex rather than _beginthread: its handle stays valid until it is closed, so
// the bounded wait after a time-out can never name a thread that has ended and been
// replaced.
std::uintptr_t StartWorkerThread(unsigned(__stdcall *routine)(void *)) {
    return _beginthreadex(nullptr, 0, routine, nullptr, 0, nullptr);
}

// Once the flag is 1, lets the worker's thread end before the process does; all that is
// left of the worker then is its teardown, which does not block. A process that ends while
// one of its threads is ending by itself is not safe everywhere: under Wine the ending
// thread can be stopped inside the C library's thread exit while it holds the dynamic
// loader's lock, and the process then hangs in its own exit until the Wine server kills
// it, so that the launcher sees a kill instead of status 1.
void AwaitWorkerEnd() {
    HANDLE worker = reinterpret_cast<HANDLE>(RunState.workerHandle);
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    RunState.workerHandle = 0;
}

LONGLONG CounterNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

} // namespace

std::uintptr_t (*StartWorker)(unsigned(__stdcall *routine)(void *)) = StartWorkerThread;

double ElapsedMilliseconds(LONGLONG start, LONGLONG now, LONGLONG frequency) {
    return static_cast<double>(now - start) * 1000.0 / static_cast<double>(frequency);
}

std::int32_t RunExchange(LONGLONG frequency) {
    RunState.workerHandle = StartWorker(WorkerRoutine);
    LONGLONG start = CounterNow();

    // Busy poll, without sleeping, until the worker is done or the deadline has passed.
    std::int32_t done = RunState.exchangeDone.load();
    while (done != 1) {
        double elapsed = ElapsedMilliseconds(start, CounterNow(), frequency);
        done = RunState.exchangeDone.load();
        if (elapsed > DeadlineMilliseconds) {
            break;
        }
    }
    ConsolePrint(WIDE("Server Message Send %ld \n"), LONG{done});

    if (RunState.exchangeDone.load() == 1) {
        if (RunState.workerHandle != 0) {
            AwaitWorkerEnd();
        }
        return 1;
    }
    ReleasePipeSecurity();
    if (RunState.workerHandle == 0) {
        return RunState.exchangeDone.load();
    }
    HANDLE worker = reinterpret_cast<HANDLE>(RunState.workerHandle);
    WaitForSingleObject(worker, FinalWaitMilliseconds);
    std::int32_t last = RunState.exchangeDone.load();
    if (last == 1) {
        AwaitWorkerEnd();
        return 1;
    }
    CloseHandle(worker);
    RunState.workerHandle = 0;
    return last;
}
