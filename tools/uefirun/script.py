"""The startup.nsh that runs every command line of a boot.

Each line runs with its standard output and error redirected into files on the disk, and
`%lasterror%` is recorded after it; echoed markers around the commands tell the harness on the
console which command runs; `reset -s` powers the machine off at the end."""

from __future__ import annotations

from typing import Sequence

from .results import Command
from .smm import SMM_INSTALL_PREFIX, SMM_INSTALLER, SMM_STATE_IN, SMM_STATE_OUT

# Lines the serial console shows; the harness echoes its own markers around every command.
BEGIN_MARKER = "FWQEMU-BEGIN-"
END_MARKER = "FWQEMU-ALL-DONE"

# The files on the disk of the command at place INDEX: its standard input, output and error,
# its status, and in SMM mode the double's log and state after it.
STDIN, STDOUT, STDERR, STATUS = "in{}.txt", "out{}.txt", "err{}.txt", "st{}.txt"
SMM_LOG, SMM_STATE = "smmlog{}.bin", "smmst{}.bin"


def startup_script(commands: Sequence[Command], handshake: bool, smm: bool = False) -> str:
    """The script's text. handshake: pause before each command until the harness sends a key;
    smm: install the double first and save its log and state after each command."""
    lines = ["@echo -off", "fs0:", "cd \\"]
    if smm:
        lines.append(f"{SMM_INSTALLER} install {SMM_STATE_IN} > {SMM_INSTALL_PREFIX}-out.txt "
                     f"2> {SMM_INSTALL_PREFIX}-err.txt")
        lines.append(f"echo %lasterror% > {SMM_INSTALL_PREFIX}-st.txt")
    for index, command in enumerate(commands):
        if "\n" in command.line or "\r" in command.line:
            raise ValueError(f"command {index} spans several lines: {command.line!r}")
        redirect = f" < {STDIN.format(index)}" if command.stdin is not None else ""
        lines.append(f"echo {BEGIN_MARKER}{index}")
        if handshake:
            # Waits for a key from the harness, which first notes how far each port log has
            # grown: the bytes after that belong to this command.
            lines.append("pause")
        lines.append(f"{command.line}{redirect} > {STDOUT.format(index)} "
                     f"2> {STDERR.format(index)}")
        lines.append(f"echo %lasterror% > {STATUS.format(index)}")
        if smm:
            lines.append(f"{SMM_INSTALLER} log {SMM_LOG.format(index)} "
                         f"{SMM_STATE.format(index)}")
    if smm:
        lines.append(f"{SMM_INSTALLER} save {SMM_STATE_OUT}")
    lines.append(f"echo {END_MARKER}")
    lines.append("reset -s")
    return "\r\n".join(lines) + "\r\n"

