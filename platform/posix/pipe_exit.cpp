// Socket files to remove when the process ends: at exit, and on SIGHUP, SIGINT, SIGQUIT and
// SIGTERM, the files of the process's live servers are removed while their names are still
// locked; a signal then takes its default action, so that the process ends as it would have
// without the handler. Part of the pipe directory (pipe_directory.cpp), whose rules the
// removal follows.
#include "platform/posix/pipe_exit.h"

#include "platform/posix/layer.h"
#include "platform/posix/syscalls.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <unistd.h>

namespace {

// The process may end while a worker is still blocked in ConnectNamedPipe, by returning
// from main or by a signal; the exit and signal handlers then remove the files of the
// servers still open. Slots are never freed and the list only grows at its head, so a
// handler can walk it while another thread is inside the layer; ownership of a slot passes
// by compare-and-swap on its state alone.
// SlotLive: published; the name is locked, and what is under it is this server's or stale.
// SlotClosing: the server is removing its own socket file; should the process end
//   meanwhile, the handler removes it too, so that no file outlives the process.
// SlotEnding: the process is ending and a handler has the slot. The server no longer
//   touches its lock file or directory then: the name stays locked until the handler has
//   removed the socket file and, last, the lock file, so that no other server can take
//   the name in between and lose its socket to the handler.
enum SlotState : int { SlotFree, SlotBusy, SlotLive, SlotClosing, SlotEnding };

} // namespace

struct ExitSlot {
    std::atomic<int> state{SlotBusy};
    pid_t owner = 0;
    int directory = -1; // the server's pipe directory, open while the slot is live
    int lockFile = -1;  // and its lock file, locked
    char file[PathCapacity] = {};
    ExitSlot *next = nullptr;
};

namespace {

constinit std::atomic<ExitSlot *> exitSlots{nullptr};

constexpr int EndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// 0, then 1 while a handler removes the files, 2 once it has.
constinit std::atomic<int> removal{0};

// Async-signal-safe: lock-free atomics and system calls. The first handler to come removes
// the files; one that comes meanwhile on another thread (a signal during exit, or a second
// signal) waits for it, so that the process does not end halfway.
void RemoveLiveSocketFiles() {
    static_assert(std::atomic<int>::is_always_lock_free);
    int idle = 0;
    if (!removal.compare_exchange_strong(idle, 1)) {
        for (int waited = 0; removal.load() == 1 && waited < 1000; ++waited) {
            Pause(1000000);
        }
        return;
    }
    for (ExitSlot *slot = exitSlots.load(); slot != nullptr; slot = slot->next) {
        int live = SlotLive;
        int closing = SlotClosing;
        // A forked child inherits the list; it removes only its own servers' files.
        if ((slot->state.compare_exchange_strong(live, SlotEnding) ||
             slot->state.compare_exchange_strong(closing, SlotEnding)) &&
            slot->owner == getpid()) {
            RemoveOwnSocket(slot->directory, slot->file);
            RemoveOwnLock(slot->directory, slot->file, slot->lockFile);
        }
    }
    removal.store(2);
}

// At exit the ending signals wait on this thread until the files are gone (a signal
// handler would find the removal under way and wait for itself).
void RemoveLiveSocketFilesAtExit() {
    sigset_t ending;
    sigemptyset(&ending);
    for (int signal : EndingSignals) {
        sigaddset(&ending, signal);
    }
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    RemoveLiveSocketFiles();
}

// Registered as the process starts, so that no server has to register it later.
const bool exitHandlerRegistered = std::atexit(RemoveLiveSocketFilesAtExit) == 0;

// Removes the files, then ends the process as the signal would have without the handler:
// the default action, so that whoever waits for the process sees the signal (128 + n).
void EndOnSignal(int signal) {
    int error = errno;
    RemoveLiveSocketFiles();
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

// Installed when a server first publishes its socket. Only signals whose disposition is
// still the default are caught: one the process was started with ignored stays ignored
// (SIGHUP under nohup, SIGINT and SIGQUIT in a shell's background job), and a handler of
// the program's own is left alone. While one is handled the others wait.
void RemoveSocketFilesOnSignals() {
    static constinit std::atomic<bool> installed{false};
    if (installed.exchange(true)) {
        return;
    }
    struct sigaction handler {};
    handler.sa_handler = EndOnSignal;
    handler.sa_flags = SA_RESTART;
    sigemptyset(&handler.sa_mask);
    for (int signal : EndingSignals) {
        sigaddset(&handler.sa_mask, signal);
    }
    for (int signal : EndingSignals) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
            current.sa_handler == SIG_DFL) {
            sigaction(signal, &handler, nullptr);
        }
    }
}

} // namespace

// Claims a slot in state SlotBusy, owned by the server until it publishes or frees it.
bool ClaimExitSlot(ServerName *name) {
    if (!exitHandlerRegistered) {
        return FailWith(ERROR_NO_SYSTEM_RESOURCES);
    }
    ExitSlot *slot = exitSlots.load();
    for (; slot != nullptr; slot = slot->next) {
        int vacant = SlotFree;
        if (slot->state.compare_exchange_strong(vacant, SlotBusy)) {
            break;
        }
    }
    if (slot == nullptr) {
        slot = MapObject<ExitSlot>(); // never unmapped: the handler may still walk it
        if (slot == nullptr) {
            return false;
        }
        slot->next = exitSlots.load();
        while (!exitSlots.compare_exchange_weak(slot->next, slot)) {
        }
    }
    slot->owner = getpid();
    slot->directory = name->directory.fd;
    slot->lockFile = name->lockFile;
    std::memcpy(slot->file, name->file, std::strlen(name->file) + 1);
    name->slot = slot;
    return true;
}

void PublishExitSlot(ExitSlot *slot) {
    slot->state.store(SlotLive);
    RemoveSocketFilesOnSignals();
}

bool FreeExitSlot(ServerName *name) {
    if (name->slot == nullptr) {
        return true;
    }
    if (!name->published) {
        name->slot->state.store(SlotFree);
        return true;
    }
    int live = SlotLive;
    int closing = SlotClosing;
    if (!name->slot->state.compare_exchange_strong(live, SlotClosing)) {
        return false;
    }
    RemoveOwnSocket(name->directory.fd, name->file);
    return name->slot->state.compare_exchange_strong(closing, SlotFree);
}
