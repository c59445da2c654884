#include "pipe/exchange.h"

#include "control/run_state.h"
#include "pipe/endpoint.h"
#include "pipe/security.h"

namespace {

constexpr WCHAR ReplacementCharacter = 0xFFFD;

// Whether a code unit could end a console line, or act on the terminal, for some reader of
// the output: the C0 controls, DEL, the C1 controls (U+0085 ends a line for many readers,
// U+009B starts a terminal control sequence), and the line and paragraph separators.
bool CanBreakALine(WCHAR unit) {
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029;
}

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
        ShowRequestPiece(piece, bytesRead, shown);
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
        // Which directory on the way to the pipe another user could change (Linux).
        WCHAR fault[512];
        if (error == ERROR_ACCESS_DENIED && PipeDirectoryFault(fault, 512) > 0) {
            ConsolePrintError(WIDE("pipeword: %s\n"), fault);
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

void ShowRequestPiece(const WCHAR *piece, DWORD bytes, WCHAR *shown) {
    DWORD units = bytes / sizeof(WCHAR);
    DWORD i = 0;
    for (; i < units && piece[i] != 0; ++i) {
        WCHAR unit = piece[i];
        shown[i] = CanBreakALine(unit) ? ReplacementCharacter : unit;
    }
    shown[i] = 0;
}

void __cdecl PipeServerThread(void *) {
    ServeOneClient();
    ReleasePipeSecurity();
    if (RunState.pipeHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(RunState.pipeHandle);
        RunState.pipeHandle = INVALID_HANDLE_VALUE;
    }
}
