# Machines without a legacy BIOS (tables only in the UEFI configuration table), machines with both,
# and legacy machines with hostile ACPI and SMBIOS tables.

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from tagwell_texts import BANNER, DONE, UNKNOWN  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
DOUBLE = (ROOT / "tools" / "vendor-double" / "vendor_double.py").read_text()
AMI_TOOL = {"AMIDEEFIx64.efi": DOUBLE}
INSYDE_TOOL = {"H2OSDE-Sx64.efi": DOUBLE}
TOOLS = dict(AMI_TOOL, **INSYDE_TOOL)

OK = "BIOS setting processing successfully completed...\n\n"
NO_PORT = "Get SMI port number failed.\n"
NO_RSDP = "Can't find RSDP structure anchor string.\n" + NO_PORT
NO_FADT = "Can't find FADT structure anchor string.\n" + NO_PORT
PORT_ZERO = "The FADT names no SMI command port.\n" + NO_PORT
NO_VERSION = "Get bios version failed.\n"
FROM_CONFIG = "ACPI tables taken from the UEFI configuration table.\n"

# The UEFI-only desktop's tables (simmachine uefi-desktop).
HIGH = 0x7E800000
UEFI_ACPI = {"rsdp": hex(HIGH), "rsdt": hex(HIGH + 0x40), "xsdt": hex(HIGH + 0x80),
             "rsdp_revision": 2,
             "tables": [{"address": hex(HIGH + 0x200), "signature": "APIC"},
                        {"address": hex(HIGH + 0x400), "signature": "FACP", "smi_cmd": "0xB2"}]}


def uefi_acpi(**changes):
    return dict(UEFI_ACPI, **changes)


def fadt_port(run, port="0x00B2"):
    ports = sorted({e["port"] for e in run.events if e.get("event") == "smi"})
    return [] if ports == [port] else ["SMIs on ports %r, want only %s" % (ports, port)]


def type0_vendor(vendor, firmware_vendor="EDK II"):
    return {"firmware_vendor": firmware_vendor,
            "smbios": {"structures": [{"type": 0, "vendor": vendor,
                                       "bios_version": "M1KT52AUS"}]}}


def verbose_dump_problems(run):
    """The verbose dump of type 0 keeps its 8 rows of the first 128 bytes."""
    text = run.stdout
    start = text.find("\nSmbios structure type 0 contents:\n")
    dump = text[start:].split("\n\n")[0] if start >= 0 else ""
    rows = [line for line in dump.splitlines() if line[4:8] == " :  "]
    offsets = [line[:4] for line in rows]
    want = ["%04X" % (16 * n) for n in range(8)]
    return [] if start >= 0 and offsets == want else ["dump rows %r" % offsets]


