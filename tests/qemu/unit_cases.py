"""QEMU cases of Unit: the real Unit.efi on stock OVMF, whose SMBIOS type 1 structure QEMU's
-smbios option fills. Stock OVMF has no Platform Key, so its SetupMode is 1: "setup mode".
Each group is one boot (one type 1 structure per boot).

    python3 tests/qemu/run_qemu_tests.py --build BUILD_DIR --group Unit
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from cases import Case, Group  # noqa: E402

UUID = "4C4C4544-0036-3010-8050-B4C04F4A4E32"
BIOS = "type=0,vendor=Corvane,version=M1KT52AUS"


def machine(**type1: str) -> tuple[str, ...]:
    fields = ",".join(f"{key}={value}" for key, value in type1.items())
    return ("-smbios", BIOS, "-smbios", "type=1," + fields)


def line(head: str, serial: str, uuid: str) -> str:
    return (f'{head}: manufacturer "Corvane", product "Desk 7", serial "{serial}", uuid {uuid}, '
            'BIOS "M1KT52AUS", Secure Boot setup mode\n')


# Shell commands run from scripts that the group puts on the disk (a case names a program).
SCRIPTS = {"showid.nsh": b"@echo [%unitid%]\r\n", "setid.nsh": b"@set unitid EARLIER\r\n"}

USAGE = ("Usage: Unit (no arguments): prints the unit line and sets %unitid%.\n"
         "       Unit /owner GUID: the same, then the line of the certificates db holds under "
         "the owner GUID.\n"
         "       Unit /record FILE STICKID RUN: writes this unit's done record.\n"
         "       Unit /check FILE STICKID: 0 when FILE is this unit's done record of the stick "
         "(its run in %stick_done_run%).\n")

GROUPS = [
    Group("Unit: serial number", None, [
        Case("the serial number is the id", "Unit.efi",
             stdout=line("unit QS-1234_7-0765DF39", "QS-1234 7", UUID), status=0),
        Case("the id is in %unitid%", "showid.nsh", stdout="[QS-1234_7-0765DF39]\n"),
        Case("an argument is refused", "Unit.efi extra",
             stdout=USAGE,
             status=0xC0000001),
    ], qemu_args=machine(manufacturer="Corvane", product="Desk 7", serial="QS-1234 7",
                         uuid=UUID), files=SCRIPTS),
    Group("Unit: placeholder serial number, UUID", None, [
        Case("the UUID is the id", "Unit.efi",
             stdout=line("unit " + UUID, "Default string", UUID), status=0),
        Case("the id is in %unitid%", "showid.nsh", stdout=f"[{UUID}]\n"),
    ], qemu_args=machine(manufacturer="Corvane", product="Desk 7", serial="Default string",
                         uuid=UUID), files=SCRIPTS),
    Group("Unit: no usable id", None, [
        Case("an earlier id", "setid.nsh"),
        Case("no id", "Unit.efi",
             stdout=line("unit none (no usable serial number or UUID)",
                         "To Be Filled By O.E.M.", "00000000-0000-0000-0000-000000000000"),
             status=0),
        Case("the earlier id is gone", "showid.nsh", stdout="[]\n"),
    ], qemu_args=machine(manufacturer="Corvane", product="Desk 7",
                         serial="To Be Filled By O.E.M.",
                         uuid="00000000-0000-0000-0000-000000000000"), files=SCRIPTS),
]
