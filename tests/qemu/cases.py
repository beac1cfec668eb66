"""The QEMU test cases: the real .efi files run in OVMF's UEFI shell.

A Group is one boot of one machine and runs all its cases in that boot, in order. Add a case
to the group of its machine, or add a group for a new machine (a description in machines/).
The groups here are the suite "crestune"; every tests/qemu/NAME_cases.py is the suite NAME
(its GROUPS, or groups(build, shell)), each a ctest test of its own (qemu.NAME).
"""

from __future__ import annotations

import dataclasses
import subprocess
import tempfile
from pathlib import Path
from typing import Callable, Optional

HERE = Path(__file__).resolve().parent

# Characters the UEFI shell acts on even inside double quotes: the first line of the file that
# Tagwell's build and tools/make-stick read too.
SHELL_SPECIAL = (HERE.parent.parent / "Applications" / "Common" / "ShellMetacharacters.txt").read_text(
    encoding="ascii").split("\n", 1)[0]

# Statuses of Crestune.
HELP_OR_ARGUMENT_ERROR = 0xC0000001
FIRMWARE_ERROR = 0xC0000006
PORT_NOT_FOUND = 0xC000000A

NO_RSDP = "Can't find RSDP structure anchor string.\nGet SMI port number failed.\n"
NO_FADT = "Can't find FADT structure anchor string.\nGet SMI port number failed.\n"
PORT_ZERO = "The FADT names no SMI command port.\nGet SMI port number failed.\n"

# QEMU options for a machine whose only tables are those of its legacy BIOS area, as on the
# simulated machines: QEMU's ACPI tables are left out (OVMF then publishes an RSDT without an
# FADT in its configuration table) and QEMU's SMBIOS type 0 carries no BIOS Version string.
LEGACY_ONLY = ("-machine", "q35,acpi=off", "-smbios", "type=0,vendor=Corvane")

# Nothing answers an SMI in QEMU, so the registers come back unchanged. The run's first
# request, IsMfgDoneSet, therefore asks for the communication buffer (SMI value 0xD9, refused
# because ECX comes back nonzero), goes on in direct mode (SMI value 0x20) and fails with the
# unchanged EAX as the firmware's status.
FIRST_REQUEST_BYTES = b"\xD9\x20"
FIRST_REQUEST_FAILURE = "Return code: 534D3220h\n"


@dataclasses.dataclass
class Case:
    name: str
    line: str                               # the shell command line
    stdout: Optional[str] = None            # the whole standard output
    ends_with: Optional[str] = None
    contains: tuple[str, ...] = ()          # in standard output or standard error
    stderr: Optional[str] = None            # the whole standard error
    status: Optional[int] = None            # %lasterror%, unsigned 32-bit
    stdin: Optional[str] = None             # fed with "< file"
    host: bool = False                      # standard output equals the host tool's
    reference: Optional[Callable[[Path], str]] = None  # standard output, made on the host
    ports: Optional[dict[int, bytes]] = None  # bytes written to each port while it ran
    disk: Optional[dict[str, Optional[bytes]]] = None  # files on the disk at the end of the
    #                                                    boot (None: the file must not exist)
    optional: bool = False                  # skipped (not failed) when its .efi is absent
    show: bool = False                      # print the output (a record, not a check)
    check: Optional[Callable[[object], Optional[str]]] = None  # extra check: error text
    resets: bool = False                    # the command resets the machine (ends the boot)

    @property
    def program(self) -> str:
        return self.line.split()[0]


@dataclasses.dataclass
class Group:
    name: str
    machine: Optional[str]                  # file in machines/; None boots stock OVMF
    cases: list[Case]
    files: dict[str, bytes] = dataclasses.field(default_factory=dict)
    qemu_args: tuple[str, ...] = ()