LEGACY_FADT = [{"address": "0xF6100", "signature": "APIC"},
               {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0x1234"}]

SCENARIOS = [
    # Crestune on the UEFI-only desktop.
    dict(name="uefi-only desktop: defaults through the configuration table's FADT",
         machine="uefi-desktop", args=["/f9"],
         expect=dict(stdout=OK, status=0, check=fadt_port,
                     smi=[dict(request="IsMfgDoneSet"), dict(request="CheckPasswordInstalled"),
                          dict(request="LoadDefaults"), dict(request="UpdateChecksum")])),
    dict(name="uefi-only desktop: verbose says where the ACPI tables came from",
         machine="uefi-desktop", args=["/f9", "/Verbose"],
         expect=dict(stdout_contains=[FROM_CONFIG + "SMI port number: 00B2h\n"], status=0)),
    dict(name="legacy desktop: verbose says nothing of the configuration table",
         args=["/f9", "/Verbose"],
         expect=dict(status=0, check=lambda run: [] if FROM_CONFIG not in run.stdout
                     and "SMI port number: 00B2h\n" in run.stdout else ["verbose output"])),
    dict(name="uefi-only desktop: backup and restore with the SMBIOS3 BIOS version",
         machine="uefi-desktop",
         steps=[dict(args=["/b", "x.dat"], expect=dict(stdout=OK, status=0)),
                dict(args=["/r", "x.dat", "/Verbose"],
                     expect=dict(status=0, stdout_contains=[
                         "Bios version: M1KT52AUS\n", "Bios id: M1\n", "Bios revision: 52\n",
                         "Rebooting...\n"]))]),
    dict(name="uefi-only desktop: another BIOS's backup is refused",
         machine="uefi-desktop",
         steps=[dict(args=["/b", "x.dat"], expect=dict(stdout=OK, status=0)),
                dict(machine_patch={"smbios": {"structures": [
                    {"type": 0, "bios_version": "M2KT52AUS"}]}},
                     args=["/r", "x.dat"],
                     expect=dict(stdout="The file's bios id is different from the current BIOS.\n",
                                 status=0xC0000009))]),
    dict(name="uefi-only desktop: SMBIOS 2.x entry point in the configuration table",
         machine="uefi-desktop",
         machine_patch={"smbios": {"entry3": None, "entry": hex(HIGH + 0x1000)},
                        "configuration_table": [
                            {"guid": "acpi20", "address": hex(HIGH)},
                            {"guid": "smbios", "address": hex(HIGH + 0x1000)}]},
         args=["/b", "x.dat"], expect=dict(stdout=OK, status=0)),
    dict(name="uefi-only desktop: no SMBIOS anywhere", machine="uefi-desktop",
         machine_patch={"configuration_table": [{"guid": "acpi20", "address": hex(HIGH)}]},
         args=["/b", "x.dat"], expect=dict(stdout=NO_VERSION, status=0xC000000B)),
    dict(name="uefi-only desktop: ACPI 1.0 entry only", machine="uefi-desktop",
         machine_patch={"acpi": uefi_acpi(rsdp_revision=0),
                        "configuration_table": [{"guid": "acpi10", "address": hex(HIGH)}]},
         args=["/f9"], expect=dict(stdout=OK, status=0, check=fadt_port)),
    dict(name="uefi-only desktop: no configuration table entries give today's failure",
         machine="uefi-desktop", machine_patch={"configuration_table": []}, args=["/f9"],
         expect=dict(stdout=NO_RSDP, status=0xC000000A, smi=[])),
    dict(name="uefi-only desktop: RSDP with a bad checksum gives today's failure",
         machine="uefi-desktop", machine_patch={"acpi": uefi_acpi(rsdp_checksum="bad")},
         args=["/f9"], expect=dict(stdout=NO_RSDP, status=0xC000000A, smi=[])),
    dict(name="uefi-only desktop: FADT naming port 0", machine="uefi-desktop",
         machine_patch={"acpi": uefi_acpi(tables=[
             {"address": hex(HIGH + 0x400), "signature": "FACP", "smi_cmd": 0}])},
         args=["/f9"], expect=dict(stdout=PORT_ZERO, status=0xC000000A, smi=[])),
    dict(name="legacy and configuration tables: the legacy port is used",
         machine="uefi-desktop",
         machine_patch={"acpi": [
             {"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
                 {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xB2"}]},
             uefi_acpi(tables=[{"address": hex(HIGH + 0x400), "signature": "FACP",
                                "smi_cmd": "0xB3"}])]},
         args=["/f9", "/Verbose"],
         expect=dict(status=0, check=lambda run: fadt_port(run) + (
             ["verbose output names the configuration table"] if FROM_CONFIG in run.stdout
             else []))),
    dict(name="legacy RSDT without FADT: the configuration table's FADT",
         machine="uefi-desktop",
         machine_patch={"acpi": [
             {"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
                 {"address": "0xF6100", "signature": "APIC"}]},
             UEFI_ACPI]},
         args=["/f9"], expect=dict(stdout=OK, status=0, check=fadt_port)),

    # Hostile legacy tables.
    dict(name="RSDT of Length 0xFFFFFFFF without FADT", args=["/f9"],
         machine_patch={"acpi": {"rsdt_length": "0xFFFFFFFF", "tables": LEGACY_FADT[:1]}},
         expect=dict(stdout=NO_FADT, status=0xC000000A, smi=[])),
    dict(name="RSDT of Length 0xFFFFFFFF is not walked", args=["/f9"],
         machine_patch={"acpi": {"rsdt_length": "0xFFFFFFFF"}},
         expect=dict(stdout=NO_FADT, status=0xC000000A, smi=[])),
    dict(name="FADT of Length 36", args=["/f9"],
         machine_patch={"acpi": {"tables": [dict(LEGACY_FADT[1], declared_length=36)]}},
         expect=dict(stdout=NO_FADT, status=0xC000000A, smi=[])),
    dict(name="FADT of Length 44", args=["/f9"],
         machine_patch={"acpi": {"tables": [dict(LEGACY_FADT[1], declared_length=44,
                                                 smi_cmd="0xFFFF")]}},
         expect=dict(stdout=NO_FADT, status=0xC000000A, smi=[])),
    dict(name="FADT of Length 52 is used", args=["/f9"],
         machine_patch={"acpi": {"tables": [dict(LEGACY_FADT[1], declared_length=52,
                                                 smi_cmd="0xB2")]}},
         expect=dict(stdout=OK, status=0)),
    dict(name="SMBIOS entry point of length 0", args=["/b", "x.dat"],
         machine_patch={"bytes": [{"address": "0xF0040", "ascii": "AMIBIOS"},
                                  {"address": "0xF5005", "hex": "00"}]},
         expect=dict(stdout=NO_VERSION, status=0xC000000B)),
    dict(name="type 0 of Length 5 has no BIOS Version field", args=["/b", "x.dat"],
         machine_patch={"smbios": {"structures": [
             {"formatted": "00 05 00 00 01", "strings": ["\u0002Corvane", "M1KT52AUS"]}]}},
         expect=dict(stdout=NO_VERSION, status=0xC000000B)),
    dict(name="type 0 larger than 128 bytes", args=["/b", "x.dat", "/Verbose"],
         machine_patch={"smbios": {"structures": [
             {"type": 0, "vendor": "V" * 100, "bios_version": "S03KT39A"}]}},
         expect=dict(status=0, stdout_contains=["Bios id: 03\n", "Bios revision: 39\n", OK],
                     check=verbose_dump_problems)),

    # Tagwell on machines without a signature in the legacy area.
    dict(name="tagwell uefi-only desktop: AMI by the firmware vendor",
         machine="uefi-desktop", files=TOOLS, tool="Tagwell", args=["/sn:x", "/verbose"],
         expect=dict(stdout_contains=["AMI BIOS is found.\n", DONE], status=0,
                     shell=['AMIDEEFIx64.efi /ss "x"'])),
    dict(name="tagwell uefi-only desktop: AMI by SMBIOS", machine="uefi-desktop",
         machine_patch=type0_vendor("American Megatrends Inc."), files=TOOLS, tool="Tagwell",
         args=["/sn:x"],
         expect=dict(stdout_contains=[DONE], status=0, shell=['AMIDEEFIx64.efi /ss "x"'])),
    dict(name="tagwell uefi-only desktop: Insyde by SMBIOS", machine="uefi-desktop",
         machine_patch=type0_vendor("INSYDE Corp."), files=TOOLS, tool="Tagwell",
         args=["/sn:x"],
         expect=dict(stdout_contains=[DONE], status=0, shell=['H2OSDE-Sx64.efi -SS "x"'])),
    dict(name="tagwell uefi-only desktop: Insyde by the firmware vendor", machine="uefi-desktop",
         machine_patch=type0_vendor("Corvane", "Insyde Corp."), files=TOOLS, tool="Tagwell",
         args=["/sn:x"],
         expect=dict(stdout_contains=[DONE], status=0, shell=['H2OSDE-Sx64.efi -SS "x"'])),
    dict(name="tagwell uefi-only desktop: Phoenix by SMBIOS", machine="uefi-desktop",
         machine_patch=type0_vendor("Phoenix Technologies Ltd."), files=TOOLS, tool="Tagwell",
         args=["/sn:x"], expect=dict(stdout=UNKNOWN, status=-1, shell=[])),
    dict(name="tagwell uefi-only desktop: the machine's maker names no vendor",
         machine="uefi-desktop", machine_patch=type0_vendor("Corvane"), files=TOOLS,
         tool="Tagwell", args=["/sn:x"], expect=dict(stdout=UNKNOWN, status=-1, shell=[])),
]
