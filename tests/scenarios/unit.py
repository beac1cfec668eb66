# Unit on simulated machines: the line it prints, the unitid shell variable it sets (recorded in
# the machine's log), that it reads only (no SMI, no file, no shell command), and the done
# record it writes and checks.

UUID = "4C4C4544-0036-3010-8050-B4C04F4A4E32"


def system_info(**fields):
    """The built-in desktop with a type 1 structure of these fields."""
    return {"smbios": {"entry": "0xF5000", "table": "0xF5040",
                       "structures": [{"type": 0, "bios_version": "M1KT52AUS"},
                                      dict(type=1, **fields)]}}


def shell_variable(value, name="unitid"):
    """A check: unitid was set to the value once (an empty value removes it), and the run raised
    no SMI and ran no command."""
    def check(run):
        sets = [e for e in run.events if e.get("event") == "shell_variable"]
        problems = []
        if [(e["name"], e["value"]) for e in sets] != [(name, value)]:
            problems.append("shell variables set: %r, want %s=%r" % (sets, name, value))
        if any(e.get("event") in ("smi", "shell") for e in run.events):
            problems.append("Unit did more than read: %r" % run.events)
        kept = run.machine.get("shell_variables", {}).get(name)
        if kept != (value or None):
            problems.append("machine keeps %s=%r" % (name, kept))
        return problems
    return check


def unit(name, patch, line, value, args=(), status=0):
    return dict(name=name, machine=None, machine_patch=patch, tool="Unit", args=list(args),
                expect=dict(stdout=line + "\n", status=status, check=shell_variable(value),
                            files={}))


# The done record of unit AB/1 for stick 3fa9c2d1, run 4: the raw serial number in hex.
RECORD = ("unit-record 1\nstick 3fa9c2d1\nrun 4\nunit AB_1-85BD218A\nserial 41422F31\nuuid "
          + UUID + "\n")


def record(name, serial, args, stdout, status, variable=None, files=None):
    expect = dict(stdout=stdout, status=status, files={"done.txt": RECORD})
    if variable:
        expect["check"] = shell_variable(variable, "stick_done_run")
    return dict(name=name, machine=None, machine_patch=system_info(serial=serial, uuid=UUID),
                tool="Unit", args=args, files={"done.txt": RECORD} if files is None else files,
                expect=expect)


SCENARIOS = [
    record("unit writes its done record", "AB/1", ["/record", "done.txt", "3fa9c2d1", "4"], "",
           0, files={}),
    record("unit finds its own done record", "AB/1", ["/check", "done.txt", "3fa9c2d1"], "", 0,
           "4"),
    record("unit AB_1 is told apart from the record of AB/1", "AB_1",
           ["/check", "done.txt", "3fa9c2d1"], 'the done record done.txt names another unit '
           '(serial "AB/1", uuid ' + UUID + '), not this unit\n', 0xC0000010),
    unit("unit serial number is the id, Secure Boot on",
         dict(system_info(serial="PF3-ABC 12", uuid=UUID),
              variables={"SecureBoot": 1, "SetupMode": 0}),
         'unit PF3-ABC_12-5CEDF82C: manufacturer "Corvane", product "Desk", serial "PF3-ABC 12", uuid '
         + UUID + ', BIOS "M1KT52AUS", Secure Boot on', "PF3-ABC_12-5CEDF82C"),
    unit("unit placeholder serial falls back to the UUID, Secure Boot off",
         dict(system_info(serial="To Be Filled By O.E.M.", uuid=UUID),
              variables={"SecureBoot": 0, "SetupMode": 0}),
         'unit ' + UUID + ': manufacturer "Corvane", product "Desk", serial "To Be Filled By '
         'O.E.M.", uuid ' + UUID + ', BIOS "M1KT52AUS", Secure Boot off', UUID),
    unit("unit no usable id removes the variable, setup mode",
         dict(system_info(manufacturer='Q"uo\\te', serial="0000",
                          uuid="00000000-0000-0000-0000-000000000000"),
              variables={"SecureBoot": 0, "SetupMode": 1},
              shell_variables={"unitid": "EARLIER-UNIT"}),
         'unit none (no usable serial number or UUID): manufacturer "Q?uo?te", product "Desk", '
         'serial "0000", uuid 00000000-0000-0000-0000-000000000000, BIOS "M1KT52AUS", '
         'Secure Boot setup mode', ""),
    unit("unit db larger than Unit reads",
         dict(system_info(serial="PF3", uuid=UUID), variables={"db": {
             "guid": "D719B2CB-3D3A-4596-A3BC-DAD00E67656F", "hex": "00" * 0x10001}}),
         'unit PF3: manufacturer "Corvane", product "Desk", serial "PF3", uuid ' + UUID +
         ', BIOS "M1KT52AUS", Secure Boot unknown\ndb owner A0BAA8A3-041D-48A8-BC87-C36D121B5E3D:'
         ' not read (db is larger than 65536 bytes)', "PF3",
         args=["/owner", "a0baa8a3-041d-48a8-bc87-c36d121b5e3d"]),
    unit("unit machine without SMBIOS", {"smbios": None},
         'unit none (no SMBIOS tables): manufacturer "", product "", serial "", uuid none, '
         'BIOS "", Secure Boot unknown', ""),
    dict(name="unit takes no arguments", machine=None, tool="Unit", args=["/x"],
         expect=dict(stdout="Usage: Unit (no arguments): prints the unit line and sets "
                            "%unitid%.\n       Unit /owner GUID: the same, then the line of "
                            "the certificates db holds under the owner GUID.\n"
                            "       Unit /record FILE STICKID RUN: writes this "
                            "unit's done record.\n       Unit /check FILE STICKID: 0 when FILE "
                            "is this unit's done record of the stick (its run in "
                            "%stick_done_run%).\n", status=0xC0000001, shell=[])),
]
