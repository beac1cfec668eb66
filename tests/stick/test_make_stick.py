#!/usr/bin/env python3
"""Checks of tools/make-stick: which run lists it refuses (with their line numbers), the text
of the startup.nsh it writes, and the stick it builds (run as a program, read back with
mtools)."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "tests" / "qemu"))

import stick_cases  # noqa: E402

from stick import assembly, names, netscript, pinning, runlist, script as stick_script  # noqa: E402
BUILD = Path(os.environ.get("FWTOOLS_BUILD", REPO / "build"))
# After every failure the console names the log: a pinned shell gives no prompt.
LOG_AT = '  echo "the log of this run: %stick_volume%:%stick_log%"'


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
        ("Crestune /f9\nTagwell /sn:" + "A" * 9988 + "\n", [2], "10000 characters: a step's line"),
        ("Tagwell /sn:\u00e9t\u00e9\n", [1], "printable ASCII"),
        ("Tagwell /sn:-?x\nTagwell /quiet -?\n", [2], "-?"),
        ("Tagwell\n", [1], "questions"),
        ("Tagwell /reboot\n", [1], "questions"),
        ("Crestune /dtpm2 enable\n", [1], "add /Silent"),
        ("Crestune /r x.dat\nCrestune /f9\n", [1], "only the last step"),
        ("Crestune /R x.dat /ignore\nCrestune /f9\n", [1], "only the last step"),
        ("Tagwell /sn:1 /REBOOTnow\nCrestune /f9\n", [1], "only the last step"),
        # One stick serves many units: a backup names its file by the unit.
        ("Crestune /b backup.dat\n", [1],
         "the next unit would overwrite this unit's backup: write `/b backup-{unit}.dat`"),
        ("Crestune /pbs sata1 /B x\n", [1], "write `/b x-{unit}`"),
        ("Tagwell /sn:{unit}\n", [1], "stands only in the file name after Crestune /b or /r"),
        ("Crestune /pbs {unit}\n", [1], "stands only in the file name"),
        ("Crestune /b bk-{unt}.dat\n", [1], "braces other than {unit}"),
        # every refused line is named, in order
        ("Crestune /f9\nfoo\nCrestune /r a /nor\nTagwell /reboot /sn:1\nbar %x%\nCrestune /f9\n",
         [2, 4, 5], ""),
    ]

    def test_refused_lists_name_the_lines(self):
        for text, lines, message in self.REFUSED:
            with self.subTest(text=text):
                with self.assertRaises(runlist.RunListError) as caught:
                    runlist.parse_run_list(text, "list.txt")
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
                steps = runlist.parse_run_list(text, one_unit=True)
                self.assertEqual([(s.line_number, s.program, s.arguments, s.resets)
                                  for s in steps], expected)

    UNIT_RULES = [
        # (run list, one_unit, refused, uses {unit}, command as the script runs it)
        ("Crestune /b bk-{unit}.dat\n", False, False, True,
         "Crestune.efi /b bk-%unitid%.dat"),
        ("Crestune /r {unit}.dat /ignore\n", False, False, True,
         "Crestune.efi /r %unitid%.dat /ignore"),
        ("Crestune /r shared.dat\n", False, False, False, "Crestune.efi /r shared.dat"),
        ("Crestune /b backup.dat\n", True, False, False, "Crestune.efi /b backup.dat"),
        ("Crestune /b backup.dat\n", False, True, False, None),
        ("Tagwell /sn:{unit}\n", True, True, False, None),
        # A byte-order mark is no part of the first line.
        ("\ufeffCrestune /f9\n", False, False, False, "Crestune.efi /f9"),
    ]

    def test_unit_in_file_names(self):
        for text, one_unit, refused, uses, command in self.UNIT_RULES:
            with self.subTest(text=text, one_unit=one_unit):
                if refused:
                    with self.assertRaises(runlist.RunListError):
                        runlist.parse_run_list(text, one_unit=one_unit)
                    continue
                step, = runlist.parse_run_list(text, one_unit=one_unit)
                self.assertEqual((step.uses_unit, step.command), (uses, command))


class ScriptText(unittest.TestCase):
    def script(self, text: str, then: str = "off", source: str = "deploy.txt") -> str:
        return stick_script.startup_script(runlist.parse_run_list(text), then, "0123abcd", source)

    def block(self, lines: list[str], first: str) -> list[str]:
        """The lines from `first` to the next line at the same indentation that ends the
        block (endif)."""
        at = lines.index(first)
        indent = len(first) - len(first.lstrip())
        end = next(i for i in range(at + 1, len(lines))
                   if lines[i] == " " * indent + "endif")
        return lines[at:end + 1]

    def test_the_log_masks_password_values_but_the_step_runs_them(self):
        steps = runlist.parse_run_list("Crestune /newadp Secret1 /PASS Zq9w\n"
                                  "Crestune /newpop_scan_ge 1E02 /pass_scan 1F\n"
                                  "Tagwell /sn:pass /mtm:X1\n")
        script = stick_script.startup_script(steps, "off", "0123abcd", "deploy.txt")
        runs = stick_script.step_scripts(steps)
        for index, (shown, command) in enumerate([
                ("Crestune /newadp **** /PASS ****", "Crestune.efi /newadp Secret1 /PASS Zq9w"),
                ("Crestune /newpop_scan_ge **** /pass_scan ****",
                 "Crestune.efi /newpop_scan_ge 1E02 /pass_scan 1F"),
                ("Tagwell /sn:pass /mtm:X1", "Tagwell.efi /sn:pass /mtm:X1")], start=1):
            self.assertIn(f": {shown}\" >> %stick_log%", script)
            self.assertIn(f"\r\n%stick_volume%:\\EFI\\tools\\{command} > "
                          f"%stick_out%step{index}.txt 2> \\logs\\stderr.txt\r\n",
                          runs[f"EFI/stick/step{index}.nsh"])
        for secret in ("Secret1", "Zq9w", "1E02", " 1F"):
            self.assertNotIn(secret, script)

    def test_each_step_runs_in_its_own_script_and_stops_the_run(self):
        steps = runlist.parse_run_list("Crestune /f9\nTagwell /sn:A1\n")
        runs = stick_script.step_scripts(steps)
        self.assertEqual(sorted(runs), ["EFI/stick/step1.nsh", "EFI/stick/step2.nsh",
                                        "EFI/stick/unit.nsh"])
        # The marker is set only after the program has returned and its status is saved.
        self.assertEqual(runs["EFI/stick/step2.nsh"].split("\r\n"), [
            "@echo -off",
            "%stick_volume%:\\EFI\\tools\\Tagwell.efi /sn:A1 > %stick_out%step2.txt "
            "2> \\logs\\stderr.txt",
            "set -v stick_status %lasterror%", "set -v stick_ran 1", ""])
        self.assertEqual(runs["EFI/stick/unit.nsh"].split("\r\n")[1:], [
            "%stick_volume%:\\EFI\\tools\\Unit.efi >> %stick_log% 2> %stick_out%unit.txt",
            "set -v stick_ran 1", ""])
        script = stick_script.startup_script(steps, "off", "0123abcd", "deploy.txt")
        self.assertTrue(script.endswith("\r\n"))
        self.assertNotIn("\n", script.replace("\r\n", ""))
        lines = script.split("\r\n")
        self.assertEqual(lines[0], "@echo -off")
        # The unit line comes first, before any step.
        self.assertLess(lines.index("  %stick_volume%:\\EFI\\stick\\unit.nsh"),
                        lines.index('echo "step 1 (line 1): Crestune /f9" >> %stick_log%'))
        for index, program in ((1, "Crestune.efi"), (2, "Tagwell.efi")):
            call = lines.index(f"%stick_volume%:\\EFI\\stick\\step{index}.nsh")
            self.assertEqual(lines[call - 1:call + 3], [
                "set -v stick_ran 0", f"%stick_volume%:\\EFI\\stick\\step{index}.nsh",
                "set -v stick_exit %lasterror%",
                f"type \\logs\\stderr.txt >> %stick_out%step{index}.txt"])
            refused = self.block(lines, "if %stick_ran% == 0 then")
            del lines[:lines.index(refused[0]) + len(refused)]
            self.assertEqual(refused[1], f'  echo "step {index} status %stick_exit%" >> '
                                         "%stick_log%")
            self.assertIn(f"      echo \"the firmware refused to start {program}: its signature "
                          "is probably not trusted, or it is no valid program\"", refused)
            self.assertEqual(refused[-4:], [
                f'  echo "FAILED at step {index} (status %stick_exit%)"', LOG_AT,
                "  goto stick_end", "endif"])
            at = lines.index(f'echo "step {index} status %stick_status%" >> %stick_log%')
            failed = self.block(lines, "if %stick_status% ne 0 then")
            self.assertEqual(lines.index(failed[0]), at + 1)
            self.assertIn(f'    echo "{program} is not on the stick"', failed)
            self.assertEqual(failed[-5:], [
                f'  echo "FAILED at step {index} (status %stick_status%)" >> %stick_log%',
                f'  echo "FAILED at step {index} (status %stick_status%)"', LOG_AT,
                "  goto stick_end", "endif"])
        self.assertIn('echo "ALL DONE" >> %stick_log%', lines)
        self.assertEqual(lines[-2:], [":stick_end", ""])

    def test_then_and_the_record_of_a_finished_unit(self):
        record = "\\logs\\done-0123abcd\\%unitid%.txt"
        for then, last, again in (
                ("off", ["reset -s"], ["reset -s"]),
                ("shell", [], []),
                # A unit that is done is not rebooted again: it would boot the stick again.
                ("reboot", ["reset"], [
                    'echo "not rebooting: this unit would boot the stick again; remove the '
                    'stick" >> %stick_log%',
                    'echo "not rebooting: this unit would boot the stick again; remove the '
                    'stick"'])):
            with self.subTest(then=then):
                lines = self.script("Crestune /f9\n", then).split("\r\n")
                done = self.block(lines, 'if "%unitid%" == "" then')
                at = lines.index('echo "ALL DONE"')
                self.assertEqual(lines.index(done[0]), at + 1)
                self.assertEqual(done[-7:-5] + done[-3:], [
                    "  %stick_volume%:\\EFI\\stick\\record.nsh", "  if %stick_recorded% ne 0 then",
                    "    goto stick_end", "  endif", "endif"])

                self.assertEqual(("  goto stick_end" in done), then == "reboot")
                after = lines[lines.index(done[-1], at) + 1:]
                self.assertEqual(after, last + ["goto stick_end", ":stick_again"] + again
                                 + [":stick_end", ""])
                check = self.block(lines, f"if exist {record} then")
                self.assertEqual(check[1:8], [
                    "  set -v stick_check 1", "  %stick_volume%:\\EFI\\stick\\check.nsh",
                    "  if %stick_check% eq 0 then",
                    '    echo "already done on this unit (run %stick_done_run%)" >> %stick_log%',
                    '    echo "already done on this unit (run %stick_done_run%)"',
                    "    goto stick_again", "  endif"])
                self.assertEqual(check[-4:], [
                    f'  echo "FAILED before step 1 (the done record {record} is not this '
                    "unit's: status %stick_check%)\"", LOG_AT, "  goto stick_end", "endif"])
                self.assertLess(lines.index(check[0]), lines.index(
                    'echo "step 1 (line 1): Crestune /f9" >> %stick_log%'))
        with self.assertRaises(ValueError):
            self.script("Crestune /f9\n", "halt")

    def test_a_resetting_step_is_recorded_before_and_needs_a_unit(self):
        record = "\\logs\\done-0123abcd\\%unitid%.txt"
        lines = self.script("Crestune /f9\nCrestune /r x.dat\n").split("\r\n")
        self.assertIn('echo "step 2 resets the machine when it succeeds" >> %stick_log%', lines)
        self.assertNotIn('echo "step 1 resets the machine when it succeeds" >> %stick_log%',
                         lines)
        at = lines.index('echo "step 2 resets the machine when it succeeds"')
        guard = self.block(lines[at:], 'if "%unitid%" == "" then')
        self.assertIn('  echo "FAILED at step 2 (not run: no unit id)"', guard)
        write = lines.index("%stick_volume%:\\EFI\\stick\\record.nsh", at)
        self.assertLess(write, lines.index("%stick_volume%:\\EFI\\stick\\step2.nsh"))
        # A reset step that fails (or cannot start) takes its record back.
        self.assertEqual(lines.count(f"  rm -q {record}"), 2)
        self.assertGreater(lines.index(f"  rm -q {record}"), write)
        # A step that writes {unit} files is not run without a unit id.
        lines = self.script("Crestune /b b-{unit}.dat\n").split("\r\n")
        guard = self.block(lines, 'if "%unitid%" == "" then')
        self.assertLess(lines.index(guard[0]), lines.index("%stick_volume%:\\EFI\\stick\\step1.nsh"))
        self.assertIn('  echo "FAILED at step 1 (not run: no unit id)" >> %stick_log%', guard)

    def test_volume_is_found_by_marker_and_logs_are_numbered(self):
        script = self.script("Crestune /f9\n")
        self.assertIn("for %v in fs0 fs1 ", script)
        self.assertIn("  if exist %v:\\EFI\\tools\\stick-0123abcd.id then\r\n    %v:\r\n"
                      "    set -v stick_volume %v\r\n    goto stick_found\r\n", script)
        self.assertNotRegex(script, r"(?m)^fs\d+:")
        # A free number is searched for; the log is created once with > and appended after.
        self.assertIn("  if not exist \\logs\\run%n.txt then\r\n"
                      "    set -v stick_run %n\r\n", script)
        self.assertIn("set -v stick_log \\logs\\run%stick_run%.txt\r\n", script)
        self.assertEqual(script.count("> %stick_log%") - script.count(">> %stick_log%"), 1)
        self.assertIn("cd \\EFI\\tools\r\n", script)
        # Variables are volatile: nothing lands in the firmware's non-volatile store.
        self.assertEqual(re.findall(r"(?m)^\s*set (?!-v |-d )", script), [])

    HOSTILE_NAMES = [
        # (run list file name, how the log's first line shows it)
        ("x\nreset -s\n.txt", "x_reset -s_.txt"),
        ('x" > Crestune.efi #.txt', "x_ _ Crestune.efi _.txt"),
        ("site#2.txt", "site_2.txt"),
        ("100%.txt", "100_.txt"),
        ("d\u00e9ploiement.txt", "d_ploiement.txt"),
        ("a^\"b|c<d\r.txt", "a__b_c_d_.txt"),
        ("plain-list_1.txt", "plain-list_1.txt"),
    ]

    def test_the_network_image_is_done_only_with_its_record_and_says_why_it_stops(self):
        lines = netscript.startup_script(runlist.parse_run_list("Tagwell /sn:A1\n"), "off",
                                         "0123abcd").split("\r\n")
        record_sent = next(at for at, line in enumerate(lines) if "put \\logs\\done-" in line)
        self.assertLess(record_sent, lines.index('echo "ALL DONE" >> %stick_log%'))
        # After each FAILED on the console, before the run ends: the log, with the reason, is
        # sent once more, or the console says where the log is.
        for at, line in enumerate(lines):
            if line.lstrip().startswith('echo "FAILED') and ">>" not in line:
                end = next(i for i in range(at, len(lines))
                           if lines[i].strip() == "goto stick_end")
                self.assertTrue(any("net.nsh put %stick_log%" in later or netscript.LOG_ONLY_HERE
                                    in later for later in lines[at:end]), line)

    def test_hostile_run_list_names_reach_the_script_only_sanitised(self):
        plain = self.script("Crestune /f9\n", source="list.txt").split("\r\n")
        for name, shown in self.HOSTILE_NAMES:
            with self.subTest(name=name):
                script = self.script("Crestune /f9\n", source=f"/some/folder/{name}")
                script.encode("ascii")
                lines = script.split("\r\n")
                self.assertEqual(len(lines), len(plain))
                self.assertEqual(lines[1], f"# Made by make-stick from {shown}: 1 step, then "
                                           "off.")
                self.assertIn(f'echo "stick 0123abcd: {shown}, 1 step, then off" > '
                              "%stick_log%", lines)
                # Apart from the name, the script is the one a plain name gives.
                self.assertEqual([line.replace(shown, "list.txt") for line in lines], plain)


class VendorToolNames(unittest.TestCase):
    TAKEN = ["Crestune.efi", "Tagwell.efi", "Unit.efi"]
    CASES = [
        ("AMIDEEFIx64.efi", None),
        ("H2OSDE-Sx64.efi", None),
        ("X.efi ", "FAT drops the dots and blanks at the end of a name and keeps 'X.efi': the "
                   "file would not have the name given"),
        ("Crestune.efi.", "keeps 'Crestune.efi', which is the stick's own Crestune.efi"),
        ("tagwell.EFI", "FAT does not tell case apart, and the stick holds Tagwell.efi"),
        ("Unit.efi", "the stick holds Unit.efi already"),
        ("a%b.efi", "holds '%'"),
        ("a b.efi", "holds ' '"),
        ("a:b.efi", "holds ':'"),
        ("-x.efi", "begins with '-'"),
        ("\u00e9.efi", "outside printable ASCII"),
        ("x\n.efi", "outside printable ASCII"),
        ("...", "no file name"),
        ("a" * 252 + ".efi", "255 characters"),
    ]

    def test_names_as_fat_sees_them(self):
        for name, problem in self.CASES:
            with self.subTest(name=name):
                said = names.vendor_tool_problem(name, self.TAKEN)
                if problem is None:
                    self.assertIsNone(said)
                else:
                    self.assertIn(problem, said or "")


class Program(unittest.TestCase):
    """make-stick run as a program, with stand-ins for the .efi files unless the test needs
    the built ones."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.folder = Path(self.tmp.name)
        self.build = self.folder / "build"
        (self.build / "efi").mkdir(parents=True)
        for program in ("Crestune.efi", "Tagwell.efi", "Unit.efi"):
            (self.build / "efi" / program).write_bytes(f"stand-in {program}".encode())

    def tearDown(self):
        self.tmp.cleanup()

    def make(self, run_list: str, *extra: str, name: str = "list.txt", build: Path = None):
        (self.folder / name).write_text(run_list, encoding="utf-8")
        return subprocess.run([sys.executable, str(REPO / "tools" / "make-stick"),
                               str(self.folder / name), "--build", str(build or self.build),
                               *extra], capture_output=True, text=True, cwd=self.folder,
                              timeout=120)

    def test_image_holds_the_tree(self):
        folder = self.folder
        (folder / "AMIDEEFIx64.efi").write_bytes(b"vendor tool")
        (folder / "Shell.efi").write_bytes(b"shell")
        done = self.make("Tagwell /sn:AB1\n", "--vendor-tool", str(folder / "AMIDEEFIx64.efi"),
                         "--shell", str(folder / "Shell.efi"), "--then", "shell")
        self.assertEqual(done.returncode, 0, done.stderr)
        image = folder / "stick.img"
        data = image.read_bytes()
        self.assertEqual(len(data), 64 << 20)
        self.assertEqual(data[510:512], b"\x55\xAA")
        self.assertEqual(data[0x1C2], 0x0C)
        read = lambda name: stick_cases.read_stick(image, name)  # noqa: E731
        for program in ("Crestune.efi", "Tagwell.efi", "Unit.efi"):
            self.assertEqual(read(f"EFI/tools/{program}"), f"stand-in {program}".encode())
        self.assertEqual(read("EFI/tools/AMIDEEFIx64.efi"), b"vendor tool")
        self.assertEqual(read("EFI/BOOT/BOOTX64.EFI"), b"shell")
        self.assertIn(b":\\EFI\\tools\\Tagwell.efi /sn:AB1 > ", read("EFI/stick/step1.nsh"))
        script = read("startup.nsh").decode("ascii")
        marker = re.search(r"stick-([0-9a-f]{8})\.id", script).group(0)
        self.assertIsNotNone(read(f"EFI/tools/{marker}"))
        self.assertIn('echo "step 1 (line 1): Tagwell /sn:AB1"', script)
        self.assertNotIn("reset", script)

    def test_dir_and_image_hold_the_same_files(self):
        folder = self.folder
        self.assertEqual(self.make("Crestune /f9\n", "--dir", "out").returncode, 0)
        done = next((folder / "out" / "EFI" / "tools").glob("stick-*.id")).name[6:14]
        (folder / "out" / "logs" / f"done-{done}").mkdir()
        (folder / "out" / "logs" / f"done-{done}" / "PF3X.nsh").write_text("record")
        self.assertIn(f"done-{done} keeps the records of 1 unit that finished this same stick",
                      self.make("Crestune /f9\n", "--dir", "out").stderr)
        shutil.rmtree(folder / "out" / "logs" / f"done-{done}")
        self.assertEqual(self.make("Crestune /f9\n").returncode, 0)
        names = sorted(str(p.relative_to(folder / "out")) for p in
                       (folder / "out").rglob("*") if p.is_file())
        self.assertEqual(len(names), 10, names)

        self.assertTrue((folder / "out" / "logs").is_dir())
        for name in names:
            self.assertEqual(stick_cases.read_stick(folder / "stick.img", name),
                             (folder / "out" / name).read_bytes(), name)

    def test_refused_list_builds_nothing(self):
        done = self.make("Crestune /f9\nformat fs0:\n")
        self.assertEqual(done.returncode, 1)
        self.assertIn("list.txt line 2: unknown program 'format'", done.stderr)
        self.assertFalse((self.folder / "stick.img").exists())
        done = self.make("Crestune /f9\n", "--then", "halt")
        self.assertEqual(done.returncode, 2)
        done = self.make("Crestune /f9\n", "--then", "shell", "--sign-key", "k",
                         "--sign-cert", "c")
        self.assertEqual(done.returncode, 2)
        self.assertIn("--then shell cannot go with --sign-key", done.stderr)
        # A signed stick restores only from a file it carries (pinned) or a unit's own backup.
        steps = runlist.parse_run_list("Crestune /r shared.dat /nor\nCrestune /r x-{unit}\n")
        with self.assertRaisesRegex(names.StickError, "line 1: '/r shared.dat': on a signed "
                                    "stick a restore reads only a file make-stick puts there"):
            assembly.stick_files(steps, "off", self.build / "efi", sealed=True)

    def test_refused_targets_write_nothing(self):
        folder = self.folder
        (folder / "outdir").mkdir()
        (folder / "linked").mkdir()
        (folder / "elsewhere.txt").write_text("keep me")
        (folder / "linked" / "startup.nsh").symlink_to(folder / "elsewhere.txt")
        (folder / "logfile" / "EFI").mkdir(parents=True)
        (folder / "logfile" / "logs").write_text("a file")
        (folder / "list.txt").write_text("Crestune /f9\n")
        os.mkfifo(folder / "pipe")
        for extra, message in [
                (["-o", "outdir"], "-o outdir: a folder"),
                (["-o", "pipe"], "-o pipe: a FIFO; make-stick writes an image file, not a device"),
                (["-o", "list.txt"], "which the stick is made from"),
                (["-o", str(folder / "list.txt")], "which the stick is made from"),
                (["-o", "missing/stick.img"], "does not exist"),
                (["--dir", "linked"], "startup.nsh is a symbolic link"),
                (["--dir", "logfile"], "logs is a file where the stick needs a folder"),
                (["--dir", "elsewhere.txt"], "not a folder")]:
            with self.subTest(extra=extra):
                before = sorted(str(p) for p in folder.rglob("*"))
                done = self.make("Crestune /f9\n", *extra)
                self.assertEqual(done.returncode, 1)
                self.assertIn(message, done.stderr)
                self.assertEqual(sorted(str(p) for p in folder.rglob("*")), before)
                self.assertEqual((folder / "list.txt").read_text(), "Crestune /f9\n")
                self.assertEqual((folder / "elsewhere.txt").read_text(), "keep me")

    def test_inputs_refused_with_a_message(self):
        folder = self.folder
        for name in ("X.efi ", "Crestune.efi.", "shared.dat"):
            (folder / name).write_bytes(b"tool")
        for at, marker in enumerate(pinning.MARKERS):
            (folder / f"shell{at}.efi").write_bytes(b"MZ" + bytes(64) + marker)
        shells = [["--vendor-tool", str(folder / f"shell{at}.efi")]
                  for at in range(len(pinning.MARKERS))]
        shared = ["--file", str(folder / "shared.dat")]
        for run_list, extra, message in [
                ("Tagwell /sn:1\n", ["--vendor-tool", str(folder / "X.efi ")],
                 "--vendor-tool '" + str(folder / "X.efi ") + "': FAT drops"),
                ("Tagwell /sn:1\n", ["--vendor-tool", str(folder / "Crestune.efi.")],
                 "the stick's own Crestune.efi"),
                ("Crestune /b unit.EFI\n", ["--one-unit"],
                 "list.txt line 1: '/b unit.EFI' would overwrite the stick's Unit.efi"),
                ("Crestune /b ..\\stick\\step1.nsh\n", ["--one-unit"], "holds '..', '.' or an"),
                ("Crestune /b fs0:\\x\n", ["--one-unit"], "'/b fs0:\\x' names a volume"),
                ("Crestune /b \\logs\\run1.txt\n", ["--one-unit"], "starts at the root"),
                ("Crestune /r TAGWELL.efi.\n", [], "'/r TAGWELL.efi.' would read the stick's"),
                ("Crestune /b backup.dat\n", [],
                 "write `/b backup-{unit}.dat` (or --one-unit"),
                ("Crestune /b SHARED.dat\nCrestune /r shared.dat /nor\n", ["--one-unit", *shared],
                 "line 1: '/b SHARED.dat' would overwrite the stick's shared.dat"),
                ("Crestune /r other.dat /nor\n", shared,
                 "--file shared.dat: no step reads it"),
                *[("Tagwell /sn:1\n", shell, "is a UEFI shell of tools/build-shell")
                  for shell in shells]]:
            with self.subTest(message=message):
                done = self.make(run_list, *extra)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertFalse((folder / "stick.img").exists())

    def test_odd_names_and_a_byte_order_mark_build(self):
        for name in ("d\u00e9ploiement.txt", 'x" > Crestune.efi #.txt', "x\nreset -s\n.txt"):
            with self.subTest(name=name):
                done = self.make("\ufeffCrestune /f9\n", "--dir", "odd", name=name)
                self.assertEqual(done.returncode, 0, done.stderr)
                script = (self.folder / "odd" / "startup.nsh").read_bytes().decode("ascii")
                self.assertIn("step 1 (line 1): Crestune /f9", script)


