// The POSIX layer under failing and interrupted system calls. The layer reaches the system
// only through its table of calls (syscalls.h); these tests put failing or interrupted calls
// in its slots and check what comes out: a sensible Win32 code, the program's own error line
// when its worker runs, and nothing left behind (no descriptor, no mapping, no socket file;
// no heap block either, which the asan preset's LeakSanitizer checks at exit).
#include "pipe_test_support.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/syscalls.h"
#include "worker_run.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The table as the process started with it: what the stand-ins call through to.
SystemCalls real{};

// Mappings the layer holds: counted through the table while a test runs.
std::atomic<long> liveMappings{0};
std::atomic<int> mappingsBeforeFailure{-1}; // the mapping after this many fails; -1: none

void *CountedMap(void *address, std::size_t size, int protection, int flags, int fd, off_t offset) {
    if (mappingsBeforeFailure.fetch_sub(1) == 0) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    void *region = real.mmap(address, size, protection, flags, fd, offset);
    if (region != MAP_FAILED) {
        ++liveMappings;
    }
    return region;
}

int CountedUnmap(void *address, std::size_t size) {
    int result = real.munmap(address, size);
    if (result == 0) {
        --liveMappings;
    }
    return result;
}

template <int Error> int FailSocket(int, int, int) {
    errno = Error;
    return -1;
}

template <int Error> int FailBind(int, const sockaddr *, socklen_t) {
    errno = Error;
    return -1;
}

template <int Error> int FailAccept(int, sockaddr *, socklen_t *, int) {
    errno = Error;
    return -1;
}

void *FailCalloc(std::size_t, std::size_t) {
    errno = ENOMEM;
    return nullptr;
}

int OpenDescriptors() {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

std::string ErrorLine(const char *step, DWORD code) {
    char line[80];
    std::snprintf(line, sizeof line, "%s w/err 0x%08x\n", step, code);
    return line;
}

const std::string CreatedLines = "The named pipe (\\\\.\\pipe\\SamplePipe) is created.\n"
                                 "Waiting for the client's connection...\n";

class Faults : public PipeDirectoryTest {
  protected:
    void SetUp() override {
        real = sys;
        ASSERT_NO_FATAL_FAILURE(MakePipeDirectory("faults"));
        // A first server, made and closed before anything is counted, leaves an exit slot
        // free for the next: a failed server then maps nothing that outlives it.
        HANDLE first = ServePipe("first");
        ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();
        CloseHandle(first);
        Count();
        liveMappings = 0;
        RunState.replyMode = ReplyStop;
    }
    void TearDown() override {
        sys = real;
        PipeDirectoryTest::TearDown();
    }
    // The real table, with mappings counted.
    static void Count() {
        sys = real;
        sys.mmap = CountedMap;
        sys.munmap = CountedUnmap;
        mappingsBeforeFailure = -1;
    }
    bool SocketFileLeft() const {
        return std::filesystem::exists(std::filesystem::symlink_status(directory_ + "/SamplePipe"));
    }
    // Runs the worker with each failure in turn; checks the lines it printed and that the
    // run left nothing behind.
    void ExpectWorkerLines(const std::vector<std::pair<void (*)(), std::string>> &cases) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "case " << i);
            int descriptors = OpenDescriptors();
            cases[i].first();
            std::string printed = RunWorker();
            Count();
            EXPECT_EQ(printed, cases[i].second);
            EXPECT_EQ(RunState.exchangeDone.load(), 0);
            EXPECT_EQ(RunState.pipeHandle, INVALID_HANDLE_VALUE);
            EXPECT_EQ(RunState.pipeSecurity, nullptr);
            EXPECT_EQ(OpenDescriptors(), descriptors);
            EXPECT_EQ(liveMappings.load(), 0);
            EXPECT_FALSE(SocketFileLeft());
        }
    }
};

