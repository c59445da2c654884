// Pipe names and their socket paths. \\.\pipe\NAME becomes the file NAME in the pipe
// directory: $PIPEWORD_PIPE_DIR, else the default, /tmp/.pipe. NAME must make one file name:
// no separators, no dot entries, and nothing that ends in ".lock", which is the suffix of a
// name's lock file. Whether the directory is the default one is not told here, by its
// spelling, but by the walk that opens it (pipe_directory.cpp).
#include "platform/posix/pipe_names.h"

#include "platform/platform.h"
#include "platform/posix/layer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool SameAsciiIgnoringCase(std::u16string_view text, std::u16string_view lower) {
    if (text.size() != lower.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t unit = text[i] >= u'A' && text[i] <= u'Z' ? text[i] + (u'a' - u'A') : text[i];
        if (unit != lower[i]) {
            return false;
        }
    }
    return true;
}

// The pipe directory as given, without trailing slashes: PIPEWORD_PIPE_DIR, else the
// default. Whether it is the default is told by what it is once open, not by its spelling
// (OpenServerDirectory, OpenClientDirectory).
std::string_view PipeDirectory() {
    const char *configured = std::getenv("PIPEWORD_PIPE_DIR");
    std::string_view directory =
        configured != nullptr && configured[0] != 0 ? configured : DefaultDirectory;
    while (directory.size() > 1 && directory.back() == '/') {
        directory.remove_suffix(1);
    }
    return directory;
}

} // namespace

// The codes for malformed names are the ones Windows gives.
bool SocketPathFor(LPCWSTR name, char (&path)[PathCapacity]) {
    if (name == nullptr || name[0] == 0) {
        return FailWith(ERROR_PATH_NOT_FOUND);
    }
    std::u16string_view text(name);
    if (text.size() < 2 || text[0] != u'\\' || text[1] != u'\\') {
        return FailWith(ERROR_INVALID_NAME);
    }
    std::u16string_view rest = text.substr(2);
    std::size_t cut = rest.find(u'\\');
    if (cut == std::u16string_view::npos) {
        return FailWith(ERROR_INVALID_NAME);
    }
    if (rest.substr(0, cut) != u".") {
        return FailWith(ERROR_PATH_NOT_FOUND); // another host, or another kind of device path
    }
    rest = rest.substr(cut + 1);
    cut = rest.find(u'\\');
    if (!SameAsciiIgnoringCase(rest.substr(0, cut), u"pipe")) {
        return FailWith(cut == std::u16string_view::npos ? ERROR_INVALID_NAME
                                                         : ERROR_PATH_NOT_FOUND);
    }
    if (cut == std::u16string_view::npos || cut + 1 == rest.size()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    std::u16string_view pipe = rest.substr(cut + 1);
    // NAME becomes one file name: no separators, no dot entries, and not the lock file of
    // another pipe.
    if (pipe.find_first_of(u"/\\") != std::u16string_view::npos || pipe == u"." || pipe == u".." ||
        pipe.ends_with(u".lock")) {
        return FailWith(ERROR_INVALID_NAME);
    }
    std::string_view directory = PipeDirectory();
    char file[PathCapacity];
    std::size_t fileSize = WriteUtf8(pipe.data(), pipe.size(), file, sizeof file);
    if (directory.size() + 1 + fileSize >= PathCapacity) {
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    }
    char *at = std::copy(directory.begin(), directory.end(), path);
    *at++ = '/';
    at = std::copy(file, file + fileSize, at);
    *at = 0;
    return true;
}

const char *FileNameOf(const char *socketPath) {
    return std::strrchr(socketPath, '/') + 1;
}

// The socket path's directory: "/NAME" lives in "/".
void DirectoryOf(const char *socketPath, char (&directory)[PathCapacity]) {
    std::size_t size = static_cast<std::size_t>(FileNameOf(socketPath) - 1 - socketPath);
    std::memcpy(directory, socketPath, size);
    directory[size == 0 ? 1 : size] = 0;
}

void LockNameFor(const char *file, char (&lockName)[LockNameCapacity]) {
    std::size_t size = std::strlen(file);
    std::memcpy(lockName, file, size);
    std::memcpy(lockName + size, LockSuffix, sizeof LockSuffix);
}

DWORD PipeSocketPath(const WCHAR *name, WCHAR *path, DWORD capacity) {
    char socketPath[PathCapacity];
    DWORD error = GetLastError();
    bool valid = SocketPathFor(name, socketPath);
    SetLastError(error);
    return valid ? CopyToWide(socketPath, path, capacity) : 0;
}
