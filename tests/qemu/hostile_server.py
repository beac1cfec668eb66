"""A small HTTP server of the tests' own that answers every path in its own broken way, and the
table of what Net does with each answer: the same on the firmware (tests/qemu/net_cases.py) and
on the simulated machine (tests/scenarios/net.py)."""

from __future__ import annotations

import re
import select
import socketserver
import threading
import time

OK = b"HTTP/1.1 200 OK\r\n"
LIMIT = 20  # Net.efi's limit of an exchange, in seconds


def drip(data: bytes) -> list[tuple[float, bytes]]:
    return [(0.5, data[at:at + 1]) for at in range(len(data))]


# Net.efi's command (PATH names the server's answer), the answer (pieces: seconds to wait, then
# bytes), and Net.efi's status and the end of its line. Answers that keep the connection open
# show that Net.efi ends it: by its limit, or at once after a body as long as its length.
HOSTILE = [
    ("get ok", [(0, OK + b"Content-Length: 5\r\n\r\nhello")], 0, "5 bytes into ok.bin"),
    ("get longer", [(0, OK + b"Content-Length: 4\r\n\r\n14 bytes body!")], 0,
     "4 bytes into longer.bin"),
    ("get shorter", [(0, OK + b"Content-Length: 10\r\n\r\nabcd"), (0, b"")], 0xC000000C,
     "the connection ended before the body's Content-Length bytes"),
    ("get unmeasured", [(0, OK + b"\r\nno length"), (0, b"")], 0xC000000C,
     "it has no Content-Length"),
    ("get chunked", [(0, OK + b"Transfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n")],
     0xC000000C, "its body has a Transfer-Encoding (such as chunked)"),
    ("get unparsable", [(0, OK + b"Content-Length: abc\r\n\r\nabc")], 0xC000000C,
     "its Content-Length is not a number"),
    ("get missing", [(0, b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")], 0xC0000006,
     "the server answered 404"),
    ("get huge", [(0, OK + b"Content-Length: 99999999999999999999\r\n\r\n")], 0xC0000009,
     "the answer exceeds 1048576 bytes"),
    ("put created", [(0, b"HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n")], 0,
     "201, 8 bytes from sent.txt"),
    ("put unanswered", [(0, b"")], 0xC000000C,
     "the server ended the connection without an answer"),
    ("get silent", [], 0xC0000005, f"no whole answer within {LIMIT} s"),
    ("get dripped-head", drip(OK + b"X: " + b"x" * 120 + b"\r\nContent-Length: 1\r\n\r\nx"),
     0xC0000005, f"no whole answer within {LIMIT} s"),
    ("get dripped-body", [(0, OK + b"Content-Length: 120\r\n\r\n")] + drip(b"b" * 120),
     0xC0000005, f"no whole answer within {LIMIT} s"),
]


# What a GET writes (PATH.bin); a GET that fails leaves no file.
BODIES = {"ok": b"hello", "longer": b"14 b"}
# The file each PUT sends.
SENT = ("sent.txt", b"a PUT 9\n")


def net_arguments(command: str) -> list[str]:
    """Net's arguments for a command of HOSTILE: a GET into PATH.bin, a PUT of SENT."""
    verb, path = command.split()
    return ["get", path, f"{path}.bin"] if verb == "get" else ["put", SENT[0], path]


class HostileServer(socketserver.ThreadingTCPServer):
    """Answers each path as HOSTILE says (b"" ends the connection; without one the answer
    holds it open) and notes how long each client stayed after its request."""
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), HostileAnswer)
        self.answers = {command.split()[1]: pieces for command, pieces, _, _ in HOSTILE}
        self.stays: dict[str, float] = {}
        threading.Thread(target=self.serve_forever, daemon=True).start()


class HostileAnswer(socketserver.BaseRequestHandler):
    def handle(self) -> None:
        connection, request = self.request, b""
        # The whole request, its body too: unread bytes would make the close a reset.
        while not (b"\r\n\r\n" in request and len(request.partition(b"\r\n\r\n")[2]) >= int(
                (re.search(rb"Content-Length: (\d+)", request) or [0, 0])[1])):
            data = connection.recv(65536)
            if not data:
                return
            request += data
        started = time.monotonic()
        path = request.split(b" ")[1].decode("latin-1").rsplit("/", 1)[-1]
        try:
            for wait, data in self.server.answers.get(path, [(0, b"")]):
                if wait and select.select([connection], [], [], wait)[0] or not data:
                    break  # the client ended the connection, or the answer ends it
                connection.sendall(data)
            else:  # the answer holds the connection open until the client ends it
                while select.select([connection], [], [], LIMIT * 3)[0] and connection.recv(65536):
                    pass
        except OSError:
            pass
        self.server.stays[path] = time.monotonic() - started
