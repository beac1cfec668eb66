# Tables the tools may read only where the machine's memory map describes memory: ranges that
# wrap past 2^64, tables in device registers (MMIO) or in no memory at all count as absent. Bytes
# that are not UTF-8 in arguments and input reach the tools unchanged.

import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from tagwell_texts import UNKNOWN, USAGE  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
AMI_TOOL = {"AMIDEEFIx64.efi": (ROOT / "tools" / "vendor-double" / "vendor_double.py").read_text()}

OK = "BIOS setting processing successfully completed...\n\n"
NO_PORT = "Get SMI port number failed.\n"
NO_FADT = "Can't find FADT structure anchor string.\n" + NO_PORT
NO_VERSION = "Get bios version failed.\n"
HIGH = 0x7E800000
MMIO = 0xFED00000
MMIO_REGION = {"base": hex(MMIO), "size": "0x1000", "fill": "0x00", "type": "mmio"}
UEFI_MEMORY = [{"base": "0xE0000", "size": "0x20000", "fill": "0xFF"},
               {"base": hex(HIGH), "size": "0x10000", "fill": "0x00"}]
UEFI_ACPI = {"rsdp": hex(HIGH), "rsdt": hex(HIGH + 0x40), "xsdt": hex(HIGH + 0x80),
             "rsdp_revision": 2}
APIC = {"address": hex(HIGH + 0x200), "signature": "APIC"}


def acpi(*tables):
    return dict(UEFI_ACPI, tables=[APIC] + list(tables))


def smbios3_entry(table, max_size):
    """An SMBIOS3 entry point with a good checksum naming the table."""
    entry = bytearray(0x18)
    entry[0:5] = b"_SM3_"
    entry[6], entry[7], entry[8], entry[10] = 0x18, 3, 2, 1
    struct.pack_into("<IQ", entry, 0x0C, max_size, table)
    entry[5] = -sum(entry) & 0xFF
    return entry.hex()


# A type 0 structure planted at 0xE0002, after two zero bytes, that no entry point names: a walk
# whose end wraps to 0xFFFFE reaches it from the top of the address space.
PLANTED = bytes([0, 24, 0, 0, 1, 2, 0, 0, 3, 0xFF, 0x80] + [0] * 13) + \
    b"Insyde\0Q9KT99ZZZ\001/01/2026\0\0"
WRAP = {"smbios": None, "firmware_vendor": None,
        "bytes": [{"address": hex(HIGH + 0x1000),
                   "hex": smbios3_entry(0xFFFFFFFFFFFFFFFE, 0x100000)},
                  {"address": "0xE0000", "hex": "0000" + PLANTED.hex()}],
        "configuration_table": [{"guid": "acpi20", "address": hex(HIGH)},
                                {"guid": "smbios3", "address": hex(HIGH + 0x1000)}]}


def smbios3_at(table, memory):
    """The UEFI desktop with its SMBIOS3 structure table at another address."""
    return {"memory": UEFI_MEMORY + memory, "firmware_vendor": None,
            "smbios": {"entry3": hex(HIGH + 0x1000), "table": hex(table),
                       "structures": [{"type": 0, "vendor": "Insyde Corp.",
                                       "bios_version": "M1KT52AUS"}]}}


def argv_logged(*words):
    def check(run):
        starts = [e["argv"][1:] for e in run.events if e.get("event") == "start"]
        return [] if starts == [list(words)] else ["argv logged as %r" % starts]
    return check


