"""Asks pipeword for its word with the pipeword package: python3 pipeword_client.py [REQUEST]
Exit status as pipeword-client's: 0 word received, 1 pipe closed without a reply, 2 error"""
import sys

import pipeword

try:
    # Waits up to 5 s while the pipe is not there (its server is starting) or busy.
    print(pipeword.ask(sys.argv[1] if len(sys.argv) > 1 else "Hello", wait=5))
except pipeword.PipewordError as error:  # no server, busy, access denied, no reply, ...
    print(f"pipeword client: {error}", file=sys.stderr)
    sys.exit(error.status)
