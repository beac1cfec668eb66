"""QEMU boots of signed deployment sticks under Secure Boot.

The firmware is the Secure Boot build of Debian's OVMF (OVMF_CODE_4M.snakeoil.fd, with a copy
of OVMF_VARS_4M.snakeoil.fd, which enrolls the package's test certificate PkKek-1-snakeoil.pem
as PK, KEK and db and turns Secure Boot on). The sticks are signed with that certificate's
key, PkKek-1-snakeoil.key: the key is public (its passphrase "snakeoil" is in the package's
documentation), so it is a test key and nothing signed with it may leave the tests.

The stick's shell is build/shell/Shell.efi (tools/build-shell). Nothing answers the tools'
SMIs here: the firmware double cannot be installed where SMRAM is locked. So the run list is
one step that succeeds without SMIs (Tagwell runs the vendor tool double, itself signed as a
vendor tool, on a machine whose SMBIOS type 0 names Insyde) and one that fails at its first
request (Crestune: "Return code: 534D3220h", 0xC0000006), as on stock OVMF.

    a  the signed stick boots with Secure Boot on and runs its list
    b  the same stick unsigned is not booted and writes no log
    c  a stick whose Crestune.efi is signed by another key: that step is logged as refused
       and nothing after it runs (needs the refused-step handling of the startup script)
    d  a stick signed with a key not in db is not booted
    e  the signed stick of a on stock OVMF (Secure Boot off) runs as before

b and d are attached in one boot: the firmware tries both and boots neither. A last boot
shows that the firmware double cannot be installed on the Secure Boot build.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import tempfile
import uuid
from pathlib import Path

import stick_cases
from smm_cases import Unavailable

OVMF = Path("/usr/share/OVMF")
SECURE_CODE = OVMF / "OVMF_CODE_4M.snakeoil.fd"
SECURE_VARS = OVMF / "OVMF_VARS_4M.snakeoil.fd"
# The test key of Debian's ovmf package: public, for tests only.
TEST_KEY = Path("/usr/share/ovmf/PkKek-1-snakeoil.key")
TEST_CERT = Path("/usr/share/ovmf/PkKek-1-snakeoil.pem")
TEST_KEY_PASSPHRASE = "snakeoil"
SECURE_ARGS = ("-machine", "q35,smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on")
VENDOR_TOOL = "H2OSDE-Sx64.efi"
SMBIOS_INSYDE = ("-smbios", "type=0,vendor=INSYDE Corp.")

RUN_LIST = ("Tagwell /sn:SB-0001\n"
            "Crestune /pbs sata1\n"
            "Tagwell /sn:SB-0002\n")
REFUSED = "the firmware refused to start"
NOT_BOOTED = "No bootable option"
DENIED = re.compile(r"BdsDxe: failed to load Boot\w+ .*: Access Denied")


def db_owner(vars_file: Path) -> str:
    """The owner of db's first entry in a VARS file (its list follows the name "db")."""
    data = vars_file.read_bytes()
    name = uuid.UUID("d719b2cb-3d3a-4596-a3bc-dad00e67656f").bytes_le + "db\0".encode("utf-16-le")
    at = data.index(name) + len(name) + 28
    return str(uuid.UUID(bytes_le=data[at:at + 16])).upper()


def check_db(image: Path, fail) -> None:
    """The db lines of runs 1 (a: the test certificate in db) and 2 (e: stock OVMF, no db)."""
    from stick import signing
    test = signing.fingerprint(signing.certificate_der(TEST_CERT))
    lines = [f"1 certificate, SHA-256 {test}; other entries: 0 of this owner, 0 of other owners",
             "not read (db does not exist or cannot be read)"]
    for number, line in enumerate(lines, start=1):
        if f"\ndb owner {db_owner(SECURE_VARS)}: {line}\n" not in (log_of(image, number) or ""):
            fail(f"logs/run{number}.txt has no line \"db owner ...: {line}\"")


class Case:
    def __init__(self, name: str):
        self.name = name


