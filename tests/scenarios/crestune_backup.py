# Backup of all BIOS settings to a file and restore from it, with the file's trailer checks.
import hashlib
import pathlib
import struct

OK = "BIOS setting processing successfully completed...\n\n"
RESET = OK + "Rebooting...\n"


def trailer_problems(run, name="x.dat", bios_id=b"M1", revision=b"52"):
    """The file is the image and an 8-byte trailer: size, revision, checksum, id."""
    data = (pathlib.Path(run.workdir) / name).read_bytes()
    if len(data) < 8:
        return ["backup file of %d bytes" % len(data)]
    n = len(data) - 8
    size, = struct.unpack_from("<H", data, n)
    problems = []
    if size != n % 65536:
        problems.append("size word %d for an image of %d bytes" % (size, n))
    if data[n + 2:n + 4] != revision or data[n + 6:n + 8] != bios_id:
        problems.append("revision/id %r %r" % (data[n + 2:n + 4], data[n + 6:n + 8]))
    checksum, = struct.unpack_from("<H", data, n + 4)
    if checksum != sum(data[:n + 4]) % 65536:
        problems.append("checksum 0x%04X" % checksum)
    backups = [e for e in run.events if e.get("event") == "smi" and e.get("ebx") == "0x0000000A"]
    if len(backups) != 2 or backups[1].get("ecx") != "0x%08X" % n:
        problems.append("backup requests: %r" % backups)
    return problems


def image_digest(run, name="x.dat"):
    data = (pathlib.Path(run.workdir) / name).read_bytes()
    return hashlib.sha256(data[:-8]).hexdigest().upper()


def handed_out_is_saved(run):
    """The image in the file is exactly what the firmware's backup request handed out."""
    backups = [e for e in run.events if e.get("request") == "BackupData"]
    got = backups[-1].get("output_sha256") if backups else None
    return trailer_problems(run) + (
        [] if got == image_digest(run) else ["file image %s, firmware handed out %s" % (
            image_digest(run), got)])


def saved_is_restored(run):
    """The firmware's restore request receives exactly the image of the file."""
    restores = [e for e in run.events if e.get("request") == "Restore"]
    got = restores[-1].get("input_sha256") if restores else None
    return [] if got == image_digest(run) else ["file image %s, firmware received %s" % (
        image_digest(run), got)]


def change(offset, value=None, append=None, truncate=None, name="x.dat"):
    """A function that damages the backup file before the next step."""
    def prepare(workdir):
        path = pathlib.Path(workdir) / name
        data = bytearray(path.read_bytes())
        if offset is not None:
            data[offset] = data[offset] ^ 0x01 if value is None else value
        if append is not None:
            data += append
        if truncate is not None:
            del data[truncate:]
        path.write_bytes(bytes(data))
    return prepare


def version(text):
    return {"smbios": {"structures": [{"type": 0, "bios_version": text}, {"type": 1}]}}


BACKUP = dict(args=["/b", "x.dat"], expect=dict(stdout=OK, status=0, check=trailer_problems))
# The first name a backup's temporary file gets.
TEMP = "BKUP0000.TMP"
CORRUPT = "The file is corrupt.\n"
OTHER_ID = "The file's bios id is different from the current BIOS.\n"
OTHER_REVISION = "The file's bios version is different from the current BIOS.\n"


def restore_refused(name, stdout, status, prepare=None, machine_patch=None, extra=()):
    step = dict(args=["/r", "x.dat", "/nor"] + list(extra),
                expect=dict(stdout=stdout, status=status, shell=[],
                            # nothing reaches the firmware's restore request
                            smi=[dict(request="IsMfgDoneSet"),
                                 dict(request="CheckPasswordInstalled")]))
    if prepare:
        step["prepare"] = prepare
    if machine_patch:
        step["machine_patch"] = machine_patch
    return dict(name=name, steps=[BACKUP, step])


