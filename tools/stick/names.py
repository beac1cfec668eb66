"""Where things are on a stick and on the deployment server that a network image reports to:
the stick's folders and files, the stick id and its marker, the names FAT keeps, the paths a
unit sends its log and record to. The bottom of the package: it imports none of it."""

from __future__ import annotations

import hashlib
from pathlib import Path
from typing import Mapping, Sequence

REPO_ROOT = Path(__file__).resolve().parent.parent.parent

# The program that names the unit at the start of every log; it leaves the unit id in the
# shell variable UNIT_VARIABLE (removed when the machine has none).
UNIT_PROGRAM = "Unit.efi"
UNIT_VARIABLE = "unitid"
TOOLS_DIR = "EFI/tools"
# The small scripts that run one program each: when the firmware refuses to start a program,
# only that script ends, and startup.nsh can still log the failure.
SCRIPTS_DIR = "EFI/stick"
SHELL_PATH = "EFI/BOOT/BOOTX64.EFI"
# The stick's script: at the root, and in the shell's own folder, where a shell looks first (so
# that a unit's own disk with a startup.nsh mapped before the stick does not win).
STARTUP_PATHS = ("startup.nsh", "EFI/BOOT/startup.nsh")
LOG_DIR = "logs"
LOG_LIMIT = 999
# Mappings the script looks at for its marker.
VOLUMES = tuple(f"fs{n}" for n in range(20))
# What a file name may hold where startup.nsh shows it (the run list's name in the log's first
# line): anything else is shown as '_'.
SHOWN_NAME_CHARACTERS = frozenset(
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ._+-()[],=@~")
# Characters the UEFI shell acts on even inside double quotes: the quote itself, its escape
# character, variables, comments, pipes and redirection (the first line of the file that Tagwell
# is built from too); a script line cannot carry them unchanged.
SHELL_SPECIAL = (REPO_ROOT / "Applications" / "Common" /
                 "ShellMetacharacters.txt").read_text(encoding="ascii").split("\n", 1)[0]
# Characters no FAT file name holds.
FAT_FORBIDDEN = "\"*/:<>?\\|"

# Where a unit sends its logs and done record, relative to the image's folder on the
# deployment server (tools/deploy/layout.py lays out the rest of the server's folder).
UPLOAD_DIR = "upload"
LOGS = "logs"
RECORDS = "records"


class StickError(RuntimeError):
    """The stick could not be built."""


def stick_id(steps: Sequence, then: str, files: Mapping[str, bytes]) -> str:
    """Eight hex digits that name this stick's marker: the same inputs give the same stick."""
    digest = hashlib.sha256()
    digest.update(then.encode())
    for step in steps:
        digest.update(f"{step.line_number}:{step.command}\n".encode())
    for name in sorted(files):
        digest.update(name.encode() + b"\0" + hashlib.sha256(files[name]).digest())
    return digest.hexdigest()[:8]


def marker_name(identity: str) -> str:
    return f"stick-{identity}.id"


def shown_name(source: str) -> str:
    """The run list's file name as the script may show it: every character outside a plain
    set (letters, digits, blank and a few marks) becomes '_', so that no name can end a
    quoted echo, redirect it, comment out its rest or break the line."""
    name = Path(source).name
    return "".join(c if c in SHOWN_NAME_CHARACTERS else "_" for c in name) or "_"


def dos(path: str) -> str:
    """A stick path ("/" separated) as the shell writes it: \\A\\B."""
    return "\\" + path.replace("/", "\\")


def done_folder(identity: str) -> str:
    """The folder (on the stick, "/" separated) of this stick's records of finished units."""
    return f"{LOG_DIR}/done-{identity}"


def fat_name(name: str) -> str:
    """The name a FAT file system keeps: trailing dots and blanks are dropped."""
    return name.rstrip(". ")


def vendor_tool_problem(name: str, taken: Sequence[str]) -> str | None:
    """Why a file (a vendor tool, a file a step reads) cannot go into the stick's tools folder
    under this name, or None. `taken` holds the names already in the tools folder."""
    kept = fat_name(name)
    clash = next((other for other in taken if other.lower() == kept.lower()), None)
    if not kept:
        return "no file name"
    if any(ord(c) < 0x20 or ord(c) > 0x7E for c in name):
        return ("a character outside printable ASCII in the name: Tagwell names the tool to "
                "the shell in ASCII")
    if kept != name:
        return (f"FAT drops the dots and blanks at the end of a name and keeps '{kept}'"
                + (f", which is the stick's own {clash}" if clash else
                   ": the file would not have the name given; rename it"))
    bad = [c for c in name if c in FAT_FORBIDDEN or c in SHELL_SPECIAL or c == " "]
    if bad:
        return (f"the name holds '{bad[0]}', which a FAT file name or a UEFI shell command "
                "line cannot carry")
    if name.startswith("-"):
        return "a name that begins with '-' is taken by the shell as an option"
    if len(name) > 255:
        return "a name longer than the 255 characters FAT allows"
    if clash:
        return (f"FAT does not tell case apart, and the stick holds {clash} already"
                if clash != name else f"the stick holds {clash} already")
    return None


def upload_log(unit: str, stamp: str) -> str:
    """The server path of a unit's log of one boot (script variables may stand for both)."""
    return f"{UPLOAD_DIR}/{LOGS}/{unit}.{stamp}.txt"


def upload_output(unit: str, stamp: str, index: int) -> str:
    """The server path of what step `index` of that boot printed (not a log: the verdict is
    read from the log alone)."""
    return f"{UPLOAD_DIR}/{LOGS}/{unit}.{stamp}-step{index}.txt"


def upload_record(unit: str) -> str:
    return f"{UPLOAD_DIR}/{RECORDS}/{unit}.txt"
