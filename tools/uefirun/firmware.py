"""Test machines: OVMF's flash files, and a copy of the CODE flash whose legacy BIOS area
(the guest's 0xE0000-0xFFFFF, the flash's last 128 KiB) carries the bytes that `simmachine
legacy-image` builds from a machine description."""

from __future__ import annotations

import hashlib
import json
import os
import re
import subprocess
import tempfile
from pathlib import Path
from typing import Mapping, Union

from .results import MachineError

REPO_ROOT = Path(__file__).resolve().parent.parent.parent

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


def load_description(machine: Union[str, os.PathLike, Mapping]) -> tuple[str, bytes]:
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


def check_regions(description: dict, name: str) -> None:
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
    name, text = load_description(machine)
    check_regions(json.loads(text), name)
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
    name, text = load_description(machine)
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

