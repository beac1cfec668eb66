# BIOS passwords on the simulated machine: the password step of every run, hashing through the
# firmware, setting, changing and clearing, wrong passwords and the retry limit.

OK = "BIOS setting processing successfully completed...\n\n"
WRONG = "The input password is not correct.\nReturn code: 00000001h\n"
LOCKED = "Password retry count exceed.\nReturn code: 00000002h\n"
REQUIRED = "Password required.\n"

HASH_ABC = "7C7873FAC63A9BE8166E39DD"   # hash the double makes of "abc"
HASH_SAT = "85D514895918713BD01026F9"   # of "SAT", the scan codes 1f 1e 14
ZERO_HASH = "0" * 24
ABC = {"firmware": {"admin_password": "abc"}}


def smi(request, **fields):
    return dict(request=request, **fields)


def step(args, stdout, status=0, **expect):
    return dict(args=args, expect=dict(stdout=stdout, status=status, **expect))


SCENARIOS = [
    dict(name="set a password, then every run needs it", steps=[
        step(["/newadp", "abc"], OK, smi=[
            smi("IsMfgDoneSet", eax="0x534D3220", ebx="0x00000000", edx="0x000000B2"),
            smi("CheckPasswordInstalled", eax="0x534D0140", ebx="0x00000000", out_ecx="0x00000000"),
            smi("ComputeHash", eax="0x534D0140", ebx="0x00000001"),
            smi("ChangePassword", eax="0x534D0140", ebx="0x00000003", hash=ZERO_HASH,
                input="1001" + HASH_ABC + ZERO_HASH + "00" * 37),
            smi("UpdateChecksum", eax="0x534D0040", ebx="0x00000000"),
        ]),
        step(["/f9"], REQUIRED, 0xC0000007, smi=[
            smi("IsMfgDoneSet"), smi("CheckPasswordInstalled", out_ecx="0x00000001")]),
        step(["/f9", "/pass", "ABC"], WRONG, 0xC0000006),
        step(["/f9", "/pass", "abc"], OK, smi=[
            smi("IsMfgDoneSet"), smi("CheckPasswordInstalled"), smi("ComputeHash"),
            smi("LoadDefaults", ebx="0x00000009", hash=HASH_ABC, out_eax="0x00000000"),
            smi("UpdateChecksum")]),
    ]),
    dict(name="backup run also needs the password and creates no file", machine_patch=ABC,
         args=["/b", "x.dat"],
         expect=dict(stdout=REQUIRED, status=0xC0000007, files={"x.dat": None})),
    dict(name="password given where none is installed is ignored",
         args=["/f9", "/pass", "anything"],
         expect=dict(stdout=OK, status=0, smi=[
             smi("IsMfgDoneSet"), smi("CheckPasswordInstalled"),
             smi("LoadDefaults", hash=ZERO_HASH), smi("UpdateChecksum")])),
    dict(name="scan-code current password", machine_patch={"firmware": {"admin_password": "SAT"}},
         args=["/f9", "/pass_scan", "1f1e14"],
         expect=dict(stdout=OK, status=0, smi=[
             smi("IsMfgDoneSet"), smi("CheckPasswordInstalled"), smi("ComputeHash"),
             smi("LoadDefaults", hash=HASH_SAT), smi("UpdateChecksum")])),
    dict(name="french scan codes give another password",
         machine_patch={"firmware": {"admin_password": "SAT"}},
         args=["/f9", "/pass_scan_fr", "1f1e14"], expect=dict(stdout=WRONG, status=0xC0000006)),
    dict(name="both passwords set as one operation", steps=[
        step(["/newadp", "abc", "/newpop", "SAT"], OK, smi=[
            smi("IsMfgDoneSet"), smi("CheckPasswordInstalled"), smi("ComputeHash"),
            smi("ComputeHash"),
            smi("ChangePassword", input="1003" + HASH_ABC + HASH_SAT + "00" * 37),
            smi("UpdateChecksum")]),
        step(["/clradp", "/clrpop", "/pass", "SAT"], OK, smi=[
            smi("IsMfgDoneSet"), smi("CheckPasswordInstalled"), smi("ComputeHash"),
            smi("ChangePassword", hash=HASH_SAT, input="1003" + ZERO_HASH * 2 + "00" * 37),
            smi("UpdateChecksum")]),
        step(["/f9"], OK),
    ]),
    dict(name="power-on password alone from scan codes", steps=[
        step(["/newpop_scan_ge", "2c15"], OK, smi=[
            smi("IsMfgDoneSet"), smi("CheckPasswordInstalled"), smi("ComputeHash"),
            smi("ChangePassword"),
            smi("UpdateChecksum")]),
        step(["/f9", "/pass", "YZ"], OK),
    ]),
    dict(name="clear admin with a new admin text given too is refused as two operations",
         machine_patch=ABC, args=["/clradp", "/newadp", "x", "/pass", "abc"],
         expect=dict(stdout="0.One or more arguments are invalid.\n", status=0xC0000001)),
    dict(name="wrong password three times locks the machine", machine_patch=ABC, steps=[
        step(["/f9", "/pass", "a"], WRONG, 0xC0000006),
        step(["/f9", "/pass", "b"], WRONG, 0xC0000006),
        step(["/f9", "/pass", "c"], WRONG, 0xC0000006),
        step(["/f9", "/pass", "abc"], LOCKED, 0xC0000006),
    ]),
    dict(name="wrong current password refused by the change request", machine_patch=ABC,
         args=["/newpop", "p", "/pass", "nope"],
         expect=dict(stdout=WRONG, status=0xC0000006, smi=[
             smi("IsMfgDoneSet"), smi("CheckPasswordInstalled"), smi("ComputeHash"),
             smi("ComputeHash"), smi("ChangePassword", out_eax="0x00000001")])),
    dict(name="verbose password step", machine_patch=ABC, args=["/f9", "/pass", "abc", "/Verbose"],
         expect=dict(status=0, stdout_contains=[
             "Calling CheckPasswordInstalled...\n",
             "Calling ComputeHash...\n",
             "\nOutput buffer contents:\n7C 78 73 FA C6 3A 9B E8 16 6E 39 DD 00 00 00 00 \n",
             "Password hash result: 7C 78 73 FA C6 3A 9B E8 16 6E 39 DD \n"
             "Calling ProcessLoadDefault...\n",
             "  Input buffer register: 5\n  Output buffer register: 0\n"
             "  Hashed password: 7C 78 73 FA C6 3A 9B E8 16 6E 39 DD \n",
             "Calling UpdateChecksum...\n"])),
    dict(name="verbose change request dump", args=["/clradp", "/Verbose"],
         expect=dict(status=0, stdout_contains=[
             "Calling ProcessChangePassword...\nPassword change input:\n  Message id: 10\n"
             "  Require type: 01\n  New admin pass: 00 00 00 00 00 00 00 00 00 00 00 00 \n"
             "  New pop: 00 00 00 00 00 00 00 00 00 00 00 00 \n"])),
    dict(name="no handler for the first request", machine_patch={"firmware": {"inject": [
        {"eax": "0x534D3220", "no_answer": True}]}}, args=["/f9"],
         expect=dict(stdout="Return code: 534D3220h\n", status=0xC0000006)),
    dict(name="firmware without support for defaults",
         machine_patch={"firmware": {"inject": [{"eax": "0x534D0040", "ebx": 9,
                                                  "status": "0x80000000"}]}},
         args=["/f9"], expect=dict(stdout="SMI unsupported.\nReturn code: 80000000h\n",
                                   status=0xC0000006)),
    dict(name="closing request refused", machine_patch={"firmware": {"inject": [
        {"eax": "0x534D0040", "ebx": 0, "status": "0x4"}]}}, args=["/clradp"],
         expect=dict(stdout="The smi input argument is invalid.\nReturn code: 00000004h\n",
                     status=0xC0000006)),
]


