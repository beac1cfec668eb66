# Crestune's start of a run: port discovery, help screening and the one-operation rule.

HELP = dict(stdout_file="crestune-help.txt", status=0xC0000001)
NO_PORT = "Get SMI port number failed.\n"

SCENARIOS = [
    dict(name="help without arguments", args=[], expect=HELP),
    dict(name="help when the first word has no slash", args=["settings.dat", "/b", "x"],
         expect=HELP),
    dict(name="help for /?", args=["/?"], expect=HELP),
    dict(name="help wins over a valid backup", args=["/b", "x.dat", "/HELP"], expect=HELP),
    dict(name="help wins over defaults", args=["/f9", "/h"], expect=HELP),
    dict(name="help for any word starting /h", args=["/pbs", "sata1", "/hdd"], expect=HELP),
    dict(name="help wins over a malformed word", args=["/b", "/?"], expect=HELP),
    dict(name="a lone slash word is no help request", args=["/"],
         expect=dict(stdout="0.One or more arguments are invalid.\n", status=0xC0000001)),
    dict(name="unknown word alone is no operation", args=["/xyz"],
         expect=dict(stdout="0.One or more arguments are invalid.\n", status=0xC0000001)),
    dict(name="no RSDP: even help fails", args=["/?"], machine_patch={"acpi": None},
         host_only="OVMF always publishes an RSDP in its configuration table",
         expect=dict(stdout="Can't find RSDP structure anchor string.\n" + NO_PORT,
                     status=0xC000000A)),
    dict(name="RSDT without entries", args=["/?"], machine_patch={"acpi": {"rsdt_length": 36}},
         expect=dict(stdout="Can't find FADT structure anchor string.\n" + NO_PORT,
                     status=0xC000000A)),
    dict(name="FADT naming port 0 is no port", args=["/f9"],
         machine_patch={"acpi": {"tables": [
             {"address": "0xF6200", "signature": "FACP", "smi_cmd": 0}]}},
         expect=dict(stdout="The FADT names no SMI command port.\n" + NO_PORT,
                     status=0xC000000A)),
]
