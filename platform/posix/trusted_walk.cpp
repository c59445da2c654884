// The way to the pipe directory.
//
// Whoever can change a directory on the way to the pipe directory can put another directory
// in its place, and with it the server's files or an impostor's socket. So the way is walked
// from / one component at a time, each opened (O_PATH, without following a link) relative
// to the one before, symbolic links read from the very link opened and followed by the walk
// itself; the pipe directory is then used through the descriptor the walk ends with, so that
// a rename after the checks cannot swap it. Every directory passed on the way must belong to
// root, to this process's user or to the pipe directory's owner, and no other user may
// change it: it is not writable by group or others, or it is sticky and what the walk takes
// from it (the next directory, or a link) belongs to one of those users. Until the pipe
// directory's owner is known, a step whose user is neither root nor this process's is only
// doubtful: the walk keeps the first such step, and the first of yet another user, and
// settles them at the end. Otherwise the pipe operations fail with ERROR_ACCESS_DENIED, and
// the cause names the directory at fault.
//
// The walk also tells whether it led to the default directory, /tmp/.pipe: the entry ".pipe"
// taken from the directory it reached as /tmp, which is the root's entry "tmp", followed if
// a link. That is decided on what the walk holds, never by looking /tmp/.pipe up again,
// which another user who made it could swap with a look-alike between the two looks. A
// relative path is taken against getcwd's answer, which is then walked and checked like any
// other.
#include "platform/posix/trusted_walk.h"

#include "platform/posix/failure_cause.h"
#include "platform/posix/held_files.h"
#include "platform/posix/layer.h"
#include "platform/posix/pipe_names.h"
#include "platform/posix/syscalls.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int MostLinks = 40;

// What is left to walk, a link's target put before the rest, and where the walk is in it.
struct Remaining {
    char text[WayCapacity] = {};
    std::size_t at = 0;
    int links = 0;
};

bool TrustedOwner(uid_t user) {
    return user == 0 || user == geteuid();
}

const struct stat &Current(const Way &way) {
    return way.statuses[way.depth - 1];
}

void Doubtful(Way *way, uid_t user, const char *path) {
    for (int i = 0; i < way->doubtCount; ++i) {
        if (way->doubts[i].user == user) {
            return;
        }
    }
    if (way->doubtCount < 2) {
        Doubt &doubt = way->doubts[way->doubtCount++];
        doubt.user = user;
        JoinText(doubt.path, sizeof doubt.path, path);
    }
}

// The current directory's owner: trusted, or a doubt to settle.
void CheckCurrentOwner(Way *way) {
    if (!TrustedOwner(Current(*way).st_uid)) {
        Doubtful(way, Current(*way).st_uid, CurrentPath(*way));
    }
}

// Whether what the walk takes from the current directory, a file of 'user', could be another
// user's doing: others may write here and, without the sticky bit, replace anything in it,
// or with it put their own directory or link on the way first, as anyone can in /tmp.
bool OthersCanPlace(const Way &way, uid_t user) {
    const struct stat &here = Current(way);
    return (here.st_mode & WritableByOthers) != 0 && !way.refused &&
           ((here.st_mode & S_ISVTX) == 0 || !TrustedOwner(user));
}

// The cause for a way that runs through 'path', which 'user' can change.
void NoteChangeable(const char *path, uid_t user) {
    NoteCause(ERROR_ACCESS_DENIED,
              "the way to the pipe directory runs through '%s', which uid %u can change", path,
              static_cast<unsigned>(user));
}

void Refuse(Way *way, uid_t user, const char *nextPath) {
    way->refused = true;
    if ((Current(*way).st_mode & S_ISVTX) == 0) {
        NoteCause(ERROR_ACCESS_DENIED,
                  "the way to the pipe directory runs through '%s', which others may write to",
                  CurrentPath(*way));
    } else {
        NoteChangeable(nextPath, user);
    }
}

// A step on the way: 'next' (a directory or a link, at 'nextPath') taken from the current
// directory.
void CheckStep(Way *way, const struct stat &next, const char *nextPath) {
    CheckCurrentOwner(way);
    if (OthersCanPlace(*way, next.st_uid)) {
        Refuse(way, next.st_uid, nextPath);
    }
}

// Whether the walk, taking the entry 'name' from the current directory, takes /tmp (from
// the root) or /tmp/.pipe (from what it reached as /tmp).
bool TakesTmp(const Way &way, const char *name) {
    return way.depth == 1 && std::strcmp(name, "tmp") == 0;
}
bool TakesDefault(const Way &way, const char *name) {
    return way.depth - 1 == way.tmpLevel && std::strcmp(name, ".pipe") == 0;
}

