#!/usr/bin/env python3
"""Records the deployment logs that the stick-report test reads (tests/stick/report-logs/):
real QEMU boots of sticks made by tools/make-stick, each boot a unit of its own (QEMU's
-smbios type=1 serial number), with Unit.efi's line added after the log's header as the stick's
script writes it. Run again after a change of the log's form:

    python3 tests/stick/record_report_logs.py --build build

Stick A (Tagwell /uuid, then Tagwell /sn:X1; the vendor tool double stands in for the AMI
tool): unit QS-0001 passes (ALL DONE), unit QS-0002 fails at step 1 (the double ends with
0x8000000E, Tagwell with 0xC000000B), unit QS-0001 boots it again and passes. Stick B (one step,
Tagwell /uuid /reboot): the machine resets during the step, so the log has no end line.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
sys.path.insert(0, str(REPO / "tests" / "qemu"))

import harness  # noqa: E402
import stick_cases  # noqa: E402

UNIT_LINE = "Unit.efi >> %stick_log%"


def make(folder: Path, name: str, run_list: str, build: Path) -> tuple[Path, list[str]]:
    steps = stick_cases.runlist.parse_run_list(run_list, f"{name}.txt")
    tools = folder / "tools"
    tools.mkdir(exist_ok=True)
    double = tools / "AMIDEEFIx64.efi"
    double.write_bytes((build / "test-efi" / "VendorDouble.efi").read_bytes())
    files = stick_cases.assembly.stick_files(steps, "off", build / "efi", vendor_tools=[double],
                           source=f"{name}.txt")
    # The unit line follows the header, as the stick's script writes it.
    script = files["startup.nsh"].decode("ascii")
    script = script.replace("time >> %stick_log%\r\n",
                            "time >> %stick_log%\r\n" + UNIT_LINE + "\r\n", 1)
    for path in stick_cases.names.STARTUP_PATHS:
        files[path] = script.encode("ascii")
    files["EFI/tools/Unit.efi"] = (build / "efi" / "Unit.efi").read_bytes()
    image = folder / f"{name}.img"
    stick_cases.stick_image.write_image(files, image, 48)
    return image, sorted(files)


def boot(shell, image: Path, serial: str, until: str, timeout: float = 120) -> None:
    args = ["-smbios", "type=0,vendor=American Megatrends Inc.,version=M1KT52AUS",
            "-smbios", f"type=1,manufacturer=Corvane,product=Desk 7,serial={serial}"]
    original = stick_cases.STICK_QEMU_ARGS
    stick_cases.STICK_QEMU_ARGS = tuple(args) + original
    try:
        stick_cases.boot_stick_alone(shell, image, until, timeout=timeout)
    finally:
        stick_cases.STICK_QEMU_ARGS = original


def put(image: Path, name: str, data: bytes) -> None:
    stick_cases.stick_image.put_file(image, name, data)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=str(REPO / "build"))
    parser.add_argument("--out", default=str(HERE / "report-logs"))
    args = parser.parse_args()
    build = Path(args.build).resolve()
    out = Path(args.out)
    shell = harness.load()
    with tempfile.TemporaryDirectory(prefix="report-logs-") as tmp:
        folder = Path(tmp)
        image, _ = make(folder, "site-a", "Tagwell /uuid\nTagwell /sn:X1\n", build)
        boot(shell, image, "QS-0001", "ALL DONE")
        put(image, "EFI/tools/VDSTATUS.TXT", b"0x8000000E\r\n")
        boot(shell, image, "QS-0002", "FAILED at step 1")
        put(image, "EFI/tools/VDSTATUS.TXT", b"0\r\n")
        boot(shell, image, "QS-0001", "ALL DONE")
        stick_a = out / "stick-a"
        stick_a.mkdir(parents=True, exist_ok=True)
        for run in (1, 2, 3):
            data = stick_cases.read_stick(image, f"logs/run{run}.txt")
            if data is None:
                raise SystemExit(f"stick A has no logs/run{run}.txt")
            (stick_a / f"run{run}.txt").write_bytes(data)

        image, _ = make(folder, "site-b", "Tagwell /uuid /reboot\n", build)
        # The countdown goes into the log: wait for the reset, which ends QEMU (-no-reboot).
        try:
            boot(shell, image, "QS-0003", "no such text", timeout=90)
        except shell.ShellRunError:
            pass
        data = stick_cases.read_stick(image, "logs/run1.txt")
        if data is None:
            raise SystemExit("stick B has no logs/run1.txt")
        stick_b = out / "stick-b"
        stick_b.mkdir(parents=True, exist_ok=True)
        (stick_b / "run1.txt").write_bytes(data)
    for path in sorted(out.rglob("*.txt")):
        print(f"== {path.relative_to(out)}")
        print(stick_cases.decode_log(path.read_bytes()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
