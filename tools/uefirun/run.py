"""One boot of the UEFI shell that runs a list of command lines: the disk assembled, QEMU
run, and each command's output, status, port bytes and SMM requests collected."""

from __future__ import annotations

import os
import shutil
import tempfile
import threading
from pathlib import Path
from typing import Iterable, Mapping, Sequence, Union

from . import disk, firmware, qemu
from . import smm as smm_double
from .results import Command, CommandResult, MachineError, ShellRun, ShellRunError, Source
from . import script

DEFAULT_BOOT_TIMEOUT = 90.0
DEFAULT_COMMAND_TIMEOUT = 60.0


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
    smm: answer SMIs with the firmware double (see the package's description); needs build_dir
      (test-efi/SmmDouble.efi, host/smmdouble, and the .so files of the .efi files for the RIP
      check).
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
            disk_files[script.STDIN.format(index)] = command.stdin.encode("utf-16-le")
    debugcon_ports = sorted({int(port) for port in debugcon_ports})
    smm_setup = None
    if smm:
        smm_setup = smm_double.setup(build_dir, machine, smm_state, debugcon_ports)
        disk_files.setdefault(smm_double.SMM_INSTALLER, smm_setup.installer.read_bytes())
        disk_files[smm_double.SMM_STATE_IN] = smm_setup.state
    elif smm_state is not None:
        raise ValueError("smm_state is only used with smm=True")
    disk_files["startup.nsh"] = script.startup_script(commands, bool(debugcon_ports),
                                                      smm).encode("ascii")

    if machine is not None:
        if build_dir is None:
            raise MachineError("a test machine needs build_dir (for simmachine and its cache)")
        code = firmware.build_machine_firmware(machine, build_dir)
    else:
        code = firmware.OVMF_CODE
    if shutil.which(qemu.QEMU) is None:
        raise ShellRunError(f"{qemu.QEMU} is not installed")

    work = Path(tempfile.mkdtemp(prefix="uefi-shell-"))
    ok = False
    try:
        vars_copy = work / "OVMF_VARS.fd"
        shutil.copyfile(firmware.OVMF_VARS, vars_copy)
        image = work / "disk.img"
        disk.make_disk(image, disk_files)
        debugcon = {int(port): work / f"debugcon-{int(port):04x}.bin"
                    for port in debugcon_ports}
        argv = qemu.qemu_argv(code, vars_copy, image, debugcon, qemu_args, smm)
        (work / "qemu-command.txt").write_text(" ".join(argv) + "\n")
        serial_path = work / "serial.log"
        watcher = None
        if smm_setup is not None:
            stop_watching = threading.Event()
            watcher = threading.Thread(target=smm_double.qmp_watch, daemon=True,
                                       args=(work / "qmp.sock", work / "smm-region.bin",
                                             stop_watching))
            watcher.start()
        try:
            serial, completed, seconds, marks = qemu.drive(
                argv, commands, serial_path, work, debugcon, boot_timeout, command_timeout,
                timeout)
        finally:
            if watcher is not None:
                stop_watching.set()
                watcher.join(timeout=10)
        out = work / "disk-out"
        disk.read_disk(image, out)
        logs = {port: path.read_bytes() if path.exists() else b""
                for port, path in debugcon.items()}
        if smm_setup is not None:
            smm_double.check_installed(out, serial_path, work)
        results = []
        for index, command in enumerate(commands):
            status = disk.read_status(out, script.STATUS.format(index))
            ports = {}
            if index < len(marks):
                for port, data in logs.items():
                    end = marks[index + 1][port] if index + 1 < len(marks) else len(data)
                    ports[port] = data[marks[index][port]:end]
            results.append(CommandResult(
                line=command.line, ran=status is not None,
                stdout=disk.read_text(out, script.STDOUT.format(index)),
                stderr=disk.read_text(out, script.STDERR.format(index)),
                status=status, debugcon=ports))
            if smm_setup is not None and status is not None:
                results[-1].smm_events, results[-1].smm_problems = smm_double.command_log(
                    smm_setup, disk.lookup(out, script.SMM_LOG.format(index)), disk_files)
                results[-1].smm_state = disk.lookup(out, script.SMM_STATE.format(index))
        reset_state = None
        if smm_setup is not None and not completed and len(marks) <= len(commands):
            # The command that began last stopped the machine.
            stopped = results[len(marks) - 1] if marks else None
            if stopped is not None and not stopped.ran:
                (stopped.smm_events, stopped.smm_problems,
                 stopped.smm_state) = smm_double.after_reset(
                    smm_setup, work / "smm-region.bin", work, disk_files)
                reset_state = stopped.smm_state
        run = ShellRun(results=results, completed=completed, debugcon=logs,
                       files={name: disk.lookup(out, name) for name in read_back},
                       serial=serial, seconds=seconds,
                       work_dir=work if keep_work_dir else None,
                       smm_state=(reset_state or disk.lookup(out, smm_double.SMM_STATE_OUT))
                       if smm_setup else None)
        ok = True
        return run
    finally:
        if ok and not keep_work_dir:
            shutil.rmtree(work, ignore_errors=True)

