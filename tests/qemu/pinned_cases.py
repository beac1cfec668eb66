"""QEMU boots of pinned sticks under Secure Boot: the signed shell runs only the stick's own
scripts, never shows a prompt and powers off.

The firmware, keys and tools are those of secureboot_cases.py (the snakeoil test key, the
vendor tool double on a machine whose SMBIOS names Insyde). The pinned stick is made as
make-stick makes a signed one: the files of a run list, the shell pinned to its scripts, then
everything signed.

    a  a pinned stick runs its list, logs ALL DONE and powers off, with no countdown
    b  startup.nsh with one byte changed: refused on the console, no log, powered off; a
       changed step script that calls an extra script: refused, logged as a failed step, the
       extra never runs; the signed shell started with a command line of its own: the
       command line is ignored
    c  a step fails: FAILED in the log and on the console, no prompt, powered off
    d  the same shell unpinned gives the prompt (and stores an alias and a path in NVRAM)
    e  after d, on the same NVRAM: the pinned stick of a runs as before (the stored alias of
       the vendor tool and the stored path change nothing)
"""

from __future__ import annotations

import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import secureboot_cases as sb
import stick_cases
from stick import layout, pinning, runlist

ENDED = "The run has ended: powering off"
REFUSED = "is not a script this stick was built to run."
PROMPT = "Shell>"


def stick(build: Path, run_list: str, key: Path, cert: Path, pinned: bool = True,
          change: dict | None = None) -> dict[str, bytes]:
    """A signed stick's files (pinned as make-stick pins them); `change` then replaces or
    adds files as someone holding the stick would."""
    steps = runlist.parse_run_list(run_list, "pinned.txt")
    vendor = Path(tempfile.mkdtemp(prefix="pin-vendor-")) / sb.VENDOR_TOOL
    try:
        shutil.copyfile(build / "test-efi" / "VendorDouble.efi", vendor)
        files = layout.stick_files(steps, "off", build / "efi", [vendor],
                                   build / "shell" / "Shell.efi", "pinned.txt")
    finally:
        shutil.rmtree(vendor.parent)
    if pinned:
        files = pinning.pin_stick(files, layout.SHELL_PATH)
    return {**sb.signed(files, key, cert), **(change or {})}


def argv(shell, images: list[Path], variables: Path) -> list[str]:
    args = [shell.QEMU, *sb.SECURE_ARGS, "-m", "256", "-nographic", "-no-reboot",
            "-drive", f"if=pflash,format=raw,readonly=on,file={sb.SECURE_CODE}",
            "-drive", f"if=pflash,format=raw,file={variables}", "-net", "none",
            "-accel", "tcg", "-device", "qemu-xhci", *sb.SMBIOS_INSYDE]
    for index, image in enumerate(images, start=1):
        args += ["-drive", f"if=none,id=stick{index},format=raw,file={image}",
                 "-device", f"usb-storage,drive=stick{index},bootindex={index}"]
    return args


def boot_until_off(shell, images: list[Path], variables: Path,
                   timeout: float = 150.0) -> tuple[str, float]:
    """Boots and waits for the machine to power off by itself; its console text and the
    seconds. A machine still running at the timeout is a failure."""
    process = subprocess.Popen(argv(shell, images, variables), stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True)
    started = time.monotonic()
    try:
        raw, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        shell._stop(process)
        raw = process.stdout.read() or b""
        text = shell._ESCAPES.sub(b"", raw).decode("latin-1")
        raise shell.ShellRunError(f"still running after {timeout:.0f} s: ...{text[-800:]}")
    return shell._ESCAPES.sub(b"", raw).decode("latin-1"), time.monotonic() - started


class Case:
    def __init__(self, name: str):
        self.name = name


