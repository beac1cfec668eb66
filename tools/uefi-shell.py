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

SMM mode (smm=True, command line --smm) answers the SMIs that programs raise on port 0xB2 with
the firmware double as a real SMM handler: QEMU runs with `-machine q35,smm=on -smp 1 -icount
shift=auto` (the SMI is then taken at the instruction after the port write), SmmDouble.efi
installs the double first with the machine description's "firmware" section (or the state file
given as smm_state), writes its request log and state after every command and at the end.
A program that resets the machine ends the boot there (QEMU is stopped, not ended, and the
double's memory copied first): its result has ran=False but carries the requests it sent, and
run.smm_state is the state at the reset, ready for the next boot.
Each result then carries the log events of its command (result.smm_events), and
result.smm_problems lists every SMI that was not taken at the instruction after the `out` in
TriggerPortSmi of the image that raised it, or that could not be checked.

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
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Iterable, Mapping, Sequence, Union

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT / "tools"))
from stick import image as stick_image  # noqa: E402

OVMF_DIR = Path("/usr/share/OVMF")
OVMF_CODE = OVMF_DIR / "OVMF_CODE_4M.fd"
OVMF_VARS = OVMF_DIR / "OVMF_VARS_4M.fd"

# The legacy BIOS area [LEGACY_BASE, LEGACY_END): the two defines of the header that the C++
# builds include.
_LEGACY_AREA_H = (REPO_ROOT / "Platform" / "LegacyArea.h").read_text(encoding="ascii")
LEGACY_BASE, LEGACY_END = (
    int(re.search(rf"#define PHYS_LEGACY_AREA_{bound} (0x[0-9A-Fa-f]+)ULL", _LEGACY_AREA_H)[1], 16)
    for bound in ("START", "END"))
LEGACY_SIZE = LEGACY_END - LEGACY_BASE
# The firmware's reset vector and its SEC code live in the top 4 KiB of the flash: never patched.
LEGACY_RESERVED = 0xFF000

# Lines the serial console shows; the harness echoes its own markers around every command.
COUNTDOWN_PROMPT = b"seconds to skip"
BEGIN_MARKER = "FWQEMU-BEGIN-"
END_MARKER = "FWQEMU-ALL-DONE"

# The emulator binary; the harness's own tests put a stand-in here.
QEMU = os.environ.get("FWQEMU_QEMU", "qemu-system-x86_64")

