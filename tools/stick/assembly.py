"""A stick put together: every file of a stick made from a run list, the checks of where it is
written (an image file, a folder), and writing the folder. The top of the package: it brings
the run list, the scripts and the pinned shell's rules together."""

from __future__ import annotations

import os
import re
import stat
from pathlib import Path
from typing import Mapping, Sequence

from stick import image, netscript, pinning, runlist, script
from stick.names import (LOG_DIR, SHELL_PATH, STARTUP_PATHS, TOOLS_DIR, UNIT_PROGRAM,
                         StickError, done_folder, fat_name, marker_name, stick_id,
                         vendor_tool_problem)


def stick_files(steps: Sequence, then: str, efi_dir: Path,
                vendor_tools: Sequence[Path] = (), shell: Path | None = None,
                source: str = "run list", net: bool = False,
                server_url: str | None = None, data_files: Sequence[Path] = (),
                sealed: bool = False, owner: str | None = None) -> dict[str, bytes]:
    """Every file of the stick, by its path on the stick ("/" separated). With net, those of a
    network image (tools/stick/netscript.py); server_url: the server it names, if not the
    one it is booted from. data_files: the files that Crestune /r steps read, put into the
    tools folder. sealed: the stick's shell will be pinned to its files, so a restore may read
    only one of those or the unit's own backup ({unit}). owner: the owner GUID of the signing
    key, under which Unit.efi reports db."""
    files: dict[str, bytes] = {}

    def read(path: Path, what: str) -> bytes:
        try:
            return Path(path).read_bytes()
        except OSError as error:
            raise StickError(f"cannot read {what} {path}: {error.strerror}") from None

    for program in (*runlist.PROGRAMS.values(), UNIT_PROGRAM):
        files[f"{TOOLS_DIR}/{program}"] = read(Path(efi_dir) / program, "the tool")
    for option, given in [("--vendor-tool", tool) for tool in vendor_tools] + \
            [("--file", data) for data in data_files]:
        taken = [Path(existing).name for existing in files]
        problem = vendor_tool_problem(Path(given).name, taken)
        if problem:
            raise StickError(f"{option} '{given}': {problem}")
        data = read(Path(given), "the vendor tool" if option == "--vendor-tool" else "the file")
        if option == "--vendor-tool" and pinning.holds_table(data):
            raise StickError(f"--vendor-tool '{given}' is a UEFI shell of tools/build-shell (it "
                             "holds the table of pinned files): signed, it would run whatever "
                             "it is given on every unit that trusts the key")
        files[f"{TOOLS_DIR}/{Path(given).name}"] = data
    if shell is not None:
        files[SHELL_PATH] = read(Path(shell), "the shell")
    if net:
        files[f"{TOOLS_DIR}/{netscript.NET_PROGRAM}"] = read(
            Path(efi_dir) / netscript.NET_PROGRAM, "the tool")
        if server_url is not None:
            files[f"{TOOLS_DIR}/server.url"] = (server_url + "\r\n").encode("ascii")
    identity = stick_id(steps, then, files)
    files[f"{TOOLS_DIR}/{marker_name(identity)}"] = (
        b"This stick's startup.nsh finds its volume by this file.\r\n")
    # A backup or restore file is a name in the tools folder (the run list's rules): none may
    # be one of the stick's own files there, as FAT names them (no case, no trailing dots), but
    # a restore may read a file given for it. On a sealed stick it must: only those are pinned.
    own = {name[len(TOOLS_DIR) + 1:].lower(): Path(name).name for name in files
           if name.startswith(TOOLS_DIR + "/")}
    given = {Path(data).name.lower() for data in data_files}
    restored = set()
    for step in steps:
        for option, name in step.files:
            kept = "/".join(fat_name(part) for part in re.split(r"[\\/]", name)).lower()
            where = f"{Path(source).name} line {step.line_number}: '{option} {name}'"
            if option == "/r" and kept in given:
                restored.add(kept)
            elif kept in own:
                raise StickError(f"{where} would {'overwrite' if option == '/b' else 'read'} "
                                 f"the stick's {own[kept]}")
            elif option == "/r" and sealed and runlist.UNIT_PLACEHOLDER not in name:
                raise StickError(f"{where}: on a signed stick a restore reads only a file "
                                 f"make-stick puts there (--file {name}) or the unit's own "
                                 f"backup (a name with {runlist.UNIT_PLACEHOLDER})")
    unread = sorted(given - restored)
    if unread:
        raise StickError(f"--file {unread[0]}: no step reads it (a Crestune /r step names the "
                         "file it restores)")
    for name, text in {**script.step_scripts(steps, owner),
                       **script.record_scripts(identity)}.items():
        files[name] = text.encode("ascii")
    if net:
        files[netscript.NET_SCRIPT] = netscript.net_script().encode("ascii")
        files["startup.nsh"] = netscript.startup_script(steps, then, identity,
                                                        source).encode("ascii")
    else:
        files["startup.nsh"] = script.startup_script(steps, then, identity,
                                                     source).encode("ascii")
    for path in STARTUP_PATHS[1:]:
        files[path] = files["startup.nsh"]
    return files