def port_found(port: int, decoys: tuple[int, ...] = ()) -> list[Case]:
    """Cases for a machine whose SMI command port is found: the help text as on the host, and
    the first request written to that port and to none of the decoy ports."""
    silent = {decoy: b"" for decoy in decoys}
    return [
        Case("help text", "Crestune.efi /?", status=HELP_OR_ARGUMENT_ERROR, host=True),
        Case("first request goes to the FADT's port", "Crestune.efi /f9",
             stdout=FIRST_REQUEST_FAILURE, status=FIRMWARE_ERROR,
             ports={port: FIRST_REQUEST_BYTES, **silent}),
        Case("verbose run names the port", "Crestune.efi /f9 /Verbose",
             contains=(f"SMI port number: {port:04X}h\n", FIRST_REQUEST_FAILURE),
             status=FIRMWARE_ERROR, ports={port: FIRST_REQUEST_BYTES, **silent}),
    ]


def port_not_found(message: str, decoys: tuple[int, ...] = (0xB2,),
                   host: bool = True) -> list[Case]:
    """Cases for a machine whose port is not found: every run, a request for help included,
    fails before any port is written. host: the message is the host tool's too (not so where
    only OVMF's configuration table holds an RSDP)."""
    silent = {decoy: b"" for decoy in decoys}
    return [
        Case("help request fails", "Crestune.efi /?", stdout=message, status=PORT_NOT_FOUND,
             host=host),
        Case("nothing is sent", "Crestune.efi /f9", stdout=message, status=PORT_NOT_FOUND,
             ports=silent),
    ]


def host_format_reference(build: Path) -> str:
    """The format cases printed by the host C library (FormatReference.cpp)."""
    with tempfile.TemporaryDirectory(prefix="format-reference-") as tmp:
        program = Path(tmp) / "format-reference"
        subprocess.run(["g++", "-std=c++17", "-I", str(HERE.parent),
                        str(HERE / "FormatReference.cpp"), "-o", str(program)],
                       check=True, capture_output=True, timeout=120)
        return subprocess.run([str(program)], check=True, capture_output=True,
                              timeout=30).stdout.decode("latin-1")


def probe(name: str, line: str, **expect) -> Case:
    return Case(name, "RuntimeProbe.efi " + line, optional=True, **expect)