# Scan codes: every pair two hexadecimal digits, or the run ends before any request.
BAD_SCAN = "Wrong password format is inputted.\n"


def malformed_scan(option, value, extra=()):
    return dict(name="malformed scan code %s %r" % (option, value),
                args=[option, value] + list(extra),
                expect=dict(stdout=BAD_SCAN, status=0xC000000D, smi=[]))


SCENARIOS += [malformed_scan("/newadp_scan", value)
              for value in ("ZZ", "0x1E", " 2", "+2", "1EZZ1F", "1E00ZZ", "-1")]
SCENARIOS += [
    malformed_scan("/newpop_scan_fr", "1g"),
    malformed_scan("/pass_scan_ge", "1E 2", extra=["/f9"]),
    dict(name="scan-code option given twice is a repeated option",
         args=["/newadp_scan", "1E1E1E", "/newadp_scan", "1F", "/newpop", "b"],
         expect=dict(stdout="0.One or more arguments are invalid.\n", status=0xC0000001,
                     smi=[])),
    dict(name="scan code 00 still ends the password", steps=[
        step(["/newadp_scan", "1e001f"], OK),
        step(["/f9", "/pass", "A"], OK),
    ]),
    # The UEFI start-up code marks a character above 0xFF with 0x1A; Crestune reads it as '?'.
    dict(name="a character without an 8-bit form is read as a question mark", steps=[
        step(["/newadp", "p\x1a"], OK),
        step(["/f9", "/pass", "p?"], OK),
    ]),
]
