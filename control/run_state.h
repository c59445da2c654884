// The one record of process-wide state shared by the main thread and the pipe worker.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

// Which reply the worker sends. Any value outside 1 to 3 selects no reply.
using ReplyMode = std::int32_t;
constexpr ReplyMode ReplyNone = 0;
constexpr ReplyMode ReplyStart = 1;
constexpr ReplyMode ReplyStop = 2;
constexpr ReplyMode ReplyContinue = 3;

struct RunStateRecord {
    // Written before the worker starts, read by the worker.
    ReplyMode replyMode;
    // 0 until the worker has finished the exchange, then 1; polled by the main thread and
    // returned as the exit status.
    std::atomic<std::int32_t> exchangeDone;
    // The pipe's security record; released exactly once, by either thread.
    SECURITY_ATTRIBUTES *pipeSecurity;
    // The server end of the pipe; the worker's alone.
    HANDLE pipeHandle;
    // The started worker, for the bounded wait after a time-out; 0 when none is held.
    std::uintptr_t workerHandle;
};

// Returning from the entry function ends the process while the worker may still be blocked
// in a platform call, so nothing shared may run a destructor.
static_assert(std::is_trivially_destructible_v<RunStateRecord>);
static_assert(std::atomic<std::int32_t>::is_always_lock_free);

extern RunStateRecord RunState;