GROUPS: list[Group] = [
    # Without QEMU's tables OVMF publishes its own RSDP, whose RSDT holds no FADT: the message
    # names the FADT.
    Group("stock OVMF", None, [
        Case("help request fails without an FADT", "Crestune.efi /?", stdout=NO_FADT,
             status=PORT_NOT_FOUND),
    ], qemu_args=LEGACY_ONLY),
    Group("desktop", "desktop.json", port_found(0xB2, decoys=(0xB3,)) + [
        Case("extended argument alone is no operation", "Crestune.efi /Verbose",
             stdout="argc=2,totalArgCount=1, priArgCount=0,secArgCount=0,extArgCount=1\n"
                    "0.One or more arguments are invalid.\n",
             status=HELP_OR_ARGUMENT_ERROR, host=True),
        Case("help wins over other words", "Crestune.efi /f9 /h",
             status=HELP_OR_ARGUMENT_ERROR, host=True),
    ]),
    Group("desktop without SMI handler", "desktop-no-handler.json", [
        Case("register dumps as on the host", "Crestune.efi /f9 /Verbose",
             status=FIRMWARE_ERROR, host=True, ports={0xB2: FIRST_REQUEST_BYTES}),
        Case("password change stops at the first request", "Crestune.efi /newadp abc /Verbose",
             status=FIRMWARE_ERROR, host=True, ports={0xB2: FIRST_REQUEST_BYTES}),
        Case("backup fails before its file is created", "Crestune.efi /b backup.dat",
             stdout=FIRST_REQUEST_FAILURE, status=FIRMWARE_ERROR, disk={"backup.dat": None}),
    ]),
    Group("ACPI quirks", "acpi-quirks.json", port_found(0x530, decoys=(0x534, 0x538, 0xB2))),
    Group("two RSDPs", "acpi-two-rsdp.json", port_not_found(NO_FADT),
          qemu_args=LEGACY_ONLY),
    Group("RSDT of header length", "acpi-rsdt-header-only.json", port_not_found(NO_FADT),
          qemu_args=LEGACY_ONLY),
    Group("RSDT shorter than its header", "acpi-rsdt-too-short.json", port_not_found(NO_FADT),
          qemu_args=LEGACY_ONLY),
    # The unaligned legacy RSDP is passed over; OVMF's own RSDP is found, without an FADT (the
    # host machine has none: there the RSDP is missing).
    Group("RSDP off a 16-byte boundary", "acpi-unaligned-rsdp.json",
          port_not_found(NO_FADT, host=False), qemu_args=LEGACY_ONLY),
    # Unpatched OVMF publishes its tables only in the UEFI configuration table; QEMU's own
    # options shape them.
    Group("unpatched OVMF without SMM: FADT naming port 0", None, [
        Case("no-port message", "Crestune.efi /f9", stdout=PORT_ZERO, status=PORT_NOT_FOUND,
             ports={0xB2: b""}),
    ], qemu_args=("-machine", "q35,smm=off")),
    Group("legacy tables and the configuration table", "legacy-port-b3.json",
          port_found(0xB3, decoys=(0xB2,))),
    # The oversized RSDT: without QEMU's ACPI tables OVMF publishes an RSDT of a zero entry and
    # a BGRT, so no FADT is found anywhere and nothing is written to any port.
    Group("RSDT of Length 0xFFFFFFFF, no FADT anywhere", "acpi-rsdt-oversized.json",
          port_not_found(NO_FADT, decoys=(0xB2, 0xB3)), qemu_args=LEGACY_ONLY),
    Group("RSDT of Length 0xFFFFFFFF beside the configuration table", "acpi-rsdt-oversized.json", [
        Case("the configuration table's FADT names the port", "Crestune.efi /f9",
             stdout=FIRST_REQUEST_FAILURE, status=FIRMWARE_ERROR,
             ports={0xB2: FIRST_REQUEST_BYTES, 0xB3: b""}),
    ]),
    # The RSDT names the FADT by the flash's address below 4 GiB (0xFFFF6200), the same bytes
    # as at 0xF6200; OVMF's memory map calls the flash MMIO, so that FADT is never read and the
    # port it names (0x1234) is never written.
    Group("FADT in the firmware flash (MMIO)", "acpi-fadt-in-flash.json",
          port_not_found(NO_FADT, decoys=(0x1234, 0xB2)), qemu_args=LEGACY_ONLY),
    Group("runtime probe", None, [
        probe("quoted words stay one argument", 'args "two words" plain "/pass word" "" a^"b',
              stdout="argc=7\nargv[0]=[FS0:\\\\RuntimeProbe.efi]\nargv[1]=[args]\n"
                     "argv[2]=[two words]\nargv[3]=[plain]\nargv[4]=[/pass word]\nargv[5]=[]\n"
                     'argv[6]=[a"b]\n',
              status=0),
        probe("formatting as the host C library", "format", reference=host_format_reference,
              status=0),
        probe("assertion report", "assert",
              stdout="before the assertion\n",
              contains=("Assertion failed: (argc == 12345), file ",
                        ", function main, line "),
              status=1),
        probe("status 0", "status 0", stdout="exiting with 0\n", status=0),
        probe("status 0xC0000001", "status 0xC0000001", stdout="exiting with 0xC0000001\n",
              status=0xC0000001),
        probe("status -1", "status -1", stdout="exiting with -1\n", status=0xFFFFFFFF),
        probe("file stream round trip", "stream stream.bin", ends_with="stream OK\n",
              status=0, disk={"stream.bin": b"sHort"}),
        probe("standard input from a file ends", "stdin", stdin="ab\ncd",
              stdout="61 62 0A 63 64 \nEOF after 5\n", status=0),
        probe("empty standard input ends", "stdin", stdin="", stdout="\nEOF after 0\n",
              status=0),
        probe("heap stays below 4 GiB", "heap", ends_with="heap OK\n", status=0),
        probe("rename, remove and exclusive creation", "rename rndir", ends_with="rename OK\n",
              status=0, disk={"rn-old.dat": None, "rn-new.tmp": None, "rn-excl.dat": None}),
        probe("file error report", "perror missing.bin",
              contains=("Open file failed: ",), status=3),
        probe("stream speed", "bench bench.bin", ends_with="bench OK\n", status=0, show=True,
              disk={"bench.bin": bytes(((i * 7) ^ (i >> 8)) & 0xFF for i in range(1 << 20))}),
    ]),
]
