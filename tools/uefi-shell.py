#!/usr/bin/env python3
"""Runs command lines in OVMF's UEFI shell under QEMU and returns what they printed.

One boot runs a whole list of command lines. The harness writes a startup.nsh that runs each
line with its standard output (and error) redirected into files on a FAT disk image, records
`%lasterror%` after each one, and powers the machine off with `reset -s`. After QEMU has ended,
the files are copied back off the disk image with mtools and decoded.

A test machine is a copy of OVMF's CODE flash whose last 128 KiB (the guest's 0xE0000-0xFFFFF)
carry the legacy BIOS area that `simmachine legacy-image` builds from a machine description.

Command line:
    tools/uefi-shell.py [--machine FILE] [--build DIR] -- Crestune.efi /f9
prints what the command printed, then "exit status: 0x........".

Python (the file name has a dash: load it with importlib, as tests/qemu/run_qemu_tests.py does):
    run = shell.run_shell([shell.Command("Crestune.efi /?"),
                           shell.Command("Tool.efi", stdin="typed answer\n")],
                          files=shell.efi_files(build), machine="machines/desktop.json",
                          build_dir=build, debugcon_ports=[0xB2])
    run.results[0].stdout, run.results[0].status, run.results[0].debugcon[0xB2]

The shell's built-in commands do not all set %lasterror%: for them the status recorded may be
that of an earlier command. Applications always set it.
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import os
import re
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Iterable, Mapping, Sequence, Union

REPO_ROOT = Path(__file__).resolve().parent.parent
OVMF_DIR = Path("/usr/share/OVMF")
OVMF_CODE = OVMF_DIR / "OVMF_CODE_4M.fd"
OVMF_VARS = OVMF_DIR / "OVMF_VARS_4M.fd"

LEGACY_BASE = 0xE0000
LEGACY_SIZE = 0x20000
# The firmware's reset vector and its SEC code live in the top 4 KiB of the flash: never patched.
LEGACY_RESERVED = 0xFF000

# Lines the serial console shows; the harness echoes its own markers around every command.
COUNTDOWN_PROMPT = b"seconds to skip"
BEGIN_MARKER = "FWQEMU-BEGIN-"
END_MARKER = "FWQEMU-ALL-DONE"

# The emulator binary; the harness's own tests put a stand-in here.
QEMU = os.environ.get("FWQEMU_QEMU", "qemu-system-x86_64")

DEFAULT_BOOT_TIMEOUT = 90.0
DEFAULT_COMMAND_TIMEOUT = 60.0

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


@dataclasses.dataclass
class ShellRun:
    results: list[CommandResult]
    completed: bool                 # the script reached its end (no reset or power-off midway)
    debugcon: dict[int, bytes]      # bytes written to each logged I/O port during the boot
    files: dict[str, bytes | None]  # the files asked for in read_back (None: not on the disk)
    serial: str                     # console output of the whole boot
    seconds: float                  # wall time of the QEMU run
    work_dir: Path | None = None    # kept working directory (keep_work_dir), else None


# ---------------------------------------------------------------------------------------------
# Test machines


def _number(value) -> int:
    if isinstance(value, bool):
        raise MachineError(f"not a number: {value!r}")
    if isinstance(value, int):
        return value
    if isinstance(value, str):
        try:
            return int(value, 0)
        except ValueError:
            pass
    raise MachineError(f"not a number: {value!r}")


def _load_description(machine: Union[str, os.PathLike, Mapping]) -> tuple[str, bytes]:
    """Returns a short name and the description's JSON text."""
    if isinstance(machine, Mapping):
        return "machine", json.dumps(machine, sort_keys=True).encode()
    path = Path(machine)
    try:
        text = path.read_bytes()
    except OSError as error:
        raise MachineError(f"cannot read machine description {path}: {error.strerror}") from None
    try:
        description = json.loads(text)
    except ValueError as error:
        raise MachineError(f"machine description {path} is not valid JSON: {error}") from None
    if not isinstance(description, dict):
        raise MachineError(f"machine description {path} is not a JSON object")
    return path.stem, text


def _check_regions(description: dict, name: str) -> None:
    # Only the legacy BIOS area can be given contents in QEMU: other memory is the guest's RAM.
    for region in description.get("memory", []):
        base = _number(region.get("base", 0))
        size = _number(region.get("size", 0))
        if base < LEGACY_BASE or base + size > LEGACY_BASE + LEGACY_SIZE:
            raise MachineError(
                f"{name}: memory region 0x{base:X}+0x{size:X} lies outside 0xE0000-0xFFFFF; "
                "a QEMU test machine can only place bytes in the legacy BIOS area")


