// The worker allocates nothing once its security record is built. This executable replaces
// the C library's allocation functions (which every operator new also reaches) with
// counting ones; a thread is watched from the moment CreatePipeSecurity has allocated the
// record until the worker routine returns, and whole exchanges with a real client, through
// run control as the program runs them, must leave the count at 0.
#include "control/run_control.h"
#include "control/run_state.h"
#include "pipe/security.h"
#include "pipe_test_support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <execinfo.h>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *block, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void *__libc_valloc(std::size_t size);
void *__libc_pvalloc(std::size_t size);
void __libc_free(void *block);
}

namespace {

constinit thread_local bool watched = false;
constinit thread_local bool recording = false;
std::atomic<unsigned> allocations{0};

// Where the first few counted allocations came from, for the failure message.
constexpr unsigned RecordedSites = 8;
constexpr int SiteDepth = 12;
void *sites[RecordedSites][SiteDepth];
int siteDepths[RecordedSites];

void CountAllocation() {
    if (!watched || recording) {
        return;
    }
    unsigned index = allocations.fetch_add(1);
    if (index < RecordedSites) {
        recording = true; // backtrace may allocate on its first use
        siteDepths[index] = backtrace(sites[index], SiteDepth);
        recording = false;
    }
}

} // namespace

extern "C" {
void *malloc(std::size_t size) {
    CountAllocation();
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size) {
    CountAllocation();
    return __libc_calloc(count, size);
}
void *realloc(void *block, std::size_t size) {
    CountAllocation();
    return __libc_realloc(block, size);
}
void free(void *block) {
    __libc_free(block);
}
void *memalign(std::size_t alignment, std::size_t size) {
    CountAllocation();
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(std::size_t alignment, std::size_t size) {
    CountAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **block, std::size_t alignment, std::size_t size) {
    CountAllocation();
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void *result = __libc_memalign(alignment, size);
    if (result == nullptr) {
        return ENOMEM;
    }
    *block = result;
    return 0;
}
void *valloc(std::size_t size) {
    CountAllocation();
    return __libc_valloc(size);
}
void *pvalloc(std::size_t size) {
    CountAllocation();
    return __libc_pvalloc(size);
}
}

namespace {

std::atomic<bool> watchBegan{false};

// The end of CreatePipeSecurity: the record is its last allocation.
HLOCAL WINAPI AllocateRecordThenWatch(UINT flags, SIZE_T bytes) {
    HLOCAL record = LocalAlloc(flags, bytes);
    watched = true;
    watchBegan = true;
    return record;
}

unsigned(__stdcall *workerRoutine)(void *) = nullptr;
std::atomic<bool> workerEnded{false};

unsigned __stdcall WatchedWorker(void *argument) {
    workerRoutine(argument);
    watched = false;
    workerEnded = true;
    return 0;
}

std::uintptr_t StartWatchedWorker(unsigned(__stdcall *routine)(void *)) {
    workerRoutine = routine;
    return _beginthreadex(nullptr, 0, WatchedWorker, nullptr, 0, nullptr);
}

std::string AllocationSites() {
    std::string text;
    unsigned count = std::min(allocations.load(), RecordedSites);
    for (unsigned i = 0; i < count; ++i) {
        text += "allocation " + std::to_string(i + 1) + ":\n";
        char **names = backtrace_symbols(sites[i], siteDepths[i]);
        for (int frame = 1; names != nullptr && frame < siteDepths[i]; ++frame) {
            text += std::string("    ") + names[frame] + "\n";
        }
        std::free(names);
    }
    return text;
}

struct ClientResult {
    bool connected = false;
    std::vector<BYTE> reply;
    bool replied = false;
};

// The client side, over the same layer on a thread of its own: its allocations are not the
// worker's and are not counted.
void RunClient(const std::vector<BYTE> &request, ClientResult *result) {
    HANDLE pipe = OpenPipeOnceServed(WIDE("\\\\.\\pipe\\SamplePipe"));
    if (pipe == INVALID_HANDLE_VALUE) {
        return;
    }
    result->connected = true;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr);
    BYTE piece[64];
    DWORD read = 0;
    BOOL complete;
    while (!(complete = ReadFile(pipe, piece, sizeof piece, &read, nullptr)) &&
           GetLastError() == ERROR_MORE_DATA) {
        result->reply.insert(result->reply.end(), piece, piece + read);
    }
    if (complete) {
        result->reply.insert(result->reply.end(), piece, piece + read);
        result->replied = true;
    }
    CloseHandle(pipe);
}

std::vector<BYTE> Utf16Bytes(const std::u16string &text, bool withNul) {
    std::vector<BYTE> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    if (withNul) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

class WorkerAllocation : public PipeDirectoryTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(MakePipeDirectory("allocation"));
        void *warm[1];
        backtrace(warm, 1);
        allocations = 0;
        workerEnded = false;
        watchBegan = false;
        RunState.exchangeDone = 0;
        RunState.workerHandle = 0;
        AllocatePipeSecurityRecord = AllocateRecordThenWatch;
        StartWorker = StartWatchedWorker;
    }
    void TearDown() override {
        AllocatePipeSecurityRecord = LocalAlloc;
        StartWorker = savedStart;
        RunState.replyMode = ReplyNone;
        RunState.exchangeDone = 0;
        PipeDirectoryTest::TearDown();
    }

    // One whole exchange; returns the exit status run control produced.
    int Exchange(ReplyMode mode, const std::vector<BYTE> &request, ClientResult *client) {
        RunState.replyMode = mode;
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        // The worker's lines go to /dev/null, through the same formatting and write.
        std::fflush(stdout);
        int console = dup(STDOUT_FILENO);
        int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(sink, STDOUT_FILENO);
        close(sink);
        std::thread clientThread(RunClient, std::cref(request), client);
        int status = RunExchange(frequency.QuadPart);
        clientThread.join();
        for (int waited = 0; !workerEnded && waited < 10000; ++waited) {
            Sleep(1);
        }
        dup2(console, STDOUT_FILENO);
        close(console);
        EXPECT_TRUE(watchBegan) << "the worker never built its security record";
        EXPECT_TRUE(workerEnded) << "the worker did not end";
        return status;
    }

    std::uintptr_t (*savedStart)(unsigned(__stdcall *)(void *)) = StartWorker;
};

