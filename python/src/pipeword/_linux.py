"""Asking on Linux, where a pipe \\\\.\\pipe\\NAME is the AF_UNIX SOCK_SEQPACKET socket NAME in
the pipe directory: $PIPEWORD_PIPE_DIR, else /tmp/.pipe. A directory under /tmp is shared
with every local user, so nothing is trusted that another user could have put in place."""
from __future__ import annotations

import errno
import os
import socket
import stat
import struct
from typing import List, Optional, Tuple

from ._errors import AccessDeniedError, NoReplyError, NoServerError, PipeBusyError
from ._errors import PipewordError, failed

DEFAULT_DIRECTORY = "/tmp/.pipe"
MISSING_DEFAULT = (
    "the default pipe directory '/tmp/.pipe' does not exist: only root's server or the Debian "
    "package's tmpfiles.d entry makes it; PIPEWORD_PIPE_DIR names another"
)
KINDS = {stat.S_IFLNK: "a symbolic link", stat.S_IFREG: "a file", stat.S_IFDIR: "a directory",
         stat.S_IFSOCK: "a socket", stat.S_IFIFO: "a FIFO"}


def kind(mode: int) -> str:
    return KINDS.get(stat.S_IFMT(mode), "a device")


def refuse(cause: str) -> PermissionError:
    return PermissionError(errno.EACCES, cause)


def socket_name(pipe: str) -> str:
    """NAME of \\\\.\\pipe\\NAME; a malformed name is refused with the code Windows gives."""
    rest = pipe.split("\\", 4)[1:] if pipe.startswith("\\\\") else []
    name = "\\".join(rest[3:])
    if len(rest) < 3:
        code = 0x7B  # ERROR_INVALID_NAME
    elif rest[1] != "." or rest[2].lower() != "pipe":
        # ERROR_PATH_NOT_FOUND: another host, or another kind of device
        code = 0x3 if rest[1] != "." or len(rest) > 3 else 0x7B
    elif not name:
        code = 0x6  # ERROR_INVALID_HANDLE
    elif "/" in name or "\\" in name or name in (".", "..") or name.endswith(".lock"):
        code = 0x7B
    else:
        return name
    problem = {0x3: "is not a pipe on this computer", 0x6: "names no pipe"}
    what = problem.get(code, "is not a valid pipe name")
    raise PipewordError(f"{pipe} {what}: pipe names are \\\\.\\pipe\\NAME or NAME alone", code)


def open_directory(path: str) -> Tuple[int, bool]:
    """Walks from / to the pipe directory, following links itself: every directory on the way
    must be root's, this user's or the pipe directory owner's, and writable by nobody else,
    or sticky with the next step root's or this user's (only the pipe directory itself may
    be another's there). Also tells whether it is the default one: the entry .pipe taken from
    what the walk reached as /tmp, or from the very directory that /tmp is; never by looking
    /tmp/.pipe up again, which another user could have swapped by then."""
    me, steps, links = os.geteuid(), [], 0
    if not path.startswith("/"):
        try:
            path = os.path.join(os.getcwd(), path)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, "the working directory, against which the "
                                    f"relative pipe directory '{path}' is taken, no longer exists")
    parts = path.split("/")
    fds: List[int] = [os.open("/", os.O_PATH)]
    names = [""]
    tmp: Optional[int] = None  # the level of the directory the walk reached as /tmp
    tmp_rest: Optional[int] = None
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
            here_path = "/".join(names) or "/"
            try:
                fd = os.open(name, os.O_PATH | os.O_NOFOLLOW, dir_fd=fds[-1])
            except FileNotFoundError:
                default = tmp == len(fds) - 1 and name == ".pipe"
                raise FileNotFoundError(errno.ENOENT, MISSING_DEFAULT if default else "") from None
            except PermissionError:
                raise refuse(f"this user may not look into '{here_path}'") from None
            there, last = os.fstat(fd), not any(part not in ("", ".") for part in parts)
            steps.append((os.fstat(fds[-1]), here_path, there, "/".join(names + [name]), last))
            if stat.S_ISLNK(there.st_mode) and not last and links < 40:
                target, links = os.readlink("", dir_fd=fd), links + 1
                os.close(fd)
                if tmp == len(fds) - 1 and name == ".pipe":
                    raise refuse("the default pipe directory '/tmp/.pipe' is a symbolic link")
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
                where = "/".join(names + [name])
                raise refuse(f"'{where}' is {kind(there.st_mode)}, not a directory")
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
            raise refuse(f"the way to the pipe directory runs through '{where}', which {who}")
        default = len(fds) > 1 and names[-1] == ".pipe" and (
            tmp == len(fds) - 2 or os.path.samestat(os.fstat(fds[-2]), os.stat("/tmp")))
        return fds.pop(), default
    finally:
        for fd in fds:
            os.close(fd)


def serving(directory: int, name: str) -> bool:
    """Whether a server lives: it holds byte 0 of NAME.lock, an open file description lock
    that /proc/locks shows to every user; a killed one leaves its socket and no lock."""
    try:
        lock = os.stat(f"{name}.lock", dir_fd=directory, follow_symlinks=False)
    except FileNotFoundError:
        return False
    held = f" {os.major(lock.st_dev):02x}:{os.minor(lock.st_dev):02x}:{lock.st_ino} 0 "
    with open("/proc/locks") as locks:
        return any(held in line for line in locks)