class PinnedSticks:
    name = "Secure Boot: pinned sticks"
    label = "Secure Boot OVMF (snakeoil test key)"
    cases = [Case("a: a pinned stick runs its list, logs and powers off"),
             Case("b: a changed startup.nsh, a changed step script, a command line: refused"),
             Case("c: a failed step is logged and shown; no prompt; powered off"),
             Case("d: the same shell unpinned gives the prompt"),
             Case("e: a stored alias and path change nothing on a pinned stick")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        a, b, c, d, e = outcomes = [Outcome(self.name, case.name) for case in self.cases]
        seconds = 0.0
        with tempfile.TemporaryDirectory(prefix="pinned-") as tmp:
            folder = Path(tmp)
            key, cert, _, _ = sb.test_keys(folder)
            fresh = folder / "fresh.fd"
            shutil.copyfile(sb.SECURE_VARS, fresh)

            def boot(case, files: dict, name: str, *, variables: Path | None = None,
                     countdown: bool = False) -> tuple[str, Path] | None:
                nonlocal seconds
                image = sb.write(files, folder / f"{name}.img")
                copy = folder / f"{name}.fd"
                shutil.copyfile(variables or fresh, copy)
                try:
                    console, took = boot_until_off(shell, [image], copy)
                except shell.ShellRunError as error:
                    case.failures.append(f"{name}: {error}")
                    return None
                seconds += took
                for bad, why in ((PROMPT, "a prompt"), ("seconds to skip", "a countdown")):
                    if bad in console and not (countdown and why == "a countdown"):
                        case.failures.append(f"{name}: the console shows {why}")
                return console, image

            def log(image: Path) -> str:
                return sb.log_of(image) or ""

            good = stick(build, "Tagwell /sn:PN-0001\n", key, cert)
            # a: the list runs, the script powers off after ALL DONE.
            done = boot(a, good, "a")
            if done and not ("step 1 status 0x0\nALL DONE" in log(done[1])):
                a.failures.append(f"a: the log is not ALL DONE:\n{log(done[1])}")
            if done:
                a.shown = f"logs/run1.txt:\n{log(done[1])}"

            # b: one byte of startup.nsh; a step script that calls an extra script.
            startup = bytearray(good["startup.nsh"])
            startup[-3] ^= 0x20
            done = boot(b, {**good, "startup.nsh": bytes(startup)}, "b1")
            if done and (REFUSED not in done[0] or ENDED not in done[0]
                         or sb.log_of(done[1]) is not None):
                b.failures.append(f"b1: expected a refused startup.nsh, no log and the end "
                                  f"line:\n{done[0][-800:]}")
            extra = b"@echo -off\r\necho extra > \\logs\\extra.txt\r\n"
            step = good["EFI/stick/step1.nsh"].replace(b"@echo -off\r\n",
                                                        b"@echo -off\r\n\\EFI\\stick\\x.nsh\r\n")
            done = boot(b, {**good, "EFI/stick/step1.nsh": step, "EFI/stick/x.nsh": extra}, "b2")
            if done and ("step1.nsh " + REFUSED not in done[0]
                         or "FAILED at step 1" not in log(done[1])
                         or stick_cases.read_stick(done[1], "logs/extra.txt") is not None):
                b.failures.append(f"b2: expected step1.nsh refused and logged as failed, and no "
                                  f"extra.txt:\n{done[0][-800:]}\n{log(done[1])}")
            # The signed shell started with options and a script of its own, as a boot option's
            # optional data would: from an unpinned signed shell on another stick.
            caller = stick(build, "Tagwell /sn:PN-0003\n", key, cert, pinned=False, change={
                "startup.nsh": b"@echo -off\r\nfs0:\r\n\\EFI\\pinned\\Shell.efi -nostartup "
                               b"-noversion \\evil.nsh\r\n",
                "evil.nsh": b"echo evil > \\evil.txt\r\n",
                "EFI/pinned/Shell.efi": good[layout.SHELL_PATH]})
            done = boot(b, caller, "b3", countdown=True)  # the unpinned caller's countdown
            if done and (ENDED not in done[0] or "evil" in log(done[1])
                         or stick_cases.read_stick(done[1], "evil.txt") is not None):
                b.failures.append(f"b3: the pinned shell took its command line:\n"
                                  f"{done[0][-800:]}")
            if done:
                b.shown = "b3 console: ..." + done[0][-300:]

            # c: a step fails.
            failing = stick(build, "Tagwell /sn:PN-0002\nCrestune /pbs sata1\n", key, cert)
            done = boot(c, failing, "c")
            if done and ("FAILED at step 2" not in log(done[1])
                         or "FAILED at step 2" not in done[0] or ENDED not in done[0]):
                c.failures.append(f"c: expected FAILED at step 2 in the log and on the console "
                                  f"and the end line:\n{done[0][-800:]}\n{log(done[1])}")
            if done:
                c.shown = "console: ..." + done[0][done[0].find("FAILED"):][:200]

            # d: unpinned, the same build's shell stops at its prompt; it stores in NVRAM an
            # alias that turns the vendor tool (which Tagwell runs by name) into `ver`, and a
            # path.
            stored = folder / "stored.fd"
            shutil.copyfile(sb.SECURE_VARS, stored)
            plain = stick(build, "Tagwell /sn:PN-0004\n", key, cert, pinned=False, change={
                "startup.nsh": b"@echo -off\r\nalias " + sb.VENDOR_TOOL.encode() + b" ver\r\n"
                               b"set path fs0:\\nowhere\r\n" + sb.VENDOR_TOOL.encode() + b"\r\n"})
            image = sb.write(plain, folder / "d.img")
            try:
                console, took = stick_cases.watch_console(
                    shell, argv(shell, [image], stored), (PROMPT,), 150.0)
                seconds += took
                if console.count("UEFI Interactive Shell v") < 2:
                    d.failures.append(f"d: the stored alias did not work:\n{console[-800:]}")
                d.shown = "console: ..." + console[-200:]
            except shell.ShellRunError as error:
                d.failures.append(f"d: no prompt: {error}")

            # e: the pinned stick of a on the NVRAM that d wrote.
            done = boot(e, good, "e", variables=stored)
            if done and ("Vendor tool double received" not in log(done[1])
                         or "ALL DONE" not in log(done[1]) or "UEFI Interactive" in log(done[1])):
                e.failures.append(f"e: the stored alias changed the run:\n{log(done[1])}")
        return outcomes, seconds


def groups(build: Path, shell) -> list:
    return [group if not isinstance(group, sb.SecureBootSticks) else PinnedSticks()
            for group in sb.groups(build, shell)]
