"""QEMU boots of deployment sticks made by tools/make-stick: the image is a USB stick
(qemu-xhci + usb-storage) and OVMF's own shell runs its startup.nsh.

Where the firmware double must answer the SMIs, the harness's disk (SATA, mapped as FS0
before the stick) carries the startup.nsh that the shell finds first: it installs the double
and then runs stick.nsh, which calls the stick's own startup.nsh by the stick's marker file.
From there on everything is the stick's script: it finds its volume by the marker itself.
The second boot of the passing stick has no harness disk at all: the shell finds the stick's
startup.nsh on its own, as on a real machine.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Optional

from smm_cases import Unavailable

REPO = Path(__file__).resolve().parent.parent.parent
MACHINE = REPO / "machines" / "desktop.json"
sys.path.insert(0, str(REPO / "tools"))
from stick import assembly, image as stick_image, names, runlist  # noqa: E402

STICK_QEMU_ARGS = ("-device", "qemu-xhci", "-drive", "if=none,id=stick,format=raw,file={image}",
                   "-device", "usb-storage,drive=stick")


read_stick = stick_image.read_file


def decode_log(data: Optional[bytes]) -> Optional[str]:
    if data is None:
        return None
    if data.startswith(b"\xff\xfe"):
        data = data[2:]
    return data.decode("utf-16-le", errors="replace").replace("\r\n", "\n")


def make_image(folder: Path, name: str, run_list: str, build: Path, then: str = "off",
               one_unit: bool = False, source: Optional[str] = None,
               change: Optional[dict] = None) -> tuple[Path, str]:
    """Builds a stick image from the run list (named `source`, default NAME.txt); returns it
    and its marker file's name. `change` replaces files of the stick (None: leaves it out)."""
    source = source or f"{name}.txt"
    steps = runlist.parse_run_list(run_list, source, one_unit=one_unit)
    files = assembly.stick_files(steps, then, build / "efi", source=source)
    for path, data in (change or {}).items():
        if data is None:
            files.pop(path)
        else:
            files[path] = data
    image = folder / f"{name}.img"
    stick_image.write_image(files, image, 48)
    marker = next(Path(n).name for n in files if n.endswith(".id"))
    return image, marker


def caller_script(marker: str) -> bytes:
    """stick.nsh on the harness's disk: runs the startup.nsh of the volume with the marker,
    then goes back to the harness's disk (FS0), where the harness keeps its files: the stick's
    script leaves the shell in its own tools folder."""
    lines = ["@echo -off", "for %s in fs1 fs2 fs3 fs4 fs5 fs6 fs7 fs8 fs9",
             f"  if exist %s:\\EFI\\tools\\{marker} then", "    %s:\\startup.nsh",
             "    goto called", "  endif", "endfor", "echo no stick", ":called", "fs0:",
             "cd \\"]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


# The unit line.
UNIT_LINE = r"unit [^\n]*, Secure Boot [a-z ]+\n"


def expected_log(title: str, steps: list[tuple[int, str, str, str]], end: str,
                 unit: str = UNIT_LINE) -> re.Pattern:
    """The log as a pattern: the header and the unit line, then per step its line and its
    status, then the closing line (several lines: joined by "\n"). The date and time lines are
    any text. The programs' output is in files of their own (output_problems)."""
    parts = [re.escape(title + "\n"), r"[0-9/]+\n", r"[0-9:]+ \(\w+\)\n", unit]
    for index, (line, text, _, status) in enumerate(steps, start=1):
        parts.append(re.escape(f"step {index} (line {line}): {text}\n"
                               f"step {index} status {status}\n"))
    parts.append(re.escape(end + "\n"))
    # Without a unit id the stick says that it kept no record.
    parts.append(r"(?:no unit id: [^\n]*\n)?")
    return re.compile("".join(parts))


def output_problems(image: Path, run: int, steps: list[tuple[int, str, str, str]]) -> list[str]:
    """Where the output of a step, \\logs\\runN-stepK.txt, is not what `steps` says."""
    problems = []
    for index, (_, _, output, _) in enumerate(steps, start=1):
        name = f"logs/run{run}-step{index}.txt"
        got = decode_log(read_stick(image, name))
        if got != output:
            problems.append(f"{name} is {got!r}, not {output!r}")
    return problems