bool PushDirectory(Way *way, OwnedFd fd, const char *name) {
    std::size_t at = way->depth == 1 ? 0 : way->ends[way->depth - 1];
    std::size_t size = std::strlen(name);
    if (way->depth == DeepestWay || at + 1 + size >= WayCapacity) {
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    }
    if (!StatusOf(fd.get(), &way->statuses[way->depth])) {
        return FailWithErrno(errno);
    }
    if (TakesTmp(*way, name)) {
        way->tmpLevel = way->depth;
    } else if (TakesDefault(*way, name)) {
        way->defaultLevel = way->depth;
    }
    way->path[at] = '/';
    std::memcpy(way->path + at + 1, name, size + 1);
    way->open[way->depth] = std::move(fd);
    way->ends[way->depth] = at + 1 + size;
    ++way->depth;
    return true;
}

// Takes the current directory off the way, keeping what the way reached as /tmp and
// /tmp/.pipe only while it is still on it.
OwnedFd PopDirectory(Way *way) {
    OwnedFd popped;
    if (way->depth > 1) {
        popped = std::move(way->open[--way->depth]);
        way->path[way->depth == 1 ? 0 : way->ends[way->depth - 1]] = 0;
        if (way->tmpLevel >= way->depth) {
            way->tmpLevel = NoLevel;
        }
        if (way->defaultLevel >= way->depth) {
            way->defaultLevel = NoLevel;
        }
    }
    return popped;
}

// 'given', a relative path, after the working directory's path. A working directory that has
// gone (removed, or outside this process's root) leaves the path nothing to be taken
// against: 'missing', as for any directory on the way that is not there.
bool AfterWorkingDirectory(const char *given, char (&path)[WayCapacity], DWORD missing) {
    if (getcwd(path, sizeof path) == nullptr) {
        int error = errno;
        if (error == ENOENT) {
            NoteCause(missing,
                      "the working directory, against which the relative pipe directory '%s' is "
                      "taken, no longer exists",
                      given);
            return FailWith(missing);
        }
        if (NotPermitted(error)) {
            NoteCause(ERROR_ACCESS_DENIED,
                      "this user may not read the path of the working directory, against "
                      "which the relative pipe directory '%s' is taken",
                      given);
        }
        return FailWith(Win32ErrorFromWorkingDirectory(error));
    }
    if (std::strlen(path) + 1 + std::strlen(given) >= sizeof path) {
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    }
    std::strcat(path, "/");
    std::strcat(path, given);
    return true;
}

// Starts the walk at the root, with the whole absolute path left to walk.
bool StartWalk(const char *given, Way *way, Remaining *rest, DWORD missing) {
    if (given[0] == '/') {
        std::strncpy(rest->text, given, sizeof rest->text - 1);
    } else if (!AfterWorkingDirectory(given, rest->text, missing)) {
        return false;
    }
    way->open[0].reset(
        Retry(sys.openat, AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC, mode_t{0}));
    if (way->open[0].get() < 0 || !StatusOf(way->open[0].get(), &way->statuses[0])) {
        return FailWithErrno(errno);
    }
    way->depth = 1;
    return true;
}

// The next component of what is left in 'name', and whether it is the last; false when
// nothing is left.
bool NextComponent(Way *way, Remaining *rest, char (&name)[NAME_MAX + 1], bool *final) {
    const char *text = rest->text;
    while (text[rest->at] == '/') {
        ++rest->at;
    }
    if (way->tmpRest != NotFollowing && std::strlen(text + rest->at) <= way->tmpRest) {
        way->tmpLevel = way->depth - 1;
        way->tmpRest = NotFollowing;
    }
    std::size_t end = rest->at;
    while (text[end] != 0 && text[end] != '/') {
        ++end;
    }
    if (end - rest->at > NAME_MAX) {
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    }
    std::memcpy(name, text + rest->at, end - rest->at);
    name[end - rest->at] = 0;
    while (text[end] == '/') {
        ++end;
    }
    *final = text[end] == 0;
    rest->at = end;
    return true;
}

// Puts the target of the link 'link', taken as 'name', before what is left to walk.
bool FollowLink(Way *way, OwnedFd link, const char *name, Remaining *rest) {
    // The default directory is a real directory, never a link to another.
    if (TakesDefault(*way, name)) {
        NoteCause(ERROR_ACCESS_DENIED, "the default pipe directory '%s' is a symbolic link",
                  DefaultDirectory.data());
        return FailWith(ERROR_ACCESS_DENIED);
    }
    char target[WayCapacity];
    ssize_t size = Retry(sys.readlinkat, link.get(), "", target, sizeof target);
    if (size < 0) {
        return FailWithErrno(errno);
    }
    std::size_t restSize = std::strlen(rest->text + rest->at);
    if (++rest->links > MostLinks ||
        static_cast<std::size_t>(size) + 1 + restSize >= sizeof rest->text) {
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    }
    if (TakesTmp(*way, name)) {
        way->tmpRest = restSize;
    }
    std::memmove(rest->text + size + 1, rest->text + rest->at, restSize + 1);
    std::memcpy(rest->text, target, static_cast<std::size_t>(size));
    rest->text[size] = '/';
    rest->at = 0;
    if (target[0] == '/') {
        while (way->depth > 1) {
            PopDirectory(way);
        }
    }
    return true;
}

