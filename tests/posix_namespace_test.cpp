// The pipe directory as a namespace shared with other local users, any of whom may have got
// there first. The tests run as root, with a second, unprivileged user (uid 65534, through
// setpriv) doing what any local user can do in a directory like /tmp: the server must
// refuse what it cannot trust and touch nothing, and a client must never be led to a server
// it cannot trust.
#include "platform/platform.h"
#include "platform/posix/syscalls.h"
#include "worker_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t Nobody = 65534;

// Starts a command as uid and gid 65534 without supplementary groups. Its standard output
// comes back on 'output'; closing 'input' ends its standard input.
pid_t StartAsNobody(const std::vector<std::string> &command, int *output, int *input) {
    int out[2];
    int in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
        return -1;
    }
    std::vector<const char *> arguments{"setpriv", "--reuid=65534", "--regid=65534",
                                        "--clear-groups", "--"};
    for (const std::string &argument : command) {
        arguments.push_back(argument.c_str());
    }
    arguments.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(in[0], STDIN_FILENO);
        execvp("setpriv", const_cast<char *const *>(arguments.data()));
        _exit(127);
    }
    close(out[1]);
    close(in[0]);
    *output = out[0];
    *input = in[1];
    return child;
}

std::string ReadAll(int fd, bool lineOnly) {
    std::string text;
    char unit;
    while (read(fd, &unit, 1) == 1 && !(lineOnly && unit == '\n')) {
        text += unit;
    }
    return text;
}