def firmware(build: Path, state: bytes) -> dict:
    with tempfile.TemporaryDirectory(prefix="stick-state-") as tmp:
        path = Path(tmp) / "state.bin"
        path.write_bytes(state)
        done = subprocess.run([str(build / "host" / "smmdouble"), "firmware", str(path)],
                              capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise ValueError(done.stderr.strip())
    return json.loads(done.stdout)


def make_state(build: Path, firmware_section: Optional[dict]) -> bytes:
    description = json.loads(MACHINE.read_text())
    if firmware_section is not None:
        description["firmware"] = firmware_section
    with tempfile.TemporaryDirectory(prefix="stick-state-") as tmp:
        machine = Path(tmp) / "machine.json"
        machine.write_text(json.dumps(description))
        out = Path(tmp) / "state.bin"
        done = subprocess.run([str(build / "host" / "smmdouble"), "state", str(out),
                               str(machine)], capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise ValueError(done.stderr.strip())
        return out.read_bytes()


def boot_with_double(shell, build: Path, efi: dict, image: Path, marker: str,
                     state: bytes):
    """Boots the desktop test machine with the double installed and the stick attached; the
    stick's script runs as the first command, `echo after` as the second."""
    machine = json.loads(MACHINE.read_text())
    return shell.run_shell(
        [shell.Command("stick.nsh"), shell.Command("echo after")],
        files={"Crestune.efi": efi["Crestune.efi"], "stick.nsh": caller_script(marker)},
        machine=machine, build_dir=build, smm=True, smm_state=state,
        qemu_args=[arg.format(image=image) for arg in STICK_QEMU_ARGS])


def watch_console(shell, argv: list, until: tuple[str, ...], timeout: float) -> tuple[str, float]:
    """Runs QEMU, skips the shell's countdown, and returns the console text once one of `until`
    has appeared (QEMU is then ended) and the seconds."""
    started = time.monotonic()
    process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, start_new_session=True)
    os.set_blocking(process.stdout.fileno(), False)
    raw = b""
    skipped = False
    try:
        while time.monotonic() - started < timeout and process.poll() is None:
            time.sleep(0.1)
            raw += process.stdout.read() or b""
            if not skipped and shell.COUNTDOWN_PROMPT in raw:
                process.stdin.write(b"\r")
                process.stdin.flush()
                skipped = True
            if any(text.encode() in raw for text in until):
                time.sleep(1.0)  # the script's last lines reach the disk
                raw += process.stdout.read() or b""
                break
    finally:
        shell.stop(process)
    text = shell.ESCAPES.sub(b"", raw).decode("latin-1")
    if not any(text_ in text for text_ in until):
        raise shell.ShellRunError(f"none of {until!r} appeared within {timeout:.0f} s: "
                                  f"...{text[-600:]}")
    return text, time.monotonic() - started


def console_until(shell, argv: list, until: tuple[str, ...], timeout: float = 150.0) -> str:
    """The console until one of until appears, or (until empty) the machine is off; or why not."""
    try:
        if until:
            return watch_console(shell, argv, until, timeout)[0]
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout)
        return shell.ESCAPES.sub(b"", done.stdout).decode("latin-1")
    except (shell.ShellRunError, subprocess.TimeoutExpired) as error:
        return f"QEMU: {error}"


def boot_stick_alone(shell, image: Path, until: str, timeout: float = 90.0,
                     qemu_args: tuple = ()) -> tuple[str, float]:
    """Boots stock OVMF with only the stick: the shell itself finds the stick's startup.nsh.
    Returns the console text once `until` has appeared (QEMU is then ended) and the seconds."""
    with tempfile.TemporaryDirectory(prefix="stick-boot-") as tmp:
        vars_copy = Path(tmp) / "OVMF_VARS.fd"
        shutil.copyfile(shell.OVMF_VARS, vars_copy)
        argv = [shell.QEMU, "-machine", "q35", "-m", "256", "-nographic", "-no-reboot",
                "-drive", f"if=pflash,format=raw,readonly=on,file={shell.OVMF_CODE}",
                "-drive", f"if=pflash,format=raw,file={vars_copy}", "-net", "none",
                "-accel", os.environ.get("FWQEMU_ACCEL", "tcg"),
                *[arg.format(image=image) for arg in STICK_QEMU_ARGS], *qemu_args]
        return watch_console(shell, argv, (until,), timeout)


