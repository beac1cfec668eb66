#!/usr/bin/env python3
"""Checks of tools/make-stick: which run lists it refuses (with their line numbers), the text
of the startup.nsh it writes, and the stick it builds (run as a program, read back with
mtools)."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "tests" / "qemu"))

import stick_cases  # noqa: E402

ms = stick_cases.load_make_stick()
BUILD = Path(os.environ.get("FWTOOLS_BUILD", REPO / "build"))


class RunListChecks(unittest.TestCase):
    REFUSED = [
        # (run list, line numbers named, a text of the message)
        ("", [], "no steps"),
        ("# only a comment\n\n   \n", [], "no steps"),
        ("Crestune /f9\nnotepad x\n", [2], "unknown program 'notepad'"),
        ("Crestune.efi /f9\nCrestuneX /f9\n", [2], "unknown program"),
        ("Tagwell /sn:A%B%\n", [1], "'%'"),
        ('Crestune /pass "a b" /f9\n', [1], "'\"'"),
        ("Crestune /pass a^b /f9\n", [1], "'^'"),
        ("Crestune /f9 # load defaults\n", [1], "'#'"),
        ("Crestune /b x.dat | Tagwell\n", [1], "'|'"),
        ("Crestune /b x.dat > out.txt\n", [1], "'>'"),
        ("Crestune /r <x.dat\n", [1], "'<'"),
        ("Crestune /f9\x0b\n", [1], "control character 0x0B"),
        ("Tagwell /sn:\u00e9t\u00e9\n", [1], "printable ASCII"),
        ("Tagwell /sn:-?x\nTagwell /quiet -?\n", [2], "-?"),
        ("Tagwell\n", [1], "questions"),
        ("Tagwell /reboot\n", [1], "questions"),
        ("Crestune /dtpm2 enable\n", [1], "add /Silent"),
        ("Crestune /r x.dat\nCrestune /f9\n", [1], "only the last step"),
        ("Crestune /R x.dat /ignore\nCrestune /f9\n", [1], "only the last step"),
        ("Tagwell /sn:1 /REBOOTnow\nCrestune /f9\n", [1], "only the last step"),
        # every refused line is named, in order
        ("Crestune /f9\nfoo\nCrestune /r a /nor\nTagwell /reboot /sn:1\nbar %x%\nCrestune /f9\n",
         [2, 4, 5], ""),
    ]

    def test_refused_lists_name_the_lines(self):
        for text, lines, message in self.REFUSED:
            with self.subTest(text=text):
                with self.assertRaises(ms.RunListError) as caught:
                    ms.parse_run_list(text, "list.txt")
                problems = caught.exception.problems
                named = [int(m.group(1)) for p in problems
                         for m in [re.search(r"list\.txt line (\d+):", p)] if m]
                self.assertEqual(named, lines, problems)
                self.assertIn(message, " ".join(problems))

    ACCEPTED = [
        # (run list, [(line, program, arguments, resets)])
        ("# deploy\r\nCrestune /pbs sata1\r\n\r\n  crestune.EFI   /b\tx.dat  \r\n",
         [(2, "Crestune.efi", ["/pbs", "sata1"], False),
          (4, "Crestune.efi", ["/b", "x.dat"], False)]),
        ("Crestune /r x.dat /NoReboot\nCrestune /r x.dat\n",
         [(1, "Crestune.efi", ["/r", "x.dat", "/NoReboot"], False),
          (2, "Crestune.efi", ["/r", "x.dat"], True)]),
        ("Crestune /r x.dat /nor\nTagwell /sn:AB12 /reboot\n",
         [(1, "Crestune.efi", ["/r", "x.dat", "/nor"], False),
          (2, "Tagwell.efi", ["/sn:AB12", "/reboot"], True)]),
        # /rx is no restore, /no is too short for /NoReboot
        ("Crestune /b x.dat /no\nCrestune /f9\n",
         [(1, "Crestune.efi", ["/b", "x.dat", "/no"], False),
          (2, "Crestune.efi", ["/f9"], False)]),
        ("Crestune /dtpm2 enable /SILENT\nTagwell /quiet /reboot\n",
         [(1, "Crestune.efi", ["/dtpm2", "enable", "/SILENT"], False),
          (2, "Tagwell.efi", ["/quiet", "/reboot"], True)]),
        ("Tagwell /sn:a-?b /tag:x*y[1]? /mtm:a:b\n",
         [(1, "Tagwell.efi", ["/sn:a-?b", "/tag:x*y[1]?", "/mtm:a:b"], False)]),
    ]

    def test_accepted_lists(self):
        for text, expected in self.ACCEPTED:
            with self.subTest(text=text):
                steps = ms.parse_run_list(text)
                self.assertEqual([(s.line_number, s.program, s.arguments, s.resets)
                                  for s in steps], expected)


class ScriptText(unittest.TestCase):
    def script(self, text: str, then: str = "off") -> str:
        return ms.startup_script(ms.parse_run_list(text), then, "0123abcd", "deploy.txt")

    def test_the_log_masks_password_values_but_the_step_runs_them(self):
        script = self.script("Crestune /newadp Secret1 /PASS Zq9w\n"
                             "Crestune /newpop_scan_ge 1E02 /pass_scan 1F\n"
                             "Tagwell /sn:pass /mtm:X1\n")
        lines = script.split("\r\n")
        for shown, command in [
                ("Crestune /newadp **** /PASS ****", "Crestune.efi /newadp Secret1 /PASS Zq9w"),
                ("Crestune /newpop_scan_ge **** /pass_scan ****",
                 "Crestune.efi /newpop_scan_ge 1E02 /pass_scan 1F"),
                ("Tagwell /sn:pass /mtm:X1", "Tagwell.efi /sn:pass /mtm:X1")]:
            at = next(i for i, line in enumerate(lines) if line.endswith(f": {shown}\""))
            self.assertEqual(lines[at + 1], f"{command} >> %stick_log% 2> \\logs\\stderr.txt")
        for secret in ("Secret1", "Zq9w", "1E02", " 1F"):
            self.assertEqual(sum(secret in line for line in lines), 1, secret)

    def test_each_step_is_logged_checked_and_stops_the_run(self):
        script = self.script("Crestune /f9\nTagwell /sn:A1\n")
        self.assertTrue(script.endswith("\r\n"))
        self.assertNotIn("\n", script.replace("\r\n", ""))
        lines = script.split("\r\n")
        self.assertEqual(lines[0], "@echo -off")
        for index, (line, text, command) in enumerate(
                [(1, "Crestune /f9", "Crestune.efi /f9"),
                 (2, "Tagwell /sn:A1", "Tagwell.efi /sn:A1")], start=1):
            at = lines.index(f'echo "step {index} (line {line}): {text}" >> %stick_log%')
            self.assertEqual(lines[at + 1:at + 11], [
                f'echo "step {index} (line {line}): {text}"',
                f"{command} >> %stick_log% 2> \\logs\\stderr.txt",
                "set -v stick_status %lasterror%",
                "type \\logs\\stderr.txt >> %stick_log%",
                f'echo "step {index} status %stick_status%" >> %stick_log%',
                "if %stick_status% ne 0 then",
                f'  echo "FAILED at step {index} (status %stick_status%)" >> %stick_log%',
                f'  echo "FAILED at step {index} (status %stick_status%)"',
                "  goto stick_end",
                "endif"])
        done = lines.index('echo "ALL DONE" >> %stick_log%')
        self.assertGreater(done, at)
        self.assertEqual(lines[-2:], [":stick_end", ""])

    def test_then(self):
        for then, last in (("off", "reset -s"), ("reboot", "reset"), ("shell", None)):
            with self.subTest(then=then):
                lines = self.script("Crestune /f9\n", then).split("\r\n")
                after = lines[lines.index('echo "ALL DONE"') + 1:]
                self.assertEqual(after, ([last] if last else []) + [":stick_end", ""])
        with self.assertRaises(ValueError):
            self.script("Crestune /f9\n", "halt")

    def test_volume_is_found_by_marker_and_logs_are_numbered(self):
        script = self.script("Crestune /f9\n")
        self.assertIn("for %v in fs0 fs1 ", script)
        self.assertIn("  if exist %v:\\EFI\\tools\\stick-0123abcd.id then\r\n    %v:\r\n"
                      "    goto stick_found\r\n", script)
        self.assertNotRegex(script, r"(?m)^fs\d+:")
        # A free number is searched for; the log is created once with > and appended after.
        self.assertIn("  if not exist \\logs\\run%n.txt then\r\n"
                      "    set -v stick_log \\logs\\run%n.txt\r\n", script)
        self.assertEqual(script.count("> %stick_log%") - script.count(">> %stick_log%"), 1)
        self.assertIn("cd \\EFI\\tools\r\n", script)
        # Variables are volatile: nothing lands in the firmware's non-volatile store.
        self.assertEqual(re.findall(r"(?m)^\s*set (?!-v )", script), [])

    def test_resetting_last_step_is_announced(self):
        script = self.script("Crestune /f9\nCrestune /r x.dat\n")
        self.assertIn('echo "step 2 resets the machine when it succeeds" >> %stick_log%',
                      script)
        self.assertNotIn("step 1 resets", script)


@unittest.skipUnless((BUILD / "efi" / "Crestune.efi").is_file()
                     and (BUILD / "efi" / "Tagwell.efi").is_file(), "no built .efi files")
class Program(unittest.TestCase):
    def make(self, folder: Path, run_list: str, *extra: str):
        (folder / "list.txt").write_text(run_list)
        return subprocess.run([sys.executable, str(REPO / "tools" / "make-stick"),
                               str(folder / "list.txt"), "--build", str(BUILD), *extra],
                              capture_output=True, text=True, cwd=folder, timeout=120)

    def test_image_holds_the_tree(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = Path(tmp)
            (folder / "AMIDEEFIx64.efi").write_bytes(b"vendor tool")
            (folder / "Shell.efi").write_bytes(b"shell")
            done = self.make(folder, "Tagwell /sn:AB1\n", "--vendor-tool",
                             str(folder / "AMIDEEFIx64.efi"), "--shell",
                             str(folder / "Shell.efi"), "--then", "shell")
            self.assertEqual(done.returncode, 0, done.stderr)
            image = folder / "stick.img"
            data = image.read_bytes()
            self.assertEqual(len(data), 64 << 20)
            self.assertEqual(data[510:512], b"\x55\xAA")
            self.assertEqual(data[0x1C2], 0x0C)
            read = lambda name: stick_cases.read_stick(image, name)  # noqa: E731
            self.assertEqual(read("EFI/tools/Crestune.efi"),
                             (BUILD / "efi" / "Crestune.efi").read_bytes())
            self.assertEqual(read("EFI/tools/Tagwell.efi"),
                             (BUILD / "efi" / "Tagwell.efi").read_bytes())
            self.assertEqual(read("EFI/tools/AMIDEEFIx64.efi"), b"vendor tool")
            self.assertEqual(read("EFI/BOOT/BOOTX64.EFI"), b"shell")
            script = read("startup.nsh").decode("ascii")
            marker = re.search(r"stick-([0-9a-f]{8})\.id", script).group(0)
            self.assertIsNotNone(read(f"EFI/tools/{marker}"))
            self.assertIn('echo "step 1 (line 1): Tagwell /sn:AB1"', script)
            self.assertNotIn("reset", script)

    def test_dir_and_image_hold_the_same_files(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = Path(tmp)
            self.assertEqual(self.make(folder, "Crestune /f9\n", "--dir", "out").returncode, 0)
            self.assertEqual(self.make(folder, "Crestune /f9\n").returncode, 0)
            names = sorted(str(p.relative_to(folder / "out")) for p in
                           (folder / "out").rglob("*") if p.is_file())
            self.assertEqual(len(names), 4, names)
            self.assertTrue((folder / "out" / "logs").is_dir())
            for name in names:
                self.assertEqual(stick_cases.read_stick(folder / "stick.img", name),
                                 (folder / "out" / name).read_bytes(), name)

    def test_refused_list_builds_nothing(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = Path(tmp)
            done = self.make(folder, "Crestune /f9\nformat fs0:\n")
            self.assertEqual(done.returncode, 1)
            self.assertIn("list.txt line 2: unknown program 'format'", done.stderr)
            self.assertFalse((folder / "stick.img").exists())
            done = self.make(folder, "Crestune /f9\n", "--then", "halt")
            self.assertEqual(done.returncode, 2)


if __name__ == "__main__":
    unittest.main()
