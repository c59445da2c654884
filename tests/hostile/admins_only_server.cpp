// A server for the access tests: the program's pipe and exchange, except that the pipe's
// descriptor grants Administrators alone. It serves one client (the "Start" reply), prints
// the program's lines for each step, and exits 1 once that client is served, 0 on a failure.
// It has no deadline: the test that starts it ends it if no admitted client comes.
#include "pipe/endpoint.h"
#include "pipe/exchange.h"
#include "platform/platform.h"

namespace {

const WCHAR *const AdministratorsOnly = WIDE("D:(A;OICI;GA;;;BA)");

int Fail(const WCHAR *format) {
    ConsolePrint(format, GetLastError());
    return 0;
}

} // namespace

int WideMain(int, WCHAR *[]) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(AdministratorsOnly, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return Fail(WIDE("CreatePipeSecurity failed w/err 0x%08lx\n"));
    }
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = descriptor;
    security.bInheritHandle = FALSE;
    HANDLE pipe =
        CreateNamedPipeW(PipeName, PipeOpenMode, PipeMode, PipeMaxInstances, PipeOutBufferSize,
                         PipeInBufferSize, PipeDefaultTimeout, &security);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    if (pipe == INVALID_HANDLE_VALUE) {
        SetLastError(error);
        return Fail(WIDE("Unable to create named pipe w/err 0x%08lx\n"));
    }
    ConsolePrint(WIDE("The named pipe (%s) is created.\n"), PipeName);
    ConsolePrint(WIDE("Waiting for the client's connection...\n"));
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        return Fail(WIDE("ConnectNamedPipe failed w/err 0x%08lx\n"));
    }
    ConsolePrint(WIDE("Client is connected.\n"));

    WCHAR piece[RequestPieceSize / sizeof(WCHAR)];
    WCHAR shown[RequestPieceSize / sizeof(WCHAR) + 1];
    for (;;) {
        DWORD bytesRead = 0;
        BOOL complete = ReadFile(pipe, piece, RequestPieceSize, &bytesRead, nullptr);
        if (!complete && GetLastError() != ERROR_MORE_DATA) {
            return Fail(WIDE("ReadFile from pipe failed w/err 0x%08lx\n"));
        }
        ShowSafely(piece, bytesRead, shown);
        ConsolePrint(WIDE("Receive %ld bytes from client: \"%s\"\n"), static_cast<LONG>(bytesRead),
                     shown);
        if (complete) {
            break;
        }
    }
    Reply reply = ReplyForMode(ReplyStart);
    DWORD bytesWritten = 0;
    if (!WriteFile(pipe, reply.text, reply.bytes, &bytesWritten, nullptr)) {
        return Fail(WIDE("WriteFile to pipe failed w/err 0x%08lx\n"));
    }
    ConsolePrint(WIDE("Send %ld bytes to client: \"%s\"\n"), static_cast<LONG>(bytesWritten),
                 reply.text);
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return 1;
}
