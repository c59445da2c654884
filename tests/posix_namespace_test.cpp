// The pipe directory as a namespace shared with other local users, any of whom may have got
// there first. The tests run as root, with a second, unprivileged user (uid 65534, through
// setpriv) doing what any local user can do in a directory like /tmp: the server must
// refuse what it cannot trust and touch nothing, and a client must never be led to a server
// it cannot trust.
#include "pipe_test_support.h"
#include "platform/posix/syscalls.h"
#include "worker_run.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

// Runs 'body' in a child process as the second user, for attacks no command makes: the
// child makes system calls alone (its parent has threads) and ends with body's result.
template <typename Body> pid_t ForkAsNobody(Body body) {
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(Nobody, Nobody, Nobody) != 0 ||
            setresuid(Nobody, Nobody, Nobody) != 0) {
            _exit(126);
        }
        _exit(body());
    }
    return child;
}

int WaitFor(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A plain SOCK_SEQPACKET listener at 'path', non-blocking; -1 on failure.
int Listen(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return -1;
    }
    path.copy(address.sun_path, path.size());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || fchmod(fd, 0666) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd, 128) != 0) {
        return -1;
    }
    return fd;
}

// Accepts and closes every connection waiting on a listener; returns how many there were.
int DrainConnections(int listener) {
    int count = 0;
    for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++count) {
        close(fd);
    }
    return count;
}

// A pipe server of the second user's, run by foreign_pipe_end.
struct ForeignServer {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
    DWORD code = 0xFFFFFFFF; // what its CreateNamedPipeW gave; 0 while it serves
};

// A server open to all users, as the program's own is.
HANDLE Serve(const std::string &name) {
    return ServePipe(name, UsersAndAdministrators);
}

// Why the last pipe call failed with access denied, as the layer words it for messages.
std::string DeniedBecause() {
    WCHAR cause[512];
    DWORD size = PipeFailureCause(ERROR_ACCESS_DENIED, cause, 512);
    return std::string(cause, cause + size);
}