class Case:
    def __init__(self, name: str):
        self.name = name


OK = "BIOS setting processing successfully completed...\n\n\n"
PASSING_LIST = ("# changes two settings, backs them up, sets the administrator password\n"
                "Crestune /pbs sata1 /csm disable\n"
                "\n"
                "Crestune /b backup.dat\n"
                "Crestune /newadp Secret1\n")
PASSING_STEPS = [(2, "Crestune /pbs sata1 /csm disable", OK, "0x0"),
                 (4, "Crestune /b backup.dat", OK, "0x0"),
                 (5, "Crestune /newadp ****", OK, "0x0")]
FAILING_LIST = ("Crestune /csm disable /pass abc\n"
                "Crestune /pbs sata1 /pass wrong\n"
                "Crestune /f9 /pass abc\n")


class PassingStick:
    """Boot 1: the double answers, the run list passes and the machine powers off. Boot 2: the
    same image on stock OVMF without the harness's disk: the first step fails (the port comes from
    the configuration table, but nothing answers the SMI, so the request comes back unchanged), a
    second log is written and the first stays as it was."""
    name = "USB stick: passing run list, booted twice"
    label = "desktop tables + double, then stock OVMF"
    cases = [Case("the run list passes end to end and powers off"),
             Case("a second boot writes a second log and leaves the first intact")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        first, second = (Outcome(self.name, case.name) for case in self.cases)
        seconds = 0.0
        with tempfile.TemporaryDirectory(prefix="stick-pass-") as tmp:
            image, marker = make_image(Path(tmp), "deploy", PASSING_LIST, build, one_unit=True)
            state = make_state(build, None)
            try:
                run = boot_with_double(shell, build, efi, image, marker, state)
                seconds += run.seconds
            except (shell.ShellRunError, shell.MachineError, ValueError) as error:
                first.failures.append(f"QEMU run failed: {error}")
                second.failures.append("not run: the first boot failed")
                return [first, second], seconds
            self.judge_first(build, run, image, marker, state, first)
            log1 = read_stick(image, "logs/run1.txt")
            try:
                console, more = boot_stick_alone(shell, image, "FAILED at step")
                seconds += more
            except shell.ShellRunError as error:
                second.failures.append(str(error))
                return [first, second], seconds
            fail = second.failures.append
            if read_stick(image, "logs/run1.txt") != log1 or log1 is None:
                fail("the first boot's log changed (or is missing) after the second boot")
            log2 = decode_log(read_stick(image, "logs/run2.txt"))
            if log2 is None:
                fail("logs/run2.txt is not on the stick")
            else:
                steps = [(2, "Crestune /pbs sata1 /csm disable", "Return code: 534D3220h\n\n",
                          "0xC0000006")]
                expected = expected_log(
                    f"stick {marker[6:14]}: deploy.txt, 3 steps, then off", steps,
                    "FAILED at step 1 (status 0xC0000006)")
                if not expected.fullmatch(log2):
                    fail(f"logs/run2.txt is not as expected:\n{log2}")
                for problem in output_problems(image, 2, steps):
                    fail(problem)
                second.shown = log2
            if "log \\logs\\run2.txt" not in console:
                fail("the console does not name the second log")
            if read_stick(image, "logs/run3.txt") is not None:
                fail("a third log appeared")
        return [first, second], seconds

    def judge_first(self, build: Path, run, image: Path, marker: str, state: bytes,
                    outcome) -> None:
        fail = outcome.failures.append
        result = run.results[0]
        if result.ran or run.completed:
            fail("the machine did not power off at the end of the stick's script")
        for problem in result.smm_problems:
            fail(problem)
        log = decode_log(read_stick(image, "logs/run1.txt"))
        expected = expected_log(f"stick {marker[6:14]}: deploy.txt, 3 steps, then off",
                                PASSING_STEPS, "ALL DONE")
        if log is None:
            fail("logs/run1.txt is not on the stick")
        elif not expected.fullmatch(log):
            fail(f"logs/run1.txt is not as expected:\n{log}")
        for problem in output_problems(image, 1, PASSING_STEPS):
            fail(problem)
        outcome.shown = log or ""
        backup = read_stick(image, "EFI/tools/backup.dat")
        if not backup:
            fail("the backup file EFI/tools/backup.dat is not on the stick (or empty)")
        if result.smm_state is None:
            fail("no state of the double at the power-off")
            return
        before, after = firmware(build, state), firmware(build, result.smm_state)
        sets = {int(e["ebx"], 16): int(e["ecx"], 16) for e in result.smm_events or []
                if e.get("request") == "SetSetting"}
        changed = {int(item, 16): value for item, value in after["settings"].items()
                   if before["settings"].get(item) != value}
        if len(sets) != 2 or any(after["settings"].get(f"0x{item:02X}") != value
                                 for item, value in sets.items()) \
                or not changed or not set(changed) <= set(sets):
            fail(f"settings changed {changed}; the two requests set {sets}")
        if before["admin_password_hash"] is not None or not after["admin_password_hash"]:
            fail("the administrator password was not set")
        requests = [e.get("request") for e in result.smm_events or []]
        if requests.count("UpdateChecksum") != 3:
            fail(f"expected three completed runs (UpdateChecksum), requests: {requests}")


class FailingStick:
    """A run list whose second step has the wrong password: the failure is logged, the third
    step never reaches the firmware, and the machine stays on (the harness's next command
    runs)."""
    name = "USB stick: failing second step"
    label = "desktop tables + double, password abc"
    cases = [Case("a failing second step is logged, stops the run and does not power off")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        outcome = Outcome(self.name, self.cases[0].name)
        fail = outcome.failures.append
        with tempfile.TemporaryDirectory(prefix="stick-fail-") as tmp:
            image, marker = make_image(Path(tmp), "wrongpw", FAILING_LIST, build)
            try:
                run = boot_with_double(shell, build, efi, image, marker,
                                       make_state(build, {"admin_password": "abc"}))
            except (shell.ShellRunError, shell.MachineError, ValueError) as error:
                fail(f"QEMU run failed: {error}")
                return [outcome], 0.0
            result = run.results[0]
            if not result.ran or not run.results[1].ran or not run.completed:
                fail("the machine powered off or reset: the harness's next command did not "
                     "run")
            log = decode_log(read_stick(image, "logs/run1.txt"))
            outcome.shown = log or ""
            match = re.search(r"step 2 status (0x[0-9A-F]+)\nFAILED at step 2 \(status \1\)\n$",
                              log or "")
            if log is None:
                fail("logs/run1.txt is not on the stick")
            elif not match or match.group(1) == "0x0":
                fail(f"the log does not end with the failure of step 2:\n{log}")
            elif "step 1 status 0x0\n" not in log or "step 3" in log:
                fail(f"the log should show step 1 passing and nothing of step 3:\n{log}")
            requests = [e.get("request") for e in result.smm_events or []]
            outcome.shown += "requests: " + " ".join(requests) + "\n"
            # Every run that reaches the firmware starts with IsMfgDoneSet: two runs, the
            # second ended by the password, and no load of defaults.
            if requests.count("IsMfgDoneSet") != 2 or "LoadDefault" in " ".join(requests):
                fail(f"expected the requests of steps 1 and 2 only: {requests}")
            for problem in result.smm_problems:
                fail(problem)
        return [outcome], run.seconds


def stick_args(images: list[Path]) -> list[str]:
    """QEMU options that attach each image as a USB stick of its own."""
    args = ["-device", "qemu-xhci"]
    for number, image in enumerate(images, start=1):
        args += ["-drive", f"if=none,id=stick{number},format=raw,file={image}",
                 "-device", f"usb-storage,drive=stick{number}"]
    return args


def unit_args(serial: str) -> list[str]:
    """QEMU options for a unit of the stock OVMF machine: its BIOS version (the backup needs
    one) and its serial number."""
    return ["-smbios", "type=0,version=M1KT52AUS", "-smbios", f"type=1,serial={serial}"]


def boot_unit(shell, build: Path, efi: dict, image: Path, marker: str, state: bytes,
              serial: str):
    """Boots stock OVMF as the unit with this serial number, the double installed and the
    stick attached; the stick's script runs as the first command, `echo after` as the second."""
    return shell.run_shell(
        [shell.Command("stick.nsh"), shell.Command("echo after")],
        files={"Crestune.efi": efi["Crestune.efi"], "stick.nsh": caller_script(marker)},
        build_dir=build, smm=True, smm_state=state,
        qemu_args=stick_args([image]) + unit_args(serial))


class HostileSticks:
    """Four sticks in one boot of stock OVMF, each called by its marker from the harness's
    disk: two run lists with hostile file names (a line break and `reset -s`; a quote and a
    redirection onto Crestune.efi), a stick whose Tagwell.efi is not a program the firmware
    can start, one without Crestune.efi; with VENDOR_STICK (when the build's Tagwell reports
    a failed vendor tool) a fifth, whose vendor tool (the double, as H2OSDE-Sx64.efi: the
    machine's type 0 vendor is Insyde) ends with status 5 and prints lines of the script (step
    2 passing, ALL DONE). Nothing answers the SMI, so
    Crestune's first request fails (0xC0000006): the run list's step did run."""
    name = "USB sticks: hostile run-list names, programs that cannot start"
    label = "stock OVMF with an Insyde type 0 vendor, four sticks"
    STICKS = [
        # (name, run list's file name, run list, changed files, case)
        ("newline", "x\nreset -s\n.txt", "Crestune /f9\n", None,
         "a run list named with a line break and reset -s runs its step"),
        # (a comment line, so that the two sticks differ and get markers of their own)
        ("quote", 'x" > Crestune.efi #.txt', "# quote\nCrestune /f9\n", None,
         "a run list named with a quote and a redirection leaves Crestune.efi whole"),
        ("refused", "refused.txt", "Tagwell /sn:A1\nCrestune /f9\n",
         {"EFI/tools/Tagwell.efi": b"this is not a program\r\n"},
         "a program the firmware refuses to start fails its step and stops the run"),
        ("missing", "missing.txt", "Crestune /f9\nTagwell /sn:A1\n",
         {"EFI/tools/Crestune.efi": None},
         "a program missing from the stick fails its step and stops the run"),
    ]
    # The vendor tool fails and prints lines of the script that say otherwise.
    FORGED = b"step 2 (line 2): Crestune /f9\nstep 2 status 0x0\nALL DONE\n"
    VENDOR_STICK = (
        "vendor", "vendor.txt", "Tagwell /sn:UNIT42\nCrestune /f9\n",
        {"EFI/tools/H2OSDE-Sx64.efi": "VendorDouble.efi", "EFI/tools/VDSTATUS.TXT": b"0x5\r\n",
         "EFI/tools/VDPRINT.TXT": FORGED},
        "a vendor tool that fails, printing lines of the script, fails the Tagwell step, stops "
        "the run and is reported as failed")

    def __init__(self, vendor: bool):
        self.STICKS = self.STICKS + ([self.VENDOR_STICK] if vendor else [])
        self.cases = [Case(case) for *_, case in self.STICKS]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        outcomes = [Outcome(self.name, case.name) for case in self.cases]
        with tempfile.TemporaryDirectory(prefix="stick-hostile-") as tmp:
            images, markers = [], []
            for name, source, run_list, change, _ in self.STICKS:
                change = {path: (build / "test-efi" / data).read_bytes()
                          if isinstance(data, str) else data
                          for path, data in (change or {}).items()}
                image, marker = make_image(Path(tmp), name, run_list, build, then="shell",
                                           source=source, change=change)
                images.append(image)
                markers.append(marker)
            try:
                run = shell.run_shell(
                    [shell.Command(f"s{n}.nsh") for n in range(1, len(images) + 1)]
                    + [shell.Command("echo after")],
                    files={f"s{n}.nsh": caller_script(marker)
                           for n, marker in enumerate(markers, start=1)},
                    build_dir=build,
                    qemu_args=stick_args(images) + ["-smbios", "type=0,vendor=INSYDE Corp."])
            except (shell.ShellRunError, shell.MachineError) as error:
                for outcome in outcomes:
                    outcome.failures.append(f"QEMU run failed: {error}")
                return outcomes, 0.0
            off = not run.completed or not all(result.ran for result in run.results)
            for (name, source, _, _, _), image, marker, outcome in zip(
                    self.STICKS, images, markers, outcomes):
                fail = outcome.failures.append
                if off:
                    fail("the machine powered off or reset: the harness's commands did not "
                         "all run")
                log = decode_log(read_stick(image, "logs/run1.txt"))
                outcome.shown = f"{name}: logs/run1.txt:\n{log}"
                if log is None:
                    fail("logs/run1.txt is not on the stick")
                    continue
                title = f"stick {marker[6:14]}: {names.shown_name(source)}, "
                if name in ("newline", "quote"):
                    line = 2 if name == "quote" else 1
                    steps = [(line, "Crestune /f9", "Return code: 534D3220h\n\n", "0xC0000006")]
                    expected = expected_log(title + "1 step, then shell", steps,
                                            "FAILED at step 1 (status 0xC0000006)")
                    if not expected.fullmatch(log):
                        fail(f"logs/run1.txt is not as expected:\n{log}")
                    for problem in output_problems(image, 1, steps):
                        fail(problem)
                if name == "quote" and read_stick(image, "EFI/tools/Crestune.efi") != \
                        Path(efi["Crestune.efi"]).read_bytes():
                    fail("EFI/tools/Crestune.efi on the stick is not the built one")
                if name == "refused":
                    match = re.search(
                        r"\nstep 1 status (0x[0-9A-F]+)\nthe firmware refused to start "
                        r"Tagwell\.efi: [^\n]+\nFAILED at step 1 \(status \1\)\n$", log)
                    if not match or "step 2" in log:
                        fail(f"the log does not end with the refused step 1:\n{log}")
                if name == "missing":
                    if not log.endswith("step 1 status 0xE\nCrestune.efi is not on the "
                                        "stick\nFAILED at step 1 (status 0xE)\n") \
                            or "step 2" in log:
                        fail(f"the log does not end with the missing program of step 1:\n{log}")
                if name == "vendor":
                    # Tagwell names the failed tool and its status, and claims no success.
                    match = re.search(r"\nstep 1 \(line 1\): Tagwell /sn:UNIT42\n"
                                      r"step 1 status (0x[0-9A-F]+)\n"
                                      r"FAILED at step 1 \(status \1\)\n$", log)
                    output = decode_log(read_stick(image, "logs/run1-step1.txt")) or ""
                    if not match or match.group(1) == "0x0" or "step 2" in log:
                        fail(f"the log does not end with the failed Tagwell step:\n{log}")
                    elif "Vendor tool double ends with status 0x5." not in output \
                            or "successfully" in output:
                        fail(f"step 1 does not show the vendor tool's failure:\n{output}")
                    done = subprocess.run([sys.executable, str(REPO / "tools" / "stick-report"),
                                           str(image)], capture_output=True, text=True,
                                          timeout=120)
                    outcome.shown += f"\nlogs/run1-step1.txt:\n{output}tools/stick-report " \
                                     f"(exit status {done.returncode}):\n{done.stdout}"
                    if self.FORGED.decode() not in output:
                        fail(f"the tool's output is not in logs/run1-step1.txt:\n{output}")
                    if "ALL DONE" in log or not log.endswith("FAILED at step 1 (status "
                                                             "0xC000000B)\n"):
                        fail(f"the forged lines reached the log:\n{log}")
                    if done.returncode != 1 or "FAILED at step 1" not in done.stdout:
                        fail("stick-report does not show the failure")
        return outcomes, run.seconds


UNITS_LIST = "Crestune /pbs sata1\nCrestune /b backup-{unit}.dat\n"
UNITS_STEPS = [(1, "Crestune /pbs sata1", OK, "0x0"),
               (2, "Crestune /b backup-{unit}.dat", OK, "0x0")]


class TwoUnits:
    """One stick, two units (stock OVMF with the double, -smbios serial numbers UNITA001 and
    UNITB002): two logs, each with its unit line, two backups named by the unit, two records;
    then stick-report reads the stick, where it is built."""
    name = "USB stick: two units"
    label = "stock OVMF + double, serial UNITA001, then UNITB002"
    SERIALS = ("UNITA001", "UNITB002")
    cases = [Case("each unit logs its own run and writes its own backup")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        outcome = Outcome(self.name, self.cases[0].name)
        fail = outcome.failures.append
        seconds = 0.0
        with tempfile.TemporaryDirectory(prefix="stick-units-") as tmp:
            image, marker = make_image(Path(tmp), "batch", UNITS_LIST, build)
            identity = marker[6:14]
            for number, serial in enumerate(self.SERIALS, start=1):
                try:
                    run = boot_unit(shell, build, efi, image, marker, make_state(build, None),
                                    serial)
                    seconds += run.seconds
                except (shell.ShellRunError, shell.MachineError, ValueError) as error:
                    fail(f"QEMU run of unit {serial} failed: {error}")
                    return [outcome], seconds
                if run.results[0].ran:
                    fail(f"unit {serial}: the machine did not power off after ALL DONE")
                for problem in run.results[0].smm_problems:
                    fail(problem)
                log = decode_log(read_stick(image, f"logs/run{number}.txt"))
                outcome.shown += f"logs/run{number}.txt:\n{log}"
                expected = expected_log(f"stick {identity}: batch.txt, 2 steps, then off",
                                        UNITS_STEPS, "ALL DONE",
                                        unit=f"unit {serial}: {UNIT_LINE[5:]}")
                if log is None or not expected.fullmatch(log):
                    fail(f"logs/run{number}.txt is not as expected:\n{log}")
                for problem in output_problems(image, number, UNITS_STEPS):
                    fail(problem)
            for serial in self.SERIALS:
                if not read_stick(image, f"EFI/tools/backup-{serial}.dat"):
                    fail(f"EFI/tools/backup-{serial}.dat is not on the stick (or empty)")
                record = read_stick(image, f"logs/done-{identity}/{serial}.txt") or b""
                if not record.startswith(f"unit-record 1\nstick {identity}\nrun "
                                         f"{self.SERIALS.index(serial) + 1}\nunit {serial}\n"
                                         f"serial {serial.encode().hex().upper()}\n".encode()):
                    fail(f"the record of unit {serial} is {record!r}")
            if read_stick(image, "EFI/tools/backup-.dat") is not None:
                fail("a backup without the unit's name is on the stick")
            report = REPO / "tools" / "stick-report"
            if report.is_file():
                done = subprocess.run([sys.executable, str(report), str(image)],
                                      capture_output=True, text=True, timeout=120)
                outcome.shown += f"tools/stick-report (exit status {done.returncode}):\n" \
                                 f"{done.stdout}{done.stderr}"
                if done.returncode != 0 or not all(s in done.stdout for s in self.SERIALS):
                    fail("stick-report does not show both units' runs as done")
            else:
                outcome.notes.append("tools/stick-report not in this tree: no report shown")
        return [outcome], seconds


class ResetStick:
    """A last step that resets the machine (Crestune /r without /NoReboot) on unit UNITC003:
    the record is written before it; the boot after the reset (the stick alone, the same
    serial number) finds the unit done, runs nothing and powers off."""
    name = "USB stick: a resetting last step does not loop"
    label = "stock OVMF + double, serial UNITC003, then the stick alone"
    SERIAL = "UNITC003"
    cases = [Case("the reset step ends the first run"),
             Case("the boot after the reset is already done and runs nothing")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        first, second = (Outcome(self.name, case.name) for case in self.cases)
        seconds = 0.0
        with tempfile.TemporaryDirectory(prefix="stick-reset-") as tmp:
            image, marker = make_image(Path(tmp), "restore",
                                       "Crestune /b bk-{unit}.dat\nCrestune /r bk-{unit}.dat\n",
                                       build)
            identity = marker[6:14]
            try:
                run = boot_unit(shell, build, efi, image, marker, make_state(build, None),
                                self.SERIAL)
                seconds += run.seconds
            except (shell.ShellRunError, shell.MachineError, ValueError) as error:
                first.failures.append(f"QEMU run failed: {error}")
                second.failures.append("not run: the first boot failed")
                return [first, second], seconds
            log = decode_log(read_stick(image, "logs/run1.txt")) or ""
            first.shown = f"logs/run1.txt:\n{log}"
            if run.results[0].ran or run.completed:
                first.failures.append("the machine did not reset in step 2")
            if "step 1 status 0x0\nstep 2 (line 2): Crestune /r bk-{unit}.dat\nstep 2 resets " \
               "the machine when it succeeds\n" not in log or "step 2 status" in log:
                first.failures.append(f"logs/run1.txt does not show step 2 resetting:\n{log}")
            if read_stick(image, f"logs/done-{identity}/{self.SERIAL}.txt") is None:

                first.failures.append("no record of the unit before the reset")
            try:
                console, more = boot_stick_alone(shell, image, "already done on this unit",
                                                 qemu_args=tuple(unit_args(self.SERIAL)))
                seconds += more
            except shell.ShellRunError as error:
                second.failures.append(str(error))
                return [first, second], seconds
            log2 = decode_log(read_stick(image, "logs/run2.txt"))
            second.shown = f"logs/run2.txt:\n{log2}"
            expected = re.compile(
                re.escape(f"stick {identity}: restore.txt, 2 steps, then off\n")
                + r"[0-9/]+\n[0-9:]+ \(\w+\)\n"
                + f"unit {self.SERIAL}: {UNIT_LINE[5:]}"
                + re.escape("already done on this unit (run 1)\n"))
            if log2 is None or not expected.fullmatch(log2):
                second.failures.append(f"logs/run2.txt is not as expected:\n{log2}")
            if read_stick(image, "logs/run3.txt") is not None:
                second.failures.append("a third log appeared: the stick ran again")
        return [first, second], seconds


def tagwell_reports_failed_tool(build: Path) -> bool:
    """Whether the build's host Tagwell ends with a failing status when the vendor tool fails
    (on the built-in desktop, whose vendor is AMI, with a stand-in tool that ends with 5)."""
    build = Path(build).resolve()
    with tempfile.TemporaryDirectory(prefix="stick-tagwell-") as tmp:
        machine = Path(tmp) / "machine.json"
        done = subprocess.run([str(build / "host" / "simmachine"), "default"],
                              capture_output=True, timeout=60)
        machine.write_bytes(done.stdout)
        tool = Path(tmp) / "AMIDEEFIx64.efi"
        tool.write_text("#!/bin/sh\nexit 5\n")
        tool.chmod(0o755)
        subprocess.run([str(build / "host" / "Tagwell"), "/sn:UNIT42"], cwd=tmp,
                       env=dict(os.environ, FWSIM_MACHINE=str(machine)),
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        try:
            return int(json.loads(machine.read_text())["lasterror"], 16) != 0
        except (OSError, ValueError, KeyError, TypeError):
            return False


def groups(build: Path, shell) -> list:
    needed = [build / "test-efi" / "SmmDouble.efi", build / "efi" / "Crestune.efi",
              build / "efi" / "Tagwell.efi", build / "host" / "smmdouble",
              build / "test-efi" / "VendorDouble.efi"]
    missing = [str(path) for path in needed if not path.is_file()]
    if missing:
        return [Unavailable(f"not built: {', '.join(missing)}", "USB stick",
                            "deployment sticks boot")]
    if not (build / "efi" / "Unit.efi").is_file():
        return [Unavailable(f"not built: {build / 'efi' / 'Unit.efi'}", "USB stick",
                            "deployment sticks boot")]
    # Tagwell learns the vendor tool's status on the branch that adds the vendor tool
    # status; until the build's Tagwell reports a failed tool, the stick that shows it waits.
    vendor = tagwell_reports_failed_tool(build)
    groups = [PassingStick(), FailingStick(), HostileSticks(vendor), TwoUnits(), ResetStick()]
    if not vendor:
        groups.append(Unavailable("the build's Tagwell reports a failed vendor tool as success",
                                  HostileSticks.name, HostileSticks.VENDOR_STICK[-1]))
    return groups
