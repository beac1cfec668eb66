"""FAT disk images: writing a stick image (an MBR and one FAT32 partition) or a bare FAT disk
from a dictionary of files, writing the same files into a folder, and reading files back from
an image through mtools (no root, no mount).

Files are given as {"path/on/the/disk": bytes} with "/" between folders.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Mapping, Optional, Sequence

IMAGE_MIN_MIB = 40   # FAT32 needs 65525 clusters; at 512 bytes a cluster that is about 33 MiB
PARTITION_START = 2048  # sectors: the partition begins at 1 MiB
SECTOR = 512
STICK_LABEL = "FWSTICK"


class ImageError(RuntimeError):
    """An image could not be made or read."""


def mtools_env() -> dict:
    # mtools refuses images whose FAT geometry it finds odd unless told not to check.
    return dict(os.environ, MTOOLS_SKIP_CHECK="1")


def run_tool(argv: Sequence[str], what: str, timeout: float = 120) -> None:
    """Runs mkfs.vfat or an mtools command; raises ImageError saying what could not be done."""
    try:
        done = subprocess.run(list(argv), capture_output=True, text=True, timeout=timeout,
                              env=mtools_env(), stdin=subprocess.DEVNULL)
    except FileNotFoundError:
        raise ImageError(f"{argv[0]} is not installed (needed to {what}; "
                         "tools/install-deps installs it)") from None
    if done.returncode != 0:
        said = (done.stderr or done.stdout).strip()
        raise ImageError(f"cannot {what}: "
                         + (said or f"{Path(argv[0]).name} ended with status {done.returncode}"))


def write_tree(files: Mapping[str, bytes], folder: Path) -> None:
    """Writes every file under the folder, making the folders on its path."""
    for name, data in files.items():
        target = Path(folder) / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)


def _fill(target: str, files: Mapping[str, bytes], staging: Path, what: str) -> None:
    """Copies the files into the FAT file system `target` (an mtools image name)."""
    write_tree(files, staging)
    sources = sorted(str(entry) for entry in staging.iterdir()) if staging.is_dir() else []
    if sources:
        run_tool(["mcopy", "-i", target, "-s", "-o", "-Q", *sources, "::/"], what)


def make_disk(path: Path, files: Mapping[str, bytes], label: str = "FWTEST") -> None:
    """A bare FAT disk (no partition table) that holds the files, sized for them."""
    total = sum(len(data) for data in files.values())
    size_mb = max(16, (2 * total >> 20) + 8)
    with open(path, "wb") as disk:
        disk.truncate(size_mb << 20)
    # Many small files (and their long-name entries) can go into the root directory, which
    # holds 512 entries by default.
    run_tool(["mkfs.vfat", "-n", label, "-r", "4096", str(path)], "format the disk image", 60)
    with tempfile.TemporaryDirectory(prefix="fat-disk-") as tmp:
        _fill(str(path), files, Path(tmp) / "tree", "fill the disk image")


def _mbr(total_sectors: int) -> bytes:
    """A master boot record with one FAT32 (LBA) partition from 1 MiB to the end."""
    mbr = bytearray(SECTOR)
    mbr[0x1B8:0x1BC] = (0x46575354).to_bytes(4, "little")  # disk signature
    entry = bytearray(16)
    entry[0] = 0x80                   # active
    entry[1:4] = b"\xFE\xFF\xFF"      # CHS not used: LBA only
    entry[4] = 0x0C                   # FAT32 with LBA
    entry[5:8] = b"\xFE\xFF\xFF"
    entry[8:12] = PARTITION_START.to_bytes(4, "little")
    entry[12:16] = (total_sectors - PARTITION_START).to_bytes(4, "little")
    mbr[0x1BE:0x1CE] = entry
    mbr[510:512] = b"\x55\xAA"
    return bytes(mbr)


def image_offset() -> int:
    """Byte offset of the FAT32 partition in a stick image (for `mtools -i IMAGE@@OFFSET`)."""
    return PARTITION_START * SECTOR


def write_net_image(files: Mapping[str, bytes], path: Path) -> int:
    """A network image: a bare FAT file system (FAT12 or FAT16, no partition table) just large
    enough for the files and the logs a run writes, which a unit downloads whole as a RAM disk.
    Written beside the target and renamed over it when complete. Returns its size in MiB."""
    size_mib = max(2, (sum(len(data) for data in files.values()) >> 20) + 2)
    temporary = Path(str(path) + ".tmp")
    try:
        with open(temporary, "wb") as out:
            out.truncate(size_mib << 20)
        run_tool(["mkfs.vfat", "-n", STICK_LABEL, str(temporary)], "format the network image")
        with tempfile.TemporaryDirectory(prefix="make-stick-") as tmp:
            _fill(str(temporary), files, Path(tmp) / "tree", "copy the files onto the image")
        os.replace(temporary, path)
    except BaseException:
        if temporary.is_file():
            temporary.unlink()
        raise
    return size_mib


def write_image(files: Mapping[str, bytes], path: Path, size_mib: int) -> None:
    """A stick image of size_mib MiB: an MBR and one FAT32 partition holding the files. The
    image is written beside the target and renamed over it only when complete."""
    needed = (sum(len(data) for data in files.values()) >> 20) + IMAGE_MIN_MIB
    if size_mib < needed:
        raise ImageError(f"--size {size_mib} MiB is too small: the files need {needed} MiB")
    total = size_mib << 20
    with tempfile.TemporaryDirectory(prefix="make-stick-") as tmp:
        partition = Path(tmp) / "partition.img"
        with open(partition, "wb") as out:
            out.truncate(total - image_offset())
        run_tool(["mkfs.vfat", "-F", "32", "-n", STICK_LABEL, "-h", str(PARTITION_START),
                  str(partition)], "format the FAT32 partition")
        _fill(str(partition), files, Path(tmp) / "tree", "copy the files onto the partition")
        temporary = Path(str(path) + ".tmp")
        try:
            with open(temporary, "wb") as out:
                out.write(_mbr(total // SECTOR))
                out.seek(image_offset())
                with open(partition, "rb") as source:
                    shutil.copyfileobj(source, out, 1 << 20)
                out.truncate(total)
            os.replace(temporary, path)
        except BaseException:
            if temporary.is_file():
                temporary.unlink()
            raise


def partition_offset(image: Path) -> int:
    """The byte offset of the FAT file system: the first MBR partition's, or 0 for a bare one."""
    with open(image, "rb") as stream:
        sector = stream.read(SECTOR)
    if len(sector) < SECTOR:
        raise ImageError(f"{image} is not a stick image (shorter than one sector)")
    bare_fat = sector[0x52:0x57] == b"FAT32" or sector[0x36:0x39] == b"FAT"
    if sector[510:512] == b"\x55\xaa" and not bare_fat:
        start = int.from_bytes(sector[446 + 8:446 + 12], "little")
        if start:
            return start * SECTOR
    return 0


