"""QEMU itself: its command line, and one run of it watched on the serial console (the
shell's countdown skipped, the command markers followed, every time limit kept)."""

from __future__ import annotations

import os
import re
import selectors
import signal
import subprocess
import time
from pathlib import Path
from typing import Mapping, Sequence

from .smm import SMM_QEMU_ARGS
from .results import Command, ShellRunError
from .script import BEGIN_MARKER, END_MARKER


# The emulator binary; the harness's own tests put a stand-in here.
QEMU = os.environ.get("FWQEMU_QEMU", "qemu-system-x86_64")

# The shell's countdown on the serial console: a key skips it.
COUNTDOWN_PROMPT = b"seconds to skip"

# Terminal escapes of the console, removed from the text a run returns.
ESCAPES = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b[()][A-Za-z0-9]")


def qemu_argv(code: Path, vars_copy: Path, disk: Path, debugcon: dict[int, Path],
              extra: Sequence[str], smm: bool = False) -> list[str]:
    argv = [QEMU, "-machine", "q35,smm=on" if smm else "q35", "-m", "256", "-nographic",
            "-no-reboot",
            "-drive", f"if=pflash,format=raw,readonly=on,file={code}",
            "-drive", f"if=pflash,format=raw,file={vars_copy}",
            "-drive", f"file={disk},format=raw",
            "-net", "none"]
    # TCG by default: KVM is not dependable on every host (nested virtualisation fails inside
    # the firmware here). FWQEMU_ACCEL=kvm chooses it where it works.
    argv += ["-accel", os.environ.get("FWQEMU_ACCEL", "tcg")]
    for port, log in debugcon.items():
        argv += ["-chardev", f"file,id=dbg{port:x},path={log}",
                 "-device", f"isa-debugcon,iobase=0x{port:x},chardev=dbg{port:x}"]
    if smm:
        argv += list(SMM_QEMU_ARGS)
        # A shutdown or reset stops the machine instead of ending QEMU, so that the double's
        # memory can still be copied (the QMP watcher then ends QEMU).
        argv += ["-no-shutdown", "-qmp", f"unix:{disk.parent / 'qmp.sock'},server=on,wait=off"]
    argv += list(extra)
    return argv


def stop(process: subprocess.Popen) -> None:
    """Kills QEMU's process group and waits for it (at most 10 s)."""
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass


def _log_sizes(debugcon: Mapping[int, Path]) -> dict[int, int]:
    return {port: path.stat().st_size if path.exists() else 0 for port, path in debugcon.items()}


def drive(argv: list[str], commands: Sequence[Command], serial_path: Path, work: Path,
          debugcon: Mapping[int, Path], boot_timeout: float, command_timeout: float,
          timeout: float) -> tuple[str, bool, float, list[dict[int, int]]]:
    """Runs QEMU to its end, skipping the countdown and watching the command markers.

    Returns the console text, whether the script reached its end, the seconds taken and, for
    each command that began, the sizes of the port logs when it began."""
    started = time.monotonic()
    raw = bytearray()
    scan_from = 0
    log = open(serial_path, "wb")
    process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, start_new_session=True)
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    os.set_blocking(process.stdout.fileno(), False)
    skipped = False
    current = -1                 # index of the command that runs now
    current_since = started
    finished = False
    failure = None
    marks: list[dict[int, int]] = []
    marker = re.compile(re.escape(BEGIN_MARKER).encode() + rb"(\d+)(?=\D)|"
                        + re.escape(END_MARKER).encode())

    def send(data: bytes) -> None:
        try:
            process.stdin.write(data)
            process.stdin.flush()
        except (BrokenPipeError, OSError):
            pass

    try:
        while True:
            now = time.monotonic()
            if now - started > timeout:
                failure = f"the run exceeded its limit of {timeout:.0f} s"
            elif current < 0 and now - started > boot_timeout:
                failure = (f"the shell did not start the first command within "
                           f"{boot_timeout:.0f} s")
            elif current >= 0 and not finished and now - current_since > command_timeout:
                failure = f"the command did not finish within {command_timeout:.0f} s"
            elif finished and now - current_since > 30:
                failure = "the machine did not power off after the last command"
            if failure:
                break
            events = selector.select(timeout=0.2)
            chunk = b""
            if events:
                try:
                    chunk = process.stdout.read() or b""
                except BlockingIOError:
                    chunk = b""
                if not chunk and process.poll() is not None:
                    break
            elif process.poll() is not None:
                break
            if not chunk:
                continue
            raw += chunk
            log.write(chunk)
            log.flush()
            if not skipped and COUNTDOWN_PROMPT in raw:
                skipped = True
                send(b"\r")
            # The markers are plain strings printed by echo: searched in the raw console
            # bytes, a number counting only once a non-digit follows it.
            last_end = 0
            for match in marker.finditer(raw, scan_from):
                last_end = match.end()
                if match.group(1) is None:
                    finished = True
                    current = len(commands)
                    current_since = time.monotonic()
                    marks.append(_log_sizes(debugcon))
                    continue
                index = int(match.group(1))
                if index == len(marks):
                    marks.append(_log_sizes(debugcon))
                    if debugcon:
                        send(b"c")  # releases the script's pause
                current = index
                current_since = time.monotonic()
            # Text after the last marker may hold the start of the next one.
            scan_from = last_end or max(scan_from, len(raw) - 64)
    finally:
        if failure:
            stop(process)
        else:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                stop(process)
        try:
            rest = process.stdout.read() or b""
        except (BlockingIOError, ValueError, OSError):
            rest = b""
        raw += rest
        log.write(rest)
        log.close()
        selector.close()
        for stream in (process.stdin, process.stdout):
            try:
                stream.close()
            except OSError:
                pass
    seconds = time.monotonic() - started
    if failure:
        if 0 <= current < len(commands):
            where = f"command {current} ({commands[current].line!r})"
        elif current < 0:
            where = "boot"
        else:
            where = "power-off"
        raise ShellRunError(f"QEMU killed during {where}: {failure}", serial_path, work)
    if current < 0:
        tail = ESCAPES.sub(b"", bytes(raw[-600:])).decode("latin-1", "replace")
        raise ShellRunError(f"QEMU ended (status {process.returncode}) before the first "
                            f"command: ...{tail.strip()}", serial_path, work)
    return ESCAPES.sub(b"", bytes(raw)).decode("latin-1"), finished, seconds, marks

