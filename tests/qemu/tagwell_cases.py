"""QEMU cases of Tagwell: the real Tagwell.efi runs the vendor tool double (VendorDouble.efi,
copied onto the disk under the vendor tool's name) through the real UEFI shell, on test
machines with each vendor signature. The double prints the arguments it received, so each
case checks exactly what reached the tool.

The groups are the suite "tagwell" (ctest qemu.tagwell). A group file given as a callable is
made from the build directory (the double is built into BUILD/test-efi). Run on their own:

    python3 tests/qemu/run_qemu_tests.py --build BUILD_DIR --suite tagwell

A command line of a case is a line of startup.nsh, which the shell parses once before Tagwell
sees its arguments: script_word escapes for that. A "%" followed by a digit is a script
parameter there even when escaped, so such values are typed at the questions instead.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from cases import SHELL_SPECIAL, Case, Group  # noqa: E402
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from tagwell_texts import *  # noqa: E402,F401,F403

USAGE_ERROR = 0xC0000001
NO_VENDOR = 0xFFFFFFFF
NO_TOOL = 0xC0000003
CHILD_FAILED = 0xC000000B


DOUBLE_START = re.compile(r"Vendor tool double received (\d+) arguments:\n")
DOUBLE_END = re.compile(r"Vendor tool double ends with status 0x([0-9A-F]+)\.\n")


def double_efi(build: Path) -> Path:
    return Path(build) / "test-efi" / "VendorDouble.efi"


def script_word(text: str) -> str:
    """One argument on a startup.nsh line: quoted, with the characters that the shell's one
    parse of a script line acts on escaped by one '^'."""
    return '"' + "".join("^" + c if c in SHELL_SPECIAL else c for c in text) + '"'


def tagwell(*arguments: str) -> str:
    return " ".join(["Tagwell.efi", *(script_word(a) for a in arguments)])


def received(words: list[str], *, status: int = 0, done: bool = True,
             prompts: str = ""):
    """A check: the double ran once and received exactly these arguments; Tagwell's own
    output is its banner, the echo of the questions (when asked), and its closing message."""
    def check(result) -> str | None:
        out = result.stdout
        starts = list(DOUBLE_START.finditer(out))
        if len(starts) != 1:
            return f"the vendor tool double ran {len(starts)} times:\n{out}"
        count = int(starts[0].group(1))
        lines = out[starts[0].end():].split("\n")
        got = [line[1:-1] for line in lines[:count]]
        end = DOUBLE_END.match("\n".join(lines[count:]) if count < len(lines) else "")
        problems = []
        if got != words or any(not (l.startswith("[") and l.endswith("]"))
                               for l in lines[:count]):
            problems.append(f"the tool received {lines[:count]!r}, expected {words!r}")
        if end is None or int(end.group(1), 16) != status:
            problems.append(f"the double did not end with status 0x{status:X}")
        if not out.startswith(BANNER + prompts):
            what = "the banner and the questions" if prompts else "the banner"
            problems.append(f"output does not start with {what}")
        if done != out.endswith(DONE):
            problems.append("closing message " + ("missing" if done else "printed"))
        return "; ".join(problems) + f"\n{out}" if problems else None
    return check


def tool_case(name: str, line: str, words: list[str], **expect) -> Case:
    status = expect.pop("double_status", 0)
    done = expect.pop("done", True)
    prompts = expect.pop("prompts", "")
    return Case(name, line, status=expect.pop("status", 0),
                check=received(words, status=status, done=done, prompts=prompts), **expect)


def failed_tool_case(name: str, line: str, words: list[str], tool: str, **expect) -> Case:
    """The tool ran and ended with 0x8000000E: Tagwell names it and fails with 0xC000000B."""
    return tool_case(name, line, words, double_status=0x8000000E, done=False,
                     status=CHILD_FAILED,
                     ends_with=f"\n{tool} failed with status 0x8000000E.\n", **expect)


# Values the shell would change or cut if they were not escaped, given on the command line.
HOSTILE_1 = dict(sn='a"b', tag="x%path%y", csn="p#q|r^s", mtm="<50%>-?")
HOSTILE_2 = dict(sn=" s ", tag="*.efi", csn="-b", mtm="/?")
HOSTILE_3 = dict(sn="%lasterror%", tag='^^^"', csn="'`~!&()=;,", mtm="a%nosuch%b")
QUOTES_29 = '"' * 29


def hostile_case(name: str, values: dict) -> Case:
    return tool_case(name, tagwell("/sn:" + values["sn"], "/tag:" + values["tag"],
                                   "/csn:" + values["csn"], "/mtm:" + values["mtm"]),
                     ["/sp", values["mtm"], "/ss", values["sn"], "/cs", values["csn"],
                      "/ca", values["tag"]])


AMI_GROUP = Group("Tagwell: AMI machine", "ami.json", [
    tool_case("serial, machine type and uuid", "Tagwell.efi /sn:abcd /mtm:WX20 /uuid",
              ["/sp", "WX20", "/ss", "abcd", "/su", "auto"]),
    tool_case("uuid alone", "Tagwell.efi /uuid", ["/su", "auto"]),
    tool_case("all five in the vendor's order", "Tagwell.efi /TAG:t /uuid /CSN:c /sn:s /mtm:m",
              ["/sp", "m", "/ss", "s", "/cs", "c", "/su", "auto", "/ca", "t"]),
    tool_case("value with spaces stays one argument", tagwell("/sn:two  words"),
              ["/ss", "two  words"]),
    hostile_case("quote, variable, comment, pipe, escape and redirection characters",
                 HOSTILE_1),
    hostile_case("spaces, wildcard and words the shell might take as its own", HOSTILE_2),
    hostile_case("shell variables and other punctuation", HOSTILE_3),
    tool_case("29 double quotes", tagwell("/sn:" + QUOTES_29), ["/ss", QUOTES_29]),
    Case("30 characters are refused, not cut", "Tagwell.efi /sn:" + "x" * 30,
         stdout="The value of /sn: is longer than 29 characters.\n" + USAGE,
         status=USAGE_ERROR, host=True),
    Case("value the shell would take as a help request is refused", tagwell("/tag:-?"),
         stdout='The value of /tag: cannot begin with "-?".\n' + USAGE, status=USAGE_ERROR),
    # startup.nsh is ASCII: a script in UCS-2 carries the character above 0xFF.
    Case("value with a character above 0xFF is refused, not sent as '?'", "euro.nsh",
         contains=("The value of /sn: contains a character outside printable ASCII.\n" + USAGE,),
         status=USAGE_ERROR),
    tool_case("character above 0xFF typed is not taken", "Tagwell.efi", ["/ss", "ab"],
              stdin="y\na\u20acb\nn\n",
              prompts=Q_SN + "y\b\n" + P_SN + "a\ab\n" + Q_MTM + "n\b\n"),
    Case("option twice", "Tagwell.efi /sn:A1 /SN:B2", stdout=BANNER[1:] + USAGE,
         status=USAGE_ERROR, host=True),
    Case("empty value", "Tagwell.efi /sn:", stdout=USAGE, status=USAGE_ERROR, host=True),
    Case("verbose run lists the arguments and the command line",
         tagwell("/verbose", '/sn:a"b'),
         contains=("Calling GetBiosVendor...\nAMI BIOS is found.\nProcessing update smbios...\n"
                   'Arguments passed to AMIDEEFIx64.efi: \nAMIDEEFIx64.efi /ss "a"b" \n'
                   'Arguments passed to AMIDEEFIx64.efi :\nAMIDEEFIx64.efi /ss "a^^^"b"\n',
                   'Vendor tool double received 2 arguments:\n[/ss]\n[a"b]\n'),
         ends_with=DONE, status=0),
    tool_case("questions answered yes", "Tagwell.efi", ["/sp", "MT-2", "/ss", "SN 01"],
              stdin="y\nSN 01\nY\nMT-2\n",
              prompts=Q_SN + "y\b\n" + P_SN + "SN 01\n" + Q_MTM + "Y\b\n" + P_MTM + "MT-2\n"),
    tool_case("typed values the shell would otherwise change", "Tagwell.efi",
              ["/sp", "-x%path% %1 > y", "/ss", 'a"^%#|<> '],
              stdin='y\na"^%#|<> \ny\n-?x%path% %1 > y\n',
              prompts=Q_SN + "y\b\n" + P_SN + 'a"^%#|<> \n' + Q_MTM + "y\b\n" + P_MTM
              + "-\ax%path% %1 > y\n"),
    tool_case("delete character typed", "Tagwell.efi", ["/ss", "a\x7fb"],
              stdin="y\na\x7fb\nn\n",
              prompts=Q_SN + "y\b\n" + P_SN + "a\x7fb\n" + Q_MTM + "n\b\n"),
    tool_case("Enter on an empty value waits for one", "Tagwell.efi", ["/ss", "ok"],
              stdin="y\n\nok\nn\n",
              prompts=Q_SN + "y\b\n" + P_SN + "\aok\n" + Q_MTM + "n\b\n"),
    Case("both questions declined: no tool, still the closing message", "Tagwell.efi",
         stdin="n\nN\n", stdout=BANNER + Q_SN + "n\b\n" + Q_MTM + "N\b\n" + DONE, status=0),
    Case("end of input answers no", "Tagwell.efi", stdin="",
         stdout=BANNER + Q_SN + "\n" + Q_MTM + "\n" + DONE, status=0),
    Case("quiet alone", "Tagwell.efi /quiet", stdout=BANNER, status=0, host=True),
], files={"AMIDEEFIx64.efi": double_efi,
         "euro.nsh": "\ufeffTagwell.efi /sn:\u20ac\r\n".encode("utf-16-le")})

INSYDE_GROUP = Group("Tagwell: Insyde machine, failing tool", "insyde.json", [
    failed_tool_case("serial, machine type and uuid", "Tagwell.efi /sn:abcd /mtm:WX20 /uuid",
                     ["-SP", "WX20", "-SS", "abcd", "-SU", "AUTO"], "H2OSDE-Sx64.efi"),
    failed_tool_case("asset tag and chassis serial", "Tagwell.efi /tag:T9 /csn:C7",
                     ["-CS", "C7", "-CA", "T9"], "H2OSDE-Sx64.efi"),
    failed_tool_case("all five in the vendor's order",
                     "Tagwell.efi /tag:t /uuid /csn:c /SN:s /Mtm:m",
                     ["-SP", "m", "-SS", "s", "-CS", "c", "-SU", "AUTO", "-CA", "t"],
                     "H2OSDE-Sx64.efi"),
    failed_tool_case("quiet update", "Tagwell.efi /quiet /uuid", ["-SU", "AUTO"],
                     "H2OSDE-Sx64.efi"),
], files={"H2OSDE-Sx64.efi": double_efi, "VDSTATUS.TXT": b"0x8000000E\r\n"})

# The reset ends the boot: the reboot case comes last, and its output, still in the shell's
# file cache when the machine resets, is lost.
NO_TOOL_GROUP = Group("Tagwell: AMI machine without the tool", "ami.json", [
    Case("tool missing", "Tagwell.efi /uuid",
         stdout=BANNER + "AMIDEEFIx64.efi is not in the current directory.\n", status=NO_TOOL,
         host=True),
    Case("tool looked for before the questions", "Tagwell.efi", stdin="y\nSN\ny\nMT\n",
         stdout=BANNER + "AMIDEEFIx64.efi is not in the current directory.\n", status=NO_TOOL),
    Case("reboot counts down and resets the machine", "Tagwell.efi /reboot /verbose",
         resets=True),
])


def unknown_vendor_cases() -> list[Case]:
    return [
        Case("default mode", "Tagwell.efi", stdin="y\nSN\n", stdout=UNKNOWN, status=NO_VENDOR),
        Case("quiet alone", "Tagwell.efi /quiet", stdout=UNKNOWN, status=NO_VENDOR, host=True),
        Case("update", "Tagwell.efi /sn:x /uuid", stdout=UNKNOWN, status=NO_VENDOR, host=True),
    ]


def smbios_vendor_group(vendor: str, cases: list[Case]) -> Group:
    """Unpatched OVMF: no signature in the legacy area, FirmwareVendor "EDK II", and the SMBIOS
    type 0 vendor that QEMU's option sets."""
    return Group(f"Tagwell: unpatched OVMF, SMBIOS vendor {vendor}", None, cases,
                 files={"AMIDEEFIx64.efi": double_efi, "H2OSDE-Sx64.efi": double_efi},
                 qemu_args=("-smbios", f"type=0,vendor={vendor},version=M1KT52AUS"))


