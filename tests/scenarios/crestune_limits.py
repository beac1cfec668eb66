# Crestune at the edges of what it accepts: passwords of exactly 64 characters, leading parts of
# option words, a firmware that answers the installed check with something other than 0 or 1,
# and a backup file whose closing fails.

OK = "BIOS setting processing successfully completed...\n\n"
INVALID = 0xC0000001
NO_OPERATION = "0.One or more arguments are invalid.\n"
UNCLAIMED = "2.One or more arguments are invalid.\n"
P64 = "p" * 63 + "Z"
Q64 = "q" * 64


def installed_answer(ecx):
    return {"firmware": {"inject": [{"eax": "0x534D0140", "ebx": "0x0",
                                     "answer_ecx": "0x%X" % ecx}]}}


def busy_buffer():
    # A buffer the firmware would lend, but another caller holds it.
    return {"memory": [{"base": "0xE0000", "size": "0x20000", "fill": "0xFF"},
                       {"base": "0x8F000", "size": "0x5000", "fill": "0x00"}],
            "firmware": {"comm_buffer": {"address": "0x00090000", "size": "0x4000",
                                         "grant": True, "locked": True}}}


SCENARIOS = [
    dict(name="current password of exactly 64 characters is hashed in full",
         machine_patch={"firmware": {"admin_password": P64}}, args=["/f9", "/pass", P64],
         expect=dict(stdout=OK, status=0)),
    dict(name="current password of 63 of its 64 characters is wrong",
         machine_patch={"firmware": {"admin_password": P64}}, args=["/f9", "/pass", P64[:63]],
         expect=dict(status=0xC0000006)),
    dict(name="new password of exactly 64 characters", steps=[
        dict(args=["/newadp", Q64], expect=dict(stdout=OK, status=0)),
        dict(args=["/getpapmode", "/pass", Q64],
             expect=dict(stdout="Status of PAP Mode = 0...Custom Mode\n" + OK, status=0)),
        dict(args=["/getpapmode", "/pass", Q64[:63]], expect=dict(status=0xC0000006)),
    ]),
    dict(name="installed answer 2 is no password", machine_patch=installed_answer(2),
         args=["/f9"], expect=dict(stdout=OK, status=0)),
    dict(name="installed answer 1 asks for the password", machine_patch=installed_answer(1),
         args=["/f9"], expect=dict(stdout="Password required.\n", status=0xC0000007)),
    dict(name="leading part of a password word is unclaimed", args=["/f9", "/pas", "abc"],
         expect=dict(stdout=UNCLAIMED, status=INVALID, smi=[])),
    dict(name="leading part of a setting word is unclaimed", args=["/f9", "/cs"],
         expect=dict(stdout=UNCLAIMED, status=INVALID, smi=[])),
    dict(name="one password change leaves no room for an unknown word",
         args=["/newadp", "a", "/xyz"], expect=dict(stdout=UNCLAIMED, status=INVALID, smi=[])),
    dict(name="one password clear leaves no room for an unknown word",
         args=["/clrpop", "/xyz"], expect=dict(stdout=UNCLAIMED, status=INVALID, smi=[])),
    dict(name="defaults with a setting are two operations", args=["/f9", "/csm", "enable"],
         expect=dict(stdout=NO_OPERATION, status=INVALID, smi=[])),
    dict(name="password change with a setting are two operations",
         args=["/newpop", "x", "/getcpt"],
         expect=dict(stdout=NO_OPERATION, status=INVALID, smi=[])),
    dict(name="a busy communication buffer: requests go directly", machine_patch=busy_buffer(),
         args=["/getpapmode"],
         expect=dict(stdout="Status of PAP Mode = 0...Custom Mode\n" + OK, status=0,
                     smi_all=[item for name in ("IsMfgDoneSet", "CheckPasswordInstalled",
                                                "ReadPapMode", "UpdateChecksum")
                              for item in (dict(request="CommBufferLock", out_ecx="0x00000002"),
                                           dict(request=name))])),
    # The backup is written under the first free temporary name and closed before the rename.
    dict(name="a backup whose file cannot be closed fails", args=["/b", "x.dat"],
         env={"FWSIM_FAIL_CLOSE": "BKUP0000.TMP"},
         expect=dict(status=0xC0000003, stderr_contains=["Write file failed"],
                     files={"x.dat": None, "BKUP0000.TMP": None})),
    # A backup that cannot take the target's place is no backup: nothing is left.
    dict(name="a backup that cannot be renamed into place fails", args=["/b", "x.dat"],
         env={"FWSIM_FAIL_RENAME": "x.dat"},
         expect=dict(status=0xC0000003, stderr_contains=["Write file failed"],
                     files={"x.dat": None, "BKUP0000.TMP": None})),
]