def find_simmachine(build_dir: Union[str, os.PathLike]) -> Path:
    tool = Path(build_dir) / "host" / "simmachine"
    if not os.access(tool, os.X_OK):
        raise MachineError(f"{tool} not found: build it first "
                           f"(cmake --build {build_dir} --target simmachine)")
    return tool


def legacy_image(machine: Union[str, os.PathLike, Mapping], simmachine: Path) -> bytes:
    """The 128 KiB of 0xE0000-0xFFFFF that the description defines, built by simmachine."""
    name, text = _load_description(machine)
    _check_regions(json.loads(text), name)
    with tempfile.TemporaryDirectory(prefix="fwmachine-") as tmp:
        source = Path(tmp) / "machine.json"
        source.write_bytes(text)
        out = Path(tmp) / "legacy.bin"
        done = subprocess.run([str(simmachine), "legacy-image", str(source), str(out)],
                              capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise MachineError(f"{name}: simmachine legacy-image failed: "
                               f"{done.stderr.strip() or done.stdout.strip()}")
        image = out.read_bytes()
    if len(image) != LEGACY_SIZE:
        raise MachineError(f"{name}: simmachine wrote {len(image)} bytes, expected {LEGACY_SIZE}")
    return image


def patch_firmware(code: bytes, image: bytes, name: str = "machine") -> bytes:
    """Writes every byte of the legacy image that is not 0xFF into the last 128 KiB of the CODE
    flash. Refuses bytes in the top 4 KiB and bytes over anything but the flash's 0xFF
    padding."""
    if len(image) != LEGACY_SIZE:
        raise MachineError(f"{name}: a legacy image has {LEGACY_SIZE} bytes, not {len(image)}")
    if len(code) < LEGACY_SIZE:
        raise MachineError(f"{name}: the firmware file is smaller than the legacy area")
    patched = bytearray(code)
    start = len(code) - LEGACY_SIZE
    for offset, value in enumerate(image):
        if value == 0xFF:
            continue
        address = LEGACY_BASE + offset
        if address >= LEGACY_RESERVED:
            raise MachineError(f"{name}: byte at 0x{address:X} lies in the top 4 KiB "
                               "(0xFF000-0xFFFFF), which holds the firmware's own code")
        if code[start + offset] != 0xFF:
            raise MachineError(f"{name}: byte at 0x{address:X} would overwrite firmware "
                               f"contents (0x{code[start + offset]:02X}), not padding")
        patched[start + offset] = value
    return bytes(patched)


def build_machine_firmware(machine: Union[str, os.PathLike, Mapping],
                           build_dir: Union[str, os.PathLike],
                           base_firmware: Union[str, os.PathLike] = OVMF_CODE) -> Path:
    """Returns a CODE flash file for the machine, cached under BUILD/qemu-machines by a hash
    of the description, the legacy image built from it and the stock firmware."""
    name, text = _load_description(machine)
    image = legacy_image(machine, find_simmachine(build_dir))
    code = Path(base_firmware).read_bytes()
    key = hashlib.sha256()
    for part in (text, image, code):
        key.update(hashlib.sha256(part).digest())
    cache = Path(build_dir) / "qemu-machines"
    target = cache / f"{name}-{key.hexdigest()[:16]}.fd"
    if target.exists():
        return target
    patched = patch_firmware(code, image, name)
    cache.mkdir(parents=True, exist_ok=True)
    fd, temporary = tempfile.mkstemp(dir=cache, prefix=".tmp-", suffix=".fd")
    with os.fdopen(fd, "wb") as out:
        out.write(patched)
    os.replace(temporary, target)
    return target


# ---------------------------------------------------------------------------------------------
# The FAT disk


def _mtools_env() -> dict:
    env = dict(os.environ)
    env["MTOOLS_SKIP_CHECK"] = "1"
    return env


def _run_tool(argv: list[str], what: str) -> None:
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=60,
                              env=_mtools_env())
    except FileNotFoundError:
        raise ShellRunError(f"{argv[0]} is not installed (needed to {what})") from None
    if done.returncode != 0:
        raise ShellRunError(f"cannot {what}: {' '.join(argv)}: "
                            f"{(done.stderr or done.stdout).strip()}")


def _make_disk(path: Path, files: Mapping[str, bytes]) -> None:
    total = sum(len(data) for data in files.values())
    size_mb = max(16, (2 * total >> 20) + 8)
    with open(path, "wb") as disk:
        disk.truncate(size_mb << 20)
    _run_tool(["mkfs.vfat", "-n", "FWTEST", str(path)], "format the disk image")
    staging = path.parent / "disk-in"
    staging.mkdir()
    for name, data in files.items():
        local = staging / name  # a name may hold directories: "dir/file.bin"
        local.parent.mkdir(parents=True, exist_ok=True)
        local.write_bytes(data)
    sources = sorted(str(entry) for entry in staging.iterdir())
    if sources:
        _run_tool(["mcopy", "-i", str(path), "-s", "-o", *sources, "::/"],
                  "fill the disk image")


