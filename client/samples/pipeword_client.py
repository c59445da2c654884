"""Asks pipeword for its word: python3 pipeword_client.py [REQUEST]"""
import errno
import os
import socket
import stat
import struct
import sys
import time


def ask_windows(request):
    # The pipe opened as a file: one write is the request, one read the reply.
    try:
        pipe = open(r"\\.\pipe\SamplePipe", "r+b", buffering=0)
    except OSError as error:  # the C runtime gives EINVAL for ERROR_PIPE_BUSY
        if error.errno == errno.EINVAL:
            raise BlockingIOError(errno.EBUSY, "busy") from None
        raise
    with pipe:
        pipe.write(request)
        return pipe.read(4096)


def open_folder(path):
    # Walks from / to the folder, following links itself: every directory on the way must
    # be root's, this user's or the folder owner's, and writable by nobody else, or sticky
    # with the next step root's or this user's (only the folder itself may be another's).
    # Also tells whether the folder is the default one: the entry .pipe taken from what the
    # walk reached as /tmp, or from the very directory that /tmp is; never by looking
    # /tmp/.pipe up again, which another user could have swapped by then.
    me, parts, steps, links = os.geteuid(), os.path.join(os.getcwd(), path).split("/"), [], 0
    fds, names, tmp, tmp_rest = [os.open("/", os.O_PATH)], [""], None, None
    try:
        while parts:
            if tmp_rest is not None and len(parts) <= tmp_rest:  # /tmp's link followed
                tmp, tmp_rest = len(fds) - 1, None
            name = parts.pop(0)
            if name in ("", ".") or name == ".." and len(fds) == 1:
                continue
            if name == "..":
                os.close(fds.pop())
                names.pop()
                tmp = tmp if tmp is not None and tmp < len(fds) else None
                continue
            fd = os.open(name, os.O_PATH | os.O_NOFOLLOW, dir_fd=fds[-1])
            there, last = os.fstat(fd), not any(part not in ("", ".") for part in parts)
            here = (os.fstat(fds[-1]), "/".join(names) or "/")
            steps.append(here + (there, "/".join(names + [name]), last))
            if stat.S_ISLNK(there.st_mode) and not last and links < 40:
                target, links = os.readlink("", dir_fd=fd), links + 1
                os.close(fd)
                if tmp == len(fds) - 1 and name == ".pipe":
                    raise PermissionError("/tmp/.pipe is a symbolic link, not root's folder")
                if len(fds) == 1 and name == "tmp":
                    tmp_rest = len(parts)
                parts = target.split("/") + parts
                while target.startswith("/") and len(fds) > 1:
                    os.close(fds.pop())
                    names.pop()
                    tmp = None
            elif stat.S_ISDIR(there.st_mode):
                tmp = len(fds) if len(fds) == 1 and name == "tmp" else tmp
                fds.append(fd)
                names.append(name)
            else:
                os.close(fd)
                raise PermissionError(f"{'/'.join(names + [name])} is not a directory")
        owner = os.fstat(fds[-1]).st_uid
        for here, where, there, next_path, last in steps:
            shared = here.st_mode & 0o022
            if here.st_uid not in (0, me, owner):
                who = f"uid {here.st_uid} can change"
            elif shared and not here.st_mode & stat.S_ISVTX:
                who = "others may write to"
            elif shared and there.st_uid not in ((0, me, owner) if last else (0, me)):
                where, who = next_path, f"uid {there.st_uid} can change"
            else:
                continue
            raise PermissionError(f"the way to the folder runs through {where}, which {who}")
        default = len(fds) > 1 and names[-1] == ".pipe" and (
            tmp == len(fds) - 2 or os.path.samestat(os.fstat(fds[-2]), os.stat("/tmp")))
        return fds.pop(), default
    finally:
        for fd in fds:
            os.close(fd)


def serving(folder):
    # A live server holds byte 0 of SamplePipe.lock, an open file description lock that
    # /proc/locks shows to every user; a killed one leaves its socket and no lock.
    try:
        lock = os.stat("SamplePipe.lock", dir_fd=folder, follow_symlinks=False)
    except FileNotFoundError:
        return False
    held = f" {os.major(lock.st_dev):02x}:{os.minor(lock.st_dev):02x}:{lock.st_ino} 0 "
    with open("/proc/locks") as locks:
        return any(held in line for line in locks)


def connect(folder):
    # Connects to the very file checked, never through a link: a second link could be
    # another server's socket.
    fd = os.open("SamplePipe", os.O_PATH | os.O_NOFOLLOW, dir_fd=folder)
    try:
        entry = os.fstat(fd)
        if not stat.S_ISSOCK(entry.st_mode) or entry.st_nlink != 1:
            raise PermissionError("SamplePipe is not a socket with one name")
        s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            s.setblocking(False)  # a server with a client already queued: busy at once
            s.connect(f"/proc/self/fd/{fd}")
            s.setblocking(True)
        except OSError:
            s.close()
            raise
        return s
    finally:
        os.close(fd)


def ask_linux(request):
    # The socket SamplePipe in $PIPEWORD_PIPE_DIR, else in /tmp/.pipe if that is root's.
    configured = os.environ.get("PIPEWORD_PIPE_DIR")
    folder, default = open_folder(configured or "/tmp/.pipe")
    try:
        status = os.fstat(folder)
        owner, mode, named = status.st_uid, status.st_mode, not default
        if default and (owner != 0 or mode & 0o022 and not mode & stat.S_ISVTX):
            raise PermissionError("/tmp/.pipe is not root's; set PIPEWORD_PIPE_DIR")
        s = connect(folder)
    except ConnectionRefusedError:  # nothing listens: a server with its one client, or none
        if serving(folder):
            raise BlockingIOError(errno.EBUSY, "busy") from None
        raise
    finally:
        os.close(folder)
    with s:
        uid = struct.unpack("3i", s.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))[1]
        if uid not in (0, os.geteuid()) and not (named and uid == owner):
            raise PermissionError(f"the server runs as uid {uid}, whom this user does not trust")
        s.send(request)  # one message
        return s.recv(4096)  # one message


def fail(status, problem):
    print(f"pipeword client: {problem}", file=sys.stderr)
    sys.exit(status)  # as pipeword-client: 1 closed without a reply, 2 anything else


def main():
    text = sys.argv[1] if len(sys.argv) > 1 else "Hello"
    request = text.encode("utf-16-le") + b"\0\0"  # UTF-16LE with its NUL
    ask = ask_windows if sys.platform == "win32" else ask_linux
    deadline = time.monotonic() + 5  # the server may still be starting, or be busy
    while True:
        try:
            reply = ask(request)
            break
        except (FileNotFoundError, ConnectionRefusedError, BlockingIOError) as error:
            if time.monotonic() < deadline:
                time.sleep(0.05)
            elif isinstance(error, BlockingIOError):
                fail(2, "SamplePipe stayed busy for 5 s: its server is serving another client")
            else:
                fail(2, f"no server came within 5 s ({error})")
        except OSError as error:
            fail(2, error)
    if not reply:
        fail(1, "the server closed the pipe without a reply")
    print(reply.decode("utf-16-le").rstrip("\0"))


main()
