"""Checks of the QEMU harness itself that need no QEMU: the firmware patcher, the decoding of
the shell's files, and the run control against a scripted stand-in for the emulator."""

from __future__ import annotations

import json
import os
import shutil
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path


REPO = Path(__file__).resolve().parent.parent.parent

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

shell = harness.load()

SIZE = 0x40000
START = SIZE - 0x20000  # file offset of guest 0xE0000


def flash(firmware_bytes: dict[int, int] = None) -> bytes:
    data = bytearray(b"\x00" * START + b"\xFF" * 0x20000)
    data[SIZE - 0x578:] = b"\x5A" * 0x578  # firmware code from 0xFFA88 up, as in OVMF
    for address, value in (firmware_bytes or {}).items():
        data[START + address - 0xE0000] = value
    return bytes(data)


def image(patches: dict[int, bytes]) -> bytes:
    data = bytearray(b"\xFF" * 0x20000)
    for address, value in patches.items():
        data[address - 0xE0000:address - 0xE0000 + len(value)] = value
    return bytes(data)


class PatchFirmware(unittest.TestCase):
    def test_patching(self):
        cases = [
            # name, firmware's own bytes, image bytes, error text (None: accepted)
            ("tables in the padding", {}, {0xE0000: b"RSD PTR ", 0xFEFF0: b"\x01" * 16}, None),
            ("0xFF image bytes leave the firmware alone", {0xE5000: 0x12},
             {0xE5000: b"\xFF"}, None),
            ("over firmware contents", {0xE5001: 0x12}, {0xE5000: b"AB"},
             "byte at 0xE5001 would overwrite firmware contents (0x12)"),
            ("first byte of the top 4 KiB", {}, {0xFF000: b"\x00"},
             "byte at 0xFF000 lies in the top 4 KiB"),
            ("the reset vector", {}, {0xFFFF0: b"RSD PTR "}, "0xFFFF0 lies in the top 4 KiB"),
        ]
        for name, own, patches, error in cases:
            with self.subTest(name):
                code = flash(own)
                legacy = image(patches)
                if error:
                    with self.assertRaises(shell.MachineError) as raised:
                        shell.patch_firmware(code, legacy, "m")
                    self.assertIn(error, str(raised.exception))
                    continue
                patched = shell.patch_firmware(code, legacy, "m")
                self.assertEqual(len(patched), len(code))
                for offset in range(len(code)):
                    if offset >= START and legacy[offset - START] != 0xFF:
                        self.assertEqual(patched[offset], legacy[offset - START])
                self.assertEqual(
                    [i for i in range(len(code)) if patched[i] != code[i]],
                    [START + i for i in range(0x20000) if legacy[i] != 0xFF])

    def test_wrong_image_size(self):
        with self.assertRaises(shell.MachineError):
            shell.patch_firmware(flash(), b"\xFF" * 100, "m")

    def test_regions_outside_the_legacy_area_are_refused(self):
        cases = [
            ({"memory": [{"base": "0xE0000", "size": "0x20000"}]}, None),
            ({"memory": [{"base": "0xF0000", "size": 4096}]}, None),
            ({"memory": [{"base": "0x7F000000", "size": "0x1000"}]}, "outside 0xE0000-0xFFFFF"),
            ({"memory": [{"base": "0xE0000", "size": "0x20001"}]}, "outside 0xE0000-0xFFFFF"),
            ({"memory": [{"base": "zero", "size": 1}]}, "not a number"),
        ]
        for description, error in cases:
            with self.subTest(description=description):
                if error is None:
                    shell.check_regions(description, "m")
                else:
                    with self.assertRaisesRegex(shell.MachineError, error):
                        shell.check_regions(description, "m")

    def test_unreadable_descriptions(self):
        with tempfile.TemporaryDirectory() as tmp:
            broken = Path(tmp) / "broken.json"
            broken.write_text("{ not json")
            listing = Path(tmp) / "list.json"
            listing.write_text("[1, 2]")
            for path, error in [(broken, "not valid JSON"), (listing, "not a JSON object"),
                                (Path(tmp) / "absent.json", "cannot read")]:
                with self.subTest(path.name), self.assertRaisesRegex(shell.MachineError, error):
                    shell.load_description(path)