// Takes the component 'name' on the way: a directory, or a link to follow.
bool TakeComponent(Way *way, const char *name, Remaining *rest, DWORD missing) {
    OwnedFd next(Retry(sys.openat, CurrentDirectory(*way), name, O_PATH | O_NOFOLLOW | O_CLOEXEC,
                       mode_t{0}));
    struct stat status {};
    if (next.get() < 0) {
        int error = errno;
        if (NotPermitted(error)) {
            NoteCause(ERROR_ACCESS_DENIED, "this user may not look into '%s'", CurrentPath(*way));
        }
        return FailWith(Win32ErrorFromLookup(error, missing));
    }
    if (!StatusOf(next.get(), &status)) {
        return FailWithErrno(errno);
    }
    char nextPath[WayCapacity];
    JoinText(nextPath, sizeof nextPath, way->path, "/", name);
    CheckStep(way, status, nextPath);
    if (S_ISDIR(status.st_mode)) {
        return PushDirectory(way, std::move(next), name);
    }
    if (S_ISLNK(status.st_mode)) {
        return FollowLink(way, std::move(next), name, rest);
    }
    return FailWith(missing); // a file where a directory belongs, as ENOTDIR
}

} // namespace

bool WalkTo(const char *given, Way *way, char (&last)[WayCapacity], DWORD missing) {
    Remaining rest;
    last[0] = 0;
    if (!StartWalk(given, way, &rest, missing)) {
        return false;
    }
    for (;;) {
        char name[NAME_MAX + 1];
        bool final = false;
        if (!NextComponent(way, &rest, name, &final)) {
            return false;
        }
        if (name[0] == 0) {
            return true;
        }
        if (std::strcmp(name, ".") == 0) {
            continue;
        }
        if (std::strcmp(name, "..") == 0) {
            PopDirectory(way);
        } else if (final) {
            std::memcpy(last, name, std::strlen(name) + 1);
            return true;
        } else if (!TakeComponent(way, name, &rest, missing)) {
            return false;
        }
    }
}

int CurrentDirectory(const Way &way) {
    return way.open[way.depth - 1].get();
}

const char *CurrentPath(const Way &way) {
    return way.depth == 1 ? "/" : way.path;
}

// The default's rules are the stricter ones (a client trusts no owner of the default
// directory), so where the walk did not pass /tmp but the directory is a ".pipe" in the very
// directory /tmp is (a bind mount, say), they apply as well: looking /tmp up here can only
// add to what the walk decided, never take away, and only root can change what /tmp is.
bool IsDefault(const Way &way, const char *name) {
    struct stat tmp {};
    return TakesDefault(way, name) ||
           (std::strcmp(name, ".pipe") == 0 && Retry(sys.fstatat, AT_FDCWD, "/tmp", &tmp, 0) == 0 &&
            SameFile(tmp, Current(way)));
}

OwnedFd TakeCurrentDirectory(Way *way, char (&path)[WayCapacity], bool *isDefault) {
    JoinText(path, sizeof path, way->path);
    bool reachedAsDefault = way->depth - 1 == way->defaultLevel;
    std::size_t parentEnd = way->depth == 2 ? 0 : way->ends[way->depth - 2];
    char name[NAME_MAX + 1];
    JoinText(name, sizeof name, way->path + parentEnd + 1);
    OwnedFd directory = PopDirectory(way);
    *isDefault = reachedAsDefault || IsDefault(*way, name);
    return directory;
}

void CheckPipeDirectoryStep(Way *way, const struct stat &directory, const char *path) {
    CheckCurrentOwner(way);
    if (!OthersCanPlace(*way, directory.st_uid)) {
        return;
    }
    // Only the pipe directory itself may be another user's in a sticky directory: its owner
    // is trusted as the one the name's chooser chose, if the rest of the way agrees.
    if ((Current(*way).st_mode & S_ISVTX) != 0) {
        Doubtful(way, directory.st_uid, path);
    } else {
        Refuse(way, directory.st_uid, path);
    }
}

void CheckStepToMake(Way *way) {
    CheckCurrentOwner(way);
}

bool WayTrusted(const Way &way, uid_t owner) {
    if (way.refused) {
        return false;
    }
    for (int i = 0; i < way.doubtCount; ++i) {
        if (way.doubts[i].user != owner) {
            NoteChangeable(way.doubts[i].path, way.doubts[i].user);
            return false;
        }
    }
    return true;
}

void JoinText(char *out, std::size_t capacity, const char *first, const char *second,
              const char *third) {
    std::size_t at = 0;
    for (const char *text : {first, second, third}) {
        for (; *text != 0 && at + 1 < capacity; ++text) {
            out[at++] = *text;
        }
    }
    out[at] = 0;
}
