"""The outcomes of asking that bring no word, as exceptions that carry the Win32 error code
and the exit status pipeword-client gives for the same outcome."""
from __future__ import annotations

import errno
from typing import Any, Optional, Tuple


class PipewordError(OSError):
    """No word came. ``code`` is the Win32 error code (``ERROR_...``), ``status`` the exit
    status pipeword-client ends with (2; 1 for :class:`NoReplyError`), ``cause`` why, in
    words; ``str()`` is one line: what happened, its cause and last the code."""

    status = 2
    _errno: Optional[int] = None

    def __init__(self, message: str, code: int, cause: str = "") -> None:
        super().__init__(self._errno, message)
        self.code = code
        self.cause = cause

    def __str__(self) -> str:
        return f"{self.strerror} (error 0x{self.code:08x})"

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (self.strerror, self.code, self.cause)


class NoServerError(PipewordError, FileNotFoundError):
    """No server had the pipe throughout the wait: code 2, ``ERROR_FILE_NOT_FOUND``."""

    _errno = errno.ENOENT


class PipeBusyError(PipewordError, BlockingIOError):
    """The pipe's server was serving another client throughout the wait: code 231,
    ``ERROR_PIPE_BUSY``."""

    _errno = errno.EBUSY


class AccessDeniedError(PipewordError, PermissionError):
    """The pipe refused this user, or (Linux) this client refused the pipe, its directory, the
    way to it or its server, for the reason in ``cause``: code 5, ``ERROR_ACCESS_DENIED``."""

    _errno = errno.EACCES


class NoReplyError(PipewordError, ConnectionError):
    """The server closed the pipe without a reply: code 0x6d, ``ERROR_BROKEN_PIPE`` (on
    Windows also 0xe9, ``ERROR_PIPE_NOT_CONNECTED``); exit status 1."""

    status = 1
    _errno = errno.EPIPE

    def __init__(self, message: str = "the server closed the pipe without a reply",
                 code: int = 0x6D, cause: str = "") -> None:
        super().__init__(message, code, cause)


# The Win32 codes of the failures that carry only an errno, as pipeword-client reports them.
WIN32_CODES = {
    errno.ENOENT: 0x2,  # ERROR_FILE_NOT_FOUND
    errno.ECONNREFUSED: 0x2,
    errno.ENOTDIR: 0x3,  # ERROR_PATH_NOT_FOUND
    errno.EMFILE: 0x4,  # ERROR_TOO_MANY_OPEN_FILES
    errno.ENFILE: 0x4,
    errno.EACCES: 0x5,  # ERROR_ACCESS_DENIED
    errno.EPERM: 0x5,
    errno.ELOOP: 0x5,
    errno.ENOMEM: 0x8,  # ERROR_NOT_ENOUGH_MEMORY
    errno.ENOBUFS: 0x8,
    errno.EINVAL: 0x57,  # ERROR_INVALID_PARAMETER
    errno.ENAMETOOLONG: 0xCE,  # ERROR_FILENAME_EXCED_RANGE
    errno.EPIPE: 0xE8,  # ERROR_NO_DATA
    errno.ECONNRESET: 0xE8,
    errno.ENOTCONN: 0xE9,  # ERROR_PIPE_NOT_CONNECTED
    errno.EMSGSIZE: 0x5AA,  # ERROR_NO_SYSTEM_RESOURCES
}


def failed(what: str, error: OSError) -> PipewordError:
    """The exception for an unexpected system error while doing ``what``."""
    code = getattr(error, "winerror", None) or WIN32_CODES.get(error.errno or 0, 0x32)
    return PipewordError(f"{what}: {error.strerror or error}", code, error.strerror or "")