TEST_F(Faults, FailuresToCreateThePipeGiveTheProgramsErrorLine) {
    const std::string unable = "Unable to create named pipe";
    ExpectWorkerLines({
        {[] { sys.socket = FailSocket<ENOMEM>; }, ErrorLine(unable.c_str(), 8)},
        {[] { sys.socket = FailSocket<EMFILE>; }, ErrorLine(unable.c_str(), 4)},
        {[] { sys.socket = FailSocket<ENFILE>; }, ErrorLine(unable.c_str(), 4)},
        {[] { sys.bind = FailBind<EACCES>; }, ErrorLine(unable.c_str(), 5)},
        {[] { sys.bind = FailBind<ENOSPC>; }, ErrorLine(unable.c_str(), 0x70)},
        {[] { sys.bind = FailBind<ENAMETOOLONG>; }, ErrorLine(unable.c_str(), 0xce)},
        // The pipe end's own mapping, then its staging area after the end is mapped.
        {[] { mappingsBeforeFailure = 0; }, ErrorLine(unable.c_str(), 8)},
        {[] { mappingsBeforeFailure = 1; }, ErrorLine(unable.c_str(), 8)},
        // The security descriptor's block, before any pipe.
        {[] { sys.calloc = FailCalloc; }, ErrorLine("CreatePipeSecurity failed", 8)},
    });
}

TEST_F(Faults, FailuresToAcceptTheClientGiveTheProgramsErrorLine) {
    ExpectWorkerLines({
        {[] { sys.accept4 = FailAccept<ENOMEM>; },
         CreatedLines + ErrorLine("ConnectNamedPipe failed", 8)},
        {[] { sys.accept4 = FailAccept<EMFILE>; },
         CreatedLines + ErrorLine("ConnectNamedPipe failed", 4)},
        {[] { sys.accept4 = FailAccept<ENFILE>; },
         CreatedLines + ErrorLine("ConnectNamedPipe failed", 4)},
    });
}

// The thread of the worker's client, and where the two stand: the worker's reply waits until
// the client, which wrote its request, has gone, as a client can leave on either platform.
std::thread::id clientThread;
std::atomic<bool> replyDue{false};
std::atomic<bool> clientGone{false};

ssize_t SendOnceTheClientHasGone(int fd, const msghdr *message, int flags) {
    if (std::this_thread::get_id() != clientThread) {
        replyDue = true;
        for (int waited = 0; !clientGone && waited < 5000; ++waited) {
            Sleep(1);
        }
    }
    return real.sendmsg(fd, message, flags);
}

TEST_F(Faults, AReplyToAClientThatHasGoneGivesTheProgramsErrorLine) {
    clientThread = std::this_thread::get_id();
    sys.sendmsg = SendOnceTheClientHasGone;
    std::string printed = RunWorker([] {
        HANDLE client = OpenPipeOnceServed(PipeName("SamplePipe").c_str());
        DWORD bytes = 0;
        WriteFile(client, u"Hello", 12, &bytes, nullptr);
        for (int waited = 0; !replyDue && waited < 5000; ++waited) {
            Sleep(1);
        }
        CloseHandle(client);
        clientGone = true;
    });
    EXPECT_EQ(printed, CreatedLines +
                           "Client is connected.\n"
                           "Receive 12 bytes from client: \"Hello\"\n" +
                           ErrorLine("WriteFile to pipe failed", ERROR_NO_DATA));
    EXPECT_EQ(RunState.exchangeDone.load(), 0);
}