def _read_disk(path: Path, dest: Path) -> None:
    dest.mkdir()
    _run_tool(["mcopy", "-i", str(path), "-s", "-n", "::/*", str(dest)],
              "read the disk image back")


def _lookup(folder: Path, name: str) -> bytes | None:
    # FAT names are case-insensitive: the shell may have written OUT0.TXT for out0.txt.
    direct = folder / name
    if direct.is_file():
        return direct.read_bytes()
    parts = Path(name).parts
    current = folder
    for part in parts:
        if not current.is_dir():
            return None
        match = [entry for entry in current.iterdir() if entry.name.lower() == part.lower()]
        if not match:
            return None
        current = match[0]
    return current.read_bytes() if current.is_file() else None


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


def _parse_status(text: str) -> int | None:
    match = re.search(r"0x([0-9A-Fa-f]+)|(\d+)", text)
    if not match:
        return None
    value = int(match.group(1), 16) if match.group(1) else int(match.group(2))
    return value & 0xFFFFFFFF


# ---------------------------------------------------------------------------------------------
# Running the machine


def efi_files(build_dir: Union[str, os.PathLike]) -> dict[str, Path]:
    """The .efi files of a build, by file name."""
    folder = Path(build_dir) / "efi"
    return {path.name: path for path in sorted(folder.glob("*.efi"))}


def _file_bytes(name: str, source: Source) -> bytes:
    if isinstance(source, (bytes, bytearray)):
        return bytes(source)
    try:
        return Path(source).read_bytes()
    except OSError as error:
        raise ShellRunError(f"cannot read {source} (for {name} on the disk): "
                            f"{error.strerror}") from None


def _script(commands: Sequence[Command], handshake: bool) -> str:
    lines = ["@echo -off", "fs0:", "cd \\"]
    for index, command in enumerate(commands):
        if "\n" in command.line or "\r" in command.line:
            raise ValueError(f"command {index} spans several lines: {command.line!r}")
        redirect = f" < in{index}.txt" if command.stdin is not None else ""
        lines.append(f"echo {BEGIN_MARKER}{index}")
        if handshake:
            # Waits for a key from the harness, which first notes how far each port log has
            # grown: the bytes after that belong to this command.
            lines.append("pause")
        lines.append(f"{command.line}{redirect} > out{index}.txt 2> err{index}.txt")
        lines.append(f"echo %lasterror% > st{index}.txt")
    lines.append(f"echo {END_MARKER}")
    lines.append("reset -s")
    return "\r\n".join(lines) + "\r\n"


_ESCAPES = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b[()][A-Za-z0-9]")


