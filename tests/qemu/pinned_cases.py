"""QEMU boots of pinned sticks under Secure Boot (firmware, test key and vendor tool double of
secureboot_cases.py), made as make-stick makes a signed stick: files signed, shell pinned to
them, then signed. Case d stores in NVRAM an alias that turns the vendor tool (run by name) into
`ver`, and a path. The sealed sticks (SealedSticks) are changed as a holder of a copy could
change them, and boot beside an internal disk with a startup.nsh of its own, mapped first."""

import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import secureboot_cases as sb
import stick_cases
from stick import assembly, names, pinning, runlist

ENDED = "The run has ended: powering off"
REFUSED = " is not a script this stick was built to run."
NESTED = "Refused: a shell is running already"


def stick(build: Path, run_list: str, key: Path, cert: Path, pinned: bool = True,
          change: dict | None = None, data: dict | None = None,
          unsigned: tuple = ()) -> dict[str, bytes]:
    """The stick's files, signed (and with `pinned`, sealed), then changed by `change`. data:
    the files the steps read, by name; unsigned: files left unsigned (and pinned so)."""
    steps = runlist.parse_run_list(run_list, "pinned.txt")
    with tempfile.TemporaryDirectory(prefix="pin-inputs-") as tmp:
        vendor = Path(tmp) / sb.VENDOR_TOOL
        shutil.copyfile(build / "test-efi" / "VendorDouble.efi", vendor)
        for name, content in (data or {}).items():
            (Path(tmp) / name).write_bytes(content)
        files = assembly.stick_files(steps, "off", build / "efi", [vendor],
                                   build / "shell" / "Shell.efi", "pinned.txt",
                                   data_files=[Path(tmp) / name for name in data or {}],
                                   sealed=pinned)
    files = pinning.seal_stick(files, names.SHELL_PATH, lambda plain: (
        {**sb.signed(plain, key, cert), **{n: plain[n] for n in unsigned if n in plain}}, []))[0] \
        if pinned else sb.signed(files, key, cert)
    return {**files, **(change or {})}


def startup(text: bytes) -> dict[str, bytes]:
    """The stick's startup script, where the shell looks for it and at the root."""
    return {path: text for path in names.STARTUP_PATHS}


def argv(shell, image: Path, variables: Path, extra: tuple = ()) -> list[str]:
    return [shell.QEMU, *sb.SECURE_ARGS, "-m", "256", "-nographic", "-no-reboot", "-drive",
            f"if=pflash,format=raw,readonly=on,file={sb.SECURE_CODE}", "-drive",
            f"if=pflash,format=raw,file={variables}", "-net", "none", "-accel", "tcg",
            "-device", "qemu-xhci", *sb.SMBIOS_INSYDE, "-drive",
            f"if=none,id=s,format=raw,file={image}", "-device", "usb-storage,drive=s,bootindex=1",
            *extra]


def boot_until_off(shell, image: Path, variables: Path, extra: tuple = ()) -> tuple[str, float]:
    started = time.monotonic()
    process = subprocess.Popen(argv(shell, image, variables, extra), stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True)
    try:
        raw = process.communicate(timeout=150)[0]
    except subprocess.TimeoutExpired:
        shell.stop(process)
        raise shell.ShellRunError("still running after 150 s") from None
    return shell.ESCAPES.sub(b"", raw).decode("latin-1"), time.monotonic() - started


