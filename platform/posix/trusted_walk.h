// Internal to the POSIX layer: the walk from / to the pipe directory (trusted_walk.cpp), which
// trusts a way only if no other user can change it, and tells whether it led to the default
// directory by what it took, not by the path's spelling.
#pragma once

#include "platform/posix/owned_fd.h"
#include "platform/posix/win32.h"

#include <climits>
#include <cstddef>

#include <sys/stat.h>
#include <sys/types.h>

constexpr std::size_t WayCapacity = PATH_MAX;
constexpr int DeepestWay = 64;
constexpr int NoLevel = -1;
constexpr std::size_t NotFollowing = static_cast<std::size_t>(-1);
// The mode bits that let users other than the owner write to a directory.
constexpr mode_t WritableByOthers = S_IWGRP | S_IWOTH;

// A user on the way who is neither root nor this process's: fine only if it turns out to be
// the pipe directory's owner.
struct Doubt {
    uid_t user = 0;
    char path[WayCapacity] = {};
};

// The way walked so far: the directories from / to the current one, each held open, and what
// the walk found on it.
struct Way {
    OwnedFd open[DeepestWay];          // level 0 is the root
    std::size_t ends[DeepestWay] = {}; // where each level's path ends in 'path'
    struct stat statuses[DeepestWay] = {};
    int depth = 0;
    char path[WayCapacity] = {};
    Doubt doubts[2];
    int doubtCount = 0;
    bool refused = false; // a directory that others may change whatever its owner
    // What the walk itself reached as /tmp, the entry "tmp" of the root (followed, if a
    // link, to where it leads), and as /tmp/.pipe: the levels in 'open', or NoLevel.
    int tmpLevel = NoLevel;
    int defaultLevel = NoLevel;
    // While the walk follows a link taken as "tmp" from the root: how much of the path is
    // left after the link's target, which no later link changes. /tmp is reached once no
    // more than that is left.
    std::size_t tmpRest = NotFollowing;
};

// Walks 'given' up to its last component, which is left in 'last' for the caller to open
// without following a link ("" when the path ends in "/", "." or "..": the current
// directory is the pipe directory then). A missing directory or a file on the way fails with
// 'missing', as the system's own lookup would.
bool WalkTo(const char *given, Way *way, char (&last)[WayCapacity], DWORD missing);

// The current directory, and its path ("/" for the root).
int CurrentDirectory(const Way &way);
const char *CurrentPath(const Way &way);

// Whether the pipe directory, the entry 'name' of the current directory, is the default one.
bool IsDefault(const Way &way, const char *name);
// Takes the current directory off the way as the pipe directory (for a path that ended at a
// directory already walked): its descriptor, its path, and whether it is the default one.
OwnedFd TakeCurrentDirectory(Way *way, char (&path)[WayCapacity], bool *isDefault);

// The last step: the pipe directory found ('directory', at 'path') in the current directory,
// or missing and about to be made by this process.
void CheckPipeDirectoryStep(Way *way, const struct stat &directory, const char *path);
void CheckStepToMake(Way *way);
// Settles the walk once the pipe directory's owner is known: false, with the cause noted,
// when another user could change the way to it.
bool WayTrusted(const Way &way, uid_t owner);

// The texts one after another in 'out', cut short (only messages are made so) should they
// not fit.
void JoinText(char *out, std::size_t capacity, const char *first, const char *second = "",
              const char *third = "");
