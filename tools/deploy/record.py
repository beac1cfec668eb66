"""A unit's done record as Unit.efi writes it (Applications/Unit/UnitRecord.cpp), read on the
deployment server: six lines, each ended by a line feed (a carriage return before it allowed),

    unit-record 1 / stick STICKID / run N / unit ID / serial HEX / uuid UUID

HEX is the raw serial number, two hex digits a byte. Unit.efi on the unit compares the record
with the machine; the server compares it with the unit line of the unit's log."""

from __future__ import annotations

from typing import Optional

HEAD = "unit-record 1"
KEYS = ("stick", "run", "unit", "serial", "uuid")
# Larger than any record Unit.efi writes: a larger file is not one.
SIZE_MAX = 4096


def make(stick: str, run: int, unit: str, serial: str, uuid: str) -> str:
    """A record as Unit.efi writes it (serial: the raw serial number)."""
    values = (stick, run, unit, serial.encode("latin-1").hex().upper(), uuid)
    return "\n".join([HEAD, *(f"{key} {value}" for key, value in zip(KEYS, values))]) + "\n"


def quoted(text: str) -> str:
    """A value as Unit.efi shows it in the unit line: '?' for '"', '\\' and any character
    outside printable ASCII."""
    return "".join(c if " " <= c <= "~" and c not in '"\\' else "?" for c in text)


def parse(text: str) -> Optional[dict]:
    """The record's values (the serial number decoded and shown as the unit line shows it), or
    None when the text is not a record Unit.efi wrote."""
    lines = text.split("\n")
    if len(lines) != len(KEYS) + 2 or lines[-1] or lines[0].removesuffix("\r") != HEAD:
        return None
    values = {}
    for key, line in zip(KEYS, lines[1:]):
        name, _, value = line.removesuffix("\r").partition(" ")
        if name != key:
            return None
        values[key] = value
    try:
        values["serial"] = quoted(bytes.fromhex(values["serial"]).decode("latin-1"))
    except ValueError:
        return None
    return values


def names(values: Optional[dict], unit: str, stick: str, serial: str, uuid: str) -> bool:
    """Whether the record names this unit (id, serial number and UUID as its log's unit line
    shows them) and the image its log names."""
    return values is not None and (values["unit"], values["stick"], values["serial"],
                                   values["uuid"]) == (unit, stick, serial, uuid)
