"""python3 -m pipeword [--pipe NAME] [--wait MS] [--] [REQUEST]: asks for the word and prints
it alone, as ``pipeword-client -q`` does. Exit status as pipeword-client's: 0 a word came,
1 the pipe was closed without a reply, 2 an error, said in one line on standard error."""
from __future__ import annotations

import argparse
import os
import sys
from typing import List, NoReturn, Optional

from . import LONGEST_WAIT, PipewordError, __version__, ask


def fail(status: int, problem: object) -> NoReturn:
    print(f"pipeword client: {problem}", file=sys.stderr)
    sys.exit(status)


def main(arguments: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m pipeword", description="Asks pipeword for its word and prints it.")
    parser.error = lambda message: fail(2, message)  # type: ignore[assignment,method-assign]
    parser.add_argument("request", nargs="?", default="Hello", metavar="REQUEST",
                        help="the request text (default Hello)")
    parser.add_argument("--pipe", default="SamplePipe", metavar="NAME",
                        help=r"the pipe: \\.\pipe\NAME or NAME alone (default SamplePipe)")
    parser.add_argument("--wait", type=int, default=5000, metavar="MS",
                        help="how long to wait for the pipe to appear or become free, in ms "
                        f"(default 5000, at most {LONGEST_WAIT * 1000})")
    parser.add_argument("--version", action="version", version=f"pipeword {__version__}")
    options = parser.parse_args(arguments)
    if not 0 <= options.wait <= LONGEST_WAIT * 1000:
        fail(2, f"--wait takes 0 to {LONGEST_WAIT * 1000} ms, not {options.wait}")
    try:
        word = ask(options.request, pipe=options.pipe, wait=options.wait / 1000)
    except PipewordError as error:
        fail(error.status, error)
    except UnicodeEncodeError:
        fail(2, "the request is not valid text")
    try:
        print(word, flush=True)
    except OSError as error:  # a word that does not reach standard output never came
        # What is left unwritten goes to /dev/null, so that the exit's flush cannot fail too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        fail(2, f"write error: {error.strerror}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
