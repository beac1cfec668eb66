"""The table of pinned scripts in a shell image: the SHA-256 of every script the pinned shell
may run, and what it does after the run.

The shell (tools/shell-patches/pinned-scripts.patch) holds the table in its data, empty as
built. Its layout, little-endian: a 16-byte marker, the number of slots, the number of digests
in use, the action, a reserved word, then the slots of 32 bytes each. A table with no digests
leaves the shell unpinned; one with any runs only those scripts. Pin a copy of the image
before it is signed, so that the signature covers the table.
"""

from __future__ import annotations

import hashlib
import struct

MARKER = bytes.fromhex("3ce432195b7d3f01e37cf040e0503e8d")
HEADER = struct.Struct("<16sIIII")  # marker, slots, count, action, reserved
DIGEST_SIZE = hashlib.sha256().digest_size
# What the shell does when the run has ended; its numbers in the table.
ACTIONS = {"off": 0, "reboot": 1}
# A shell with fewer slots is not the one this module was written for.
MIN_SLOTS = 64


class PinningError(ValueError):
    pass


def digest_of(script: bytes) -> bytes:
    """The digest the shell computes: the SHA-256 of the whole file, as stored."""
    return hashlib.sha256(script).digest()


def find_table(image: bytes) -> tuple[int, int]:
    """Where the table starts and how many slots it has; refuses an image without exactly one
    table."""
    found = image.count(MARKER)
    if found != 1:
        raise PinningError("not a shell with a table of pinned scripts (no table found)"
                           if found == 0 else
                           f"the shell holds {found} tables of pinned scripts, not one")
    start = image.find(MARKER)
    if start + HEADER.size > len(image):
        raise PinningError("the table of pinned scripts is cut off at the end of the shell")
    slots = HEADER.unpack_from(image, start)[1]
    if slots < MIN_SLOTS or start + HEADER.size + slots * DIGEST_SIZE > len(image):
        raise PinningError(f"the table of pinned scripts claims {slots} slots, which the "
                           "shell does not hold")
    return start, slots


def read_table(image: bytes) -> tuple[list[bytes], str]:
    """The pinned digests, in table order, and the action."""
    start, slots = find_table(image)
    _, _, count, action, _ = HEADER.unpack_from(image, start)
    names = {number: name for name, number in ACTIONS.items()}
    if count > slots or action not in names:
        raise PinningError(f"the table of pinned scripts is damaged ({count} digests in "
                           f"{slots} slots, action {action})")
    first = start + HEADER.size
    return ([image[first + slot * DIGEST_SIZE:first + (slot + 1) * DIGEST_SIZE]
             for slot in range(count)], names[action])


def pin(image: bytes, digests: list[bytes], action: str) -> bytes:
    """A copy of the image whose table holds the digests (each once) and the action; refuses a
    list that does not fit."""
    start, slots = find_table(image)
    if action not in ACTIONS:
        raise PinningError(f"unknown action after the run: {action!r} "
                           f"(one of {', '.join(ACTIONS)})")
    unique = list(dict.fromkeys(digests))
    if any(len(digest) != DIGEST_SIZE for digest in unique):
        raise PinningError(f"a digest to pin is not {DIGEST_SIZE} bytes long")
    if not unique:
        raise PinningError("no scripts to pin (an empty table leaves the shell unpinned)")
    if len(unique) > slots:
        raise PinningError(f"{len(unique)} different scripts do not fit in the shell's table "
                           f"of {slots}")
    table = (HEADER.pack(MARKER, slots, len(unique), ACTIONS[action], 0)
             + b"".join(unique).ljust(slots * DIGEST_SIZE, b"\0"))
    return image[:start] + table + image[start + len(table):]


def is_script(name: str) -> bool:
    """Whether the shell takes a file of this name as a script (and so checks it)."""
    return name.lower().endswith(".nsh")


def pin_stick(files: dict[str, bytes], shell: str) -> dict[str, bytes]:
    """The stick's files with the shell at `shell` pinned to every script among them. The
    shell powers off after the run: the script reboots by itself after ALL DONE where asked,
    and every other end (a failure, a unit already done, a refused script) rebooting would
    boot the stick again and again."""
    digests = [digest_of(data) for name, data in sorted(files.items()) if is_script(name)]
    return {**files, shell: pin(files[shell], digests, "off")}