TEST_F(Faults, AClientWithoutASocketGetsTheCodeAndTheServerWaitsOn) {
    HANDLE server = ServePipe("SamplePipe");
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    const std::pair<int (*)(int, int, int), DWORD> cases[] = {
        {FailSocket<ENOMEM>, ERROR_NOT_ENOUGH_MEMORY},
        {FailSocket<EMFILE>, ERROR_TOO_MANY_OPEN_FILES},
        {FailSocket<ENFILE>, ERROR_TOO_MANY_OPEN_FILES},
    };
    for (const auto &[fail, code] : cases) {
        int descriptors = OpenDescriptors();
        sys.socket = fail;
        EXPECT_LAST_ERROR(OpenPipe("SamplePipe"), INVALID_HANDLE_VALUE, code);
        sys.socket = real.socket;
        EXPECT_EQ(OpenDescriptors(), descriptors);
    }
    HANDLE client = OpenPipe("SamplePipe");
    EXPECT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_LAST_ERROR(ConnectNamedPipe(server, nullptr), FALSE, ERROR_PIPE_CONNECTED);
    CloseHandle(client);
    CloseHandle(server);
    EXPECT_EQ(liveMappings.load(), 0);
}

int ownerCloses = 0;

int CloseThenFail(int fd) {
    ++ownerCloses;
    real.close(fd);
    errno = EIO;
    return -1;
}

// An owner closes its descriptor once, through the table, when it goes (a moved-from or
// released one closes nothing), and leaves errno as it found it, even when close fails.
TEST_F(Faults, ADescriptorsOwnerClosesItOnceAndKeepsErrno) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int descriptors = OpenDescriptors();
    sys.close = CloseThenFail;
    {
        OwnedFd released(fds[0]);
        OwnedFd moved(fds[1]);
        const OwnedFd owner(std::move(moved));
        EXPECT_EQ(moved.get(), -1);
        EXPECT_EQ(owner.get(), fds[1]);
        real.close(released.release());
        errno = ENOSPC;
    }
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(ownerCloses, 1);
    EXPECT_EQ(OpenDescriptors(), descriptors - 2);
}

// A system whose net.core.wmem_max is this: a send buffer is widened to twice that at most.
int sendBufferSetting = 0;

int NarrowSendBuffer(int fd, int level, int option, const void *value, socklen_t size) {
    if (level == SOL_SOCKET && option == SO_SNDBUF &&
        *static_cast<const int *>(value) > sendBufferSetting) {
        return real.setsockopt(fd, level, option, &sendBufferSetting, size);
    }
    return real.setsockopt(fd, level, option, value, size);
}

// Below the kernel's largest record the send buffer sets the largest message: the widest one
// (twice net.core.wmem_max), or a new socket's (net.core.wmem_default) where that is wider.
// A message of that size goes through, one byte more fails whole.
TEST_F(Faults, TheSendBufferSetsTheLargestMessageWhereItIsTheLowerLimit) {
    int fresh = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    int initial = 0;
    socklen_t size = sizeof initial;
    ASSERT_EQ(getsockopt(fresh, SOL_SOCKET, SO_SNDBUF, &initial, &size), 0);
    close(fresh);
    const struct {
        int setting;
        int buffer;
        std::u16string cause;
    } cases[] = {
        {initial, 2 * initial, u"limited by the socket send buffer (net.core.wmem_max is "},
        {initial / 4, initial, u"limited by the socket send buffer (net.core.wmem_default is "},
    };
    sys.setsockopt = NarrowSendBuffer;
    for (const auto &[setting, buffer, cause] : cases) {
        SCOPED_TRACE(testing::PrintToString(cause));
        sendBufferSetting = setting;
        WCHAR text[256] = {};
        const DWORD largest = LargestPipeMessage(text, 256);
        EXPECT_GT(largest, static_cast<DWORD>(buffer) - 1024);
        EXPECT_LT(largest, static_cast<DWORD>(buffer));
        EXPECT_EQ(std::u16string(text).rfind(cause, 0), 0u)
            << testing::PrintToString(std::u16string(text));
        HANDLE server = ServePipe("SamplePipe");
        ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
        HANDLE client = OpenPipe("SamplePipe");
        ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
        const std::vector<BYTE> message(largest + 1, 'm');
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(client, message.data(), largest, &written, nullptr))
            << GetLastError();
        EXPECT_EQ(written, largest);
        EXPECT_LAST_ERROR(WriteFile(client, message.data(), largest + 1, &written, nullptr), FALSE,
                          ERROR_NO_SYSTEM_RESOURCES);
        CloseHandle(client);
        CloseHandle(server);
    }
}

