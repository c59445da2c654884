/* Asks pipeword for its word: pipeword_client.exe [REQUEST]
   Build: i686-w64-mingw32-gcc -municode -o pipeword_client.exe pipeword_client.c
   (x86_64-w64-mingw32-gcc for a 64-bit program)
   Exit status as pipeword-client's: 0 word received, 1 pipe closed without a reply, 2 error */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static int fail(int status, const char *problem) {
    fprintf(stderr, "pipeword client: %s (error 0x%08lx)\n", problem, GetLastError());
    return status;
}

int wmain(int argc, wchar_t *argv[]) {
    const wchar_t *name = L"\\\\.\\pipe\\SamplePipe";
    const wchar_t *request = argc > 1 ? argv[1] : L"Hello";
    HANDLE pipe;
    /* For up to 5 s: wait for the server to create the pipe, or for it to be free. */
    DWORD start = GetTickCount();
    for (;;) {
        pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        DWORD error = GetLastError();
        if (pipe != INVALID_HANDLE_VALUE) {
            break;
        }
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PIPE_BUSY) {
            return fail(2, "CreateFileW failed");
        }
        if (GetTickCount() - start >= 5000) {
            return fail(2,
                        error == ERROR_PIPE_BUSY
                            ? "SamplePipe stayed busy for 5 s: its server is serving another client"
                            : "no server came within 5 s");
        }
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(name, 50);
        } else {
            Sleep(50);
        }
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, NULL, NULL)) {
        return fail(2, "SetNamedPipeHandleState failed");
    }
    /* One message each way: the request and the reply, UTF-16LE with their NUL. */
    DWORD size = (DWORD)((wcslen(request) + 1) * sizeof(wchar_t));
    DWORD done = 0;
    if (!WriteFile(pipe, request, size, &done, NULL)) {
        return fail(2, "WriteFile failed");
    }
    wchar_t reply[2048];
    if (!ReadFile(pipe, reply, sizeof reply - sizeof reply[0], &done, NULL)) {
        DWORD error = GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
            return fail(1, "the server closed the pipe without a reply");
        }
        return fail(2, "ReadFile failed");
    }
    reply[done / sizeof(wchar_t)] = 0;
    printf("%ls\n", reply);
    CloseHandle(pipe);
    return 0;
}