def connect(directory: int, name: str, path: str) -> socket.socket:
    """Connects to the very file checked, never through a link: a second link could be
    another server's socket."""
    fd = os.open(name, os.O_PATH | os.O_NOFOLLOW, dir_fd=directory)
    try:
        entry = os.fstat(fd)
        if not stat.S_ISSOCK(entry.st_mode):
            raise refuse(f"'{path}' is {kind(entry.st_mode)}, not a pipe")
        if entry.st_nlink != 1:
            raise refuse(f"'{path}' is a socket with another name as well, not a pipe")
        s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            s.setblocking(False)  # a server with a client already queued: busy at once
            try:
                s.connect(f"/proc/self/fd/{fd}")
            except FileNotFoundError:
                if not os.path.isdir("/proc/self/fd"):
                    raise PipewordError("the pipe operations need /proc mounted: they reach "
                                        "the files they checked through /proc/self/fd",
                                        0x32) from None  # ERROR_NOT_SUPPORTED
                raise
            except OSError as error:
                if error.errno == errno.EPROTOTYPE:
                    raise refuse(f"'{path}' is a socket of another type (stream or datagram), "
                                 "not a pipe") from None
                if error.errno == errno.EACCES:
                    raise refuse("the pipe's security does not admit this user: its socket "
                                 f"is uid {entry.st_uid}'s, mode {entry.st_mode & 0o7777:03o}")
                raise
            s.setblocking(True)
        except BaseException:
            s.close()
            raise
        return s
    finally:
        os.close(fd)


def open_pipe(configured: str, name: str, path: str) -> socket.socket:
    """The connection to the server of NAME in the pipe directory 'configured', once the
    directory, the socket and the server are trusted; the builtin OSErrors for what
    pipeword's exceptions tell apart."""
    directory, default = open_directory(configured)
    try:
        status = os.fstat(directory)
        owner, mode, named = status.st_uid, status.st_mode, not default
        if default and owner != 0:
            raise refuse(f"the default pipe directory '/tmp/.pipe' is uid {owner}'s, not root's")
        if default and mode & 0o022 and not mode & stat.S_ISVTX:
            raise refuse("others may write to the default pipe directory '/tmp/.pipe', which is "
                         "not sticky")
        try:
            s = connect(directory, name, path)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, "") from None
        except ConnectionRefusedError:  # nothing listens: a server with its one client, or none
            if serving(directory, name):
                raise BlockingIOError(errno.EBUSY, "busy") from None
            raise FileNotFoundError(errno.ENOENT, "its socket is left from a server that was "
                                    "killed") from None
    finally:
        os.close(directory)
    uid = struct.unpack("3i", s.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))[1]
    if uid not in (0, os.geteuid()) and not (named and uid == owner):
        s.close()
        raise refuse(f"the server runs as uid {uid}, and this client trusts only root, its own "
                     "user and the owner of a pipe directory named in PIPEWORD_PIPE_DIR")
    return s


def exchange(pipe: str, request: bytes, wait: float) -> bytes:
    """Writes the request as one message and returns the reply, one message."""
    name = socket_name(pipe)
    configured = os.environ.get("PIPEWORD_PIPE_DIR") or DEFAULT_DIRECTORY
    path = f"{configured.rstrip('/') or '/'}/{name}"
    where = f"{pipe} at '{path}'"
    if len(os.fsencode(path)) >= 108:  # sun_path: no server can take so long a name
        raise PipewordError(f"the name {pipe} is too long (on Linux with PIPEWORD_PIPE_DIR, "
                            "for a socket path)", 0xCE)
    try:
        s = open_pipe(configured, name, path)
    except PipewordError:
        raise
    except FileNotFoundError as error:
        cause = error.strerror or "is it running, with the same PIPEWORD_PIPE_DIR?"
        raise NoServerError(f"no server for {where} within {wait:g} s: {cause}", 0x2,
                            cause) from None
    except BlockingIOError:
        raise PipeBusyError(f"{where} stayed busy for {wait:g} s: its server is serving "
                            "another client", 0xE7) from None
    except PermissionError as error:
        raise AccessDeniedError(f"access to {where} is denied: {error.strerror}", 0x5,
                                error.strerror) from None
    except OSError as error:
        raise failed(f"cannot open {where}", error) from None
    with s:
        try:
            s.send(request)  # one message
        except OSError as error:
            if error.errno in (errno.EPIPE, errno.ECONNRESET):
                raise PipewordError("the server closed the pipe before the request was written",
                                    0xE8) from None
            raise failed("writing the request failed", error) from None
        try:
            # The reply's length, then the reply: one message, never cut short.
            size = s.recv_into(bytearray(1), 1, socket.MSG_PEEK | socket.MSG_TRUNC)
            reply = s.recv(size) if size else b""
        except (ConnectionResetError, BrokenPipeError):
            reply = b""
        except OSError as error:
            raise failed("reading the reply failed", error) from None
    if not reply:
        raise NoReplyError()
    return reply
