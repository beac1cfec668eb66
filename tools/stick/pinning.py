"""The manifest in a shell image: every file the pinned shell's run may run, start or read, each
by its place on the volume and its SHA-256, and what the shell does after the run.

The shell (tools/shell-patches/pinned-scripts.patch) holds the table in its data, empty as
built. Its layout, little-endian: a 16-byte marker, the number of slots, the number of entries
in use, the action, a reserved word, then the slots: a 32-byte digest, the kind (script,
program, data), the place (ASCII, NUL-ended). A table with no entries leaves the shell
unpinned; one with any makes it run only those scripts, start only those programs, and start
none while a data file differs, each only from the volume the shell was loaded from. The shell
is pinned last, when every other file of the stick is final (signed), and then signed itself,
so that the signature covers the table.
"""

from __future__ import annotations

import hashlib
import struct
from typing import Callable, Mapping

from stick.signing import KEYS_DIR

MARKER = bytes.fromhex("05cd6a8213c80dc98cfd0a18e3fcce90")
# The marker of the table of the shells before (128 digests of scripts, no places).
MARKERS = (MARKER, bytes.fromhex("3ce432195b7d3f01e37cf040e0503e8d"))
HEADER = struct.Struct("<16sIIII")  # marker, slots, count, action, reserved
DIGEST_SIZE = hashlib.sha256().digest_size
PLACE_SIZE = 95  # NUL included
ENTRY = struct.Struct(f"<{DIGEST_SIZE}sB{PLACE_SIZE}s")
KINDS = {"script": 1, "program": 2, "data": 3}
# What the shell does when the run has ended; its numbers in the table.
ACTIONS = {"off": 0, "reboot": 1}
SLOTS = 256


class PinningError(ValueError):
    pass


def digest_of(data: bytes) -> bytes:
    """The digest the shell computes: the SHA-256 of the whole file, as stored."""
    return hashlib.sha256(data).digest()


def place_of(name: str) -> str:
    """The place of a stick file ("/" separated) as the shell names it: from the volume's root,
    "\\" separated. Refused: a name the shell would not take as it is (a part that is empty,
    ".", "..", or ends in a dot or blank, which FAT drops), outside printable ASCII, or too
    long."""
    parts = name.split("/")
    bad = next((part for part in parts if not part or part in (".", "..")
                or part.endswith((".", " ")) or not all(" " <= c <= "~" for c in part)
                or "\\" in part), None)
    place = "\\" + "\\".join(parts)
    if bad is not None:
        raise PinningError(f"{name}: the part '{bad}' cannot be pinned as it is")
    if len(place) >= PLACE_SIZE:
        raise PinningError(f"{name}: a place of {len(place)} characters does not fit the "
                           f"table (at most {PLACE_SIZE - 1})")
    return place


def kind_of(name: str) -> str:
    """Which kind of file the shell takes it for: a script by its .nsh extension (the shell runs
    any other file as a program), a program by .efi; anything else a program reads."""
    lowered = name.lower()
    return "script" if lowered.endswith(".nsh") else \
        "program" if lowered.endswith(".efi") else "data"


def manifest(files: Mapping[str, bytes], shell: str) -> list[tuple[str, str, bytes]]:
    """(place, kind, digest) of every file of the stick the run may use: all but the shell
    itself and the keys folder (for the firmware's setup menu, never read by the run)."""
    return [(place_of(name), kind_of(name), digest_of(data))
            for name, data in sorted(files.items())
            if name != shell and not name.startswith(KEYS_DIR + "/")]


def holds_table(data: bytes) -> bool:
    """Whether the file holds the table of a shell of ours, of this format or the one before:
    a shell that runs what it is given when its table is empty."""
    return any(marker in data for marker in MARKERS)


def find_table(image: bytes) -> int:
    """Where the table starts; refuses an image without exactly one table of this format."""
    found = image.count(MARKER)
    if found != 1:
        raise PinningError("not a shell with a table of pinned files (no table found)"
                           if found == 0 else
                           f"the shell holds {found} tables of pinned files, not one")
    start = image.find(MARKER)
    if start + HEADER.size + SLOTS * ENTRY.size > len(image):
        raise PinningError("the table of pinned files is cut off at the end of the shell")
    slots = HEADER.unpack_from(image, start)[1]
    if slots != SLOTS:
        raise PinningError(f"the table of pinned files has {slots} slots, not {SLOTS}")
    return start


def read_table(image: bytes) -> tuple[list[tuple[str, str, bytes]], str]:
    """The entries (place, kind, digest), in table order, and the action."""
    start = find_table(image)
    _, _, count, action, _ = HEADER.unpack_from(image, start)
    names = {number: name for name, number in ACTIONS.items()}
    kinds = {number: name for name, number in KINDS.items()}
    entries = [ENTRY.unpack_from(image, start + HEADER.size + slot * ENTRY.size)
               for slot in range(min(count, SLOTS))]
    if count > SLOTS or action not in names or any(kind not in kinds for _, kind, _ in entries):
        raise PinningError(f"the table of pinned files is damaged ({count} entries in "
                           f"{SLOTS} slots, action {action})")
    return ([(place.split(b"\0")[0].decode("ascii"), kinds[kind], digest)
             for digest, kind, place in entries], names[action])


def pin(image: bytes, entries: list[tuple[str, str, bytes]], action: str) -> bytes:
    """A copy of the image whose table holds the entries and the action; refuses entries that
    do not fit, and two of one place (as FAT compares names)."""
    start = find_table(image)
    if action not in ACTIONS:
        raise PinningError(f"unknown action after the run: {action!r} "
                           f"(one of {', '.join(ACTIONS)})")
    if not entries:
        raise PinningError("no files to pin (an empty table leaves the shell unpinned)")
    if len(entries) > SLOTS:
        raise PinningError(f"the stick's {len(entries)} files do not fit the shell's table of "
                           f"{SLOTS}: make a stick of fewer steps or files")
    seen: set[str] = set()
    table = HEADER.pack(MARKER, SLOTS, len(entries), ACTIONS[action], 0)
    for place, kind, digest in entries:
        if place.lower() in seen:
            raise PinningError(f"{place} is named twice (FAT does not tell case apart)")
        seen.add(place.lower())
        if len(digest) != DIGEST_SIZE or kind not in KINDS:
            raise PinningError(f"{place}: not a {DIGEST_SIZE}-byte digest of a known kind")
        table += ENTRY.pack(digest, KINDS[kind], place.encode("ascii"))
    table = table.ljust(HEADER.size + SLOTS * ENTRY.size, b"\0")
    return image[:start] + table + image[start + len(table):]


def seal_stick(files: Mapping[str, bytes], shell: str,
               sign: Callable[[dict[str, bytes]], tuple[dict[str, bytes], list[str]]]
               ) -> tuple[dict[str, bytes], list[str]]:
    """The stick's files signed by `sign`, with the shell at `shell` pinned to all of them as
    signed, and then signed too; and `sign`'s report, the shell's line first. The shell powers
    off after the run: the script reboots by itself after ALL DONE where asked, and every other
    end (a failure, a unit already done, a refused file) rebooting would boot the stick again
    and again."""
    others, report = sign({name: data for name, data in files.items() if name != shell})
    pinned = pin(files[shell], manifest(others, shell), "off")
    sealed, shell_report = sign({shell: pinned})
    return {**others, shell: sealed[shell]}, shell_report + report