SCENARIOS = [
    dict(name="backup then restore on the same BIOS resets the machine", steps=[
        dict(args=["/b", "x.dat"], expect=dict(stdout=OK, status=0, check=handed_out_is_saved)),
        dict(args=["/r", "x.dat"], expect=dict(stdout=RESET, status=0, shell=["reset"],
                                                check=saved_is_restored)),
    ]),
    dict(name="a backup restores the settings of another machine of the same BIOS", steps=[
        dict(args=["/csm", "disable", "/ipv4", "disable"], expect=dict(status=0)),
        dict(args=["/b", "x.dat"], expect=dict(status=0)),
        # another machine: the same BIOS with its own settings
        dict(machine_patch={"firmware": {"settings": {"0x11": 1, "0x19": 0}}},
             args=["/r", "x.dat", "/nor"], expect=dict(status=0, check=lambda run: [] if (
                 run.machine["firmware"]["settings"]["0x11"],
                 run.machine["firmware"]["settings"]["0x19"]) == (0, 1) else [
                 "settings after the restore: %r" % run.machine["firmware"]["settings"]])),
    ]),
    dict(name="large image", machine_patch={"firmware": {"image": {"padding": 70000}}}, steps=[
        dict(args=["/b", "x.dat"], expect=dict(stdout=OK, status=0, check=handed_out_is_saved)),
        dict(args=["/r", "x.dat", "/nor"], expect=dict(stdout=OK, status=0,
                                                        check=saved_is_restored)),
    ]),
    dict(name="restore without reboot", steps=[
        BACKUP, dict(args=["/r", "x.dat", "/nor"], expect=dict(stdout=OK, status=0, shell=[])),
    ]),
    dict(name="backup never resets", args=["/b", "x.dat"], expect=dict(shell=[], status=0)),
    restore_refused("restore of another BIOS id", OTHER_ID, 0xC0000009,
                    machine_patch=version("M2KT52AUS")),
    restore_refused("another BIOS id even with /Ignore", OTHER_ID, 0xC0000009,
                    machine_patch=version("M2KT52AUS"), extra=["/ign"]),
    restore_refused("restore of another revision", OTHER_REVISION, 0xC0000009,
                    machine_patch=version("M1KT53AUS")),
    dict(name="another revision restored with /Ignore", steps=[
        BACKUP, dict(args=["/r", "x.dat", "/Ignore", "/nor"], machine_patch=version("XM1KT53"),
                     expect=dict(stdout=OK, status=0))]),
    restore_refused("changed image byte", CORRUPT, 0xC0000008, prepare=change(0)),
    restore_refused("changed size word", CORRUPT, 0xC0000008, prepare=change(-8)),
    restore_refused("changed revision field", OTHER_REVISION, 0xC0000009, prepare=change(-6)),
    restore_refused("changed revision field with /Ignore is corrupt", CORRUPT, 0xC0000008,
                    prepare=change(-6), extra=["/ign"]),
    restore_refused("changed id field", OTHER_ID, 0xC0000009, prepare=change(-1)),
    restore_refused("appended byte moves the trailer", OTHER_ID, 0xC0000009,
                    prepare=change(None, append=b"\x00")),
    restore_refused("file shorter than its trailer", CORRUPT, 0xC0000008,
                    prepare=change(None, truncate=7)),
    dict(name="empty restore file is corrupt", files={"x.dat": b""}, args=["/r", "x.dat"],
         expect=dict(stdout=CORRUPT, status=0xC0000008)),
    dict(name="BIOS version without marker", machine_patch=version("1.23"), args=["/b", "x.dat"],
         expect=dict(stdout="1.23 - Undefined BIOS version.\nGet bios version failed.\n",
                     status=0xC000000B, files={"x.dat": None, TEMP: None})),
    dict(name="BIOS version of 20 characters", machine_patch=version("M1KT52AUS12345678901"),
         args=["/r", "x.dat"], files={"x.dat": b"12345678"},
         expect=dict(stdout="The length of input buffer is too small.\nGet bios version failed.\n",
                     status=0xC000000B)),
    dict(name="BIOS version of 19 characters", machine_patch=version("M1KT52AUS1234567890"),
         args=["/b", "x.dat"], expect=dict(stdout=OK, status=0)),
    dict(name="marker one place later", machine_patch=version("S03KT39A"), args=["/b", "x.dat"],
         expect=dict(stdout=OK, status=0,
                     check=lambda run: trailer_problems(run, bios_id=b"03", revision=b"39"))),
    dict(name="version string number beyond the strings",
         machine_patch={"smbios": {"structures": [{"type": 0, "version_string": 7}]}},
         args=["/b", "x.dat"],
         expect=dict(stdout="Get bios version failed.\n", status=0xC000000B)),
    dict(name="no SMBIOS entry point", machine_patch={"smbios": None}, args=["/r", "x.dat"],
         files={"x.dat": b"12345678"},
         expect=dict(stdout="Get bios version failed.\n", status=0xC000000B)),
    dict(name="backup file in a missing directory", args=["/b", "nodir/x.dat"],
         # the library's text for the error differs between platforms
         expect=dict(stdout="", stderr_contains=["Open file failed: "],
                     status=0xC0000003,
                     smi=[dict(request="IsMfgDoneSet"), dict(request="CheckPasswordInstalled")])),
    dict(name="restore file missing", args=["/r", "x.dat"],
         expect=dict(stderr_contains=["Open file failed: "], status=0xC0000003)),
    dict(name="size query unsupported",
         machine_patch={"firmware": {"inject": [{"eax": "0x534D0040", "ebx": "0xA",
                                                  "status": "0x80000000"}]}},
         args=["/b", "x.dat"],
         expect=dict(stdout="SMI unsupported.\n", status=0xC0000006,
                     files={"x.dat": None, TEMP: None})),
    dict(name="size query with a bad password bit set with others",
         machine_patch={"firmware": {"inject": [{"eax": "0x534D0040", "ebx": "0xA",
                                                  "status": "0x7"}]}},
         args=["/b", "x.dat"],
         expect=dict(stdout="The smi input argument is invalid.\n", status=0xC0000006)),
]


