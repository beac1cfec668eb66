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
         expect=dict(stdout=OK, status=0, smi=[setting(0x534D0040, 4, 0xFFFFFFFF)] + FIRST + [
             setting(0x534D0040, 4, 2)] + LAST)),
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

# Every row of the setting table in one run: the words as a user types them, and the request
# each row sends (EAX, EBX, ECX), in table order. The TPM rows are confirmed with /Silent.
EVERY_ROW = [
    (["/pbs", "sata1"], 0x534D0040, 0x01, 0x11), (["/ebs", "lan2"], 0x534D0040, 0x02, 0x72),
    (["/abs", "ukey_group"], 0x534D0040, 0x03, 0x40),
    (["/dtpm", "inactive"], 0x534D0040, 0x04, 1), (["/ftpm", "disable"], 0x534D0040, 0x04, 4),
    (["/dtpm2", "disable"], 0x534D0040, 0x04, 7), (["/vga", "1024mb"], 0x534D0040, 0x05, 5),
    (["/kbdless", "enable"], 0x534D0040, 0x06, 1), (["/fdd", "disable"], 0x534D0040, 0x08, 0),
    (["/cfgsata", "optane"], 0x534D0040, 0x0C, 3), (["/eop", "set"], 0x534D0040, 0x0D, 1),
    (["/snstyle", "1s"], 0x534D0040, 0x0E, 3), (["/mebx", "reset"], 0x534D0040, 0x10, 1),
    (["/csm", "enable"], 0x534D0040, 0x11, 1), (["/secboot", "enable"], 0x534D0040, 0x12, 1),
    (["/bflash", "disable"], 0x534D0040, 0x13, 0), (["/osdef", "w8x64"], 0x534D0040, 0x14, 0),
    (["/pxe", "enable"], 0x534D0040, 0x16, 1), (["/clrtcg", "yes"], 0x534D0040, 0x17, 1),
    (["/clrphypresent", "disable"], 0x534D0040, 0x18, 1),
    (["/ipv4", "disable"], 0x534D0040, 0x19, 1), (["/ipv6", "enable"], 0x534D0040, 0x1A, 0),
    (["/btmode", "legacy"], 0x534D0040, 0x1B, 2), (["/btpri", "legacy"], 0x534D0040, 0x1C, 1),
    (["/mbs", "M2_DRIVER_4"], 0x534D0040, 0x1D, 0xC4),
    (["/cptmode", "disable"], 0x534D0040, 0x1E, 1), (["/ict", "disable"], 0x534D0040, 0x1F, 1),
    (["/getpapmode"], 0x534D0040, 0x20, 0), (["/setpapmode", "normal"], 0x534D0040, 0x21, 1),
    (["/maxretrypwd", "100"], 0x534D0040, 0x22, 2),
    (["/chgpaptime", "runtime"], 0x534D0040, 0x23, 1),
    (["/tpmrand", "enable"], 0x534D0040, 0x82, 1), (["/above4GB", "enable"], 0x534D0040, 0xA2, 1),
    (["/cfgssata", "raid"], 0x534D0040, 0xA3, 2),
    (["/EHCIHandOff", "enable"], 0x534D0040, 0xA4, 1),
    (["/powerloss", "last"], 0x534D0040, 0xA5, 2),
    (["/CardReader", "disable"], 0x534D0040, 0xA6, 0),
    (["/strom", "legacy"], 0x534D0040, 0xA7, 2), (["/satahotplug", "3f"], 0x534D0040, 0xA9, 0x3F),
] + [([f"/sata{n}hotplug"], 0x534D0040, 0xA9, 1 << (n - 1)) for n in range(1, 11)] + [
    (["/winguard", "enable"], 0x534D0040, 0xAA, 1), (["/tbt", "slot10"], 0x534D0040, 0xAB, 9),
    (["/xhci", "manual"], 0x534D0040, 0xAC, 4), (["/mmioh", "56t"], 0x534D0040, 0xAD, 5),
    (["/me", "status"], 0x534D0740, 0x03, 2), (["/pcieslot", "vmd"], 0x534D0040, 0xAE, 0xFFF),
] + [([f"/pcieslot{n}"], 0x534D0040, 0xAE, 1 << (n - 1)) for n in range(1, 13)] + [
    (["/m2slot", "pcie"], 0x534D0040, 0xAE, 0),
] + [([f"/m2slot{n}"], 0x534D0040, 0xAE, 1 << (n + 11)) for n in range(1, 5)] + [
    (["/misc0", "0"], 0x534D0040, 0xFD, 0), (["/misc1", "6"], 0x534D0040, 0xFE, 6),
    (["/misc2", "7"], 0x534D0040, 0xFF, 7), (["/discptmsg"], 0x534D8D20, 0, 0),
    (["/encptmsg"], 0x534D8E20, 0, 0), (["/perdiscpt"], 0x534D9020, 0, 0),
    (["/getcpt"], 0x534DAB20, 0, 0), (["/setcpt", "visible"], 0x534DAB20, 1, 0),
]

SCENARIOS += [
    dict(name="every row of the table reaches the firmware, in table order",
         machine_patch={"firmware": {"workstation": True, "admin_password": "abc"}},
         # the command line in reverse table order: the requests still go out in table order
         args=[word for row in reversed(EVERY_ROW) for word in row[0]] + [
             "/Silent", "/pass", "abc"],
         expect=dict(status=0, stdout_contains=[OK], smi=(
             [setting(0x534D0040, 4, 0xFFFFFFFF)] * 2 + FIRST + [dict(request="ComputeHash")] +
             [setting(eax, ebx, ecx, hash=HASH_ABC, out_eax="0x00000000")
              for _, eax, ebx, ecx in EVERY_ROW] + LAST))),
]