std::atomic<int> threadCreations{0};
std::atomic<bool> threadRan{false};

TEST_F(Faults, AFailedThreadStartGivesNoHandleAndTheReason) {
    auto routine = [](void *) -> unsigned {
        threadRan = true;
        return 0;
    };
    sys.pthread_create = [](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) {
        ++threadCreations;
        return EAGAIN; // the thread limit, or no memory for another stack
    };
    errno = 0;
    SetLastErrorSentinel();
    std::uintptr_t thread = _beginthreadex(nullptr, 0, routine, nullptr, 0, nullptr);
    int error = errno;
    EXPECT_EQ(thread, 0u);
    EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(error, EAGAIN);
    EXPECT_LAST_ERROR(_beginthread([](void *) { threadRan = true; }, 0, nullptr),
                      static_cast<std::uintptr_t>(-1), ERROR_NO_SYSTEM_RESOURCES);
    // Without memory for the thread's record, no thread is even tried.
    sys.calloc = FailCalloc;
    SetLastErrorSentinel();
    thread = _beginthreadex(nullptr, 0, routine, nullptr, 0, nullptr);
    error = errno;
    EXPECT_EQ(thread, 0u);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(error, ENOMEM);
    EXPECT_EQ(threadCreations.load(), 2);
    EXPECT_FALSE(threadRan.load());

    // Once threads can start again, one does, and its handle works.
    sys = real;
    thread = _beginthreadex(nullptr, 0, routine, nullptr, 0, nullptr);
    ASSERT_NE(thread, 0u) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(threadRan.load());
    EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(thread)));
}

std::atomic<int> outqChecks{0};

int CountedIoctl(int fd, unsigned long request, int *value) {
    ++outqChecks;
    return real.ioctl(fd, request, value);
}

TEST_F(Faults, FlushSleepsUntilTheClientReadsOrGoes) {
    // Each case: whether the flush can have its watch, and whether the client reads the reply
    // 100 ms into the flush or closes without reading it.
    for (bool watch : {true, false}) {
        for (bool reads : {true, false}) {
            SCOPED_TRACE(testing::Message() << (watch ? "watched" : "no watch") << ", client "
                                            << (reads ? "reads" : "closes"));
            HANDLE server = ServePipe("SamplePipe");
            ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
            HANDLE client = OpenPipe("SamplePipe");
            ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
            ConnectNamedPipe(server, nullptr);
            DWORD bytes = 0;
            ASSERT_TRUE(WriteFile(server, u"CorvaneStop", 24, &bytes, nullptr));
            sys.ioctl = CountedIoctl;
            if (!watch) {
                sys.epoll_create1 = [](int) {
                    errno = EMFILE;
                    return -1;
                };
            }
            outqChecks = 0;
            std::atomic<bool> flushed{false};
            bool flushedFirst = false;
            std::thread peer([&] {
                Sleep(100);
                flushedFirst = flushed;
                char16_t reply[16];
                DWORD got = 0;
                if (reads) {
                    ReadFile(client, reply, sizeof reply, &got, nullptr);
                }
                CloseHandle(client);
            });
            // A flush that succeeds leaves 0.
            SetLastError(reads ? 0 : LastErrorSentinel);
            BOOL result = FlushFileBuffers(server);
            DWORD error = GetLastError();
            flushed = true;
            peer.join();
            Count();
            EXPECT_FALSE(flushedFirst);
            EXPECT_EQ(result, reads ? TRUE : FALSE);
            EXPECT_EQ(error, reads ? 0u : ERROR_BROKEN_PIPE);
            if (watch) {
                // Before the watch, once it is set, once woken by the client: no polling.
                EXPECT_LE(outqChecks.load(), 3);
            }
            CloseHandle(server);
        }
    }
}

