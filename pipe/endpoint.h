// What a client sees of the server: the pipe's name and parameters, and the replies.
#pragma once

#include "control/run_state.h"
#include "platform/platform.h"

inline const WCHAR *const PipeName = WIDE("\\\\.\\pipe\\SamplePipe");
constexpr DWORD PipeOpenMode = PIPE_ACCESS_DUPLEX;
constexpr DWORD PipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
constexpr DWORD PipeMaxInstances = PIPE_UNLIMITED_INSTANCES;
constexpr DWORD PipeOutBufferSize = 1024;
constexpr DWORD PipeInBufferSize = 1024;
constexpr DWORD PipeDefaultTimeout = 0;

// The request is read in pieces of at most this many bytes.
constexpr DWORD RequestPieceSize = 2048;

struct Reply {
    // NUL-terminated UTF-16 text, or null when the mode selects no reply.
    const WCHAR *text;
    // Bytes on the wire, the terminating NUL included; 0 when there is no reply.
    DWORD bytes;
};

Reply ReplyForMode(ReplyMode mode);
