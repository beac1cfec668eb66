"""The FAT disk the shell runs from, and the files it writes there read back."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Mapping

from stick import image as stick_image

from .results import ShellRunError


def make_disk(path: Path, files: Mapping[str, bytes]) -> None:
    """Writes a FAT disk image holding the files (name on the disk: contents)."""
    try:
        stick_image.make_disk(path, files)
    except stick_image.ImageError as error:
        raise ShellRunError(str(error)) from None


def read_disk(path: Path, dest: Path) -> None:
    """Copies every file of the disk image into the new folder dest."""
    dest.mkdir()
    try:
        stick_image.copy_out(path, "*", dest, "read the disk image back")
    except stick_image.ImageError as error:
        raise ShellRunError(str(error)) from None


lookup = stick_image.lookup


def decode_redirected(data: bytes | None) -> str:
    """Text of a file the shell wrote with `>`: UTF-16LE with a byte-order mark. "\\r\\n"
    becomes "\\n"."""
    if not data:
        return ""
    if data.startswith(b"\xff\xfe"):
        data = data[2:]
    if len(data) % 2:
        data = data[:-1]
    return data.decode("utf-16-le", errors="replace").replace("\r\n", "\n")


def parse_status(text: str) -> int | None:
    """The first number of the text (hexadecimal with 0x) as an unsigned 32-bit value."""
    match = re.search(r"0x([0-9A-Fa-f]+)|(\d+)", text)
    if not match:
        return None
    value = int(match.group(1), 16) if match.group(1) else int(match.group(2))
    return value & 0xFFFFFFFF


def read_text(out: Path, name: str) -> str:
    """The decoded text of a file the shell wrote with `>` (empty when it is not there)."""
    return decode_redirected(lookup(out, name))


def read_status(out: Path, name: str) -> int | None:
    """The status that `echo %lasterror% > NAME` recorded; None when the file is not there."""
    text = lookup(out, name)
    return parse_status(decode_redirected(text)) if text else None

