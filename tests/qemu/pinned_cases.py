"""QEMU boots of pinned sticks under Secure Boot (firmware, test key and vendor tool double of
secureboot_cases.py), made as make-stick makes a signed stick: shell pinned, then signed. Case
d stores in NVRAM an alias that turns the vendor tool (run by name) into `ver`, and a path."""

import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import secureboot_cases as sb
import stick_cases
from stick import layout, pinning, runlist

ENDED = "The run has ended: powering off"
REFUSED = " is not a script this stick was built to run."


def stick(build: Path, run_list: str, key: Path, cert: Path, pinned: bool = True,
          change: dict | None = None) -> dict[str, bytes]:
    steps = runlist.parse_run_list(run_list, "pinned.txt")
    vendor = Path(tempfile.mkdtemp(prefix="pin-vendor-")) / sb.VENDOR_TOOL
    shutil.copyfile(build / "test-efi" / "VendorDouble.efi", vendor)
    files = layout.stick_files(steps, "off", build / "efi", [vendor],
                               build / "shell" / "Shell.efi", "pinned.txt")
    shutil.rmtree(vendor.parent)
    files = pinning.pin_stick(files, layout.SHELL_PATH) if pinned else files
    return {**sb.signed(files, key, cert), **(change or {})}


def argv(shell, image: Path, variables: Path) -> list[str]:
    return [shell.QEMU, *sb.SECURE_ARGS, "-m", "256", "-nographic", "-no-reboot", "-drive",
            f"if=pflash,format=raw,readonly=on,file={sb.SECURE_CODE}", "-drive",
            f"if=pflash,format=raw,file={variables}", "-net", "none", "-accel", "tcg",
            "-device", "qemu-xhci", *sb.SMBIOS_INSYDE, "-drive",
            f"if=none,id=s,format=raw,file={image}", "-device", "usb-storage,drive=s,bootindex=1"]


def boot_until_off(shell, image: Path, variables: Path) -> tuple[str, float]:
    started = time.monotonic()
    process = subprocess.Popen(argv(shell, image, variables), stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True)
    try:
        raw = process.communicate(timeout=150)[0]
    except subprocess.TimeoutExpired:
        shell._stop(process)
        raise shell.ShellRunError("still running after 150 s") from None
    return shell._ESCAPES.sub(b"", raw).decode("latin-1"), time.monotonic() - started


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
            caller = {"startup.nsh": b"@echo -off\r\nfs0:\r\n\\EFI\\pinned\\Shell.efi -nostartup "
                                     b"-noversion \\evil.nsh\r\n",
                      "evil.nsh": b"echo evil > \\evil.txt\r\n",
                      "EFI/pinned/Shell.efi": good[layout.SHELL_PATH]}
            storing = {"startup.nsh": b"@echo -off\r\nalias %s ver\r\nset path fs0:\\nowhere\r\n"
                                      b"%s\r\n" % ((sb.VENDOR_TOOL.encode(),) * 2)}
            # (case, boot, files, NVRAM, on the console, in the log, not in the log, no file)
            for case, name, files, variables, shown, logged, unlogged, absent in [
                    (a, "a", good, None, [], ["step 1 status 0x0\nALL DONE"], [], []),
                    (b, "b1", {**good, "startup.nsh": good["startup.nsh"][:-3] + b"X\r\n"},
                     None, ["startup.nsh" + REFUSED, ENDED], None, [], []),
                    (b, "b2", {**good, "EFI/stick/step1.nsh": step,
                               "EFI/stick/x.nsh": b"echo x > \\logs\\extra.txt\r\n"},
                     None, ["step1.nsh" + REFUSED], ["FAILED at step 1"], [],
                     ["logs/extra.txt"]),
                    (b, "b3", stick(build, "Tagwell /sn:PN-3\n", key, cert, False, caller),
                     None, ["startup.nsh" + REFUSED, ENDED], [], [], ["evil.txt"]),
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


def groups(build: Path, shell) -> list:
    return [PinnedSticks() if isinstance(group, sb.SecureBootSticks) else group
            for group in sb.groups(build, shell)]
