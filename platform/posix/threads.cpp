// Threads as Win32 handles: _beginthreadex hands out a handle that stays valid until
// CloseHandle; _beginthread's handle is closed by the runtime when the thread ends, as the
// Windows C runtime does.
#include "platform/posix/layer.h"
#include "platform/posix/syscalls.h"

#include <cerrno>
#include <ctime>
#include <new>

#include <sched.h>

namespace {

struct ThreadObject {
    HandleObject base;
    unsigned(__stdcall *startEx)(void *);
    void(__cdecl *start)(void *);
    void *argument;
    pthread_mutex_t mutex;
    pthread_cond_t ended;
    bool finished;
    // One reference for the thread itself, one for the handle while it is open, and one
    // for each wait in progress.
    int references;
    // The release of the allocation it came from, taken when it is made: the thread may
    // end long after, and touches nothing shared on its way out.
    void (*release)(void *block);
    // Where the thread may run once it has started (see InitThreadAttributes).
    bool placed;
    cpu_set_t allowed;
};

// Frees the object once nothing refers to it.
void DestroyThread(ThreadObject *thread) {
    pthread_cond_destroy(&thread->ended);
    pthread_mutex_destroy(&thread->mutex);
    void (*release)(void *) = thread->release;
    thread->~ThreadObject();
    release(thread);
}

void DropReference(ThreadObject *thread) {
    pthread_mutex_lock(&thread->mutex);
    bool last = --thread->references == 0;
    pthread_mutex_unlock(&thread->mutex);
    if (last) {
        DestroyThread(thread);
    }
}

BOOL CloseThread(HandleObject *object) {
    DropReference(reinterpret_cast<ThreadObject *>(object));
    return TRUE;
}

void *RunThread(void *argument) {
    auto *thread = static_cast<ThreadObject *>(argument);
    if (thread->placed) {
        pthread_setaffinity_np(pthread_self(), sizeof thread->allowed, &thread->allowed);
    }
    if (thread->startEx != nullptr) {
        thread->startEx(thread->argument);
    } else {
        thread->start(thread->argument);
    }
    pthread_mutex_lock(&thread->mutex);
    thread->finished = true;
    pthread_cond_broadcast(&thread->ended);
    pthread_mutex_unlock(&thread->mutex);
    // The runtime closes a _beginthread handle when its thread ends.
    if (thread->startEx == nullptr && UnregisterHandle(&thread->base)) {
        DropReference(thread);
    }
    DropReference(thread);
    return nullptr;
}

// A thread object with one reference for the thread and one for its handle; null, with errno
// and the last-error code set, when there is no memory for it.
ThreadObject *MakeThread(unsigned(__stdcall *startEx)(void *), void(__cdecl *start)(void *),
                         void *argument) {
    void *memory = sys.calloc(1, sizeof(ThreadObject));
    if (memory == nullptr) {
        errno = ENOMEM;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto *thread = new (memory) ThreadObject{};
    thread->release = sys.free;
    thread->base.kind = HandleKind::Thread;
    thread->base.close = CloseThread;
    thread->startEx = startEx;
    thread->start = start;
    thread->argument = argument;
    thread->references = 2;
    pthread_mutex_init(&thread->mutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&thread->ended, &attributes);
    pthread_condattr_destroy(&attributes);
    return thread;
}

// The attributes a thread is created with: detached, with the stack asked for, and away from
// its creator's processor.
//
// Windows gives each new thread an ideal processor of its own, round the processors, so a
// thread started by one that then keeps its processor busy runs at once on another. Linux
// puts a new thread on its creator's processor, where it waits for the creator's time slice
// to end (some milliseconds) even with another processor idle. So the thread is created on
// the other processors the process may use, and takes back all of them as its first act;
// with only one processor to use there is nothing to choose.
void InitThreadAttributes(pthread_attr_t *attributes, ThreadObject *thread, unsigned stackSize) {
    pthread_attr_init(attributes);
    pthread_attr_setdetachstate(attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        pthread_attr_setstacksize(attributes, stackSize);
    }
    int here = sched_getcpu();
    if (here >= 0 && sched_getaffinity(0, sizeof thread->allowed, &thread->allowed) == 0) {
        cpu_set_t elsewhere = thread->allowed;
        CPU_CLR(here, &elsewhere);
        thread->placed = CPU_COUNT(&elsewhere) > 0 &&
                         pthread_attr_setaffinity_np(attributes, sizeof elsewhere, &elsewhere) == 0;
    }
}

std::uintptr_t StartThread(unsigned(__stdcall *startEx)(void *), void(__cdecl *start)(void *),
                           unsigned stackSize, void *argument) {
    ThreadObject *thread = MakeThread(startEx, start, argument);
    if (thread == nullptr) {
        return 0;
    }
    // Registered before it runs, so that a _beginthread routine that ends at once still
    // finds its handle to close.
    RegisterHandle(&thread->base);
    pthread_attr_t attributes;
    InitThreadAttributes(&attributes, thread, stackSize);
    pthread_t id;
    int error = sys.pthread_create(&id, &attributes, RunThread, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        UnregisterHandle(&thread->base);
        DestroyThread(thread);
        // As the C runtime does: errno holds the reason (EAGAIN when threads run short), and
        // the last-error code its Win32 counterpart.
        errno = error;
        SetLastError(Win32ErrorFromErrno(error));
        return 0;
    }
    return reinterpret_cast<std::uintptr_t>(&thread->base);
}

} // namespace

std::uintptr_t _beginthreadex(void *, unsigned stackSize, unsigned(__stdcall *start)(void *),
                              void *argument, unsigned, unsigned *threadId) {
    if (threadId != nullptr) {
        *threadId = 0;
    }
    return StartThread(start, nullptr, stackSize, argument);
}

std::uintptr_t _beginthread(void(__cdecl *start)(void *), unsigned stackSize, void *argument) {
    std::uintptr_t handle = StartThread(nullptr, start, stackSize, argument);
    // The C runtime reports a failed _beginthread as -1.
    return handle == 0 ? static_cast<std::uintptr_t>(-1) : handle;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    HandleObject *object = LookUpHandle(handle, HandleKind::Thread);
    if (object == nullptr) {
        return WAIT_FAILED;
    }
    auto *thread = reinterpret_cast<ThreadObject *>(object);
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    pthread_mutex_lock(&thread->mutex);
    ++thread->references;
    int error = 0;
    while (!thread->finished && error != ETIMEDOUT) {
        error = milliseconds == INFINITE
                    ? pthread_cond_wait(&thread->ended, &thread->mutex)
                    : pthread_cond_timedwait(&thread->ended, &thread->mutex, &deadline);
    }
    bool finished = thread->finished;
    pthread_mutex_unlock(&thread->mutex);
    DropReference(thread);
    return finished ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}