TEST_F(WorkerAllocation, NoneInAnExchangeWithAShortRequestAndAReply) {
    ClientResult client;
    EXPECT_EQ(Exchange(ReplyStop, Utf16Bytes(u"Hello", true), &client), 1);
    EXPECT_TRUE(client.replied);
    EXPECT_EQ(client.reply, Utf16Bytes(u"CorvaneStop", true));
    EXPECT_EQ(allocations.load(), 0u) << AllocationSites();
}

TEST_F(WorkerAllocation, NoneInARequestReadInManyPieces) {
    // 100,000 bytes: 49 pieces, handed out from the layer's staging area.
    std::u16string text(50000, u'a');
    ClientResult client;
    EXPECT_EQ(Exchange(ReplyContinue, Utf16Bytes(text, false), &client), 1);
    EXPECT_EQ(client.reply, Utf16Bytes(u"CorvaneContinue", true));
    EXPECT_EQ(allocations.load(), 0u) << AllocationSites();
}

TEST_F(WorkerAllocation, NoneForTheLongestReceiveLineOrAnEmptyRequest) {
    // A full piece of three-byte characters: the longest line the worker prints.
    ClientResult full;
    EXPECT_EQ(Exchange(ReplyStart, Utf16Bytes(std::u16string(1024, u'\u20AC'), false), &full), 1);
    EXPECT_EQ(full.reply, Utf16Bytes(u"Start", true));
    EXPECT_EQ(allocations.load(), 0u) << AllocationSites();

    allocations = 0;
    workerEnded = false;
    watchBegan = false;
    RunState.exchangeDone = 0;
    ClientResult empty;
    EXPECT_EQ(Exchange(ReplyNone, {}, &empty), 1);
    EXPECT_TRUE(empty.connected);
    EXPECT_FALSE(empty.replied);
    EXPECT_EQ(allocations.load(), 0u) << AllocationSites();
}

} // namespace