@unittest.skipUnless(all(os.access(BUILD / "host" / tool, os.X_OK)
                         for tool in ("Crestune", "Tagwell", "simmachine")),
                     "no built host tools")
class Rehearsal(unittest.TestCase):
    def run_make(self, folder: Path, run_list: str, *extra: str):
        """make-stick with stand-ins for the .efi files and the built host tools."""
        build = folder / "build"
        (build / "efi").mkdir(parents=True)
        for program in ("Crestune.efi", "Tagwell.efi", "Unit.efi"):
            (build / "efi" / program).write_bytes(b"stand-in")
        (build / "host").symlink_to((BUILD / "host").resolve())
        (folder / "list.txt").write_text(run_list)
        return subprocess.run([sys.executable, str(REPO / "tools" / "make-stick"),
                               str(folder / "list.txt"), "--build", str(build), "--dir", "out",
                               "--rehearse", *extra], capture_output=True, text=True,
                              cwd=folder, timeout=300)

    def test_a_step_that_fails_on_the_simulated_machine_refuses_the_stick(self):
        for run_list, built, said, *extra in [
                ("Crestune /pbs sata1 /csm disable\nCrestune /b b-{unit}.dat\n", True,
                 "step 2 (line 2): Crestune /b b-{unit}.dat: status 0x0"),
                # A misspelt value word: the host tool says what it says on a unit.
                ("Crestune /csm disable\nCrestune /csm disabel\nCrestune /f9\n", False,
                 "step 2 (line 2): Crestune /csm disabel failed on the simulated machine with "
                 "status 0x"),
                # No vendor tool given: Tagwell would not find one on the stick either.
                ("Tagwell /sn:AB12\n", False, "failed on the simulated machine with status "
                                              "0xC0000003"),
                ("Crestune /f9\n", False, "--rehearse pipe: not a machine file", "pipe"),
        ]:
            with self.subTest(run_list=run_list), tempfile.TemporaryDirectory() as tmp:
                if extra:
                    os.mkfifo(Path(tmp) / extra[0])
                done = self.run_make(Path(tmp), run_list, *extra)
                self.assertEqual(done.returncode, 0 if built else 1, done.stderr)
                self.assertEqual((Path(tmp) / "out").exists(), built)
                self.assertIn(said, done.stdout + done.stderr)
                if not built and not extra:
                    self.assertIn("it printed:", done.stderr)
                    self.assertIn("rehearsal: step 1 (line 1)", done.stdout)
                    self.assertNotIn("step 3", done.stdout + done.stderr)


if __name__ == "__main__":
    unittest.main()
