// A server's name from CreateNamedPipeW to CloseHandle: the order in which the server makes
// and removes its files, and the exit and signal handlers that remove the files of the
// servers still open when the process ends. At exit, and on those of SIGHUP, SIGINT, SIGQUIT
// and SIGTERM still at their default action when the first server is made, the files of the
// process's live servers are removed while their names are still locked; a signal then takes
// its default action, so that the process ends as it would have without the handler. The
// files themselves, and the rules for removing them, are the name's lock's (name_lock.cpp)
// and its socket file's (pipe_sockets.cpp).
//
// A signal may come at any moment, on any thread, while a server is half-way through making
// a file: a handler that removed what it knew of and let the process die would leave a file
// made the moment after (a lock file before its handler was there, a socket bound just
// after the handler looked). So every step that makes or removes a file of a name, and
// records it, is a section:
//   - the thread blocks the ending signals for the section, so that no handler runs on it
//     half-way;
//   - it counts itself in ('making') and only then looks whether the process is ending; a
//     handler on another thread says so first ('ending') and only then waits for the count
//     to fall to zero. Whichever comes second sees the other (sequentially consistent
//     atomics), so either the section backs off without touching anything, or the handler
//     waits until the section has made its file and recorded it, and then removes it;
//   - a section that finds the process ending makes nothing and waits for the end, which
//     comes as soon as the handler is done.
// So once a handler has begun, no file is made, and what was made is in the records it
// walks. The exit handler is registered as the process starts; the signal handlers are
// installed, and a server's record claimed, in the section that makes its lock file, before
// the file is there.
//
// The order for a server:
//   TakeName     [section] install the signal handlers; claim a record; make or reclaim
//                the lock file and lock it; record the name as locked.
//   ListenOnName [section] bind the socket file (replacing a stale one of this user's).
//   ReleaseName  [section] remove the socket file, then the lock file; free the record.
//                Then close the lock file and the directory.
// A handler removes, for each record of a locked name, whatever socket file of this user's
// is under it and then the lock file, while the name is still locked: no other server can
// have taken the name, so nothing of another server's, the same user's included, is ever
// removed.
#include "platform/posix/server_name.h"

#include "platform/posix/layer.h"
#include "platform/posix/syscalls.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <unistd.h>

struct ExitSlot {
    std::atomic<bool> used{true};
    pid_t owner = 0;
    int directory = -1; // the server's pipe directory
    int lockFile = -1;  // and its lock file, locked once 'locked'
    bool locked = false;
    char file[PathCapacity] = {};
    ExitSlot *next = nullptr;
};

namespace {

// Records are never unmapped and the list only grows at its head, so a handler can walk it
// whatever the other threads do.
constinit std::atomic<ExitSlot *> exitSlots{nullptr};

constexpr int EndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

constinit std::atomic<int> making{0};
constinit std::atomic<bool> ending{false};
constinit std::atomic<bool> removed{false};

// The pause of each wait: for the end of the process, which has nothing to check; for the
// first handler's removal of the files; for a section, which is a few system calls.
constexpr long EndWaitNanoseconds = 100000000;    // 100 ms
constexpr long RemovalCheckNanoseconds = 1000000; // 1 ms
constexpr long SectionCheckNanoseconds = 100000;  // 100 us

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

sigset_t EndingSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : EndingSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

// A section (see above). Begin returns false once the process is ending; the caller then
// makes nothing and calls AwaitEnd.
struct Section {
    sigset_t saved;
};

bool BeginSection(Section *section) {
    sigset_t set = EndingSet();
    pthread_sigmask(SIG_BLOCK, &set, &section->saved);
    making.fetch_add(1);
    if (ending.load()) {
        making.fetch_sub(1);
        pthread_sigmask(SIG_SETMASK, &section->saved, nullptr);
        return false;
    }
    return true;
}

void EndSection(const Section *section) {
    making.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &section->saved, nullptr);
}

// The process is ending (exit has begun, or a handler runs): this thread waits for the end
// rather than make or remove a file that the handler would not know of.
[[noreturn]] void AwaitEnd() {
    for (;;) {
        Pause(EndWaitNanoseconds);
    }
}

