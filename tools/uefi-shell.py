#!/usr/bin/env python3
"""Runs command lines in OVMF's UEFI shell under QEMU and prints what they printed.

    tools/uefi-shell.py [--machine FILE] [--build DIR] [--smm] -- Crestune.efi /f9
prints what the command printed, then "exit status: 0x........".

The command line of the package tools/uefirun (its description tells how a run works and how
to call it from Python).
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path
from typing import Sequence

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT / "tools"))
from uefirun import (DEFAULT_COMMAND_TIMEOUT, Command, MachineError, ShellRunError,  # noqa: E402
                     Source, efi_files, run_shell)


def _quote(word: str) -> str:
    if word and not re.search(r'[\s"]', word):
        return word
    return '"' + word.replace('"', '^"') + '"'


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="uefi-shell.py",
        description="Run command lines in OVMF's UEFI shell under QEMU, with the build's "
                    ".efi files on the disk; print each one's output and exit status.",
        epilog="example: tools/uefi-shell.py --machine machines/desktop.json -- "
               "Crestune.efi /f9")
    parser.add_argument("--build", default=str(REPO_ROOT / "build"),
                        help="build directory (its efi/*.efi go on the disk; default: ./build)")
    parser.add_argument("--machine", help="machine description JSON for a test machine")
    parser.add_argument("-c", "--command", action="append", default=[],
                        help="a further command line to run (repeatable; runs before the "
                             "words after --)")
    parser.add_argument("--file", action="append", default=[], metavar="[NAME=]PATH",
                        help="put a file on the disk (repeatable)")
    parser.add_argument("--stdin", metavar="FILE",
                        help="text file fed as standard input to the last command")
    parser.add_argument("--debugcon", action="append", default=[], metavar="PORT",
                        help="log bytes written to this I/O port (e.g. 0xB2; repeatable)")
    parser.add_argument("--read-back", action="append", default=[], metavar="NAME",
                        help="copy this file from the disk after the run (into the current "
                             "directory; repeatable)")
    parser.add_argument("--qemu-arg", action="append", default=[], metavar="ARG",
                        help="extra QEMU argument (repeatable; write --qemu-arg=-icount "
                             "for one that starts with a dash)")
    parser.add_argument("--timeout", type=float, default=DEFAULT_COMMAND_TIMEOUT,
                        help="seconds each command may run (default %(default)s)")
    parser.add_argument("--smm", action="store_true",
                        help="answer SMIs with the firmware double (SmmDouble.efi) and print "
                             "each command's requests")
    parser.add_argument("--smm-state", metavar="FILE",
                        help="with --smm: the double's state file to install (default: from "
                             "the machine description)")
    parser.add_argument("--keep", action="store_true",
                        help="keep the working directory (disk image, serial log)")
    parser.add_argument("--serial", action="store_true", help="also print the console log")
    parser.add_argument("words", nargs="*", help="the command line, after --")
    args = parser.parse_args(argv)

    lines = list(args.command)
    if args.words:
        lines.append(" ".join(_quote(word) for word in args.words))
    if not lines:
        parser.error("no command line given (put it after --)")
    commands = [Command(line) for line in lines]
    try:
        if args.stdin:
            commands[-1].stdin = Path(args.stdin).read_text()
        files: dict[str, Source] = dict(efi_files(args.build))
        for entry in args.file:
            name, _, path = entry.rpartition("=")
            files[name or Path(path).name] = path
        ports = [int(port, 0) for port in args.debugcon]
        smm_state = Path(args.smm_state).read_bytes() if args.smm_state else None
    except (OSError, ValueError) as error:
        print(f"uefi-shell: {error}", file=sys.stderr)
        return 2
    if not any(name.lower().endswith(".efi") for name in files):
        print(f"uefi-shell: note: no .efi files in {Path(args.build) / 'efi'}", file=sys.stderr)
    try:
        run = run_shell(commands, files=files, machine=args.machine, build_dir=args.build,
                        debugcon_ports=ports, read_back=args.read_back,
                        qemu_args=args.qemu_arg, command_timeout=args.timeout,
                        keep_work_dir=args.keep, smm=args.smm, smm_state=smm_state)
    except (ShellRunError, MachineError, ValueError) as error:
        print(f"uefi-shell: {error}", file=sys.stderr)
        return 1
    if args.serial:
        print(run.serial)
    if run.work_dir is not None:
        print(f"uefi-shell: working directory kept: {run.work_dir}", file=sys.stderr)
    for result in run.results:
        if len(run.results) > 1:
            print(f"Shell> {result.line}")
        sys.stdout.write(result.stdout)
        if result.stderr:
            sys.stdout.flush()
            sys.stderr.write(result.stderr)
            sys.stderr.flush()
        sys.stdout.flush()
        if result.ran:
            print(f"exit status: 0x{result.status:08X}")
        else:
            print("exit status: none (the command did not run to its end)")
        for port, data in result.debugcon.items():
            print(f"port 0x{port:X}: {data.hex(' ') if data else '(nothing written)'}")
        for event in result.smm_events or []:
            if event.get("event") == "smi":
                print(f"SMI {event['value']} {event['request']}: "
                      f"EAX {event['eax']} -> {event['out_eax']}, "
                      f"EBX {event['ebx']} -> {event['out_ebx']}, "
                      f"ECX {event['ecx']} -> {event['out_ecx']}")
        for problem in result.smm_problems:
            print(f"uefi-shell: {problem}", file=sys.stderr)
    for name, data in run.files.items():
        if data is None:
            print(f"uefi-shell: {name} is not on the disk", file=sys.stderr)
        else:
            Path(Path(name).name).write_bytes(data)
    sys.stdout.flush()
    if not run.completed:
        print("uefi-shell: the machine reset or powered off before the script ended",
              file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
