# Setting options sent to the firmware: one request per selected row, in table order, with the
# current password hash; query answers; refusals explained by the firmware's status bits.

OK = "BIOS setting processing successfully completed...\n\n"
HASH_ABC = "7C7873FAC63A9BE8166E39DD"
ZERO_HASH = "0" * 24


def setting(eax, ebx, ecx, **fields):
    return dict(eax="0x%08X" % eax, ebx="0x%08X" % ebx, ecx="0x%08X" % ecx, **fields)


def inject(*entries):
    return {"firmware": {"inject": list(entries)}}


FIRST = [dict(request="IsMfgDoneSet"), dict(request="CheckPasswordInstalled")]
LAST = [dict(request="UpdateChecksum")]

SCENARIOS = [
    dict(name="settings go out in table order with the hash address in EDI",
         machine_patch={"firmware": {"admin_password": "abc"}},
         args=["/csm", "disable", "/pbs", "sata1", "/pass", "abc"],
         expect=dict(stdout=OK, status=0, smi=FIRST + [dict(request="ComputeHash")] + [
             setting(0x534D0040, 0x01, 0x11, hash=HASH_ABC),
             setting(0x534D0040, 0x11, 0x00, hash=HASH_ABC)] + LAST)),
    dict(name="settings without a password hand a zero hash",
         args=["/csm", "disable"],
         expect=dict(stdout=OK, status=0, smi=FIRST + [
             setting(0x534D0040, 0x11, 0x00, hash=ZERO_HASH)] + LAST)),
    dict(name="help text example 2", machine_patch={"firmware": {"admin_password": "SAT"}},
         args=["/pbs", "sata1", "/pass_scan", "1f1e14"],
         expect=dict(stdout=OK, status=0, smi=FIRST + [dict(request="ComputeHash")] + [
             setting(0x534D0040, 0x01, 0x11)] + LAST)),
    dict(name="single slots and masks share their item",
         machine_patch={"firmware": {"workstation": True}},
         args=["/sata1hotplug", "/sata2hotplug", "/m2slot", "3000", "/misc2", "5"],
         expect=dict(status=0, smi=FIRST + [
             setting(0x534D0040, 0xA9, 0x1), setting(0x534D0040, 0xA9, 0x2),
             setting(0x534D0040, 0xAE, 0x3000), setting(0x534D0040, 0xFF, 0x5)] + LAST)),
    dict(name="computrace words use their own function words",
         args=["/perdiscpt", "/discptmsg", "/encptmsg", "/setcpt", "hidden"],
         expect=dict(status=0, smi=FIRST + [
             setting(0x534D8D20, 0, 0), setting(0x534D8E20, 0, 0), setting(0x534D9020, 0, 0),
             setting(0x534DAB20, 1, 1)] + LAST)),
    dict(name="a query named twice is sent once", args=["/getcpt", "/getcpt"],
         expect=dict(status=0, smi=FIRST + [setting(0x534DAB20, 0, 0)] + LAST)),
    dict(name="second of three settings refused: first sent, third never",
         machine_patch=inject({"eax": "0x534D0040", "ebx": "0x11", "status": "0x4"}),
         args=["/ipv6", "disable", "/pbs", "fdd", "/csm", "enable"],
         expect=dict(stdout="The smi input argument is invalid.\nReturn code: 00000004h\n",
                     status=0xC0000006, smi=FIRST + [
                         setting(0x534D0040, 0x01, 0x01), setting(0x534D0040, 0x11, 0x01)])),
    dict(name="ME control refused for both reasons",
         machine_patch=inject({"eax": "0x534D0740", "status": "0x18"}), args=["/me", "enable"],
         expect=dict(stdout="Return code: 00000018h\nThere is no ME control GPIO present.\n"
                     "MFGDONE is set to prevent changing ME control GPIO status.\n",
                     status=0xC0000006)),
    dict(name="SMC boot refused on a desktop",
         machine_patch=inject({"eax": "0x534D0040", "ebx": "0x16", "status": "0x10"}),
         args=["/pxe", "smc"],
         expect=dict(stdout="Return code: 00000010h\n"
                     "SMC wasn't be support!It's only used by workstation!\n",
                     status=0xC0000006)),
    dict(name="boot agent variable missing",
         machine_patch=inject({"eax": "0x534D0040", "ebx": "0x16", "status": "0x9"}),
         args=["/pxe", "enable"],
         expect=dict(stdout="The input password is not correct.\nReturn code: 00000009h\n"
                     "The Boot Agent Variable can't be found.\n", status=0xC0000006)),
    dict(name="other rows print no status bits", machine_patch=inject(
        {"eax": "0x534D0040", "ebx": "0x11", "status": "0x18"}), args=["/csm", "enable"],
         expect=dict(stdout="Return code: 00000018h\n", status=0xC0000006)),
    dict(name="TPM query refused: the switch goes ahead without a prompt",
         machine_patch=inject({"eax": "0x534D0040", "ebx": "4", "ecx": "0xFFFFFFFF",
                               "status": "0x80000000"}),
         args=["/dtpm", "active"], stdin="n\n",
         expect=dict(stdout=OK, status=0, smi=FIRST[:0] + [
             setting(0x534D0040, 4, 0xFFFFFFFF), dict(request="IsMfgDoneSet"),
             dict(request="CheckPasswordInstalled"), setting(0x534D0040, 4, 2)] + LAST)),
    dict(name="firmware TPM needs no confirmation", args=["/ftpm", "enable"],
         expect=dict(stdout=OK, status=0, smi=FIRST + [setting(0x534D0040, 4, 6)] + LAST)),
]