def _qemu_argv(code: Path, vars_copy: Path, disk: Path, debugcon: dict[int, Path],
               extra: Sequence[str]) -> list[str]:
    argv = [QEMU, "-machine", "q35", "-m", "256", "-nographic", "-no-reboot",
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
    argv += list(extra)
    return argv


def _stop(process: subprocess.Popen) -> None:
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass


def run_shell(commands: Sequence[Union[Command, str]], *,
              files: Union[Mapping[str, Source], Iterable[Source], None] = None,
              machine: Union[str, os.PathLike, Mapping, None] = None,
              build_dir: Union[str, os.PathLike, None] = None,
              debugcon_ports: Iterable[int] = (),
              read_back: Iterable[str] = (),
              qemu_args: Sequence[str] = (),
              boot_timeout: float = DEFAULT_BOOT_TIMEOUT,
              command_timeout: float = DEFAULT_COMMAND_TIMEOUT,
              timeout: float | None = None,
              keep_work_dir: bool = False) -> ShellRun:
    """Boots the UEFI shell once and runs every command line in order.

    files: what to put on the disk, as {name on the disk: path or bytes}, or a list of paths
      (kept under their own names). The shell starts in the disk's root directory.
    machine: a machine description (path or dict); its legacy BIOS area is written into a copy
      of the firmware (needs build_dir for simmachine and the cache). None: stock OVMF.
    debugcon_ports: I/O ports to log with isa-debugcon; run.debugcon[port] holds the bytes of
      the whole boot, result.debugcon[port] those written while that command ran (the script
      then pauses before each command until the harness has noted the log sizes).
    read_back: names of files to return from the disk after the run (None when absent).
    qemu_args: further QEMU options.
    boot_timeout: seconds from start until the first command begins.
    command_timeout: seconds one command may run.
    timeout: hard limit for the whole run (default: boot_timeout + command_timeout per
      command). When any limit passes, QEMU is killed and ShellRunError names the command.
    """
    commands = [c if isinstance(c, Command) else Command(c) for c in commands]
    if timeout is None:
        timeout = boot_timeout + command_timeout * max(1, len(commands))
    disk_files: dict[str, bytes] = {}
    if isinstance(files, Mapping):
        for name, source in files.items():
            disk_files[name] = _file_bytes(name, source)
    elif files is not None:
        for source in files:
            disk_files[Path(source).name] = _file_bytes(Path(source).name, source)
    for index, command in enumerate(commands):
        if command.stdin is not None:
            disk_files[f"in{index}.txt"] = command.stdin.encode("utf-16-le")
    debugcon_ports = sorted({int(port) for port in debugcon_ports})
    disk_files["startup.nsh"] = _script(commands, bool(debugcon_ports)).encode("ascii")

    if machine is not None:
        if build_dir is None:
            raise MachineError("a test machine needs build_dir (for simmachine and its cache)")
        code = build_machine_firmware(machine, build_dir)
    else:
        code = OVMF_CODE
    if shutil.which(QEMU) is None:
        raise ShellRunError(f"{QEMU} is not installed")

    work = Path(tempfile.mkdtemp(prefix="uefi-shell-"))
    ok = False
    try:
        vars_copy = work / "OVMF_VARS.fd"
        shutil.copyfile(OVMF_VARS, vars_copy)
        disk = work / "disk.img"
        _make_disk(disk, disk_files)
        debugcon = {int(port): work / f"debugcon-{int(port):04x}.bin"
                    for port in debugcon_ports}
        argv = _qemu_argv(code, vars_copy, disk, debugcon, qemu_args)
        (work / "qemu-command.txt").write_text(" ".join(argv) + "\n")
        serial_path = work / "serial.log"
        serial, completed, seconds, marks = _drive(
            argv, commands, serial_path, work, debugcon, boot_timeout, command_timeout,
            timeout)
        out = work / "disk-out"
        _read_disk(disk, out)
        logs = {port: path.read_bytes() if path.exists() else b""
                for port, path in debugcon.items()}
        results = []
        for index, command in enumerate(commands):
            status_text = _lookup(out, f"st{index}.txt")
            status = _parse_status(decode_redirected(status_text)) if status_text else None
            ports = {}
            if index < len(marks):
                for port, data in logs.items():
                    end = marks[index + 1][port] if index + 1 < len(marks) else len(data)
                    ports[port] = data[marks[index][port]:end]
            results.append(CommandResult(
                line=command.line, ran=status is not None,
                stdout=decode_redirected(_lookup(out, f"out{index}.txt")),
                stderr=decode_redirected(_lookup(out, f"err{index}.txt")),
                status=status, debugcon=ports))
        run = ShellRun(results=results, completed=completed, debugcon=logs,
                       files={name: _lookup(out, name) for name in read_back},
                       serial=serial, seconds=seconds,
                       work_dir=work if keep_work_dir else None)
        ok = True
        return run
    finally:
        if ok and not keep_work_dir:
            shutil.rmtree(work, ignore_errors=True)


def _log_sizes(debugcon: Mapping[int, Path]) -> dict[int, int]:
    return {port: path.stat().st_size if path.exists() else 0 for port, path in debugcon.items()}


def _drive(argv: list[str], commands: Sequence[Command], serial_path: Path, work: Path,
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
            _stop(process)
        else:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                _stop(process)
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
        tail = _ESCAPES.sub(b"", bytes(raw[-600:])).decode("latin-1", "replace")
        raise ShellRunError(f"QEMU ended (status {process.returncode}) before the first "
                            f"command: ...{tail.strip()}", serial_path, work)
    return _ESCAPES.sub(b"", bytes(raw)).decode("latin-1"), finished, seconds, marks


# ---------------------------------------------------------------------------------------------
# Command line


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
    except (OSError, ValueError) as error:
        print(f"uefi-shell: {error}", file=sys.stderr)
        return 2
    if not any(name.lower().endswith(".efi") for name in files):
        print(f"uefi-shell: note: no .efi files in {Path(args.build) / 'efi'}", file=sys.stderr)
    try:
        run = run_shell(commands, files=files, machine=args.machine, build_dir=args.build,
                        debugcon_ports=ports, read_back=args.read_back,
                        qemu_args=args.qemu_arg, command_timeout=args.timeout,
                        keep_work_dir=args.keep)
    except (ShellRunError, MachineError) as error:
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
