// What the GoogleTest sources share: both ends of a pipe with the program's parameters, a
// pipe directory of a test's own for the POSIX layer, and last-error checks that catch a
// call failing without setting a code.
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <cstdlib>
#include <filesystem>
#include <system_error>
#endif

using WideString = std::basic_string<WCHAR>;

// No call gives this code: set before a call whose last-error code a test checks, it is
// still there if the call failed without setting one.
constexpr DWORD LastErrorSentinel = 0xdeadbeef;

inline void SetLastErrorSentinel() {
    SetLastError(LastErrorSentinel);
}

// Makes 'call' after the sentinel; expects it to return 'result' and leave the code 'code'.
#define EXPECT_LAST_ERROR(call, result, code)                                                      \
    do {                                                                                           \
        SetLastErrorSentinel();                                                                    \
        const auto returned_ = (call);                                                             \
        const DWORD error_ = GetLastError();                                                       \
        EXPECT_EQ(returned_, result) << #call;                                                     \
        EXPECT_EQ(error_, static_cast<DWORD>(code)) << #call;                                      \
    } while (false)

// The program's own descriptor: authenticated users read and write, administrators all.
constexpr const WCHAR *UsersAndAdministrators = WIDE("D:(A;OICI;GRGW;;;AU)(A;OICI;GA;;;BA)");

// \\.\pipe\ and an ASCII name.
inline WideString PipeName(const std::string &name) {
    WideString wide = WIDE("\\\\.\\pipe\\");
    wide.append(name.begin(), name.end());
    return wide;
}

// A server end with the program's pipe parameters; with 'descriptor', under the security
// that string describes. The last error is that of the call that failed.
inline HANDLE ServePipe(const WCHAR *name, const WCHAR *descriptor = nullptr) {
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (descriptor != nullptr &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr)) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE server = CreateNamedPipeW(
        name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
        PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0, descriptor != nullptr ? &security : nullptr);
    if (descriptor != nullptr) {
        DWORD error = GetLastError();
        LocalFree(security.lpSecurityDescriptor);
        SetLastError(error);
    }
    return server;
}

inline HANDLE ServePipe(const std::string &name, const WCHAR *descriptor = nullptr) {
    return ServePipe(PipeName(name).c_str(), descriptor);
}

// A client end, for reading and writing.
inline HANDLE OpenPipe(const WCHAR *name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

inline HANDLE OpenPipe(const std::string &name) {
    return OpenPipe(PipeName(name).c_str());
}

// A client end of a server that may not be there yet: tries for about 5 s.
inline HANDLE OpenPipeOnceServed(const WCHAR *name) {
    HANDLE client = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 5000 && client == INVALID_HANDLE_VALUE; ++attempt) {
        client = OpenPipe(name);
        if (client == INVALID_HANDLE_VALUE) {
            Sleep(1);
        }
    }
    return client;
}

#ifndef _WIN32
// A pipe directory of a test's own: *root is made as /tmp/pipeword-WHAT-XXXXXX, and the
// layer's pipes go in *directory, which is root itself or 'subdirectory' in it, left for the
// layer to make.
inline void MakePipeDirectory(const char *what, const char *subdirectory, std::string *root,
                              std::string *directory) {
    std::string pattern = std::string("/tmp/pipeword-") + what + "-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    *root = pattern;
    *directory = subdirectory != nullptr ? pattern + "/" + subdirectory : pattern;
    setenv("PIPEWORD_PIPE_DIR", directory->c_str(), 1);
}

// Removes a root that MakePipeDirectory made, with everything in it.
inline void RemovePipeDirectory(std::string *root) {
    if (root->empty()) {
        return;
    }
    unsetenv("PIPEWORD_PIPE_DIR");
    std::error_code error;
    std::filesystem::remove_all(*root, error);
    EXPECT_FALSE(error) << *root << ": " << error.message();
    root->clear();
}

// A fixture whose tests each make a pipe directory of their own in SetUp; TearDown removes it.
class PipeDirectoryTest : public testing::Test {
  protected:
    void MakePipeDirectory(const char *what, const char *subdirectory = nullptr) {
        ::MakePipeDirectory(what, subdirectory, &root_, &directory_);
    }
    void TearDown() override { RemovePipeDirectory(&root_); }

    std::string root_;
    std::string directory_;
};
#endif