class ShellFiles(unittest.TestCase):
    def test_decode_redirected(self):
        bom = b"\xff\xfe"
        cases = [
            (None, ""),
            (b"", ""),
            (bom, ""),
            (bom + "a\r\nb\r\n".encode("utf-16-le"), "a\nb\n"),
            ("no mark\r\n".encode("utf-16-le"), "no mark\n"),
            (bom + "lone\rcr\n".encode("utf-16-le"), "lone\rcr\n"),
            (bom + "x".encode("utf-16-le") + b"\x00", "x"),  # a cut final byte is dropped
        ]
        for data, text in cases:
            with self.subTest(data=data):
                self.assertEqual(shell.decode_redirected(data), text)

    def test_parse_status(self):
        cases = [("0x0\n", 0), ("0xC000000A\r\n", 0xC000000A), ("0xffffffff\n", 0xFFFFFFFF),
                 ("0xFFFFFFFFC0000001\n", 0xC0000001), ("0\n", 0), ("14\n", 14), ("\n", None)]
        for text, status in cases:
            with self.subTest(text=text):
                self.assertEqual(shell.parse_status(text), status)

    def test_script(self):
        commands = [shell.Command("a.efi /x"), shell.Command("b.efi", stdin="k\n")]
        plain = shell.startup_script(commands, handshake=False).split("\r\n")
        self.assertEqual(plain[:3], ["@echo -off", "fs0:", "cd \\"])
        self.assertIn("a.efi /x > out0.txt 2> err0.txt", plain)
        self.assertIn("b.efi < in1.txt > out1.txt 2> err1.txt", plain)
        self.assertIn("echo %lasterror% > st1.txt", plain)
        self.assertEqual(plain[-3:], [f"echo {shell.END_MARKER}", "reset -s", ""])
        self.assertNotIn("pause", plain)
        paused = shell.startup_script(commands, handshake=True).split("\r\n")
        self.assertEqual(paused.count("pause"), 2)
        self.assertEqual(paused[paused.index(f"echo {shell.BEGIN_MARKER}1") + 1], "pause")
        with self.assertRaises(ValueError):
            shell.startup_script([shell.Command("a\nb")], handshake=False)


# A stand-in for the emulator: follows the plan in FAKE_PLAN (JSON list of steps) and can put
# files on the disk image and bytes into the port logs, as the guest would.
FAKE_QEMU = textwrap.dedent(r'''
    #!/usr/bin/env python3
    import json, os, subprocess, sys, tempfile, time
    argv = sys.argv[1:]
    disk = next(a.split("=", 1)[1].split(",")[0] for a in argv
                if a.startswith("file=") and "pflash" not in a)
    logs = {}
    for a in argv:
        if a.startswith("file,id=dbg"):
            parts = dict(p.split("=", 1) for p in a.split(",")[1:])
            logs[int(parts["id"][3:], 16)] = parts["path"]
    for step in json.loads(os.environ["FAKE_PLAN"]):
        kind = step[0]
        if kind == "print":
            sys.stdout.write(step[1]); sys.stdout.flush()
        elif kind == "expect":
            got = sys.stdin.buffer.read(len(step[1]))
            if got != step[1].encode():
                sys.stdout.write("FAKE: unexpected input %r\n" % got); sys.exit(3)
        elif kind == "sleep":
            time.sleep(step[1])
        elif kind == "disk":
            with tempfile.TemporaryDirectory() as tmp:
                path = os.path.join(tmp, step[1])
                open(path, "wb").write(b"\xff\xfe" + step[2].encode("utf-16-le"))
                subprocess.run(["mcopy", "-o", "-i", disk, path, "::/"], check=True,
                               env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
        elif kind == "port":
            with open(logs[step[1]], "ab") as log:
                log.write(bytes.fromhex(step[2]))
        elif kind == "exit":
            sys.exit(step[1])
''').lstrip()


def begin(index: int) -> list:
    return ["print", f"\x1b[0m{shell.BEGIN_MARKER}{index}\r\n"]