class Namespace : public PipeDirectoryTest {
  protected:
    void SetUp() override {
        saved_ = sys;
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: a second user (uid 65534) acts through setpriv";
        }
        ASSERT_NO_FATAL_FAILURE(MakePipeDirectory("namespace", "pipes"));
        // Like /tmp: anyone may add entries; only their owner may remove or replace them.
        ASSERT_EQ(chmod(root_.c_str(), 01777), 0);
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
        PipeDirectoryTest::TearDown();
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
             ASSERT_EQ(AsNobody("umask 077 && : >" + directory_ + "/SamplePipe.lock"), 0);
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
    EXPECT_LAST_ERROR(OpenPipe("Theirs"), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    EXPECT_EQ(DeniedBecause().find("the server runs as uid 65534,"), 0u) << DeniedBecause();
    // Nor is a link the second user planted, though it leads to root's own server.
    HANDLE ours = Serve("Ours");
    ASSERT_NE(ours, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_EQ(AsNobody("ln -s Ours " + directory_ + "/Alias"), 0);
    EXPECT_LAST_ERROR(OpenPipe("Alias"), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    EXPECT_EQ(DeniedBecause(), "'" + directory_ + "/Alias' is a symbolic link, not a pipe");
    // Each user serves under their own names, and the second user's client is served by
    // root's server, open to all users as the program's is (and gone again by the time the
    // server looks).
    std::string printed;
    EXPECT_EQ(AsNobody(helper_ + " open Ours", &printed), 0);
    EXPECT_EQ(printed, "0\n");
    EXPECT_LAST_ERROR(ConnectNamedPipe(ours, nullptr), FALSE, ERROR_NO_DATA);
    CloseHandle(ours);
}

TEST_F(Namespace, TheOwnerOfANamedDirectoryIsTrusted) {
    // The second user's own directory, which root's client chose by naming it.
    ASSERT_EQ(AsNobody("mkdir -m 755 " + directory_), 0);
    ASSERT_EQ(ServeAsNobody("Theirs").code, 0u);
    HANDLE client = OpenPipe("Theirs");
    EXPECT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(client);
    // Root's server has no place there.
    EXPECT_LAST_ERROR(Serve("Ours"), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
}

// The way to a named directory is part of what its chooser trusts: a directory on it that
// another user owns, or a link another user planted in a shared directory, lets that user
// choose where the pipes are. Root names a/b, where a is the second user's and b root's;
// the second user swaps in a b of their own with a server in it. And the second user plants
// a link x to a folder only root may enter: root's server would make its files there. Both
// are refused, naming the directory at fault, and nothing is made; a link of root's own,
// and the second user's directory named as such, are fine.
TEST_F(Namespace, OnlyAWayNoOtherUserCanChangeIsTrusted) {
    std::string parent = root_ + "/a";
    std::string named = parent + "/b";
    ASSERT_EQ(AsNobody("mkdir -m 755 " + parent), 0);
    ASSERT_EQ(mkdir(named.c_str(), 0755), 0);
    setenv("PIPEWORD_PIPE_DIR", named.c_str(), 1);
    auto expectFault = [](const std::string &directory) {
        std::string text = DeniedBecause();
        EXPECT_NE(text.find(" '" + directory + "',"), std::string::npos) << text;
    };
    EXPECT_LAST_ERROR(Serve("Ours"), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    expectFault(parent);
    EXPECT_TRUE(std::filesystem::is_empty(named));
    ASSERT_EQ(AsNobody("mv " + named + " " + parent + "/away && mkdir -m 755 " + named), 0);
    ServeAsNobody("Theirs");
    ASSERT_EQ(AsNobody("test -S " + named + "/Theirs"), 0);
    EXPECT_LAST_ERROR(OpenPipe("Theirs"), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    expectFault(parent);
    // Named as the second user's own, their directory and its server are trusted.
    setenv("PIPEWORD_PIPE_DIR", parent.c_str(), 1);
    ASSERT_EQ(ServeAsNobody("InTheirs").code, 0u);
    HANDLE client = OpenPipe("InTheirs");
    EXPECT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(client);

    std::string hidden = root_ + "/hidden";
    ASSERT_EQ(mkdir(hidden.c_str(), 0700), 0);
    ASSERT_EQ(AsNobody("ln -s " + hidden + " " + root_ + "/x"), 0);
    setenv("PIPEWORD_PIPE_DIR", (root_ + "/x/pw").c_str(), 1);
    EXPECT_LAST_ERROR(Serve("Ours"), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    expectFault(root_ + "/x");
    EXPECT_TRUE(std::filesystem::is_empty(hidden));
    ASSERT_EQ(symlink(hidden.c_str(), (root_ + "/y").c_str()), 0);
    setenv("PIPEWORD_PIPE_DIR", (root_ + "/y/pw").c_str(), 1);
    HANDLE server = Serve("Ours");
    EXPECT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(std::filesystem::is_socket(hidden + "/pw/Ours"));
    CloseHandle(server);
}

// A socket of another type under the name (stream, datagram) is no pipe, whoever made it:
// refused as any other file in a pipe's place.
TEST_F(Namespace, ASocketOfAnotherTypeIsNoPipe) {
    MakeSharedDirectory();
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        SCOPED_TRACE(type == SOCK_STREAM ? "stream" : "datagram");
        std::string name = type == SOCK_STREAM ? "Stream" : "Datagram";
        int report[2];
        int release[2];
        ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
        pid_t owner = ForkAsNobody([&] {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::string path = directory_ + "/" + name;
            path.copy(address.sun_path, sizeof address.sun_path - 1);
            int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
            bool bound = fd >= 0 && fchmod(fd, 0666) == 0 &&
                         bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                         (type == SOCK_DGRAM || listen(fd, 8) == 0);
            (void)!write(report[1], &bound, 1);
            char ignored;
            close(release[1]);
            (void)!read(release[0], &ignored, 1); // until the test is done
            return 0;
        });
        close(report[1]);
        close(release[0]);
        bool bound = false;
        ASSERT_EQ(read(report[0], &bound, 1), 1);
        EXPECT_TRUE(bound);
        EXPECT_LAST_ERROR(OpenPipe(name), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
        EXPECT_EQ(DeniedBecause(),
                  "'" + directory_ + "/" + name +
                      "' is a socket of another type (stream or datagram), not a pipe");
        close(report[0]);
        close(release[1]);
        WaitFor(owner);
    }
}

// Another process makes the directory between this server's look and its own mkdir: the
// one that won is checked like any other.
uid_t raceWinner = 0;

TEST_F(Namespace, ADirectoryMadeFirstByAnotherProcessIsCheckedLikeAnyOther) {
    sys.mkdirat = [](int at, const char *path, mode_t) {
        bool made = mkdirat(at, path, 0) == 0 && fchmodat(at, path, 01777, 0) == 0 &&
                    fchownat(at, path, raceWinner, raceWinner, 0) == 0;
        errno = made ? EEXIST : EIO;
        return -1;
    };
    raceWinner = Nobody;
    EXPECT_LAST_ERROR(Serve("Ours"), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(std::filesystem::is_empty(directory_));

    std::filesystem::remove(directory_);
    raceWinner = 0;
    HANDLE ours = Serve("Ours");
    EXPECT_NE(ours, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(ours);
}

// The client inspects a name and then connects to it; meanwhile the second user keeps
// exchanging (renameat2 RENAME_EXCHANGE) their own socket under the name with a link to a
// socket of root's that they cannot even reach. Connecting by path after the check reaches
// root's socket, whose server root's client would believe; the layer connects to the very
// file it checked, and never does.
TEST_F(Namespace, ALinkSwappedInAfterTheCheckIsNeverConnectedTo) {
    MakeSharedDirectory();
    std::string hidden = root_ + "/hidden";
    ASSERT_EQ(mkdir(hidden.c_str(), 0700), 0);
    int service = Listen(hidden + "/service");
    ASSERT_GE(service, 0);
    std::string name = directory_ + "/Swapped";
    std::string link = directory_ + "/link";
    int running[2];
    ASSERT_EQ(pipe2(running, O_CLOEXEC), 0);
    pid_t swapper = ForkAsNobody([&] {
        close(running[1]);
        int own = Listen(name);
        if (own < 0 || symlink((hidden + "/service").c_str(), link.c_str()) != 0) {
            return 1;
        }
        // Until the test closes its end of the pipe.
        for (pollfd stop{running[0], POLLIN, 0}; poll(&stop, 1, 0) == 0;) {
            renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, name.c_str(), RENAME_EXCHANGE);
            DrainConnections(own);
        }
        return 0;
    });
    close(running[0]);
    struct stat entry {};
    for (int waited = 0; lstat(link.c_str(), &entry) != 0 && waited < 5000; ++waited) {
        usleep(1000);
    }
    using Clock = std::chrono::steady_clock;

    // The attack, on a connect by path after the check: root's service is reached.
    int directory = open(directory_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    sockaddr_un byPath{};
    byPath.sun_family = AF_UNIX;
    std::snprintf(byPath.sun_path, sizeof byPath.sun_path, "/proc/self/fd/%d/Swapped", directory);
    int reachedByPath = 0;
    for (auto end = Clock::now() + std::chrono::seconds(10);
         reachedByPath == 0 && Clock::now() < end;) {
        struct stat checked {};
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fstatat(directory, "Swapped", &checked, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISSOCK(checked.st_mode)) {
            connect(fd, reinterpret_cast<sockaddr *>(&byPath), sizeof byPath);
        }
        close(fd);
        reachedByPath += DrainConnections(service);
    }
    close(directory);
    EXPECT_GT(reachedByPath, 0) << "the swapping never let a connection by path through";

    // The layer, for a few seconds: every open is refused, none reaches root's service. The
    // second user's socket refuses root's client, or is busy while its queue is full.
    int reached = 0;
    int opens = 0;
    for (auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end; ++opens) {
        SetLastErrorSentinel();
        HANDLE client = OpenPipe("Swapped");
        DWORD error = GetLastError();
        reached += DrainConnections(service);
        if (client != INVALID_HANDLE_VALUE) {
            CloseHandle(client);
            ADD_FAILURE() << "a connection was kept";
            break;
        }
        if (error != ERROR_ACCESS_DENIED && error != ERROR_PIPE_BUSY) {
            ADD_FAILURE() << "open " << opens << " failed with " << error;
            break;
        }
    }
    close(running[1]);
    EXPECT_EQ(WaitFor(swapper), 0);
    EXPECT_EQ(reached, 0) << "after " << opens << " opens";
    close(service);

    // Root's own server in the same directory serves root's client.
    HANDLE server = Serve("Ours");
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE client = OpenPipe("Ours");
    EXPECT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(client);
    CloseHandle(server);
}

// Whoever can open a name's lock file can hold a lock on it and keep every server from the
// name, even in a directory they cannot write to. Lock files are for their owner alone: one
// left by a server that ended without closing, and one that an earlier version left
// readable by all, which a server narrows before it relies on it.
TEST_F(Namespace, NobodyElseCanLockAServerOutOfItsName) {
    ASSERT_EQ(mkdir(directory_.c_str(), 0755), 0); // for serving other users' clients
    pid_t killed = fork();
    if (killed == 0) {
        _exit(Serve("Stale") != INVALID_HANDLE_VALUE ? 0 : 1); // no clean-up at _exit
    }
    ASSERT_EQ(WaitFor(killed), 0);
    int made = open((directory_ + "/Legacy.lock").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(made, 0);
    ASSERT_EQ(fchmod(made, 0644), 0);
    close(made);
    HANDLE legacy = Serve("Legacy");
    ASSERT_NE(legacy, INVALID_HANDLE_VALUE) << GetLastError();

    // A client of another user, who cannot read the lock, takes a socket that refuses it for
    // no pipe, as a stale one does.
    std::string printed;
    EXPECT_EQ(AsNobody(helper_ + " open Stale", &printed), 0);
    EXPECT_EQ(printed, "2\n");

    for (const std::string name : {"Stale", "Legacy"}) {
        SCOPED_TRACE(name);
        std::string lock = directory_ + "/" + name + ".lock";
        struct stat file {};
        ASSERT_EQ(stat(lock.c_str(), &file), 0);
        EXPECT_EQ(file.st_mode & 07777, 0600u);
        // The attack: read locks on both bytes, held while root's server starts. The child
        // reports 0 when it holds them, else the open's errno.
        int report[2];
        int release[2];
        ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
        pid_t attacker = ForkAsNobody([&] {
            close(release[1]);
            int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
            int outcome = fd < 0 ? errno : 0;
            for (off_t byte = 0; fd >= 0 && byte < 2; ++byte) {
                struct flock held {};
                held.l_type = F_RDLCK;
                held.l_whence = SEEK_SET;
                held.l_start = byte;
                held.l_len = 1;
                if (fcntl(fd, F_OFD_SETLK, &held) != 0) {
                    outcome = -1;
                }
            }
            (void)!write(report[1], &outcome, sizeof outcome);
            char ignored;
            (void)!read(release[0], &ignored, 1);
            return 0;
        });
        close(report[1]);
        close(release[0]);
        int outcome = -2;
        EXPECT_EQ(read(report[0], &outcome, sizeof outcome), static_cast<ssize_t>(sizeof outcome));
        close(report[0]);
        EXPECT_EQ(outcome, EACCES);
        if (name == "Legacy") {
            CloseHandle(legacy);
        }
        HANDLE server = Serve(name);
        EXPECT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
        CloseHandle(server);
        close(release[1]);
        EXPECT_EQ(WaitFor(attacker), 0);
    }
}

} // namespace