GROUPS = [
    smbios_vendor_group("American Megatrends Inc.", [
        tool_case("the AMI tool runs", "Tagwell.efi /uuid", ["/su", "auto"])]),
    smbios_vendor_group("INSYDE Corp.", [
        tool_case("the Insyde tool runs", "Tagwell.efi /uuid", ["-SU", "AUTO"])]),
    smbios_vendor_group("Phoenix Technologies Ltd.", [
        Case("unknown vendor", "Tagwell.efi /uuid", stdout=UNKNOWN, status=NO_VENDOR)]),
    AMI_GROUP,
    INSYDE_GROUP,
    NO_TOOL_GROUP,
    Group("Tagwell: AMI machine, a tool file that is no image", "ami.json", [
        Case("the shell cannot start the tool", "Tagwell.efi /uuid", status=CHILD_FAILED,
             ends_with="\nAMIDEEFIx64.efi could not be started: status 0x3.\n"),
    ], files={"AMIDEEFIx64.efi": b"MZ\x90\x00 not an image"}),
    Group("Tagwell: Phoenix below AMI", "phoenix.json", unknown_vendor_cases(),
          files={"AMIDEEFIx64.efi": double_efi}),
    Group("Tagwell: no signature", "none.json", unknown_vendor_cases(),
          files={"AMIDEEFIx64.efi": double_efi}),
    Group("Tagwell: stock OVMF", None, [
        Case("no vendor", "Tagwell.efi /uuid", stdout=UNKNOWN, status=NO_VENDOR),
    ]),
]
