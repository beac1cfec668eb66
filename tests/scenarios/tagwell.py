# Tagwell runs on simulated machines: options, vendor detection, the vendor tool's arguments
# (recorded by the vendor tool double in ARGS.TXT), the questions, the countdown.

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from tagwell_texts import *  # noqa: E402,F401,F403

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
DOUBLE = (ROOT / "tools" / "vendor-double" / "vendor_double.py").read_text()
AMI_TOOL = {"AMIDEEFIx64.efi": DOUBLE}
INSYDE_TOOL = {"H2OSDE-Sx64.efi": DOUBLE}

COUNTDOWN = "".join("\rRebooting Countdown: %d" % n for n in range(5, -1, -1)) + "\r"


def args_file(*words):
    return "".join(word + "\n" for word in words)


def double_out(*words, status=0):
    """What the vendor tool double prints for the arguments it received."""
    return ("Vendor tool double received %d arguments:\n" % len(words)
            + "".join("[%s]\n" % word for word in words)
            + "Vendor tool double ends with status 0x%X.\n" % status)


def usage_error(args, stdout=ERROR_BANNER + USAGE):
    return dict(machine="ami.json", files=AMI_TOOL, tool="Tagwell", args=args,
                expect=dict(stdout=stdout, status=0xC0000001, shell=[],
                            files={"ARGS.TXT": None}))


def tool_run(name, machine, files, args, line, words):
    return dict(name=name, machine=machine, files=files, tool="Tagwell", args=args,
                expect=dict(stdout=BANNER + double_out(*words) + DONE, status=0, shell=[line],
                            files={"ARGS.TXT": args_file(*words)}))


