#!/usr/bin/env python3
"""The pipeword server as a user would write it in Python 3 with the standard library.

The benchmark's peer: the same exchange on the same socket with the same console lines, a
worker thread serving one client and the main thread waiting for it up to 10 seconds.

    pipeword_server.py [WORD]   no argument: "Start"; Stop: "CorvaneStop";
                                Continue: "CorvaneContinue"; any other word: no reply.

Exit status 1 when the exchange finished within 10 seconds, else 0. The socket is
$PIPEWORD_PIPE_DIR/SamplePipe (default /tmp/.pipe/SamplePipe), AF_UNIX SOCK_SEQPACKET.
"""
import contextlib
import fcntl
import os
import socket
import struct
import sys
import termios
import threading
import time

REPLIES = {None: "Start", "Stop": "CorvaneStop", "Continue": "CorvaneContinue"}
PIECE = 2048
DEADLINE = 10.0


def shown(piece):
    """A request piece as text: up to its first NUL, control characters as U+FFFD."""
    text = piece[: len(piece) // 2 * 2].decode("utf-16-le", errors="replace")
    text = text.split("\0", 1)[0]
    return "".join("\ufffd" if ord(c) < 0x20 or ord(c) == 0x7F else c for c in text)


def line(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def serve(path, word, done):
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    try:
        os.unlink(path)  # a socket file left by a server that was killed
    except FileNotFoundError:
        pass
    listener.bind(path)
    os.chmod(path, 0o666)
    listener.listen(1)
    line("The named pipe (\\\\.\\pipe\\SamplePipe) is created.")
    line("Waiting for the client's connection...")
    client, _ = listener.accept()
    listener.close()
    line("Client is connected.")
    # One record is one request; MSG_PEEK | MSG_TRUNC tells its whole length.
    size = client.recv_into(bytearray(1), 1, socket.MSG_PEEK | socket.MSG_TRUNC)
    request = client.recv(max(size, 1))
    for start in range(0, max(len(request), 1), PIECE):
        piece = request[start : start + PIECE]
        line(f'Receive {len(piece)} bytes from client: "{shown(piece)}"')
    if word is not None:
        reply = (word + "\0").encode("utf-16-le")
        client.send(reply)
        line(f'Send {len(reply)} bytes to client: "{word}"')
        # Wait until the client has read the reply (or hung up).
        while struct.unpack("i", fcntl.ioctl(client, termios.TIOCOUTQ, b"\0" * 4))[0]:
            time.sleep(0.0001)
    client.close()
    os.unlink(path)
    done.set()


def main():
    if len(sys.argv) > 2:
        line("More input parameters found. Server Message Send 0 ")
        return 0
    arg = sys.argv[1] if len(sys.argv) == 2 else None
    word = REPLIES.get(arg)
    directory = os.environ.get("PIPEWORD_PIPE_DIR") or "/tmp/.pipe"
    os.makedirs(directory, mode=0o1777, exist_ok=True)
    path = os.path.join(directory, "SamplePipe")
    done = threading.Event()
    worker = threading.Thread(target=serve, args=(path, word, done), daemon=True)
    worker.start()
    finished = done.wait(DEADLINE)
    line(f"Server Message Send {int(finished)} ")
    if not finished:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
    return 1 if finished else 0


if __name__ == "__main__":
    sys.exit(main())
