"""What a run returns and the two errors it raises."""

from __future__ import annotations

import dataclasses
import os
from pathlib import Path
from typing import Union

Source = Union[str, os.PathLike, bytes]


class ShellRunError(RuntimeError):
    """The machine could not be run to the end: the message says why, `serial_log` names the
    kept console log and `work_dir` the kept working directory."""

    def __init__(self, message: str, serial_log: Path | None = None,
                 work_dir: Path | None = None):
        if serial_log is not None:
            message += f" (serial log: {serial_log})"
        super().__init__(message)
        self.serial_log = serial_log
        self.work_dir = work_dir


class MachineError(ValueError):
    """A machine description cannot be turned into a QEMU test machine."""


@dataclasses.dataclass
class Command:
    """One shell command line. `stdin`, when given, is the text fed to the command with
    `< inN.txt` (encoded as UTF-16LE without byte-order mark; every character is one key, a
    line feed stays a line feed)."""
    line: str
    stdin: str | None = None


@dataclasses.dataclass
class CommandResult:
    line: str
    ran: bool               # the shell got to the command and recorded its status
    stdout: str             # redirected standard output, decoded, "\r\n" turned into "\n"
    stderr: str             # redirected standard error, decoded likewise
    status: int | None      # %lasterror% as an unsigned 32-bit value; None when it did not run
    debugcon: dict[int, bytes] = dataclasses.field(default_factory=dict)
    # bytes written to each logged port while this command ran
    smm_events: list[dict] | None = None  # SMM mode: the double's log events of this command
    smm_problems: list[str] = dataclasses.field(default_factory=list)
    # SMM mode: SMIs not taken at the instruction after the port write, or not checkable
    smm_state: bytes | None = None  # SMM mode: the double's state file after this command


@dataclasses.dataclass
class ShellRun:
    results: list[CommandResult]
    completed: bool                 # the script reached its end (no reset or power-off midway)
    debugcon: dict[int, bytes]      # bytes written to each logged I/O port during the boot
    files: dict[str, bytes | None]  # the files asked for in read_back (None: not on the disk)
    serial: str                     # console output of the whole boot
    seconds: float                  # wall time of the QEMU run
    work_dir: Path | None = None    # kept working directory (keep_work_dir), else None
    smm_state: bytes | None = None  # SMM mode: the double's state file at the end of the boot
    # (after a reset during a command: the state at the reset)

