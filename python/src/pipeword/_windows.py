"""Asking on Windows: the pipe opened as a file, one write the request, one read the reply.
Python opens and reads files through the C runtime, which gives an errno in place of the
Win32 code: the codes below are the ones it stands for here."""
from __future__ import annotations

import errno

from ._errors import AccessDeniedError, NoReplyError, NoServerError, PipeBusyError, failed

# Read whole: pipeword's replies are a few dozen bytes.
REPLY_BYTES = 65536


def exchange(pipe: str, request: bytes, wait: float) -> bytes:
    """Writes the request and returns the reply."""
    try:
        handle = open(pipe, "r+b", buffering=0)
    except FileNotFoundError:
        raise NoServerError(f"no server for {pipe} within {wait:g} s: is it running?", 0x2,
                            "is it running?") from None
    except PermissionError:
        cause = "the pipe does not admit this user"
        raise AccessDeniedError(f"access to {pipe} is denied: {cause}", 0x5, cause) from None
    except OSError as error:
        if error.errno == errno.EINVAL:  # the C runtime's errno for ERROR_PIPE_BUSY
            raise PipeBusyError(f"{pipe} stayed busy for {wait:g} s: its server is serving "
                                "another client", 0xE7) from None
        raise failed(f"cannot open {pipe}", error) from None
    with handle:
        try:
            handle.write(request)
        except OSError as error:
            raise failed("writing the request failed", error) from None
        try:
            reply = handle.read(REPLY_BYTES)  # b"" for ERROR_BROKEN_PIPE
        except OSError as error:
            if error.errno != errno.EINVAL:
                raise failed("reading the reply failed", error) from None
            # ERROR_PIPE_NOT_CONNECTED: the server disconnected before the read.
            raise NoReplyError(code=0xE9) from None
    if not reply:
        raise NoReplyError()
    return reply