// Async-signal-safe: lock-free atomics and system calls. The first handler to come removes
// the files once no section is under way; one that comes meanwhile on another thread (a
// signal during exit, or a second signal) waits for it, so that the process does not end
// halfway.
void RemoveLiveFiles() {
    if (ending.exchange(true)) {
        while (!removed.load()) {
            Pause(RemovalCheckNanoseconds);
        }
        return;
    }
    // A section is a few system calls that never wait, on a thread that this handler
    // cannot be running on (it blocks the signals).
    while (making.load() != 0) {
        Pause(SectionCheckNanoseconds);
    }
    for (ExitSlot *slot = exitSlots.load(); slot != nullptr; slot = slot->next) {
        // A forked child inherits the records; it removes only its own servers' files.
        if (slot->used.load() && slot->locked && slot->owner == getpid()) {
            RemoveOwnSocket(slot->directory, slot->file);
            RemoveOwnLock(slot->directory, slot->file, slot->lockFile);
        }
    }
    removed.store(true);
}

// At exit the ending signals wait on this thread until the files are gone (a signal
// handler would find the removal under way and wait for itself).
void RemoveLiveFilesAtExit() {
    sigset_t set = EndingSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    RemoveLiveFiles();
}

// A child forked while another thread was in a section has no such thread: it starts with
// no section under way.
void ForgetSectionsInChild() {
    making.store(0);
}

// Registered as the process starts, so that no server has to register them later.
const bool exitHandlerRegistered = std::atexit(RemoveLiveFilesAtExit) == 0 &&
                                   pthread_atfork(nullptr, nullptr, ForgetSectionsInChild) == 0;

// Removes the files, then ends the process as the signal would have without the handler:
// the default action, so that whoever waits for the process sees the signal (128 + n).
void EndOnSignal(int signal) {
    int error = errno;
    RemoveLiveFiles();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    errno = error;
}

// Installed by the first server, in the section that makes its lock file. Only signals
// whose disposition is still the default are caught: one the process was started with
// ignored stays ignored (SIGHUP under nohup, SIGINT and SIGQUIT in a shell's background
// job), and a handler of the program's own is left alone. While one is handled the others
// wait.
void RemoveFilesOnSignals() {
    static constinit std::atomic<bool> installed{false};
    if (installed.exchange(true)) {
        return;
    }
    struct sigaction handler {};
    handler.sa_handler = EndOnSignal;
    handler.sa_flags = SA_RESTART;
    handler.sa_mask = EndingSet();
    for (int signal : EndingSignals) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
            current.sa_handler == SIG_DFL) {
            sigaction(signal, &handler, nullptr);
        }
    }
}

// A free record, or a new one, owned by the caller until it frees it.
ExitSlot *ClaimSlot() {
    for (ExitSlot *slot = exitSlots.load(); slot != nullptr; slot = slot->next) {
        bool vacant = false;
        if (slot->used.compare_exchange_strong(vacant, true)) {
            return slot;
        }
    }
    auto *slot = MapObject<ExitSlot>(); // never unmapped: a handler may still walk it
    if (slot == nullptr) {
        return nullptr;
    }
    slot->next = exitSlots.load();
    while (!exitSlots.compare_exchange_weak(slot->next, slot)) {
    }
    return slot;
}

} // namespace

bool TakeName(ServerName *name) {
    if (!exitHandlerRegistered) {
        return FailWith(ERROR_NO_SYSTEM_RESOURCES);
    }
    Section section;
    if (!BeginSection(&section)) {
        AwaitEnd();
    }
    RemoveFilesOnSignals();
    ExitSlot *slot = ClaimSlot();
    bool taken = slot != nullptr;
    if (taken) {
        slot->owner = getpid();
        slot->directory = name->directory.fd;
        slot->lockFile = -1;
        slot->locked = false;
        std::memcpy(slot->file, name->file, std::strlen(name->file) + 1);
        name->slot = slot;
        taken = LockName(name);
        slot->lockFile = name->lockFile;
        slot->locked = name->locked;
    }
    EndSection(&section);
    return taken;
}

int ListenOnName(ServerName *name) {
    Section section;
    if (!BeginSection(&section)) {
        AwaitEnd();
    }
    int fd = BindName(*name);
    EndSection(&section);
    return fd;
}

// Released only once the socket file is gone, the lock file last, and the record freed
// with them. Should the process be ending, the handler removes them (and needs the lock
// file and directory open until the process is gone).
void ReleaseName(ServerName *name) {
    if (name->slot != nullptr) {
        Section section;
        if (!BeginSection(&section)) {
            AwaitEnd();
        }
        if (name->locked) {
            RemoveOwnSocket(name->directory.fd, name->file);
            RemoveOwnLock(name->directory.fd, name->file, name->lockFile);
        }
        name->slot->used.store(false);
        name->slot = nullptr;
        EndSection(&section);
    }
    if (name->lockFile >= 0) {
        sys.close(name->lockFile);
    }
    if (name->directory.fd >= 0) {
        sys.close(name->directory.fd);
    }
}
