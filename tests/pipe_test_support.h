// What the GoogleTest sources share: both ends of a pipe with the program's parameters, a
// pipe directory of a test's own for the POSIX layer, last-error checks that catch a call
// failing without setting a code, and standard output captured as the console functions
// write it.
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>
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

// What ConsolePrint writes to standard output while one of these lives: standard output (on
// Windows the handle that ConsolePrint writes to) goes into a pipe that a thread of its own
// drains, so that a line of any size goes through and Printed() tells at any time what has
// come so far. Finish puts standard output back and returns all that came.
class OutputCapture {
  public:
    OutputCapture() {
        std::fflush(stdout);
#ifdef _WIN32
        if (_pipe(ends_, 1 << 16, _O_BINARY) != 0) {
            ADD_FAILURE() << "no pipe for standard output";
            return;
        }
        saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(ends_[1])));
#else
        if (pipe(ends_) != 0) {
            ADD_FAILURE() << "no pipe for standard output";
            return;
        }
        saved_ = dup(STDOUT_FILENO);
        dup2(ends_[1], STDOUT_FILENO);
#endif
        reader_ = std::thread([this] {
            char chunk[4096];
            for (int got; (got = static_cast<int>(read(ends_[0], chunk, sizeof chunk))) > 0;) {
                std::lock_guard<std::mutex> hold(lock_);
                printed_.append(chunk, static_cast<std::size_t>(got));
            }
        });
    }
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;
    ~OutputCapture() {
        Finish();
    }

    std::string Printed() {
        std::lock_guard<std::mutex> hold(lock_);
        return printed_;
    }

    std::string Finish() {
        if (reader_.joinable()) {
#ifdef _WIN32
            SetStdHandle(STD_OUTPUT_HANDLE, saved_);
#else
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
#endif
            close(ends_[1]);
            reader_.join();
            close(ends_[0]);
        }
        return printed_;
    }

  private:
    int ends_[2] = {-1, -1};
#ifdef _WIN32
    HANDLE saved_ = nullptr;
#else
    int saved_ = -1;
#endif
    std::thread reader_;
    std::mutex lock_;
    std::string printed_;
};

// Lines as ConsolePrint writes them to a file or a pipe: on Windows each LF as CR LF.
inline std::string AsPrinted(std::string lines) {
#ifdef _WIN32
    for (std::size_t at = 0; (at = lines.find('\n', at)) != std::string::npos; at += 2) {
        lines.insert(at, 1, '\r');
    }
#endif
    return lines;
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
