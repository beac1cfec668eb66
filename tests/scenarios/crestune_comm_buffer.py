# Requests through the firmware's SMM communication buffer: the record at offset 0 with the hash
# at 26, the input at 304, the output area after eight times the input's size; results copied
# back; the buffer released after every request.
import pathlib

OK = "BIOS setting processing successfully completed...\n\n"
# Below 1 MiB, in memory that is free on the QEMU test machines too.
BASE = 0x90000
DESCRIPTOR = BASE - 16


def lend(size="0x4000"):
    return {
        "memory": [{"base": "0xE0000", "size": "0x20000", "fill": "0xFF"},
                   {"base": "0x8F000", "size": "0x5000", "fill": "0x00"}],
        "firmware": {"comm_buffer": {"address": "0x%08X" % BASE, "size": size, "grant": True},
                     "admin_password": "abc"},
    }


def at(offset):
    return "0x%08X" % (BASE + offset)


LOCK = dict(request="CommBufferLock", out_ecx="0x00000000", out_esi="0x%08X" % DESCRIPTOR,
            out_edi="0x00000000")
RELEASE = dict(request="CommBufferRelease", out_ecx="0x00000000")
HASH_ABC = "7C7873FAC63A9BE8166E39DD"


def through_buffer(request):
    return [dict(LOCK), request, dict(RELEASE)]


def backup_round_trip(run):
    backups = [e for e in run.events if e.get("request") == "BackupData"]
    restores = [e for e in run.events if e.get("request") == "Restore"]
    problems = []
    for event in backups + restores:
        if not event.get("in_comm_buffer"):
            problems.append("%s not served from the buffer" % event["request"])
    data = (pathlib.Path(run.workdir) / "x.dat").read_bytes()
    if restores and backups:
        problems.extend([] if restores[0].get("input_sha256") == backups[0].get("output_sha256")
                        else ["the restored image differs from the backup"])
    return problems


SCENARIOS = [
    dict(name="password requests through the buffer", machine_patch=lend(),
         args=["/newpop", "p", "/pass", "abc"],
         expect=dict(stdout=OK, status=0, smi_all=(
             through_buffer(dict(request="IsMfgDoneSet")) +
             through_buffer(dict(request="CheckPasswordInstalled")) +
             # 65 bytes in and out: the output area starts at 304 + 8 * 65
             through_buffer(dict(request="ComputeHash", esi=at(824), in_comm_buffer=True)) +
             through_buffer(dict(request="ComputeHash", esi=at(824), in_comm_buffer=True)) +
             # the change request at 304, the current hash in the record at 26
             through_buffer(dict(request="ChangePassword", esi=at(304), edi=at(26),
                                 hash=HASH_ABC, in_comm_buffer=True)) +
             through_buffer(dict(request="UpdateChecksum"))))),
    dict(name="verbose lines of a lent buffer", machine_patch=lend(), args=["/f9", "/pass", "abc",
                                                                           "/Verbose"],
         expect=dict(status=0, stdout_contains=[
             "SmmCommBufferAccess Entry!\nSmmCommBufferAccess Maxsize=0000000000000130h,"
             "Address=000000000008FFF0h(Lo=000000000008FFF0h,Hi=0000000000000000h)!\n"
             "SmmCommBufferAccess return Success!\nGet Lock SMM Memory Success!\nPort smi input:\n",
             "SmmCommBufferAccess Entry!\nSmmCommBufferAccess UNLOCK Success!\n"
             "SmmCommBufferAccess return Success!\nPort smi output:\n",
             "Password hash result: 7C 78 73 FA C6 3A 9B E8 16 6E 39 DD \n"])),
    dict(name="backup and restore through the buffer", machine_patch=lend(), steps=[
        dict(args=["/b", "x.dat", "/pass", "abc"], expect=dict(stdout=OK, status=0)),
        dict(args=["/r", "x.dat", "/pass", "abc", "/nor"],
             expect=dict(stdout=OK, status=0, check=backup_round_trip)),
    ]),
    dict(name="a buffer too small serves the request directly", machine_patch=lend("0x100"),
         args=["/f9", "/pass", "abc", "/Verbose"],
         expect=dict(status=0, stdout_contains=[
             "SmmCommBufferAccess Buffer size not enough! Maxsize=0x100\n"]),
    ),
    dict(name="same results with and without the buffer", steps=[
        dict(machine_patch=lend(), args=["/getpapmode", "/pass", "abc"],
             expect=dict(stdout="Status of PAP Mode = 0...Custom Mode\n" + OK, status=0)),
        dict(machine_patch={"firmware": {"comm_buffer": {"grant": False}}},
             args=["/getpapmode", "/pass", "abc"],
             expect=dict(stdout="Status of PAP Mode = 0...Custom Mode\n" + OK, status=0)),
    ]),
]