SCENARIOS = [
    # A range that wraps: an SMBIOS3 table at 2^64 - 2 of maximum size 1 MiB.
    dict(name="smbios3 table wrapping past 2^64: no BIOS version", machine="uefi-desktop",
         machine_patch=WRAP, args=["/b", "x.dat"],
         expect=dict(stdout=NO_VERSION, status=0xC000000B, files={"x.dat": None})),
    dict(name="smbios3 table wrapping past 2^64: no vendor", machine="uefi-desktop",
         machine_patch=WRAP, tool="Tagwell", args=["/sn:x"],
         expect=dict(stdout=UNKNOWN, status=-1, shell=[])),

    # Tables in device registers or in no memory. The machine logs a read there as a violation.
    dict(name="FADT in MMIO is no FADT", machine="uefi-desktop",
         machine_patch={"memory": UEFI_MEMORY + [MMIO_REGION],
                        "acpi": acpi({"address": hex(MMIO), "signature": "FACP",
                                      "smi_cmd": "0xB2"})},
         args=["/f9"], expect=dict(stdout=NO_FADT, status=0xC000000A, smi=[])),
    dict(name="FADT in unmapped memory is no FADT", machine="uefi-desktop",
         machine_patch={"acpi": acpi({"address": "0x90000000", "listed_only": True})},
         args=["/f9"], expect=dict(stdout=NO_FADT, status=0xC000000A, smi=[])),
    dict(name="FADT in unusable memory is no FADT", machine="uefi-desktop",
         machine_patch={"memory": UEFI_MEMORY + [dict(MMIO_REGION, type="unusable")],
                        "acpi": acpi({"address": hex(MMIO), "signature": "FACP"})},
         args=["/f9"], expect=dict(stdout=NO_FADT, status=0xC000000A, smi=[])),
    dict(name="FADT in reserved and ACPI memory is read", machine="uefi-desktop",
         machine_patch={"memory": UEFI_MEMORY + [dict(MMIO_REGION, type="reserved")],
                        "acpi": acpi({"address": hex(MMIO), "signature": "FACP"})},
         args=["/f9"], expect=dict(stdout=OK, status=0)),
    dict(name="SMBIOS table in MMIO is no table", machine="uefi-desktop",
         machine_patch=smbios3_at(MMIO, [MMIO_REGION]), args=["/b", "x.dat"],
         expect=dict(stdout=NO_VERSION, status=0xC000000B)),
    dict(name="tagwell: SMBIOS table in MMIO names no vendor", machine="uefi-desktop",
         machine_patch=smbios3_at(MMIO, [MMIO_REGION]), tool="Tagwell", args=["/sn:x"],
         expect=dict(stdout=UNKNOWN, status=-1, shell=[])),
    dict(name="SMBIOS3 maximum size past the end of memory: the table within it is used",
         machine="uefi-desktop",
         machine_patch=dict(smbios3_at(HIGH + 0x1040, []), smbios=dict(
             smbios3_at(HIGH + 0x1040, [])["smbios"], max_size="0x100000")),
         args=["/b", "x.dat"], expect=dict(stdout=OK, status=0)),

    # An XSDT that lists no FADT: the RSDT is tried too, and the message names the FADT.
    dict(name="XSDT without FADT: the RSDT's FADT", machine="uefi-desktop",
         machine_patch={"acpi": acpi({"address": hex(HIGH + 0x400), "signature": "FACP",
                                      "in": "rsdt"})},
         args=["/f9"], expect=dict(stdout=OK, status=0)),
    dict(name="XSDT and RSDT without FADT: the FADT is missing", machine="uefi-desktop",
         machine_patch={"acpi": acpi()},
         args=["/f9"], expect=dict(stdout=NO_FADT, status=0xC000000A, smi=[])),

    # Bytes that are not UTF-8 ("\udcXX" is byte XX on the command line).
    dict(name="non-UTF-8 serial number refused as on the machine", tool="Tagwell",
         args=["/sn:A\udc80B"],
         expect=dict(stdout="The value of /sn: contains a character outside printable ASCII.\n"
                     + USAGE, status=0xC0000001, shell=[], check=argv_logged("/sn:A\\x80B"))),
    dict(name="non-UTF-8 backup file name", args=["/b", "x\udce9.dat"],
         expect=dict(stdout=OK, status=0, check=lambda run: argv_logged("/b", "x\\xE9.dat")(run)
                     + ([] if (pathlib.Path(run.workdir) / "x\udce9.dat").exists()
                        else ["no file x\\xE9.dat"]))),
    dict(name="non-UTF-8 password on a machine without one", args=["/pass", "\udcff", "/f9"],
         expect=dict(stdout=OK, status=0, check=argv_logged("/pass", "\\xFF", "/f9"))),
    dict(name="non-UTF-8 input to the questions", machine="ami.json", tool="Tagwell",
         args=[], stdin="y\n\xe9Q\n", files=AMI_TOOL,
         expect=dict(status=0, shell=['AMIDEEFIx64.efi /ss "Q"'],
                     check=lambda run: [] if [e for e in run.events if e.get("event") == "stdin"]
                     == [{"event": "stdin", "read": "y\n\\xE9Q\n", "end": True}]
                     else ["stdin logged as %r" % [e for e in run.events
                                                   if e.get("event") == "stdin"]])),
]
