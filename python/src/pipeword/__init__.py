"""Asks a pipeword server for its word, as pipeword-client does, on Linux and Windows.

    import pipeword
    word = pipeword.ask()                   # "CorvaneStop" from `pipeword Stop`
    word = pipeword.ask("Hi", pipe="Other", wait=15)

A failure raises a :class:`PipewordError` that says which outcome it was and carries the
Win32 code: :class:`NoServerError` (2), :class:`PipeBusyError` (231),
:class:`AccessDeniedError` (5, with its ``cause``), :class:`NoReplyError` (the server closed
the pipe without a reply, 0x6d). On Linux the client keeps the rules that pipeword-client
keeps: it trusts only a pipe directory, a way to it and a server that no other user could
have put in place. Importing the package does nothing but define these names.
"""
from __future__ import annotations

import sys
import time
from typing import Union

from ._errors import AccessDeniedError, NoReplyError, NoServerError, PipeBusyError
from ._errors import PipewordError

if sys.platform == "win32":
    from ._windows import exchange
else:
    from ._linux import exchange

try:
    from ._version import __version__
except ImportError:  # the source tree: the version is written into the wheel when it is built
    __version__ = "0+source"

__all__ = ["ask", "PipewordError", "NoServerError", "PipeBusyError", "AccessDeniedError",
           "NoReplyError", "LONGEST_WAIT"]

# The longest wait pipeword-client takes, in seconds: a day.
LONGEST_WAIT = 86400
# How often the pipe is looked for again while it is missing or busy, in seconds.
POLL = 0.05


def ask(request: Union[str, bytes] = "Hello", *, pipe: str = "SamplePipe",
        wait: float = 5.0) -> str:
    """Asks the server of ``pipe`` (``\\\\.\\pipe\\NAME`` or ``NAME``) for its word and
    returns it, the reply read as UTF-16LE up to its NUL (an unpaired surrogate as U+FFFD).

    ``request`` is text, sent as UTF-16LE with its NUL as pipeword-client sends it, or bytes
    sent as they are. While there is no pipe (its server is still starting) or the pipe is
    busy (its server is serving another client), it is looked for again for up to ``wait``
    seconds (0 to :data:`LONGEST_WAIT`); then, or at once on any other failure, the outcome
    is raised as a :class:`PipewordError`. A request that is no text (a lone surrogate) or a
    ``wait`` out of range raises ValueError before the pipe is looked for.
    """
    if not 0 <= wait <= LONGEST_WAIT:
        raise ValueError(f"wait is {wait} s; it must be from 0 to {LONGEST_WAIT} s")
    if isinstance(request, str):
        message = request.encode("utf-16-le") + b"\0\0"
    else:
        message = bytes(request)
    name = pipe if "\\" in pipe else f"\\\\.\\pipe\\{pipe}"
    deadline = time.monotonic() + wait
    while True:
        try:
            reply = exchange(name, message, wait)
            break
        except (NoServerError, PipeBusyError):
            left = deadline - time.monotonic()
            if left <= 0:
                raise
            time.sleep(min(left, POLL))
    reply = reply[: len(reply) & ~1]  # whole UTF-16 code units
    return reply.decode("utf-16-le", "replace").split("\0", 1)[0]
