"""A URI boot entry (the kind a setup menu's "HTTP Boot Configuration" makes) written into a copy
of an OVMF variable file: a QEMU machine then boots its deployment image from the URL, https
included, where QEMU's own DHCP could offer only an http:// boot file.

The entry is Boot0010, first in BootOrder, with the device path
    PciRoot(0x0)/Pci(DEVICE,0x0)/MAC(MAC,0x1)/IPv4(0.0.0.0)/Uri(URL)
(the card's PCI slot and MAC as QEMU gives them; an all-zero IPv4 node: the address comes from
DHCP). OVMF's variable file is a firmware volume holding one authenticated variable store; the
variables are appended after the last one, and an earlier Boot0010 or BootOrder is marked
deleted, as the firmware's own variable driver does.
"""

from __future__ import annotations

import re
import struct
import uuid

GLOBAL_VARIABLE = uuid.UUID("8be4df61-93ca-11d2-aa0d-00e098032b8c")
AUTHENTICATED_STORE = uuid.UUID("aaf32c78-947b-439a-a180-2e144ec37792")
NV_BS_RT = 0x7
LOAD_OPTION_ACTIVE = 0x1
ENTRY = 0x0010
START_ID = 0x55AA
VAR_ADDED = 0x3F
VAR_DELETED = 0xFD
# StartId, State, Reserved, Attributes, MonotonicCount, TimeStamp, PubKeyIndex, NameSize,
# DataSize, VendorGuid.
HEADER = struct.Struct("<HBBIQ16sIII16s")


class VarsError(ValueError):
    """The file is not a variable file this module can write."""


def _node(kind: int, sub: int, body: bytes) -> bytes:
    return struct.pack("<BBH", kind, sub, 4 + len(body)) + body


def device_path(url: str, mac: str, pci_device: int) -> bytes:
    if not re.fullmatch(r"[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}", mac):
        raise VarsError(f"not a MAC address: {mac}")
    mac_bytes = bytes.fromhex(mac.replace(":", ""))
    return b"".join([
        _node(2, 1, struct.pack("<II", 0x0A0341D0, 0)),              # PciRoot(0x0)
        _node(1, 1, struct.pack("<BB", 0, pci_device)),              # Pci(DEVICE,0x0)
        _node(3, 11, mac_bytes.ljust(32, b"\0") + b"\x01"),          # MAC(MAC,0x1)
        _node(3, 12, bytes(27 - 4)),                                 # IPv4(0.0.0.0)
        _node(3, 24, url.encode("ascii") + b"\0"),                   # Uri(URL)
        _node(0x7F, 0xFF, b""),                                      # end
    ])


def load_option(description: str, path: bytes) -> bytes:
    """EFI_LOAD_OPTION: attributes, the path's length, the description (UTF-16), the path."""
    return struct.pack("<IH", LOAD_OPTION_ACTIVE, len(path)) + \
        (description + "\0").encode("utf-16-le") + path


def _variables(data: bytearray, start: int, end: int):
    """Offset, header fields and name of each variable of the store, and the offset after the
    last one."""
    at = start
    while at + HEADER.size <= end:
        fields = HEADER.unpack_from(data, at)
        if fields[0] != START_ID:
            break
        name_size, data_size = fields[7], fields[8]
        name_at = at + HEADER.size
        # The name and the data follow the header without padding (x86); the next header is
        # aligned to 4 bytes.
        if name_at + name_size + data_size > end:
            raise VarsError(f"variable at 0x{at:X} runs past the store")
        name = data[name_at:name_at + name_size].decode("utf-16-le", "replace").rstrip("\0")
        yield at, fields, name
        at = (name_at + name_size + data_size + 3) & ~3
    yield at, None, None


def with_uri_boot(vars_file: bytes, url: str, mac: str = "52:54:00:12:34:56",
                  pci_device: int = 2, description: str = "Deployment image") -> bytes:
    """A copy of the variable file whose first boot entry is the URI of the deployment image."""
    data = bytearray(vars_file)
    if len(data) < 0x48 or data[40:44] != b"_FVH":
        raise VarsError("not a firmware volume")
    store = struct.unpack_from("<H", data, 48)[0]
    if store + 28 > len(data) or \
            uuid.UUID(bytes_le=bytes(data[store:store + 16])) != AUTHENTICATED_STORE:
        raise VarsError("no authenticated variable store")
    size = struct.unpack_from("<I", data, store + 16)[0]
    end = min(store + size, len(data))
    names = {f"Boot{ENTRY:04X}", "BootOrder"}
    at = 0
    for at, fields, name in _variables(data, (store + 28 + 3) & ~3, end):
        if fields and name in names and fields[1] == VAR_ADDED and \
                uuid.UUID(bytes_le=fields[9]) == GLOBAL_VARIABLE:
            data[at + 2] = VAR_ADDED & VAR_DELETED
    for name, value in ((f"Boot{ENTRY:04X}",
                         load_option(description, device_path(url, mac, pci_device))),
                        ("BootOrder", struct.pack("<H", ENTRY))):
        encoded = (name + "\0").encode("utf-16-le")
        record = HEADER.pack(START_ID, VAR_ADDED, 0, NV_BS_RT, 0, bytes(16), 0, len(encoded),
                             len(value), GLOBAL_VARIABLE.bytes_le) + encoded + value
        if at + len(record) > end or data[at:at + len(record)].count(0xFF) != len(record):
            raise VarsError("no free room in the variable store")
        data[at:at + len(record)] = record
        at = (at + len(record) + 3) & ~3
    return bytes(data)