def _target(image: Path) -> str:
    return f"{image}@@{partition_offset(image)}"


def copy_out(image: Path, name: str, into: Path, what: str) -> None:
    """Copies a file or folder of the image ("dir/file", or "*" for everything) into the
    folder `into`; raises ImageError when mtools cannot."""
    run_tool(["mcopy", "-s", "-n", "-i", _target(image), "::/" + name, str(into)], what)


def read_file(image: Path, name: str) -> Optional[bytes]:
    """A file of the image (None when it is not there)."""
    with tempfile.TemporaryDirectory(prefix="fat-read-") as tmp:
        out = Path(tmp) / "file"
        try:
            copy_out(image, name, out, f"read {name}")
        except ImageError:
            return None
        return out.read_bytes() if out.is_file() else None


def put_file(image: Path, name: str, data: bytes) -> None:
    """Writes (or replaces) one file of the image; its folder must exist."""
    with tempfile.TemporaryDirectory(prefix="fat-put-") as tmp:
        source = Path(tmp) / "file"
        source.write_bytes(data)
        run_tool(["mcopy", "-o", "-i", _target(image), str(source), "::/" + name],
                 f"write {name}")


def lookup(folder: Path, name: str) -> Optional[bytes]:
    """A file copied off a FAT disk, found as FAT finds it: without regard to case (the shell
    may have written OUT0.TXT for out0.txt). None when it is not there."""
    direct = Path(folder) / name
    if direct.is_file():
        return direct.read_bytes()
    current = Path(folder)
    for part in Path(name).parts:
        if not current.is_dir():
            return None
        match = [entry for entry in current.iterdir() if entry.name.lower() == part.lower()]
        if not match:
            return None
        current = match[0]
    return current.read_bytes() if current.is_file() else None
