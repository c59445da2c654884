// One end of a named pipe, for the namespace tests to run as a second user:
//   foreign_pipe_end serve NAME   creates \\.\pipe\NAME, open to every user as the program's
//                                 own pipe is; prints the last-error code (0 on success), then
//                                 waits until its standard input closes and closes the pipe
//   foreign_pipe_end open NAME    opens \\.\pipe\NAME as a client; prints the code
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: foreign_pipe_end serve|open NAME\n");
        return 2;
    }
    std::u16string name = u"\\\\.\\pipe\\";
    for (const char *at = argv[2]; *at != 0; ++at) {
        name += static_cast<char16_t>(*at);
    }
    if (std::strcmp(argv[1], "open") == 0) {
        HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        std::printf("%u\n", client == INVALID_HANDLE_VALUE ? GetLastError() : 0u);
        if (client != INVALID_HANDLE_VALUE) {
            CloseHandle(client);
        }
        return 0;
    }
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            u"D:(A;OICI;GRGW;;;AU)(A;OICI;GA;;;BA)", SDDL_REVISION_1,
            &security.lpSecurityDescriptor, nullptr)) {
        return 2;
    }
    HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0, &security);
    LocalFree(security.lpSecurityDescriptor);
    std::printf("%u\n", server == INVALID_HANDLE_VALUE ? GetLastError() : 0u);
    std::fflush(stdout);
    if (server == INVALID_HANDLE_VALUE) {
        return 1;
    }
    char ignored;
    while (read(STDIN_FILENO, &ignored, 1) > 0) {
    }
    CloseHandle(server);
    return 0;
}