W1 = ("!!!Important Warning: Current Used Fireware TPM2.0. dTPM firmware may be upgraded or "
      "downgraded, all TPM related applications must be disabled, otherwise the TPM will be "
      "cleared and you may not be able to access your data!!!\n")
W2 = ("!!!Important Warning: Before the dTPM firmware can be upgraded or downgraded, all TPM "
      "related applications must be disabled, otherwise the TPM will be cleared and you may not "
      "be able to access your data!!!\n")
READ_TPM = setting(0x534D0040, 4, 0xFFFFFFFF)


def tpm(mode):
    return {"firmware": {"tpm_mode": mode}}


def csm_is(value):
    def check(run):
        got = run.machine["firmware"]["settings"]["0x11"]
        return [] if got == value else ["csm is %r, want %r" % (got, value)]
    return check


def prompt(word):
    return "Are you sure switch to %s? (Y/y or N/n only)" % word


SCENARIOS += [
    dict(name="switch from firmware TPM warns, asks and goes ahead on y",
         machine_patch=tpm("ftpm2.0"), args=["/dtpm2", "enable"], stdin="x\ny",
         expect=dict(stdout="Current Setting is fTPM2.0\n" + W1 + prompt("/dtpm2") + OK,
                     status=0, smi=[READ_TPM] + FIRST + [setting(0x534D0040, 4, 8)] + LAST,
                     check=lambda run: [] if run.machine["firmware"]["tpm_mode"] == "dtpm2.0"
                     else ["TPM mode %r" % run.machine["firmware"]["tpm_mode"]])),
    dict(name="declined switch changes nothing", machine_patch=tpm("ftpm2.0"),
         args=["/DTPM", "active"], stdin="x\nn\n",
         expect=dict(stdout="Current Setting is fTPM2.0\n" + W1 + prompt("/DTPM"), status=0,
                     smi=[READ_TPM])),
    dict(name="end of input at the prompt is no", machine_patch=tpm("dtpm1.2"),
         args=["/dtpm2", "enable"], stdin="",
         expect=dict(stdout="Current Setting is dTPM1.2\n" + W2 + prompt("/dtpm2"), status=0,
                     smi=[READ_TPM])),
    dict(name="silent switch asks nothing", machine_patch=tpm("dtpm1.2"),
         args=["/dtpm2", "enable", "/Silent"],
         expect=dict(stdout="Current Setting is dTPM1.2\n" + W2 + prompt("/dtpm2") + OK,
                     status=0, smi=[READ_TPM] + FIRST + [setting(0x534D0040, 4, 8)] + LAST)),
    dict(name="same kind of discrete TPM needs no confirmation", machine_patch=tpm("dtpm1.2"),
         args=["/dtpm", "active"],
         expect=dict(stdout="Current Setting is dTPM1.2\n" + OK, status=0)),
    dict(name="discrete TPM 2.0 to 1.2 warns", machine_patch=tpm("dtpm2.0"),
         args=["/dtpm", "disable"], stdin="Y",
         expect=dict(stdout="Current Setting is dTPM2.0\n" + W2 + prompt("/dtpm") + OK,
                     status=0)),
    dict(name="unknown TPM mode ends the run", machine_patch=tpm("none"),
         args=["/dtpm", "disable"],
         expect=dict(stdout="Get Current TPM Setting Error!\n", status=0xC0000005,
                     smi=[READ_TPM])),
    dict(name="queries print the firmware's answers",
         machine_patch={"firmware": {"computrace_hidden": True, "pap_mode": "custom",
                                     "me_gpio": {"present": True, "value": 1}}},
         args=["/me", "status", "/getpapmode", "/getcpt"],
         expect=dict(stdout="Status of PAP Mode = 0...Custom Mode\nME control GPIO value = 1\n"
                     "Status of computrace Hidden setting = 1...Hidden\n" + OK, status=0)),
    dict(name="queries of the other states", machine_patch={"firmware": {"pap_mode": "normal"}},
         args=["/getcpt", "/getpapmode"],
         expect=dict(stdout="Status of PAP Mode = 1...Normal Mode\n"
                     "Status of computrace Hidden setting = 0...Visible\n" + OK, status=0)),
    dict(name="a setting changes the machine and defaults bring it back", steps=[
        dict(args=["/csm", "disable"], expect=dict(stdout=OK, status=0, check=csm_is(0))),
        dict(args=["/f9"], expect=dict(stdout=OK, status=0, check=csm_is(1))),
    ]),
    dict(name="VMD slots refused on a desktop", args=["/pcieslot", "vmd"],
         expect=dict(stdout="The smi input argument is invalid.\nReturn code: 00000004h\n",
                     status=0xC0000006)),
    dict(name="settings refused with a wrong password", machine_patch={"firmware": {
        "admin_password": "abc"}}, args=["/csm", "enable", "/pass", "abd"],
         expect=dict(stdout="The input password is not correct.\nReturn code: 00000001h\n",
                     status=0xC0000006)),
]