# SMM mode: the installer on the disk, and the files it reads and writes there.
SMM_INSTALLER = "SmmDouble.efi"
SMM_STATE_IN = "smmstate.bin"
SMM_STATE_OUT = "smmstate-out.bin"
SMM_INSTALL_PREFIX = "smminstall"
SMM_QEMU_ARGS = ("-smp", "1", "-icount", "shift=auto")
SMM_COMMAND_PORT = 0xB2
# The double's memory, copied when the machine stops (a reset during a command ends the boot).
SMM_DOUBLE_BASE = 0x40000
SMM_DOUBLE_SIZE = 0x40000

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
        if base < LEGACY_BASE or base + size > LEGACY_END:
            raise MachineError(
                f"{name}: memory region 0x{base:X}+0x{size:X} lies outside "
                f"0x{LEGACY_BASE:X}-0x{LEGACY_END - 1:X}; "
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


def _make_disk(path: Path, files: Mapping[str, bytes]) -> None:
    try:
        stick_image.make_disk(path, files)
    except stick_image.ImageError as error:
        raise ShellRunError(str(error)) from None


def _read_disk(path: Path, dest: Path) -> None:
    dest.mkdir()
    try:
        stick_image.copy_out(path, "*", dest, "read the disk image back")
    except stick_image.ImageError as error:
        raise ShellRunError(str(error)) from None


_lookup = stick_image.lookup


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
# SMM mode: the firmware double answers the SMIs


@dataclasses.dataclass
class _SmmSetup:
    installer: Path            # test-efi/SmmDouble.efi
    tool: Path                 # host/smmdouble
    state: bytes               # the state file installed at boot
    build_dir: Path
    places: dict = dataclasses.field(default_factory=dict)  # image identity -> (name, offset)


def _smm_setup(build_dir, machine, state: bytes | None, debugcon_ports) -> _SmmSetup:
    if build_dir is None:
        raise MachineError("SMM mode needs build_dir (for SmmDouble.efi and smmdouble)")
    if SMM_COMMAND_PORT in debugcon_ports:
        raise ValueError(f"port 0x{SMM_COMMAND_PORT:X} raises the SMIs in SMM mode: it cannot be "
                         "logged with isa-debugcon (the double's log records every request)")
    build = Path(build_dir)
    installer = build / "test-efi" / SMM_INSTALLER
    tool = build / "host" / "smmdouble"
    for path, target in ((installer, "SmmDouble_efi"), (tool, "smmdouble")):
        if not path.is_file():
            raise MachineError(f"{path} not found: build it first "
                               f"(cmake --build {build} --target {target})")
    if state is None:
        with tempfile.TemporaryDirectory(prefix="fwsmm-") as tmp:
            argv = [str(tool), "state", str(Path(tmp) / "state.bin")]
            if machine is not None:
                name, text = _load_description(machine)
                source = Path(tmp) / "machine.json"
                source.write_bytes(text)
                argv.append(str(source))
            done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
            if done.returncode != 0:
                raise MachineError(f"smmdouble state failed: {done.stderr.strip()}")
            state = (Path(tmp) / "state.bin").read_bytes()
    return _SmmSetup(installer, tool, bytes(state), build)


def _smm_check_installed(out: Path, serial_path: Path, work: Path) -> None:
    status_text = _lookup(out, f"{SMM_INSTALL_PREFIX}-st.txt")
    status = _parse_status(decode_redirected(status_text)) if status_text else None
    if status != 0:
        said = (decode_redirected(_lookup(out, f"{SMM_INSTALL_PREFIX}-err.txt"))
                + decode_redirected(_lookup(out, f"{SMM_INSTALL_PREFIX}-out.txt"))).strip()
        raise ShellRunError(f"{SMM_INSTALLER} install failed"
                            f" (status {'none' if status is None else hex(status)}): "
                            f"{said or 'no message'}", serial_path, work)


def _qmp_watch(path: Path, dump: Path, stop: threading.Event) -> None:
    """SMM mode: when the machine shuts down or resets (QEMU stops it: -no-shutdown), copies
    the double's memory into `dump` and ends QEMU. Returns when QEMU has gone."""
    connection = None
    while connection is None and not stop.is_set():
        try:
            connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            connection.connect(str(path))
        except OSError:
            connection.close()
            connection = None
            time.sleep(0.05)
    if connection is None:
        return
    try:
        with connection, connection.makefile("rwb") as stream:
            def execute(name: str, **arguments) -> None:
                message = {"execute": name}
                if arguments:
                    message["arguments"] = arguments
                stream.write(json.dumps(message).encode() + b"\r\n")
                stream.flush()

            execute("qmp_capabilities")
            for line in stream:
                if json.loads(line).get("event") == "SHUTDOWN":
                    execute("pmemsave", val=SMM_DOUBLE_BASE, size=SMM_DOUBLE_SIZE,
                            filename=str(dump))
                    execute("quit")
    except (OSError, ValueError):
        pass  # QEMU went away (closing the stream after quit, too): the run's checks say why


def _smm_after_reset(setup: _SmmSetup, dump: Path, work: Path,
                     disk_files: Mapping[str, bytes]) -> tuple[list | None, list[str], bytes | None]:
    """The log events, problems and state of the command that reset the machine, from the copy
    of the double's memory."""
    if not dump.is_file():
        return None, ["the machine stopped, but the double's memory was not copied"], None
    log, state = work / "reset-log.bin", work / "reset-state.bin"
    done = subprocess.run([str(setup.tool), "region", str(dump), str(log), str(state)],
                          capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        return None, [f"the copy of the double's memory cannot be read: {done.stderr.strip()}"], \
            None
    events, problems = _smm_command_log(setup, log.read_bytes(), disk_files)
    return events, problems, state.read_bytes()


def pe_identity(data: bytes) -> tuple[int, int] | None:
    """(SizeOfImage, AddressOfEntryPoint) of a PE32+ image, as the double records them for the
    image that raised an SMI; None when the bytes are no PE32+ image."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    pe = int.from_bytes(data[0x3C:0x40], "little")
    optional = pe + 24
    if len(data) < optional + 60 or data[pe:pe + 4] != b"PE\0\0" \
            or data[optional:optional + 2] != b"\x0b\x02":
        return None
    return (int.from_bytes(data[optional + 56:optional + 60], "little"),
            int.from_bytes(data[optional + 16:optional + 20], "little"))


_OUT_DX = re.compile(r"^\s*([0-9a-f]+):\s+out\s+%al,\(%dx\)\s*$")
_INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+\S")


def port_write_return_offset(shared_object: Path) -> int:
    """Offset in the image of the instruction after `out %al,(%dx)` in TriggerPortSmi, from the
    symbols of the .so that the .efi was made from (its addresses are the image's offsets)."""
    symbols = subprocess.run(["nm", "--defined-only", str(shared_object)], capture_output=True,
                             text=True, timeout=60)
    names = [line.split()[2] for line in symbols.stdout.splitlines()
             if len(line.split()) == 3 and "TriggerPortSmi" in line.split()[2]]
    if symbols.returncode != 0 or len(names) != 1:
        raise ValueError(f"{shared_object.name}: expected one TriggerPortSmi symbol, "
                         f"found {len(names)}")
    listing = subprocess.run(["objdump", "-d", "--no-show-raw-insn", f"--disassemble={names[0]}",
                              str(shared_object)], capture_output=True, text=True, timeout=60)
    lines = [line for line in listing.stdout.splitlines() if _INSTRUCTION.match(line)]
    outs = [i for i, line in enumerate(lines) if _OUT_DX.match(line)]
    if listing.returncode != 0 or len(outs) != 1 or outs[0] + 1 >= len(lines):
        raise ValueError(f"{shared_object.name}: expected one `out %al,(%dx)` followed by an "
                         f"instruction in {names[0]}, found {len(outs)}")
    return int(_INSTRUCTION.match(lines[outs[0] + 1]).group(1), 16)


def _smm_places(setup: _SmmSetup, disk_files: Mapping[str, bytes]) -> dict:
    """For each .efi file on the disk: its identity -> (name, expected RIP offset or the reason
    it cannot be had)."""
    if setup.places:
        return setup.places
    for name, data in disk_files.items():
        identity = pe_identity(data) if name.lower().endswith(".efi") else None
        if identity is None or name == SMM_INSTALLER:
            continue
        found = sorted(setup.build_dir.rglob(Path(name).stem + ".so"))
        if not found:
            place = f"no {Path(name).stem}.so under {setup.build_dir} to find TriggerPortSmi in"
        else:
            try:
                place = port_write_return_offset(found[0])
            except (ValueError, OSError, subprocess.SubprocessError) as error:
                place = str(error)
        setup.places[identity] = (name, place)
    return setup.places


def check_smi_places(events: Sequence[dict], places: Mapping) -> list[str]:
    """Every SMI of the log must have been taken at the instruction after the port write: its
    RIP minus the base of the image holding it is the expected offset of that image. Returns
    one message per SMI that was not, or cannot be checked, and per SMI lost from the log."""
    problems = []
    for event in events:
        if event.get("event") == "smi_not_logged":
            problems.append(f"{event.get('count')} SMIs were not logged (the double's log was "
                            "full): they cannot be checked")
            continue
        what = f"SMI {event.get('sequence')} ({event.get('request')}) at RIP {event.get('rip')}"
        if "image_base" not in event:
            problems.append(f"{what}: the double found no PE image around RIP")
            continue
        identity = (int(event["image_size"], 16), int(event["image_entry"], 16))
        if identity not in places:
            problems.append(f"{what}: raised by an image that is none of the .efi files on the "
                            f"disk (size {event['image_size']}, entry {event['image_entry']})")
            continue
        name, expected = places[identity]
        if isinstance(expected, str):
            problems.append(f"{what} from {name}: cannot be checked: {expected}")
            continue
        offset = int(event["rip"], 16) - int(event["image_base"], 16)
        if offset != expected:
            problems.append(f"{what} from {name}: taken at offset 0x{offset:X}, not at 0x"
                            f"{expected:X} after the `out` in TriggerPortSmi (a late answer)")
    return problems


def decode_smm_log(tool: Path, data: bytes) -> list[dict]:
    """The events of a log file that SmmDouble.efi wrote (decoded by host/smmdouble)."""
    with tempfile.TemporaryDirectory(prefix="fwsmm-log-") as tmp:
        path = Path(tmp) / "log.bin"
        path.write_bytes(data)
        done = subprocess.run([str(tool), "log", str(path)], capture_output=True, text=True,
                              timeout=60)
    if done.returncode != 0:
        raise ValueError(done.stderr.strip() or "smmdouble log failed")
    return [json.loads(line) for line in done.stdout.splitlines() if line.strip()]


def _smm_command_log(setup: _SmmSetup, data: bytes | None,
                     disk_files: Mapping[str, bytes]) -> tuple[list[dict] | None, list[str]]:
    if data is None:
        return None, ["the double's log of this command is not on the disk"]
    try:
        events = decode_smm_log(setup.tool, data)
    except (ValueError, OSError, subprocess.SubprocessError) as error:
        return None, [f"the double's log of this command cannot be read: {error}"]
    return events, check_smi_places(events, _smm_places(setup, disk_files))


# ---------------------------------------------------------------------------------------------
# Running the machine


# Test programs of build/test-efi that every disk carries beside the product (the vendor tool
# doubles are placed by the tests that want them).
TEST_PROGRAMS = ("RuntimeProbe.efi", "SmmDouble.efi")


def efi_files(build_dir: Union[str, os.PathLike]) -> dict[str, Path]:
    """The .efi files of a build, by file name: the product (build/efi) and the test programs."""
    files = {path.name: path for path in sorted((Path(build_dir) / "efi").glob("*.efi"))}
    for name in TEST_PROGRAMS:
        path = Path(build_dir) / "test-efi" / name
        if path.is_file():
            files[name] = path
    return files


def _file_bytes(name: str, source: Source) -> bytes:
    if isinstance(source, (bytes, bytearray)):
        return bytes(source)
    try:
        return Path(source).read_bytes()
    except OSError as error:
        raise ShellRunError(f"cannot read {source} (for {name} on the disk): "
                            f"{error.strerror}") from None


def _script(commands: Sequence[Command], handshake: bool, smm: bool = False) -> str:
    lines = ["@echo -off", "fs0:", "cd \\"]
    if smm:
        lines.append(f"{SMM_INSTALLER} install {SMM_STATE_IN} > {SMM_INSTALL_PREFIX}-out.txt "
                     f"2> {SMM_INSTALL_PREFIX}-err.txt")
        lines.append(f"echo %lasterror% > {SMM_INSTALL_PREFIX}-st.txt")
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
        if smm:
            lines.append(f"{SMM_INSTALLER} log smmlog{index}.bin smmst{index}.bin")
    if smm:
        lines.append(f"{SMM_INSTALLER} save {SMM_STATE_OUT}")
    lines.append(f"echo {END_MARKER}")
    lines.append("reset -s")
    return "\r\n".join(lines) + "\r\n"


_ESCAPES = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b[()][A-Za-z0-9]")


def _qemu_argv(code: Path, vars_copy: Path, disk: Path, debugcon: dict[int, Path],
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
              keep_work_dir: bool = False,
              smm: bool = False,
              smm_state: bytes | None = None) -> ShellRun:
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
    smm: answer SMIs with the firmware double (see the module's description); needs build_dir
      (test-efi/SmmDouble.efi, host/smmdouble, and the .so files of the .efi files for the RIP check).
    smm_state: SMM mode: the double's state file to install (default: made from the machine
      description's "firmware" section, a new machine's without one).
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
    smm_setup = None
    if smm:
        smm_setup = _smm_setup(build_dir, machine, smm_state, debugcon_ports)
        disk_files.setdefault(SMM_INSTALLER, smm_setup.installer.read_bytes())
        disk_files[SMM_STATE_IN] = smm_setup.state
    elif smm_state is not None:
        raise ValueError("smm_state is only used with smm=True")
    disk_files["startup.nsh"] = _script(commands, bool(debugcon_ports), smm).encode("ascii")

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
        argv = _qemu_argv(code, vars_copy, disk, debugcon, qemu_args, smm)
        (work / "qemu-command.txt").write_text(" ".join(argv) + "\n")
        serial_path = work / "serial.log"
        watcher = None
        if smm_setup is not None:
            stop_watching = threading.Event()
            watcher = threading.Thread(target=_qmp_watch, daemon=True,
                                       args=(work / "qmp.sock", work / "smm-region.bin",
                                             stop_watching))
            watcher.start()
        try:
            serial, completed, seconds, marks = _drive(
                argv, commands, serial_path, work, debugcon, boot_timeout, command_timeout,
                timeout)
        finally:
            if watcher is not None:
                stop_watching.set()
                watcher.join(timeout=10)
        out = work / "disk-out"
        _read_disk(disk, out)
        logs = {port: path.read_bytes() if path.exists() else b""
                for port, path in debugcon.items()}
        if smm_setup is not None:
            _smm_check_installed(out, serial_path, work)
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
            if smm_setup is not None and status is not None:
                results[-1].smm_events, results[-1].smm_problems = _smm_command_log(
                    smm_setup, _lookup(out, f"smmlog{index}.bin"), disk_files)
                results[-1].smm_state = _lookup(out, f"smmst{index}.bin")
        reset_state = None
        if smm_setup is not None and not completed and len(marks) <= len(commands):
            # The command that began last stopped the machine.
            stopped = results[len(marks) - 1] if marks else None
            if stopped is not None and not stopped.ran:
                stopped.smm_events, stopped.smm_problems, stopped.smm_state = _smm_after_reset(
                    smm_setup, work / "smm-region.bin", work, disk_files)
                reset_state = stopped.smm_state
        run = ShellRun(results=results, completed=completed, debugcon=logs,
                       files={name: _lookup(out, name) for name in read_back},
                       serial=serial, seconds=seconds,
                       work_dir=work if keep_work_dir else None,
                       smm_state=(reset_state or _lookup(out, SMM_STATE_OUT)) if smm_setup
                       else None)
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
