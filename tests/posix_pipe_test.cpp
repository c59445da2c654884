// Named pipes as the POSIX layer keeps them, where Windows has nothing to compare with:
// the socket files and their modes, the pipe directory, stale files of killed servers, the
// exit of a process whose server still waits, and signals. (That a write to a gone client
// raises no SIGPIPE is shown by the contract tests, which would not survive one.)
#include "pipe_test_support.h"
#include "platform/posix/syscalls.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Forks with a pipe from the child to its parent: *report is the child's write end in the
// child and the read end in the parent (the other end closed in each).
pid_t ForkWithReport(int *report) {
    int ends[2];
    if (pipe(ends) != 0) {
        return -1;
    }
    pid_t child = fork();
    close(ends[child == 0 ? 0 : 1]);
    *report = ends[child == 0 ? 1 : 0];
    return child;
}

class PipeFiles : public PipeDirectoryTest {
  protected:
    void SetUp() override { MakePipeDirectory("posix", "pipes"); }
    std::string Path(const std::string &name) const { return directory_ + "/" + name; }
    bool Exists(const std::string &name) const {
        struct stat file {};
        return lstat(Path(name).c_str(), &file) == 0;
    }
};

TEST_F(PipeFiles, SocketFileLastsAsLongAsTheServer) {
    // A named directory is made open to all but for its owner to write, whatever the umask,
    // even one that leaves its owner nothing.
    for (mode_t mask : {022, 077, 0777}) {
        SCOPED_TRACE(testing::Message() << "umask " << std::oct << mask);
        std::filesystem::remove_all(directory_);
        mode_t saved = umask(mask);
        HANDLE server = ServePipe(u"\\\\.\\PIPE\\Mixed.Case");
        umask(saved);
        ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
        struct stat file {};
        ASSERT_EQ(lstat(directory_.c_str(), &file), 0);
        EXPECT_TRUE(S_ISDIR(file.st_mode));
        EXPECT_EQ(file.st_mode & 07777, 0755u);
        ASSERT_EQ(lstat(Path("Mixed.Case").c_str(), &file), 0); // the name's case is kept
        EXPECT_TRUE(S_ISSOCK(file.st_mode));
        EXPECT_EQ(file.st_mode & 0777, 0600u);
        ASSERT_EQ(lstat(Path("Mixed.Case.lock").c_str(), &file), 0);
        EXPECT_EQ(file.st_mode & 07777, 0600u); // nobody else may open it, let alone lock it
        EXPECT_TRUE(CloseHandle(server));
        EXPECT_FALSE(Exists("Mixed.Case"));
        EXPECT_FALSE(Exists("Mixed.Case.lock")); // the name is free for any user again
    }
}

TEST_F(PipeFiles, SocketModeFollowsTheDescriptor) {
    const struct {
        const char16_t *descriptor; // null: no security record
        mode_t mode;
    } cases[] = {
        {nullptr, 0600},
        {u"D:(A;OICI;GRGW;;;AU)(A;OICI;GA;;;BA)", 0666},
        {u"D:(A;;GA;;;WD)", 0666},
        {u"D:(A;;0x2;;;AU)", 0666},
        {u"D:(A;;GR;;;AU)", 0600},
        {u"D:(A;;GA;;;BA)", 0600},
        {u"D:(D;;GW;;;WD)(A;;GA;;;AU)", 0600},
        {u"D:(A;IO;GA;;;WD)", 0600},
        {u"D:", 0600},
        {u"", 0666}, // no DACL at all: Windows lets everyone in
    };
    mode_t saved = umask(077); // the descriptor's mode, not the umask's
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        HANDLE server = ServePipe("mode", c.descriptor);
        EXPECT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
        struct stat file {};
        EXPECT_EQ(lstat(Path("mode").c_str(), &file), 0);
        EXPECT_EQ(file.st_mode & 07777, c.mode);
        CloseHandle(server);
    }
    umask(saved);
}