def test_keys(folder: Path) -> tuple[Path, Path, Path, Path]:
    """The snakeoil test key (decrypted into the folder) and its certificate, and a second key
    with its certificate that no db holds."""
    key = folder / "snakeoil.pem"
    done = subprocess.run(["openssl", "pkey", "-in", str(TEST_KEY), "-passin",
                           f"pass:{TEST_KEY_PASSPHRASE}", "-out", str(key)],
                          capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise ValueError(f"cannot decrypt the test key: {done.stderr.strip()}")
    other_key, other_cert = folder / "other.key", folder / "other.crt"
    done = subprocess.run(["openssl", "req", "-new", "-x509", "-newkey", "rsa:2048", "-nodes",
                           "-days", "30", "-subj", "/CN=not in db", "-keyout", str(other_key),
                           "-out", str(other_cert)], capture_output=True, text=True,
                          timeout=120, stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        raise ValueError(f"cannot make the second key: {done.stderr.strip()}")
    return key, TEST_CERT, other_key, other_cert


def stick_files(build: Path, name: str) -> dict[str, bytes]:
    """The stick's files, unsigned: our shell, the tools, the vendor tool double."""
    steps = stick_cases.runlist.parse_run_list(RUN_LIST, f"{name}.txt")
    vendor = Path(tempfile.mkdtemp(prefix="sb-vendor-")) / VENDOR_TOOL
    try:
        shutil.copyfile(build / "test-efi" / "VendorDouble.efi", vendor)
        return stick_cases.assembly.stick_files(steps, "off", build / "efi", [vendor],
                              build / "shell" / "Shell.efi", f"{name}.txt",
                              owner=db_owner(SECURE_VARS))
    finally:
        shutil.rmtree(vendor.parent)


def signed(files: dict[str, bytes], key: Path, cert: Path) -> dict[str, bytes]:
    from stick import signing
    return signing.sign_files(files, signing.load_signer(key, cert))[0]


def write(files: dict[str, bytes], image: Path) -> Path:
    stick_cases.stick_image.write_image(files, image, 48)
    return image


def boot(shell, images: list[Path], *, secure: bool, until: tuple[str, ...],
         timeout: float = 120.0, extra: tuple[str, ...] = ()) -> tuple[str, float]:
    """Boots the firmware with the sticks attached in boot order; returns the console text
    once one of `until` has appeared (QEMU is then ended), and the seconds."""
    with tempfile.TemporaryDirectory(prefix="sb-boot-") as tmp:
        vars_copy = Path(tmp) / "vars.fd"
        shutil.copyfile(SECURE_VARS if secure else shell.OVMF_VARS, vars_copy)
        argv = [shell.QEMU, *(SECURE_ARGS if secure else ("-machine", "q35")), "-m", "256",
                "-nographic", "-no-reboot",
                "-drive", f"if=pflash,format=raw,readonly=on,"
                          f"file={SECURE_CODE if secure else shell.OVMF_CODE}",
                "-drive", f"if=pflash,format=raw,file={vars_copy}", "-net", "none",
                "-accel", os.environ.get("FWQEMU_ACCEL", "tcg"), "-device", "qemu-xhci",
                *extra]
        for index, image in enumerate(images, start=1):
            argv += ["-drive", f"if=none,id=stick{index},format=raw,file={image}",
                     "-device", f"usb-storage,drive=stick{index},bootindex={index}"]
        return stick_cases.watch_console(shell, argv, until, timeout)


def log_of(image: Path, number: int = 1) -> str | None:
    return stick_cases.decode_log(stick_cases.read_stick(image, f"logs/run{number}.txt"))


def check_ran(image: Path, number: int, marker: str, fail) -> str | None:
    """The log of the run list: step 1 passes (the vendor tool double ran), step 2 fails at
    its first request, step 3 never runs. Returns the log."""
    log = log_of(image, number)
    if log is None:
        fail(f"logs/run{number}.txt is not on the stick")
        return log
    expected = re.compile(
        re.escape(f"stick {marker[6:14]}: secure.txt, 3 steps, then off\n")
        # the date and time, and whatever the script logs of the unit before the steps
        + r"[0-9/]+\n[0-9:]+ \(\w+\)\n(?:.*\n)*?"
        + re.escape("step 1 (line 1): Tagwell /sn:SB-0001\n")
        + re.escape("step 1 status 0x0\nstep 2 (line 2): Crestune /pbs sata1\n")
        + re.escape("step 2 status 0xC0000006\nFAILED at step 2 (status 0xC0000006)\n"))
    if not expected.fullmatch(log):
        fail(f"the log is not as expected:\n{log}")
    outputs = [stick_cases.decode_log(stick_cases.read_stick(
        image, f"logs/run{number}-step{step}.txt")) or "" for step in (1, 2)]
    if not re.search(r"Vendor tool double received \d+ arguments:\n", outputs[0]) or \
            outputs[1] != "Return code: 534D3220h\n\n":
        fail(f"the steps' output is not as expected: {outputs!r}")
    return log


class SecureBootSticks:
    name = "Secure Boot: signed sticks"
    label = "Secure Boot OVMF (snakeoil test key), then stock OVMF"
    cases = [Case("a: a signed stick boots with Secure Boot on and runs its list"),
             Case("b: the same stick unsigned is not booted and writes no log"),
             Case("d: a stick signed with a key not in db is not booted"),
             Case("c: a tool signed by another key is logged as refused; nothing after it runs"),
             Case("e: the signed stick on stock OVMF (Secure Boot off) runs as before"),
             Case("the firmware double cannot be installed on the Secure Boot build")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        a, b, d, c, e, smm = (Outcome(self.name, case.name) for case in self.cases)
        outcomes = [a, b, d, c, e, smm]
        seconds = 0.0
        with tempfile.TemporaryDirectory(prefix="sb-sticks-") as tmp:
            folder = Path(tmp)
            try:
                key, cert, other_key, other_cert = test_keys(folder)
                plain = stick_files(build, "secure")
                good = signed(plain, key, cert)
                stranger = signed(plain, other_key, other_cert)
                # One tool signed by the other key, everything else by the test key.
                mixed = dict(good)
                mixed["EFI/tools/Crestune.efi"] = stranger["EFI/tools/Crestune.efi"]
            except (ValueError, OSError, RuntimeError) as error:
                for outcome in outcomes:
                    outcome.failures.append(f"cannot make the sticks: {error}")
                return outcomes, seconds
            marker = next(Path(n).name for n in plain if n.endswith(".id"))
            image_a = write(good, folder / "a.img")
            image_b = write(plain, folder / "b.img")
            image_d = write(stranger, folder / "d.img")

            # a: signed, Secure Boot on.
            try:
                console, took = boot(shell, [image_a], secure=True, extra=SMBIOS_INSYDE,
                                     until=("FAILED at step", "ALL DONE", NOT_BOOTED))
                seconds += took
                log = check_ran(image_a, 1, marker, a.failures.append)
                a.shown = f"({took:.1f} s) logs/run1.txt:\n{log}"
            except shell.ShellRunError as error:
                a.failures.append(str(error))

            # b and d in one boot: neither may start.
            try:
                console, took = boot(shell, [image_b, image_d], secure=True,
                                     until=(NOT_BOOTED, "FAILED at step", "ALL DONE"))
                seconds += took
                denied = DENIED.findall(console)
                for outcome, image in ((b, image_b), (d, image_d)):
                    if len(denied) < 2 or NOT_BOOTED not in console or "step 1" in console:
                        outcome.failures.append("expected two refused boot options and no "
                                                f"boot:\n{console[-1500:]}")
                    if stick_cases.read_stick(image, "logs/run1.txt") is not None:
                        outcome.failures.append("the stick has a log: something ran")
                b.shown = "console: " + "\n".join(denied + [NOT_BOOTED + " ..."])
            except shell.ShellRunError as error:
                b.failures.append(str(error))
                d.failures.append(str(error))

            # c: a tool signed by another key: logged as a refused, failed step.
            try:
                image_c = write(mixed, folder / "c.img")
                console, took = boot(shell, [image_c], secure=True, extra=SMBIOS_INSYDE,
                                     until=("FAILED at step", "ALL DONE", NOT_BOOTED))
                seconds += took
                self.judge_refused(log_of(image_c), c)
            except shell.ShellRunError as error:
                c.failures.append(str(error))

            # e: the stick of a, Secure Boot off: a second log, as before.
            try:
                console, took = boot(shell, [image_a], secure=False, extra=SMBIOS_INSYDE,
                                     until=("FAILED at step", "ALL DONE"))
                seconds += took
                first = log_of(image_a, 1)
                if first is None:
                    e.failures.append("the first log is gone")
                second = check_ran(image_a, 2, marker, e.failures.append)

                check_db(image_a, e.failures.append)
                e.shown = f"({took:.1f} s) logs/run2.txt:\n{second}"
            except shell.ShellRunError as error:
                e.failures.append(str(error))

            seconds += self.double_refused(build, key, cert, folder, shell, smm)
        return outcomes, seconds

    @staticmethod
    def double_refused(build: Path, key: Path, cert: Path, folder: Path, shell,
                       outcome) -> float:
        """The installer of the firmware double, signed, on the Secure Boot build: the SMI
        entry point's memory belongs to the firmware there (SMRAM is relocated and locked), so
        it refuses, and Crestune's SMI is answered by nobody, as on stock OVMF."""
        installer = build / "test-efi" / "SmmDouble.efi"
        if not installer.is_file():
            outcome.skipped = True
            outcome.notes.append(f"skipped: {installer} not built")
            return 0.0
        script = ["@echo -off", "fs0:", "cd \\", "SmmDouble.efi install",
                  "echo \"install status %lasterror%\"", "Crestune.efi /f9",
                  "echo \"Crestune status %lasterror%\"", "echo secure-boot-smm-end"]
        files = {"EFI/BOOT/BOOTX64.EFI": (build / "shell" / "Shell.efi").read_bytes(),
                 "SmmDouble.efi": installer.read_bytes(),
                 "Crestune.efi": (build / "efi" / "Crestune.efi").read_bytes(),
                 "startup.nsh": ("\r\n".join(script) + "\r\n").encode("ascii")}
        try:
            image = write(signed(files, key, cert), folder / "smm.img")
            console, took = boot(shell, [image], secure=True, until=("secure-boot-smm-end",),
                                 extra=("-smp", "1", "-icount", "shift=auto"))
        except (shell.ShellRunError, ValueError, RuntimeError) as error:
            outcome.failures.append(str(error))
            return 0.0
        lines = [line.strip() for line in console.splitlines()]
        wanted = ["install status 0x1", "Return code: 534D3220h", "Crestune status 0xC0000006"]
        refused = [line for line in lines if line.startswith("SmmDouble: cannot reserve")]
        if not refused or any(line not in lines for line in wanted):
            outcome.failures.append(f"expected the installer to be refused and the SMI to go "
                                    f"unanswered:\n{console[-1200:]}")
        outcome.shown = "\n".join(refused + wanted)
        return took

    @staticmethod
    def judge_refused(log: str | None, outcome) -> None:
        fail = outcome.failures.append
        outcome.shown = log or ""
        if log is None:
            fail("logs/run1.txt is not on the stick")
            return
        if "step 1 status 0x0\n" not in log:
            fail(f"step 1 did not pass:\n{log}")
        match = re.search(r"step 2 status (0x[0-9A-F]+)\n", log)
        if not match or match.group(1) == "0x0":
            fail(f"no failed status of step 2:\n{log}")
        elif f"FAILED at step 2 (status {match.group(1)})\n" not in log:
            fail(f"no FAILED line for step 2:\n{log}")
        if REFUSED not in log:
            fail(f"the log does not say that {REFUSED} the program:\n{log}")
        if "step 3" in log or "Return code" in log:
            fail(f"something ran after the refused step:\n{log}")


def groups(build: Path, shell) -> list:
    needed = [build / "efi" / "Crestune.efi", build / "efi" / "Tagwell.efi",
              build / "test-efi" / "VendorDouble.efi", build / "shell" / "Shell.efi",
              SECURE_CODE, SECURE_VARS, TEST_KEY, TEST_CERT]
    missing = [str(path) for path in needed if not path.is_file()]
    if missing:
        return [Unavailable(f"missing: {', '.join(missing)} (tools/build-shell builds the "
                            "shell)", "Secure Boot", "signed sticks boot under Secure Boot")]
    return [SecureBootSticks()]