// Runs a shell command as the second user to its end; returns its exit status.
int AsNobody(const std::string &command, std::string *printed = nullptr) {
    int output = -1;
    int input = -1;
    pid_t child = StartAsNobody({"sh", "-c", command}, &output, &input);
    if (child < 0) {
        return -1;
    }
    close(input);
    std::string text = ReadAll(output, false);
    close(output);
    int status = 0;
    waitpid(child, &status, 0);
    if (printed != nullptr) {
        *printed = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A pipe server of the second user's, run by foreign_pipe_end.
struct ForeignServer {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
    DWORD code = 0xFFFFFFFF; // what its CreateNamedPipeW gave; 0 while it serves
};

std::u16string PipeName(const std::string &name) {
    return u"\\\\.\\pipe\\" + std::u16string(name.begin(), name.end());
}

HANDLE Serve(const std::string &name) {
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    ConvertStringSecurityDescriptorToSecurityDescriptorW(u"D:(A;OICI;GRGW;;;AU)(A;OICI;GA;;;BA)",
                                                         SDDL_REVISION_1,
                                                         &security.lpSecurityDescriptor, nullptr);
    HANDLE server = CreateNamedPipeW(PipeName(name).c_str(), PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0, &security);
    DWORD error = GetLastError();
    LocalFree(security.lpSecurityDescriptor);
    SetLastError(error);
    return server;
}

HANDLE Open(const std::string &name) {
    return CreateFileW(PipeName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

class Namespace : public testing::Test {
  protected:
    void SetUp() override {
        saved_ = sys;
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: a second user (uid 65534) acts through setpriv";
        }
        char pattern[] = "/tmp/pipeword-namespace-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        // Like /tmp: anyone may add entries; only their owner may remove or replace them.
        ASSERT_EQ(chmod(root_.c_str(), 01777), 0);
        directory_ = root_ + "/pipes";
        setenv("PIPEWORD_PIPE_DIR", directory_.c_str(), 1);
        // Where the second user can run it, whatever the permissions of the build tree.
        helper_ = root_ + "/foreign_pipe_end";
        std::filesystem::copy_file(FOREIGN_PIPE_END, helper_);
        ASSERT_EQ(chmod(helper_.c_str(), 0755), 0);
        ASSERT_EQ(AsNobody("test -x " + helper_), 0) << "uid 65534 cannot run " << helper_;
    }
    void TearDown() override {
        sys = saved_;
        for (ForeignServer &server : servers_) {
            Stop(server, SIGKILL);
        }
        if (!root_.empty()) {
            unsetenv("PIPEWORD_PIPE_DIR");
            std::filesystem::remove_all(root_);
        }
    }

    // The pipe directory as the layer makes it: root's, open to all, sticky.
    void MakeSharedDirectory() const {
        ASSERT_EQ(mkdir(directory_.c_str(), 0), 0);
        ASSERT_EQ(chmod(directory_.c_str(), 01777), 0);
    }

    ForeignServer &ServeAsNobody(const std::string &name) {
        ForeignServer &server = servers_.emplace_back();
        server.pid = StartAsNobody({helper_, "serve", name}, &server.output, &server.input);
        std::string line = server.output >= 0 ? ReadAll(server.output, true) : "";
        if (!line.empty()) {
            server.code = static_cast<DWORD>(std::stoul(line));
        }
        return server;
    }

    // Ends a server of the second user's: SIGKILL leaves its socket file behind; 0 lets it
    // close its pipe, which removes the socket file and leaves the lock file.
    static void Stop(ForeignServer &server, int signal) {
        if (server.pid < 0) {
            return;
        }
        if (signal != 0) {
            kill(server.pid, signal);
        }
        close(server.input);
        waitpid(server.pid, nullptr, 0);
        close(server.output);
        server.pid = -1;
    }

    // Everything under the test's root as lstat and readlink see it, directories with their
    // modification times: equal snapshots mean nothing was made, removed, replaced or changed.
    std::string Snapshot() const {
        std::vector<std::string> lines;
        auto describe = [&](const std::filesystem::path &path) {
            struct stat entry {};
            lstat(path.c_str(), &entry);
            char line[512];
            std::snprintf(line, sizeof line, "%s inode %lu owner %u mode %o size %ld", path.c_str(),
                          static_cast<unsigned long>(entry.st_ino), entry.st_uid, entry.st_mode,
                          static_cast<long>(entry.st_size));
            std::string text = line;
            if (S_ISDIR(entry.st_mode)) {
                text += " modified " + std::to_string(entry.st_mtim.tv_sec) + "." +
                        std::to_string(entry.st_mtim.tv_nsec);
            }
            if (S_ISLNK(entry.st_mode)) {
                text += " -> " + std::filesystem::read_symlink(path).string();
            }
            lines.push_back(text);
        };
        describe(root_);
        for (const auto &entry : std::filesystem::recursive_directory_iterator(root_)) {
            describe(entry.path());
        }
        std::sort(lines.begin(), lines.end());
        std::string text;
        for (const std::string &line : lines) {
            text += line + "\n";
        }
        return text;
    }

    // Back to a root with nothing in it but the helper.
    void Clear() {
        for (ForeignServer &server : servers_) {
            Stop(server, SIGKILL);
        }
        servers_.clear();
        for (const auto &entry : std::filesystem::directory_iterator(root_)) {
            if (entry.path() != helper_) {
                std::filesystem::remove_all(entry.path());
            }
        }
    }

    SystemCalls saved_{};
    std::string root_;
    std::string directory_;
    std::string helper_;
    std::deque<ForeignServer> servers_; // references to its elements stay valid
};

TEST_F(Namespace, TheServerRefusesWhatItCannotTrustAndTouchesNothing) {
    const struct {
        const char *what;
        std::function<void()> prepare;
        DWORD code;
    } cases[] = {
        {"a directory of another user's",
         [&] { ASSERT_EQ(AsNobody("mkdir -m 1777 " + directory_), 0); }, ERROR_ACCESS_DENIED},
        {"a directory others may write to, without the sticky bit",
         [&] {
             ASSERT_EQ(mkdir(directory_.c_str(), 0), 0);
             ASSERT_EQ(chmod(directory_.c_str(), 0777), 0);
         },
         ERROR_ACCESS_DENIED},
        {"a directory its group may write to, without the sticky bit",
         [&] {
             ASSERT_EQ(mkdir(directory_.c_str(), 0), 0);
             ASSERT_EQ(chmod(directory_.c_str(), 0775), 0);
         },
         ERROR_ACCESS_DENIED},
        {"a symbolic link in place of the directory, to one the server would use",
         [&] {
             std::string elsewhere = root_ + "/elsewhere";
             ASSERT_EQ(mkdir(elsewhere.c_str(), 0), 0);
             ASSERT_EQ(chmod(elsewhere.c_str(), 01777), 0);
             ASSERT_EQ(AsNobody("ln -s elsewhere " + directory_), 0);
         },
         ERROR_ACCESS_DENIED},
        {"a symbolic link in place of the lock file",
         [&] {
             MakeSharedDirectory();
             ASSERT_EQ(AsNobody("ln -s ../victim " + directory_ + "/SamplePipe.lock"), 0);
         },
         ERROR_ACCESS_DENIED},
        {"a symbolic link in place of the socket",
         [&] {
             MakeSharedDirectory();
             ASSERT_EQ(AsNobody("ln -s ../victim " + directory_ + "/SamplePipe"), 0);
         },
         ERROR_ACCESS_DENIED},
        {"another user's live server",
         [&] {
             MakeSharedDirectory();
             ASSERT_EQ(ServeAsNobody("SamplePipe").code, 0u);
         },
         ERROR_PIPE_BUSY},
        {"another user's stale socket",
         [&] {
             MakeSharedDirectory();
             ForeignServer &killed = ServeAsNobody("SamplePipe");
             ASSERT_EQ(killed.code, 0u);
             Stop(killed, SIGKILL);
         },
         ERROR_PIPE_BUSY},
        {"another user's lock file, their server gone",
         [&] {
             MakeSharedDirectory();
             ForeignServer &ended = ServeAsNobody("SamplePipe");
             ASSERT_EQ(ended.code, 0u);
             Stop(ended, 0);
         },
         ERROR_ACCESS_DENIED},
    };
    RunState.replyMode = ReplyStop;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Clear();
        c.prepare();
        if (HasFatalFailure()) {
            return;
        }
        std::string before = Snapshot();
        char line[64];
        std::snprintf(line, sizeof line, "Unable to create named pipe w/err 0x%08x\n", c.code);
        EXPECT_EQ(RunWorker(), line);
        EXPECT_EQ(RunState.exchangeDone.load(), 0);
        EXPECT_EQ(Snapshot(), before);
    }
}

TEST_F(Namespace, ClientsKeepOnlyServersTheyCanTrust) {
    MakeSharedDirectory();
    // Any user can make a name in a shared directory first: another user's server there is
    // not believed.
    ASSERT_EQ(ServeAsNobody("Theirs").code, 0u);
    SetLastError(0);
    EXPECT_EQ(Open("Theirs"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // Nor is a link the second user planted, though it leads to root's own server.
    HANDLE ours = Serve("Ours");
    ASSERT_NE(ours, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_EQ(AsNobody("ln -s Ours " + directory_ + "/Alias"), 0);
    SetLastError(0);
    EXPECT_EQ(Open("Alias"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // Each user serves under their own names, and the second user's client is served by
    // root's server, open to all users as the program's is (and gone again by the time the
    // server looks).
    std::string printed;
    EXPECT_EQ(AsNobody(helper_ + " open Ours", &printed), 0);
    EXPECT_EQ(printed, "0\n");
    EXPECT_FALSE(ConnectNamedPipe(ours, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
    CloseHandle(ours);
}

TEST_F(Namespace, TheOwnerOfADirectoryNobodyElseMayWriteToIsTrusted) {
    // The second user's own directory: only they make names in it.
    ASSERT_EQ(AsNobody("mkdir -m 755 " + directory_), 0);
    ASSERT_EQ(ServeAsNobody("Theirs").code, 0u);
    HANDLE client = Open("Theirs");
    EXPECT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(client);
    // Root's server has no place there.
    SetLastError(0);
    EXPECT_EQ(Serve("Ours"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// Another process makes the directory between this server's look and its own mkdir: the
// one that won is checked like any other.
uid_t raceWinner = 0;

TEST_F(Namespace, ADirectoryMadeFirstByAnotherProcessIsCheckedLikeAnyOther) {
    sys.mkdirat = [](int at, const char *path, mode_t) {
        bool made = mkdirat(at, path, 0) == 0 && chmod(path, 01777) == 0 &&
                    chown(path, raceWinner, raceWinner) == 0;
        errno = made ? EEXIST : EIO;
        return -1;
    };
    raceWinner = Nobody;
    SetLastError(0);
    EXPECT_EQ(Serve("Ours"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(std::filesystem::is_empty(directory_));

    std::filesystem::remove(directory_);
    raceWinner = 0;
    HANDLE ours = Serve("Ours");
    EXPECT_NE(ours, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(ours);
}

} // namespace