def backup_file(image=b"\x10\x20\x30" * 40, bios_id=b"M1", revision=b"52", size=None,
                checksum_delta=0):
    """A backup file made here rather than by a backup run: any image with its trailer."""
    head = image + struct.pack("<H", len(image) % 65536 if size is None else size) + revision
    checksum = (sum(head) + checksum_delta) % 65536
    return head + struct.pack("<H", checksum) + bios_id


def refused_file(name, data, stdout, status, extra=()):
    # The file is judged before anything reaches the firmware's restore request.
    return dict(name=name, files={"x.dat": data}, args=["/r", "x.dat"] + list(extra),
                expect=dict(stdout=stdout, status=status, shell=[],
                            smi=[dict(request="IsMfgDoneSet"),
                                 dict(request="CheckPasswordInstalled")]))


SCENARIOS += [
    refused_file("file of another BIOS", backup_file(bios_id=b"Q7"), OTHER_ID, 0xC0000009),
    refused_file("file of another BIOS id, also damaged",
                 backup_file(bios_id=b"m1", checksum_delta=1), OTHER_ID, 0xC0000009),
    refused_file("file of another revision", backup_file(revision=b"51"), OTHER_REVISION,
                 0xC0000009),
    refused_file("file with a wrong checksum", backup_file(checksum_delta=1), CORRUPT, 0xC0000008),
    refused_file("file with a wrong size word", backup_file(size=7), CORRUPT, 0xC0000008),
    refused_file("damaged file of another revision with /Ignore",
                 backup_file(revision=b"51", checksum_delta=-1), CORRUPT, 0xC0000008,
                 extra=["/ign"]),
    refused_file("file of seven bytes", b"M152xxx", CORRUPT, 0xC0000008),
    dict(name="a file the firmware cannot parse is refused by the firmware",
         files={"x.dat": backup_file()}, args=["/r", "x.dat", "/nor"],
         expect=dict(stdout="The smi input argument is invalid.\nReturn code: 00000004h\n",
                     status=0xC0000006, shell=[],
                     smi=[dict(request="IsMfgDoneSet"), dict(request="CheckPasswordInstalled"),
                          dict(request="Restore", ecx="0x00000078")])),
]


# A backup is written under a temporary name and replaces the target only when complete: a
# backup that fails leaves an earlier file byte for byte, and no temporary file.
EARLIER = b"an earlier backup\x00\xff\x10" * 5
WRONG = "The input password is not correct.\n"


def only_files(*names):
    """A check: the working directory holds exactly these files (no temporary file left)."""
    def check(run):
        found = sorted(p.name for p in pathlib.Path(run.workdir).iterdir())
        return [] if found == sorted(names) else ["files in the directory: %r" % found]
    return check


def failed_over_earlier(name, stdout, status, machine_patch, extra=(), limits=None,
                        stderr_contains=()):
    scenario = dict(name=name, machine_patch=machine_patch, files={"keep.bin": EARLIER},
                    args=["/b", "keep.bin"] + list(extra),
                    expect=dict(status=status, files={"keep.bin": EARLIER, TEMP: None},
                                check=only_files("keep.bin")))
    if stdout is not None:
        scenario["expect"]["stdout"] = stdout
    if stderr_contains:
        scenario["expect"]["stderr_contains"] = list(stderr_contains)
    if limits:
        scenario["limits"] = limits
    return scenario


def refusing(**fields):
    return {"firmware": {"inject": [dict({"eax": "0x534D0040", "ebx": "0xA"}, **fields)]}}


LARGE = {"firmware": {"image": {"padding": 1 << 20}}}

