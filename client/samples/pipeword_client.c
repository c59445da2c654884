/* Asks pipeword for its word: pipeword_client.exe [REQUEST]
   Build: i686-w64-mingw32-gcc -municode -o pipeword_client.exe pipeword_client.c */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static int fail(const char *step) {
    fprintf(stderr, "pipeword client: %s failed (error 0x%08lx)\n", step, GetLastError());
    return 2;
}

int wmain(int argc, wchar_t *argv[]) {
    const wchar_t *name = L"\\\\.\\pipe\\SamplePipe";
    const wchar_t *request = argc > 1 ? argv[1] : L"Hello";
    HANDLE pipe;
    /* For up to 5 s: wait for the server to create the pipe, or for it to be free. */
    for (int tries = 0;; ++tries) {
        pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        DWORD error = GetLastError();
        if (pipe != INVALID_HANDLE_VALUE) {
            break;
        }
        if (tries == 100 || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PIPE_BUSY)) {
            return fail("CreateFileW");
        }
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(name, 50);
        } else {
            Sleep(50);
        }
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, NULL, NULL)) {
        return fail("SetNamedPipeHandleState");
    }
    /* One message each way: the request and the reply, UTF-16LE with their NUL. */
    DWORD size = (DWORD)((wcslen(request) + 1) * sizeof(wchar_t));
    DWORD done = 0;
    if (!WriteFile(pipe, request, size, &done, NULL)) {
        return fail("WriteFile");
    }
    wchar_t reply[2048];
    if (!ReadFile(pipe, reply, sizeof reply - sizeof reply[0], &done, NULL)) {
        return fail("ReadFile");
    }
    reply[done / sizeof(wchar_t)] = 0;
    printf("%ls\n", reply);
    CloseHandle(pipe);
    return 0;
}