def dir_problem(files: Mapping[str, bytes], folder: Path) -> str | None:
    """Why the stick's files cannot be written into the folder, or None: a path that is a
    symbolic link (writing would change the file it points to), or a folder of the stick
    that is a file there. Checked before anything is written."""
    folder = Path(folder)
    if folder.exists() and not folder.is_dir():
        return f"--dir {folder}: not a folder"
    paths = {Path(name) for name in files} | {Path(LOG_DIR)}
    folders = {parent for path in paths for parent in path.parents if parent != Path(".")}
    folders.add(Path(LOG_DIR))
    for path in sorted(paths | folders):
        target = folder / path
        if target.is_symlink():
            return (f"{target} is a symbolic link: make-stick does not write through it "
                    "(remove it)")
        if path in folders and target.exists() and not target.is_dir():
            return f"{target} is a file where the stick needs a folder (remove it)"
        if path not in folders and target.is_dir():
            return f"{target} is a folder where the stick needs a file (remove it)"
    return None


def kept_records(files: Mapping[str, bytes], folder: Path) -> tuple[Path, list[str]] | None:
    """The folder of records of finished units that the folder holds already for this very
    stick (the same id), and their names; None when there are none. Written again, the stick
    keeps them, and those units run nothing again."""
    marker = re.compile(re.escape(f"{TOOLS_DIR}/{marker_name('ID')}").replace(
        "ID", "([0-9a-f]{8})"))
    identity = next((found.group(1) for name in files for found in [marker.fullmatch(name)]
                     if found), None)
    records = Path(folder) / done_folder(identity) if identity else None
    names = sorted(entry.name for entry in records.iterdir() if entry.is_file()) \
        if records is not None and records.is_dir() else []
    return (records, names) if names else None


def write_dir(files: Mapping[str, bytes], folder: Path) -> None:
    problem = dir_problem(files, folder)
    if problem:
        raise StickError(problem)
    image.write_tree(files, folder)
    (Path(folder) / LOG_DIR).mkdir(exist_ok=True)


def output_problem(output: Path, inputs: Sequence[Path]) -> str | None:
    """Why the image cannot be written to `output`, or None: a folder there, or one of the
    files the stick is made from."""
    output = Path(output)
    if output.is_dir():
        return f"-o {output}: a folder (name the image file, e.g. {output / 'stick.img'})"
    try:
        mode = os.stat(output).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as error:
        return f"-o {output}: {error.strerror}"
    if mode is not None and not stat.S_ISREG(mode):
        # The image is renamed over the target when complete: a device node would become a
        # regular file and nothing would reach the stick.
        kind = ("a block device" if stat.S_ISBLK(mode) else "a character device"
                if stat.S_ISCHR(mode) else "a FIFO" if stat.S_ISFIFO(mode) else
                "a socket" if stat.S_ISSOCK(mode) else "not a regular file")
        return (f"-o {output}: {kind}; make-stick writes an image file, not a device: write "
                f"the image, then copy it: `-o stick.img`, then `dd if=stick.img of={output} "
                "bs=1M conv=fsync`")
    if not output.parent.is_dir():
        return f"-o {output}: the folder {output.parent} does not exist"
    for source in inputs:
        try:
            same = output.exists() and os.path.samefile(output, source)
        except OSError:
            same = False
        if same or output.resolve() == Path(source).resolve():
            return f"-o {output}: that is {source}, which the stick is made from"
    return None
