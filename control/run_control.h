// Run control: starts the pipe worker, waits for it against the deadline, reports, and
// produces the exit status.
#pragma once

#include "platform/platform.h"

#include <cstdint>

constexpr double DeadlineMilliseconds = 10000.0;
constexpr DWORD FinalWaitMilliseconds = 10;

// Milliseconds between two counter samples, in double precision, multiplying before
// dividing so that a fast counter keeps its precision.
double ElapsedMilliseconds(LONGLONG start, LONGLONG now, LONGLONG frequency);

// Runs the exchange on a worker thread; returns the completion flag as last read (1 or 0).
std::int32_t RunExchange(LONGLONG frequency);

// How the worker is started; a test can replace it to simulate a failed thread start.
// Returns the thread's handle, or 0 on failure.
extern std::uintptr_t (*StartWorker)(unsigned(__stdcall *routine)(void *));