SCENARIOS += [
    failed_over_earlier("failed backup over an earlier file: wrong password", WRONG, 0xC0000006,
                        {"firmware": {"admin_password": "secret"}}, extra=["/pass", "wrong"]),
    failed_over_earlier("failed backup over an earlier file: retry limit reached",
                        "Password retry count exceed.\n", 0xC0000006,
                        {"firmware": {"admin_password": "secret", "retry_count": 3}},
                        extra=["/pass", "secret"]),
    failed_over_earlier("failed backup over an earlier file: no readable BIOS version",
                        "1.23 - Undefined BIOS version.\nGet bios version failed.\n", 0xC000000B,
                        version("1.23")),
    failed_over_earlier("failed backup over an earlier file: size query refused",
                        "SMI unsupported.\n", 0xC0000006, refusing(status="0x80000000")),
    failed_over_earlier("failed backup over an earlier file: image request refused",
                        "The smi input argument is invalid.\nReturn code: 00000004h\n",
                        0xC0000006, refusing(ecx="0x168", status="0x4")),
    # The disk fills while the image is written (the host's file size limit stands for it).
    failed_over_earlier("failed backup over an earlier file: the disk fills", "", 0xC0000003,
                        LARGE, limits={"file_size": 256 << 10},
                        stderr_contains=["Write file failed: File too large"]),
    dict(name="backup replaces an earlier file only when complete", files={"x.dat": EARLIER},
         args=["/b", "x.dat"], expect=dict(stdout=OK, status=0, files={TEMP: None},
                                           check=lambda run: trailer_problems(run)
                                           + only_files("x.dat")(run))),
    dict(name="backup takes the next temporary name when one is taken",
         files={TEMP: b"someone else's", "x.dat": EARLIER}, args=["/b", "x.dat"],
         expect=dict(stdout=OK, status=0, files={TEMP: b"someone else's"},
                     check=lambda run: trailer_problems(run)
                     + only_files("x.dat", TEMP)(run))),
    dict(name="backup target that is a directory", steps=[dict(
        prepare=lambda workdir: (pathlib.Path(workdir) / "d").mkdir(), args=["/b", "d"],
        expect=dict(stdout="", stderr_contains=["Open file failed: "], status=0xC0000003,
                    smi=[dict(request="IsMfgDoneSet"), dict(request="CheckPasswordInstalled")],
                    check=only_files("d")))]),
]


def link_to_full(workdir):
    (pathlib.Path(workdir) / "full.bin").symlink_to("/dev/full")


def device_kept(run):
    path = pathlib.Path(run.workdir) / "full.bin"
    return [] if path.is_symlink() and path.resolve() == pathlib.Path("/dev/full") else [
        "full.bin is no longer the link to /dev/full"]


SCENARIOS += [
    # A device is written directly (it has no contents to keep and must not be replaced).
    dict(name="backup to a device that refuses the write", steps=[dict(
        prepare=link_to_full, args=["/b", "full.bin"],
        expect=dict(stdout="", stderr_contains=["Write file failed: No space left on device"],
                    status=0xC0000003, check=lambda run: device_kept(run)
                    + only_files("full.bin")(run)))]),
]


def sparse_backup(size, bios_id):
    """A function that makes x.dat: size bytes of holes, then a trailer with bios_id."""
    def prepare(workdir):
        with open(pathlib.Path(workdir) / "x.dat", "wb") as stream:
            stream.truncate(size - 8)
            stream.seek(size - 8)
            n = size - 8
            stream.write(struct.pack("<H", n % 65536) + b"52" + struct.pack("<H", 0) + bios_id)
    return prepare


def large_restore_refused(name, size, bios_id, stdout, status):
    # Refused from the trailer alone: the file is never read into memory, which the address
    # space limit would not allow.
    return dict(name=name, steps=[dict(
        prepare=sparse_backup(size, bios_id), args=["/r", "x.dat", "/nor"],
        limits={"address_space": 1 << 30},
        expect=dict(stdout=stdout, status=status, shell=[],
                    smi=[dict(request="IsMfgDoneSet"), dict(request="CheckPasswordInstalled")]))])


SCENARIOS += [
    large_restore_refused("file of 4 GiB of another BIOS", (4 << 30) - 8, b"Q7", OTHER_ID,
                          0xC0000009),
    large_restore_refused("file over 4 GiB of another BIOS", (4 << 30) + 8, b"Q7", OTHER_ID,
                          0xC0000009),
    large_restore_refused("file over 4 GiB of this BIOS is corrupt", (4 << 30) + 8, b"M1",
                          CORRUPT, 0xC0000008),
]