TEST_F(PipeFiles, NamesASocketPathCannotCarry) {
    const struct {
        std::string name;
        DWORD error;
    } cases[] = {
        {"a/b", ERROR_INVALID_NAME},
        {"..", ERROR_INVALID_NAME},
        {"other.lock", ERROR_INVALID_NAME}, // the lock file of the pipe "other"
        {std::string(120, 'x'), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_LAST_ERROR(ServePipe(c.name), INVALID_HANDLE_VALUE, c.error);
        EXPECT_LAST_ERROR(OpenPipe(c.name), INVALID_HANDLE_VALUE, c.error);
    }
    EXPECT_FALSE(std::filesystem::exists(directory_)); // refused before anything is made
}

TEST_F(PipeFiles, StaleSocketOfAKilledServerIsReclaimed) {
    int ready = -1;
    pid_t child = ForkWithReport(&ready);
    ASSERT_NE(child, -1);
    if (child == 0) {
        char created = ServePipe("stale") != INVALID_HANDLE_VALUE ? 1 : 0;
        (void)!write(ready, &created, 1);
        pause();
        _exit(0);
    }
    char created = 0;
    EXPECT_EQ(read(ready, &created, 1), 1);
    close(ready);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_EQ(created, 1);
    ASSERT_TRUE(Exists("stale")); // left behind, but nobody holds the name
    EXPECT_LAST_ERROR(OpenPipe("stale"), INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
    EXPECT_LAST_ERROR(WaitNamedPipeW(PipeName("stale").c_str(), 1000), FALSE, ERROR_FILE_NOT_FOUND);

    HANDLE server = ServePipe("stale");
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE client = OpenPipe("stale");
    EXPECT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_LAST_ERROR(ConnectNamedPipe(server, nullptr), FALSE, ERROR_PIPE_CONNECTED);
    CloseHandle(client);
    CloseHandle(server);
}

TEST_F(PipeFiles, ExitRemovesTheSocketOfAServerStillWaiting) {
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        HANDLE server = ServePipe("waiting");
        if (server == INVALID_HANDLE_VALUE) {
            _exit(2);
        }
        std::thread([server] { ConnectNamedPipe(server, nullptr); }).detach();
        std::this_thread::sleep_for(50ms);
        std::exit(Exists("waiting") ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(Exists("waiting"));
}

// A process that ends while its worker is removing its server's files: the stand-in for
// unlinkat below tells when the worker is in its first removal ('removing'), holds it there
// until the main thread has begun to exit, and reports which thread makes each removal ('w'
// the worker, 'e' any other).
std::atomic<bool> removing{false};
std::atomic<bool> exiting{false};
std::atomic<pid_t> closingThread{0};
SystemCalls closingReal{};
int closingReport = -1;

int ReportedUnlink(int directory, const char *path, int flags) {
    bool worker = gettid() == closingThread.load();
    if (worker) {
        removing = true;
        for (int waited = 0; !exiting.load() && waited < 5000; ++waited) {
            usleep(1000);
        }
        usleep(100000); // the exit handler is under way by now
    }
    (void)!write(closingReport, worker ? "w" : "e", 1);
    return closingReal.unlinkat(directory, path, flags);
}

// The exit handler waits for the worker's removal to be done, and finds nothing left to
// remove: were it to remove files while the worker does, the worker could remove a file of
// the next server's, and the handler one the worker made after it looked.
TEST_F(PipeFiles, TheExitHandlerWaitsForAServerHalfWayThroughItsFiles) {
    int report = -1;
    pid_t child = ForkWithReport(&report);
    ASSERT_NE(child, -1);
    if (child == 0) {
        closingReport = report;
        HANDLE server = ServePipe("closing");
        if (server == INVALID_HANDLE_VALUE) {
            _exit(2);
        }
        closingReal = sys;
        sys.unlinkat = ReportedUnlink;
        std::thread([server] {
            closingThread = gettid();
            CloseHandle(server);
        }).detach();
        // Only once the worker is half-way through its files does the process end.
        while (!removing.load()) {
            usleep(1000);
        }
        exiting = true;
        std::exit(0);
    }
    std::string removals;
    for (char made; read(report, &made, 1) == 1;) {
        removals += made;
    }
    close(report);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(removals, "ww");
    EXPECT_FALSE(Exists("closing"));
    EXPECT_FALSE(Exists("closing.lock"));
}

void Ignore(int) {}

TEST_F(PipeFiles, SignalsDoNotInterruptBlockingCalls) {
    struct sigaction handler {};
    struct sigaction saved {};
    handler.sa_handler = Ignore; // no SA_RESTART: blocked calls fail with EINTR
    sigaction(SIGUSR1, &handler, &saved);
    HANDLE server = ServePipe("eintr");
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    DWORD connectError = 1;
    DWORD readError = 1;
    std::thread worker([&] {
        SetLastErrorSentinel();
        connectError = ConnectNamedPipe(server, nullptr) ? 0 : GetLastError();
        char buffer[16];
        DWORD bytes = 0;
        SetLastErrorSentinel();
        readError = ReadFile(server, buffer, sizeof buffer, &bytes, nullptr) ? 0 : GetLastError();
    });
    auto interrupt = [&] {
        for (int i = 0; i < 10; ++i) {
            pthread_kill(worker.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(10ms);
        }
    };
    interrupt(); // in ConnectNamedPipe
    HANDLE client = OpenPipe("eintr");
    interrupt(); // in ReadFile
    DWORD bytes = 0;
    EXPECT_TRUE(WriteFile(client, "request", 7, &bytes, nullptr));
    worker.join();
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_TRUE(connectError == 0 || connectError == ERROR_PIPE_CONNECTED) << connectError;
    EXPECT_EQ(readError, 0u);
    CloseHandle(client);
    CloseHandle(server);
}

} // namespace