// Stands in for a slot that reports failure as -1 with errno: fails every other call with
// EINTR, so that each real call comes after one interrupted attempt on the same thread.
template <auto Slot> struct Interrupted;

template <typename Result, typename... Parameters, Result (*SystemCalls::*Slot)(Parameters...)>
struct Interrupted<Slot> {
    static inline std::atomic<int> interruptions{0};
    static Result Call(Parameters... arguments) {
        thread_local bool passNext = false;
        if (!passNext) {
            passNext = true;
            ++interruptions;
            errno = EINTR;
            return -1;
        }
        passNext = false;
        return (real.*Slot)(arguments...);
    }
    // Puts the stand-in in its slot; returns the slot's name and how to read its count.
    static std::pair<const char *, int (*)()> Install(const char *name) {
        interruptions = 0;
        sys.*Slot = Call;
        return {name, [] { return interruptions.load(); }};
    }
};

#define INTERRUPT(slot) Interrupted<&SystemCalls::slot>::Install(#slot)

TEST_F(Faults, EveryCallInterruptedOnceStillMakesAWholeExchange) {
    std::filesystem::remove_all(directory_); // made again, under interruptions
    mode_t savedMask = umask(022); // which narrows the socket file's mode, to be set again
    const std::pair<const char *, int (*)()> slots[] = {
        INTERRUPT(socket),     INTERRUPT(bind),     INTERRUPT(listen),   INTERRUPT(accept4),
        INTERRUPT(connect),    INTERRUPT(recvmsg),  INTERRUPT(sendmsg),  INTERRUPT(setsockopt),
        INTERRUPT(getsockopt), INTERRUPT(ioctl),    INTERRUPT(poll),     INTERRUPT(lock),
        INTERRUPT(fcntl),      INTERRUPT(openat),   INTERRUPT(mkdirat),  INTERRUPT(fstatat),
        INTERRUPT(fchmod),     INTERRUPT(fchmodat), INTERRUPT(unlinkat),
    };
    std::u16string reply;
    DWORD clientError = 0;
    std::string printed = RunWorker([&] {
        SetLastErrorSentinel();
        HANDLE client = OpenPipeOnceServed(PipeName("SamplePipe").c_str());
        if (client == INVALID_HANDLE_VALUE) {
            clientError = GetLastError();
            return;
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(client, &mode, nullptr, nullptr);
        DWORD bytes = 0;
        SetLastErrorSentinel();
        if (!WriteFile(client, u"Hello", 12, &bytes, nullptr)) {
            clientError = GetLastError();
        }
        char16_t buffer[32] = {};
        SetLastErrorSentinel();
        if (ReadFile(client, buffer, sizeof buffer, &bytes, nullptr)) {
            reply.assign(buffer, bytes / sizeof(char16_t));
        } else {
            clientError = GetLastError();
        }
        // Open until the worker is done, so that its flush finds a reader still there.
        for (int waited = 0; RunState.exchangeDone == 0 && waited < 5000; ++waited) {
            Sleep(1);
        }
        CloseHandle(client);
    });
    umask(savedMask);
    EXPECT_EQ(clientError, 0u);
    EXPECT_EQ(printed, CreatedLines + "Client is connected.\n"
                                      "Receive 12 bytes from client: \"Hello\"\n"
                                      "Send 24 bytes to client: \"CorvaneStop\"\n");
    EXPECT_EQ(reply, std::u16string(u"CorvaneStop", 12));
    EXPECT_EQ(RunState.exchangeDone.load(), 1);
    for (const auto &[name, interruptions] : slots) {
        EXPECT_GT(interruptions(), 0) << name << " was never called";
    }
}

} // namespace