SCENARIOS = [
    # The vendor tool's command lines.
    tool_run("tagwell ami serial, machine type and uuid", "ami.json", AMI_TOOL,
             ["/sn:abcd", "/mtm:WX20", "/uuid"],
             'AMIDEEFIx64.efi /sp "WX20" /ss "abcd" /su auto',
             ["/sp", "WX20", "/ss", "abcd", "/su", "auto"]),
    tool_run("tagwell insyde serial, machine type and uuid", "insyde.json", INSYDE_TOOL,
             ["/sn:abcd", "/mtm:WX20", "/uuid"],
             'H2OSDE-Sx64.efi -SP "WX20" -SS "abcd" -SU AUTO',
             ["-SP", "WX20", "-SS", "abcd", "-SU", "AUTO"]),
    tool_run("tagwell insyde all five in the vendor's order", "insyde.json", INSYDE_TOOL,
             ["/TAG:t 1", "/uuid", "/Csn:c", "/sn:Ab12", "/MTM:m"],
             'H2OSDE-Sx64.efi -SP "m" -SS "Ab12" -CS "c" -SU AUTO -CA "t 1"',
             ["-SP", "m", "-SS", "Ab12", "-CS", "c", "-SU", "AUTO", "-CA", "t 1"]),
    tool_run("tagwell values the shell would otherwise change reach the tool unchanged",
             "ami.json", AMI_TOOL,
             ['/sn:a"b', "/tag:x%path%y", "/csn:p#q|r^s", "/mtm:<50%> -?"],
             'AMIDEEFIx64.efi /sp "^^^<50^^^%^^^> -?" /ss "a^^^"b" /cs "p^^^#q^^^|r^^^^s" '
             '/ca "x^^^%path^^^%y"',
             ["/sp", "<50%> -?", "/ss", 'a"b', "/cs", "p#q|r^s", "/ca", "x%path%y"]),
    dict(name="tagwell verbose run lists the arguments and the command line",
         machine="ami.json", files=AMI_TOOL, tool="Tagwell", args=["/verbose", '/sn:a"b'],
         expect=dict(status=0, shell=['AMIDEEFIx64.efi /ss "a^^^"b"'],
                     stdout=BANNER + VERBOSE_AMI + "Processing update smbios...\n"
                     'Arguments passed to AMIDEEFIx64.efi: \nAMIDEEFIx64.efi /ss "a"b" \n'
                     'Arguments passed to AMIDEEFIx64.efi :\nAMIDEEFIx64.efi /ss "a^^^"b"\n'
                     + double_out("/ss", 'a"b') + DONE)),
    dict(name="tagwell quiet update prints no closing message", machine="ami.json",
         files=AMI_TOOL, tool="Tagwell", args=["/quiet", "/csn:Q"],
         expect=dict(stdout=BANNER + double_out("/cs", "Q"), status=0,
                     files={"ARGS.TXT": args_file("/cs", "Q")})),
    # A tool that runs and fails: through the shell protocol its status comes back and the run
    # fails with it; the older shell interface returns no status, so the run counts as done.
    dict(name="tagwell tool ending with an error fails the run", machine="ami.json",
         files=dict(AMI_TOOL, **{"VDSTATUS.TXT": "0x8000000E"}), tool="Tagwell",
         args=["/uuid"],
         expect=dict(stdout=BANNER + double_out("/su", "auto", status=0x8000000E)
                     + "\nAMIDEEFIx64.efi failed with status 0x8000000E.\n",
                     status=0xC000000B, files={"ARGS.TXT": args_file("/su", "auto")})),
    dict(name="tagwell quiet tool ending with a small status fails the run", machine="insyde.json",
         files=dict(INSYDE_TOOL, **{"VDSTATUS.TXT": "3"}), tool="Tagwell",
         args=["/quiet", "/sn:X1"],
         expect=dict(stdout=BANNER + double_out("-SS", "X1", status=3)
                     + "\nH2OSDE-Sx64.efi failed with status 0x3.\n",
                     status=0xC000000B)),
    dict(name="tagwell tool ending with an error, older shell interface: counts as done",
         machine="ami.json", machine_patch={"shell_interface": "environment2"},
         files=dict(AMI_TOOL, **{"VDSTATUS.TXT": "0x8000000E"}), tool="Tagwell",
         args=["/uuid"],
         expect=dict(stdout=BANNER + double_out("/su", "auto", status=0x8000000E) + DONE,
                     status=0, files={"ARGS.TXT": args_file("/su", "auto")})),
    dict(name="tagwell no shell interface", machine="ami.json",
         machine_patch={"shell_interface": "none"}, files=AMI_TOOL, tool="Tagwell",
         args=["/uuid"],
         expect=dict(stdout=BANNER + "\nChild process failed. Return code: 1\n",
                     status=0xC000000B, files={"ARGS.TXT": None})),
    dict(name="tagwell tool the shell cannot run", machine="ami.json",
         files={"AMIDEEFIx64.efi": b"MZ\x90\x00 not a host program"}, tool="Tagwell",
         args=["/uuid"],
         expect=dict(stdout=BANNER + "\nAMIDEEFIx64.efi could not be started: status 0x3.\n",
                     status=0xC000000B, shell=["AMIDEEFIx64.efi /su auto"])),

    # Vendors and the tool file.
    dict(name="tagwell tool missing", machine="ami.json", tool="Tagwell", args=["/uuid"],
         expect=dict(stdout=BANNER + "AMIDEEFIx64.efi is not in the current directory.\n",
                     status=0xC0000003, shell=[])),
    dict(name="tagwell insyde wants its own tool", machine="insyde.json", files=AMI_TOOL,
         tool="Tagwell", args=["/sn:1"],
         expect=dict(stdout=BANNER + "H2OSDE-Sx64.efi is not in the current directory.\n",
                     status=0xC0000003, shell=[])),
    dict(name="tagwell default mode looks for the tool before asking", machine="ami.json",
         tool="Tagwell", args=[], stdin="y\nSN\ny\nMT\n",
         expect=dict(stdout=BANNER + "AMIDEEFIx64.efi is not in the current directory.\n",
                     status=0xC0000003)),
    dict(name="tagwell unsupported or no vendor in every mode", files=AMI_TOOL,
         steps=[dict(tool="Tagwell", args=args, stdin="y\nSN\n",
                     expect=dict(stdout=UNKNOWN, status=-1, shell=[]))
                for args in ([], ["/quiet"], ["/reboot"], ["/uuid", "/sn:1"])],
         machine="phoenix.json"),
    dict(name="tagwell no signature", machine="none.json", files=AMI_TOOL, tool="Tagwell",
         args=["/sn:x"], expect=dict(stdout=UNKNOWN, status=-1, shell=[])),
    dict(name="tagwell verbose names an unknown vendor too", machine="none.json",
         tool="Tagwell", args=["/verbose"],
         expect=dict(stdout=BANNER + "Calling GetBiosVendor...\nUnknown BIOS Vendor.\n",
                     status=-1)),
    dict(name="tagwell lower-case signature on the built-in machine's place",
         machine="none.json", machine_patch={"bytes": [{"address": "0xF0040",
                                                        "ascii": "amibios"}]},
         files=AMI_TOOL, tool="Tagwell", args=["/verbose"],
         expect=dict(stdout=BANNER + VERBOSE_AMI + DONE, status=0)),

    # Switches without an update.
    dict(name="tagwell quiet alone", machine="ami.json", tool="Tagwell", args=["/quiet"],
         expect=dict(stdout=BANNER, status=0, shell=[])),
    dict(name="tagwell reboot and verbose: no questions, countdown and reset",
         machine="ami.json", tool="Tagwell", args=["/reboot", "/Verbose"],
         expect=dict(stdout=BANNER + VERBOSE_AMI + DONE + COUNTDOWN, status=0,
                     shell=["reset"])),

    # The questions.
    dict(name="tagwell default mode both answered yes", machine="ami.json", files=AMI_TOOL,
         tool="Tagwell", args=[], stdin="y\nSN 01\nY\nMT-2\n",
         expect=dict(stdout=BANNER + Q_SN + "y\b\n" + P_SN + "SN 01\n" + Q_MTM + "Y\b\n"
                     + P_MTM + "MT-2\n" + double_out("/sp", "MT-2", "/ss", "SN 01") + DONE,
                     status=0,
                     shell=['AMIDEEFIx64.efi /sp "MT-2" /ss "SN 01"'],
                     files={"ARGS.TXT": args_file("/sp", "MT-2", "/ss", "SN 01")})),
    dict(name="tagwell default mode both declined runs no tool", machine="ami.json",
         files=AMI_TOOL, tool="Tagwell", args=[], stdin="n\nN\n",
         expect=dict(stdout=BANNER + Q_SN + "n\b\n" + Q_MTM + "N\b\n" + DONE, status=0,
                     shell=[], files={"ARGS.TXT": None})),
    dict(name="tagwell reboot alone asks, then counts down and resets", machine="insyde.json",
         files=INSYDE_TOOL, tool="Tagwell", args=["/REBOOT"], stdin="x\nn\ny\nQ7\n",
         expect=dict(stdout=BANNER + Q_SN + "n\b\n" + Q_MTM + "y\b\n" + P_MTM + "Q7\n"
                     + double_out("-SP", "Q7") + DONE + COUNTDOWN, status=0,
                     shell=['H2OSDE-Sx64.efi -SP "Q7"', "reset"],
                     files={"ARGS.TXT": args_file("-SP", "Q7")})),
    dict(name="tagwell typed values the shell would otherwise change", machine="ami.json",
         files=AMI_TOOL, tool="Tagwell", args=[],
         stdin='y\n\na"^%#|\ny\n-?x%y%\b\n',
         expect=dict(stdout=BANNER + Q_SN + "y\b\n" + P_SN + '\aa"^%#|\n' + Q_MTM + "y\b\n"
                     + P_MTM + "-\ax%y%\b \b\n" + double_out("/sp", "-x%y", "/ss", 'a"^%#|')
                     + DONE, status=0,
                     files={"ARGS.TXT": args_file("/sp", "-x%y", "/ss", 'a"^%#|')})),
    dict(name="tagwell end of input at the questions is no", machine="ami.json",
         files=AMI_TOOL, tool="Tagwell", args=[], stdin="",
         expect=dict(stdout=BANNER + Q_SN + "\n" + Q_MTM + "\n" + DONE, status=0, shell=[])),
    dict(name="tagwell end of input ends the typed value", machine="ami.json",
         files=AMI_TOOL, tool="Tagwell", args=[], stdin="y\nabc",
         expect=dict(stdout=BANNER + Q_SN + "y\b\n" + P_SN + "abc\n" + Q_MTM + "\n"
                     + double_out("/ss", "abc") + DONE, status=0,
                     files={"ARGS.TXT": args_file("/ss", "abc")})),
    dict(name="tagwell end of input before any typed character gives no value",
         machine="ami.json", files=AMI_TOOL, tool="Tagwell", args=[], stdin="n\ny\n\n",
         expect=dict(stdout=BANNER + Q_SN + "n\b\n" + Q_MTM + "y\b\n" + P_MTM + "\a\n" + DONE,
                     status=0, shell=[], files={"ARGS.TXT": None})),

    # Usage errors.
    dict(name="tagwell option twice in another case", **usage_error(["/sn:A1", "/SN:B2"])),
    dict(name="tagwell word without slash", **usage_error(["/uuid", "abc"])),
    dict(name="tagwell empty value", **usage_error(["/uuid", "/sn:"], stdout=USAGE)),
    dict(name="tagwell value of 30 characters is refused, not cut",
         **usage_error(["/sn:" + "x" * 30],
                       stdout="The value of /sn: is longer than 29 characters.\n" + USAGE)),
    dict(name="tagwell value that would make the shell show help",
         **usage_error(["/tag:-?"], stdout='The value of /tag: cannot begin with "-?".\n'
                       + USAGE)),
    dict(name="tagwell value with a line break",
         **usage_error(["/csn:a\nb"],
                       stdout="The value of /csn: contains a control character.\n" + USAGE)),
    dict(name="tagwell value outside printable ASCII",
         **usage_error(["/sn:\u20ac"], stdout="The value of /sn: contains a character outside "
                       "printable ASCII.\n" + USAGE)),
    dict(name="tagwell value with a character the start-up code could not narrow",
         **usage_error(["/mtm:a\x1a"], stdout="The value of /mtm: contains a character outside "
                       "printable ASCII.\n" + USAGE)),
    dict(name="tagwell value with a delete character",
         **usage_error(["/tag:x\x7f"], stdout="The value of /tag: contains a character outside "
                       "printable ASCII.\n" + USAGE)),
]
