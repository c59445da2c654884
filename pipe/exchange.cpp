#include "pipe/exchange.h"

#include "control/run_state.h"
#include "pipe/endpoint.h"
#include "pipe/security.h"
#include "pipe/shown_text.h"

namespace {

// Reads the request piece by piece and shows each; false after a failed read.
bool ReceiveRequest() {
    WCHAR piece[RequestPieceSize / sizeof(WCHAR)];
    WCHAR shown[RequestPieceSize / sizeof(WCHAR) + 1];
    for (;;) {
        DWORD bytesRead = 0;
        BOOL complete = ReadFile(RunState.pipeHandle, piece, RequestPieceSize, &bytesRead, nullptr);
        if (!complete && GetLastError() != ERROR_MORE_DATA) {
            ConsolePrint(WIDE("ReadFile from pipe failed w/err 0x%08lx\n"), GetLastError());
            return false;
        }
        ShowSafely(piece, bytesRead, shown);
        ConsolePrint(WIDE("Receive %ld bytes from client: \"%s\"\n"), static_cast<LONG>(bytesRead),
                     shown);
        if (complete) {
            return true;
        }
    }
}

// Steps from creating the pipe to setting the flag; returns early on the first failure,
// after printing its line.
void ServeOneClient() {
    BeginSecurityStretch();
    if (!CreatePipeSecurity()) {
        DWORD error = GetLastError();
        EndSecurityStretch();
        ConsolePrint(WIDE("CreatePipeSecurity failed w/err 0x%08lx\n"), error);
        return;
    }
    RunState.pipeHandle =
        CreateNamedPipeW(PipeName, PipeOpenMode, PipeMode, PipeMaxInstances, PipeOutBufferSize,
                         PipeInBufferSize, PipeDefaultTimeout, RunState.pipeSecurity);
    DWORD error = GetLastError();
    EndSecurityStretch();
    if (RunState.pipeHandle == INVALID_HANDLE_VALUE) {
        ConsolePrint(WIDE("Unable to create named pipe w/err 0x%08lx\n"), error);
        // What the code alone does not tell (Linux): which check refused access, a missing
        // /proc or default pipe directory. Shown safely, as it quotes paths from anywhere.
        WCHAR cause[PipeCauseCapacity];
        WCHAR shown[PipeCauseCapacity];
        if (DWORD units = PipeFailureCause(error, cause, PipeCauseCapacity); units > 0) {
            ShowSafely(cause, units * sizeof(WCHAR), shown);
            ConsolePrintError(WIDE("pipeword: %s\n"), shown);
        }
        return;
    }
    ConsolePrint(WIDE("The named pipe (%s) is created.\n"), PipeName);
    ConsolePrint(WIDE("Waiting for the client's connection...\n"));

    if (!ConnectNamedPipe(RunState.pipeHandle, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        ConsolePrint(WIDE("ConnectNamedPipe failed w/err 0x%08lx\n"), GetLastError());
        return;
    }
    ConsolePrint(WIDE("Client is connected.\n"));

    if (!ReceiveRequest()) {
        return;
    }

    Reply reply = ReplyForMode(RunState.replyMode);
    if (reply.text != nullptr) {
        DWORD bytesWritten = 0;
        if (!WriteFile(RunState.pipeHandle, reply.text, reply.bytes, &bytesWritten, nullptr)) {
            ConsolePrint(WIDE("WriteFile to pipe failed w/err 0x%08lx\n"), GetLastError());
            return;
        }
        ConsolePrint(WIDE("Send %ld bytes to client: \"%s\"\n"), static_cast<LONG>(bytesWritten),
                     reply.text);
    }

    FlushFileBuffers(RunState.pipeHandle);
    DisconnectNamedPipe(RunState.pipeHandle);
    RunState.exchangeDone = 1;
}

} // namespace

void __cdecl PipeServerThread(void *) {
    ServeOneClient();
    ReleasePipeSecurity();
    if (RunState.pipeHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(RunState.pipeHandle);
        RunState.pipeHandle = INVALID_HANDLE_VALUE;
    }
}
