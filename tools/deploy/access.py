"""nginx's access log of the deployment server, in a format of ours, and what the status page
reads from it: the units that fetched the image but never sent a log.

A unit that booted the image fetches it (GET of the image, answered whole), asks for its record
(GET upload/records/UNIT.txt) and sends its first log (PUT upload/logs/...) from the address it
booted with. One that fetched the image and sent no log since, for NEVER_REPORTED seconds, is
listed with its address, the time of the fetch, the unit id its record request named, and the
status of its refused log if one was refused.
"""

from __future__ import annotations

import dataclasses
import os
from pathlib import Path

from deploy import layout

NAME = "deploy"
# Fields apart by one blank; the path last (it may hold blanks). nginx writes "-" for an empty
# value and escapes '"', '\\' and bytes outside printable ASCII as \xHH.
FORMAT = "$msec $remote_addr $request_method $status $request_completion $uri"
FIELDS = 6
# Seconds after the fetch without a log that make a unit "booted the image, never reported".
NEVER_REPORTED = 300
# A line longer than this is not one nginx wrote in our format.
LINE_MAX = 8192
# At most this much of the log is read at one update (the rest at the next ones).
READ_MAX = 16 * 1024 * 1024
RECORDS = f"/{layout.UPLOAD_DIR}/{layout.RECORDS}/"
LOGS = f"/{layout.UPLOAD_DIR}/{layout.LOGS}/"


@dataclasses.dataclass
class Boot:
    """What one address did since it last fetched the image."""
    fetched: float
    unit: str = ""
    reported: bool = False
    refused: str = ""  # the status of a log the server refused


class AccessLog:
    """Reads the access log as it grows (from where it stopped; from the start again when the
    file was cut or replaced), keeping the latest boot of each address."""

    def __init__(self, path: Path):
        self.path = path
        self.where = (0, 0)  # the file's inode, the offset read up to
        self.rest = b""
        self.boots: dict[str, Boot] = {}

    def update(self) -> None:
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
        except FileNotFoundError:
            return
        with os.fdopen(fd, "rb") as file:
            info = os.fstat(fd)
            inode, offset = self.where
            if inode != info.st_ino or info.st_size < offset:
                offset, self.rest, self.boots = 0, b"", {}
            file.seek(offset)
            data = self.rest + file.read(READ_MAX)
            self.where = (info.st_ino, offset + len(data) - len(self.rest))
        *lines, self.rest = data.split(b"\n")
        if len(self.rest) > LINE_MAX:
            self.rest = b""
        for line in lines:
            self.take(line.decode("ascii", errors="replace"))

    def take(self, line: str) -> None:
        fields = line.split(" ", FIELDS - 1)
        if len(fields) != FIELDS or len(line) > LINE_MAX:
            return
        when, address, method, status, completion, path = fields
        try:
            when = float(when)
        except ValueError:
            return
        boot = self.boots.get(address)
        if path == f"/{layout.IMAGE_NAME}" and method == "GET" and status == "200" and \
                completion == "OK":
            self.boots[address] = Boot(when)
        elif boot is None or boot.reported:
            return
        elif method == "GET" and path.startswith(RECORDS):
            unit = path.removeprefix(RECORDS).removesuffix(".txt")
            boot.unit = unit if layout.UNIT_NAME.fullmatch(unit) else boot.unit
        elif method == "PUT" and path.startswith(LOGS):
            if status.startswith("2"):
                boot.reported = True
            else:
                boot.refused = status

    def never_reported(self, now: float) -> list[tuple[str, Boot]]:
        """The addresses (with their boot) that fetched the image at least NEVER_REPORTED
        seconds ago and sent no log since, in the order of the fetch."""
        silent = [(address, boot) for address, boot in self.boots.items()
                  if not boot.reported and now - boot.fetched >= NEVER_REPORTED]
        return sorted(silent, key=lambda item: item[1].fetched)
