"""SMM mode: the firmware double answers the SMIs that programs raise on port 0xB2.

SmmDouble.efi installs the double before the first command and writes its request log and
state after each one; a QMP watcher copies the double's memory when the machine stops (a reset
during a command ends the boot). Every SMI is checked to have been taken at the instruction
after the port write in TriggerPortSmi of the image that raised it."""

from __future__ import annotations

import dataclasses
import json
import re
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from typing import Mapping, Sequence

from . import disk
from .firmware import load_description
from .results import MachineError, ShellRunError

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


@dataclasses.dataclass
class SmmSetup:
    installer: Path            # test-efi/SmmDouble.efi
    tool: Path                 # host/smmdouble
    state: bytes               # the state file installed at boot
    build_dir: Path
    places: dict = dataclasses.field(default_factory=dict)  # image identity -> (name, offset)


def setup(build_dir, machine, state: bytes | None, debugcon_ports) -> SmmSetup:
    """The installer, the host tool and the state file to install (made from the machine
    description when none is given); refuses what SMM mode cannot run with."""
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
                name, text = load_description(machine)
                source = Path(tmp) / "machine.json"
                source.write_bytes(text)
                argv.append(str(source))
            done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
            if done.returncode != 0:
                raise MachineError(f"smmdouble state failed: {done.stderr.strip()}")
            state = (Path(tmp) / "state.bin").read_bytes()
    return SmmSetup(installer, tool, bytes(state), build)


def check_installed(out: Path, serial_path: Path, work: Path) -> None:
    """Raises ShellRunError with what the installer said when it did not end with status 0."""
    status = disk.read_status(out, f"{SMM_INSTALL_PREFIX}-st.txt")
    if status != 0:
        said = (disk.read_text(out, f"{SMM_INSTALL_PREFIX}-err.txt")
                + disk.read_text(out, f"{SMM_INSTALL_PREFIX}-out.txt")).strip()
        raise ShellRunError(f"{SMM_INSTALLER} install failed"
                            f" (status {'none' if status is None else hex(status)}): "
                            f"{said or 'no message'}", serial_path, work)


def qmp_watch(path: Path, dump: Path, stop: threading.Event) -> None:
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


def after_reset(setup: SmmSetup, dump: Path, work: Path,
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
    events, problems = command_log(setup, log.read_bytes(), disk_files)
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


def _places(setup: SmmSetup, disk_files: Mapping[str, bytes]) -> dict:
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


def command_log(setup: SmmSetup, data: bytes | None,
                disk_files: Mapping[str, bytes]) -> tuple[list[dict] | None, list[str]]:
    """The log events of one command and the problems with its SMIs."""
    if data is None:
        return None, ["the double's log of this command is not on the disk"]
    try:
        events = decode_smm_log(setup.tool, data)
    except (ValueError, OSError, subprocess.SubprocessError) as error:
        return None, [f"the double's log of this command cannot be read: {error}"]
    return events, check_smi_places(events, _places(setup, disk_files))