class PinnedSticks:
    name = "Secure Boot: pinned sticks"
    label = "Secure Boot OVMF (snakeoil test key)"
    cases = [sb.Case(text) for text in (
        "a: a pinned stick runs its list, logs and powers off",
        "b: a changed startup.nsh, a changed step script, a command line: refused",
        "c: a failed step is logged and shown; no prompt; powered off",
        "d: the same shell unpinned gives the prompt",
        "e: a stored alias and path change nothing on a pinned stick")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        a, b, c, d, e = outcomes = [Outcome(self.name, case.name) for case in self.cases]
        seconds = 0.0
        with tempfile.TemporaryDirectory(prefix="pinned-") as tmp:
            folder = Path(tmp)
            key, cert, _, _ = sb.test_keys(folder)
            stored = folder / "stored.fd"
            shutil.copyfile(sb.SECURE_VARS, stored)
            good = stick(build, "Tagwell /sn:PN-0001\n", key, cert)
            step = good["EFI/stick/step1.nsh"].replace(b"off\r\n",
                                                        b"off\r\n\\EFI\\stick\\x.nsh\r\n")
            # A pinned shell started by another shell refuses at once, whatever it is given.
            caller = {**startup(b"@echo -off\r\nfs0:\r\n\\EFI\\pinned\\Shell.efi -nostartup "
                                b"-noversion \\evil.nsh\r\necho \"nested %lasterror%\"\r\n"
                                b"reset -s\r\n"),
                      "evil.nsh": b"echo evil > \\evil.txt\r\n",
                      "EFI/pinned/Shell.efi": good[names.SHELL_PATH]}
            storing = startup(b"@echo -off\r\nalias %s ver\r\nset path fs0:\\nowhere\r\n"
                              b"%s\r\n" % ((sb.VENDOR_TOOL.encode(),) * 2))
            # (case, boot, files, NVRAM, on the console, in the log, not in the log, no file)
            for case, name, files, variables, shown, logged, unlogged, absent in [
                    (a, "a", good, None, [], ["step 1 status 0x0\nALL DONE"], [], []),
                    (b, "b1", {**good, **startup(good["startup.nsh"][:-3] + b"X\r\n")},
                     None, ["startup.nsh" + REFUSED, ENDED], None, [], []),
                    (b, "b2", {**good, "EFI/stick/step1.nsh": step,
                               "EFI/stick/x.nsh": b"echo x > \\logs\\extra.txt\r\n"},
                     None, ["step1.nsh" + REFUSED], ["FAILED at step 1"], [],
                     ["logs/extra.txt"]),
                    (b, "b3", stick(build, "Tagwell /sn:PN-3\n", key, cert, False, caller),
                     None, [NESTED, "nested 0x1A", "!" + ENDED], [], [], ["evil.txt"]),
                    (c, "c", stick(build, "Tagwell /sn:PN-2\nCrestune /pbs sata1\n", key, cert),
                     None, ["FAILED at step 2", ENDED], ["FAILED at step 2"], [], []),
                    (d, "d", stick(build, "Tagwell /sn:PN-4\n", key, cert, False, storing),
                     stored, ["Shell>"], [], [], []),
                    (e, "e", good, stored, [], ["ALL DONE", "Vendor tool double received"],
                     ["UEFI Interactive"], [])]:
                image = sb.write(files, folder / f"{name}.img")
                fresh = folder / f"{name}.fd"
                shutil.copyfile(sb.SECURE_VARS, fresh)
                try:
                    if case is d:  # the prompt: the machine stays on
                        console, took = stick_cases.watch_console(
                            shell, argv(shell, image, stored), ("Shell>",), 150.0)
                        shown.append("!" + ENDED)
                    else:
                        console, took = boot_until_off(shell, image, variables or fresh)
                        shown += [] if name == "b3" else ["!seconds to skip"]
                        shown.append("!Shell>")
                except shell.ShellRunError as error:
                    case.failures.append(f"{name}: {error}")
                    continue
                seconds += took
                log = sb.log_of(image)
                if log is not None:  # the programs' output is logged beside the run's log
                    log += stick_cases.decode_log(
                        stick_cases.read_stick(image, "logs/run1-step1.txt")) or ""
                wrong = ([f"console: {t}" for t in shown
                          if (t.lstrip("!") in console) == t.startswith("!")]
                         + [f"log: {t}" for t in logged or [] if t not in (log or "")]
                         + [f"log: not {t}" for t in unlogged if t in (log or "")]
                         + [f"file: {p}" for p in absent if stick_cases.read_stick(image, p)]
                         + (["a log"] if logged is None and log is not None else [])
                         + (["the alias did not work"] if case is d and console.count(
                             "UEFI Interactive Shell v") < 2 else []))
                if wrong:
                    case.failures.append(f"{name}: {wrong}\n{console[-700:]}\n{log}")
                case.shown += f"{name} ({took:.0f} s): ...{' '.join(console.split()[-14:])}\n"
        return outcomes, seconds


def internal_disk(folder: Path) -> tuple:
    """QEMU options for a unit's own disk, mapped before the stick, with a startup.nsh of its
    own that says so when it runs."""
    disk = folder / "internal.img"
    sb.stick_cases.stick_image.make_disk(disk, {"startup.nsh": b"echo \"internal disk\"\r\n"})
    # A boot index of its own: OVMF connects only the devices of QEMU's boot order.
    return ("-drive", f"if=none,id=internal,format=raw,file={disk}",
            "-device", "ide-hd,drive=internal,bus=ide.0,bootindex=2")


class SealedSticks:
    """Copies of a signed stick changed file by file: each boot is refused at the change, and
    the machine powers off. Every boot has the unit's own disk beside the stick."""
    name = "Secure Boot: sealed sticks"
    label = "Secure Boot OVMF (snakeoil test key), a unit's disk with its own startup.nsh"
    LIST = "Tagwell /sn:SL-1\nCrestune /r shared.dat /NoReboot\n"
    cases = [sb.Case(text) for text in (
        "a: the stick runs beside a unit's startup.nsh; a restore reads its pinned file",
        "b: step scripts swapped: refused",
        "c: the signed shell in a program's place: refused, no nesting, powered off",
        "d: another signed image in the vendor tool's place: Tagwell says it did not start",
        "e: the restore file changed: no program starts, nothing restored",
        "f: a stick not sealed: its shell takes its own startup.nsh (Secure Boot off)",
        "g: a program pinned unsigned: the firmware still checks the bytes the shell hands it")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        a, b, c, d, e, f, g = outcomes = [Outcome(self.name, case.name) for case in self.cases]
        seconds = 0.0
        with tempfile.TemporaryDirectory(prefix="sealed-") as tmp:
            folder = Path(tmp)
            key, cert, _, _ = sb.test_keys(folder)
            disk = internal_disk(folder)
            good = stick(build, self.LIST, key, cert, data={"shared.dat": b"settings\r\n"})
            tools = "EFI/tools/"
            plain = stick(build, "Tagwell /sn:SL-6\n", key, cert, False)
            # (case, boot, files, on the console, in the log, in step N's output, not there)
            for case, name, files, shown, logged, outputs in [
                    (a, "a", good, [], ["step 1 status 0x0\n", "step 2 status 0xC0000006\n"],
                     {2: "Return code: 534D3220h"}),
                    (b, "b", {**good, "EFI/stick/step1.nsh": good["EFI/stick/step2.nsh"]},
                     ["step1.nsh" + REFUSED], ["FAILED at step 1 (status 0x1A)"],
                     {1: "!Vendor tool double"}),
                    (c, "c", {**good, tools + "Crestune.efi": good[names.SHELL_PATH]},
                     ["Crestune.efi is not a program this stick was built to run"],
                     ["step 1 status 0x0\n", "the shell refused to start Crestune.efi",
                      "FAILED at step 2 (status 0x21)"], {2: "!UEFI Interactive"}),
                    (d, "d", {**good, tools + sb.VENDOR_TOOL: good[tools + "Crestune.efi"]},
                     [f"{sb.VENDOR_TOOL} is not a program this stick was built to run"],
                     ["FAILED at step 1 (status 0xC000000B)"],
                     {1: f"{sb.VENDOR_TOOL} could not be started: status 0x21."}),
                    (e, "e", {**good, tools + "shared.dat": b"other settings\r\n"},
                     ["\\EFI\\tools\\shared.dat is not the file this stick was built with"],
                     ["the shell refused to start Unit.efi", "FAILED at step 1 (status 0x21)"],
                     {1: "!Vendor tool double", 2: "!Return code"}),
                    (f, "f", plain, ["ALL DONE"], ["ALL DONE"], {1: "Vendor tool double"}),
                    (g, "g", stick(build, self.LIST, key, cert, data={"shared.dat": b"x"},
                                   unsigned=(tools + "Crestune.efi",)),
                     ["FAILED at step 2"], ["step 1 status 0x0\n", "the firmware refused to start "
                                            "Crestune.efi", "FAILED at step 2 (status 0xF)"],
                     {2: "!Return code"})]:
                image = sb.write(files, folder / f"{name}.img")
                variables = folder / f"{name}.fd"
                shutil.copyfile(sb.SECURE_VARS, variables)
                try:
                    if case is f:
                        console, took = sb.boot(shell, [image], secure=False, until=("ALL DONE",),
                                                extra=(*sb.SMBIOS_INSYDE, *disk))
                    else:
                        console, took = boot_until_off(shell, image, variables, disk)
                        shown.append(ENDED)
                except shell.ShellRunError as error:
                    case.failures.append(f"{name}: {error}")
                    continue
                seconds += took
                log = sb.log_of(image) or ""
                said = {step: stick_cases.decode_log(stick_cases.read_stick(
                    image, f"logs/run1-step{step}.txt")) or "" for step in outputs}
                wrong = ([f"console: {t}" for t in shown + ["!internal disk"]
                          if (t.lstrip("!") in console) == t.startswith("!")]
                         + [f"log: {t}" for t in logged if t not in log]
                         + [f"step {n}: {t}" for n, t in outputs.items()
                            if (t.lstrip("!") in said[n]) == t.startswith("!")]
                         + ([] if case in (a, f) or "ALL DONE" not in log else ["ALL DONE"])
                         + (["a second shell"] if console.count("UEFI Interactive Shell v") != 1
                            and case is not f else []))
                if wrong:
                    case.failures.append(f"{name}: {wrong}\n{console[-900:]}\n{log}\n{said}")
                tail = " ".join(console.split()[-24:])
                case.shown += (f"{name} ({took:.0f} s): console ...{tail}"
                               f"\nlogs/run1.txt:\n{log}")
        return outcomes, seconds


def groups(build: Path, shell) -> list:
    return [group for found in sb.groups(build, shell)
            for group in ([PinnedSticks(), SealedSticks()]
                          if isinstance(found, sb.SecureBootSticks) else [found])]