END = ["print", f"{shell.END_MARKER}\r\n"]
BOOT = [["print", "UEFI Interactive Shell v2.2\r\nPress ESC in 5 seconds to skip startup.nsh "
                  "or any other key to continue.\r\n"], ["expect", "\r"]]


class RunControl(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        fake = Path(self.tmp.name) / "fake-qemu"
        fake.write_text(FAKE_QEMU)
        fake.chmod(0o755)
        self.saved = shell.qemu.QEMU
        shell.qemu.QEMU = str(fake)

    def tearDown(self):
        shell.qemu.QEMU = self.saved
        os.environ.pop("FAKE_PLAN", None)
        self.tmp.cleanup()

    def run_plan(self, plan, commands, **options):
        os.environ["FAKE_PLAN"] = json.dumps(plan)
        return shell.run_shell(commands, files={"x.efi": b"MZ"}, **options)

    def test_complete_run(self):
        plan = BOOT + [begin(0), ["disk", "out0.txt", "one\r\n"], ["disk", "st0.txt", "0x0\r\n"],
                       begin(1), ["disk", "OUT1.TXT", "two\r\n"],
                       ["disk", "st1.txt", "0xC0000001\r\n"], END, ["exit", 0]]
        run = self.run_plan(plan, ["a", shell.Command("b", stdin="q")])
        self.assertTrue(run.completed)
        self.assertEqual([(r.ran, r.stdout, r.status) for r in run.results],
                         [(True, "one\n", 0), (True, "two\n", 0xC0000001)])

    def test_power_off_midway(self):
        plan = BOOT + [begin(0), ["disk", "st0.txt", "0x0\r\n"], begin(1), ["exit", 0]]
        run = self.run_plan(plan, ["a", "b", "c"])
        self.assertFalse(run.completed)
        self.assertEqual([r.ran for r in run.results], [True, False, False])

    def test_port_bytes_belong_to_their_command(self):
        # The second marker arrives in pieces: it counts once its number is complete.
        split = [["print", shell.BEGIN_MARKER[:5]], ["sleep", 0.3],
                 ["print", shell.BEGIN_MARKER[5:] + "1"], ["sleep", 0.3], ["print", "\r\n"]]
        plan = BOOT + [begin(0), ["expect", "c"], ["port", 0xB2, "d9 20"], ["port", 0x530, "01"],
                       *split, ["expect", "c"], begin(2), ["expect", "c"],
                       ["port", 0xB2, "40"], END, ["exit", 0]]
        run = self.run_plan(plan, ["a", "b", "c"], debugcon_ports=[0x530, 0xB2])
        self.assertEqual([r.debugcon for r in run.results],
                         [{0xB2: b"\xd9\x20", 0x530: b"\x01"}, {0xB2: b"", 0x530: b""},
                          {0xB2: b"\x40", 0x530: b""}])
        self.assertEqual(run.debugcon, {0xB2: b"\xd9\x20\x40", 0x530: b"\x01"})

    def test_failures_name_where_the_run_stopped(self):
        cases = [
            ("hanging command", BOOT + [begin(0), begin(1), ["sleep", 30]],
             dict(command_timeout=1.5), r"command 1 \('b /x'\): .*within 2 s"),
            ("shell never starts the script", [["print", "BdsDxe: loading\r\n"], ["sleep", 30]],
             dict(boot_timeout=1.5), r"during boot: .*first command within 2 s"),
            ("emulator fails at once", [["print", "qemu: could not load PC BIOS\r\n"],
                                        ["exit", 1]],
             dict(), r"QEMU ended \(status 1\) before the first command: "
                     r"\.\.\.qemu: could not load PC BIOS"),
            ("overall limit", BOOT + [begin(0), ["sleep", 30]],
             dict(timeout=1.5, command_timeout=20), r"command 0 .*limit of 2 s"),
        ]
        for name, plan, options, error in cases:
            with self.subTest(name):
                with self.assertRaisesRegex(shell.ShellRunError, error) as raised:
                    self.run_plan(plan, ["a", "b /x"], **options)
                log = raised.exception.serial_log
                self.assertTrue(log is not None and log.exists(), "the serial log is kept")
                shutil.rmtree(raised.exception.work_dir)


if __name__ == "__main__":
    unittest.main()
