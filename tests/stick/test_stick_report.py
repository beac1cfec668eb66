#!/usr/bin/env python3
"""Checks of tools/stick-report on logs read back from real QEMU boots of sticks
(tests/stick/report-logs/, recorded by record_report_logs.py), on a stick image made from them
(read through mtools), and on logs written here for what a boot cannot easily give (a unit
that finds the stick done, program output that looks like an end line, damaged logs)."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import hashlib
import io
import json
import re
import shutil
import ssl
import sys
import tempfile
import time
import unittest
from contextlib import redirect_stderr, redirect_stdout
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
RECORDED = Path(__file__).resolve().parent / "report-logs"


def load_report():
    loader = importlib.machinery.SourceFileLoader("stick_report",
                                                  str(REPO / "tools" / "stick-report"))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("stick_report",
                                                                             loader))
    sys.modules["stick_report"] = module  # dataclasses look their module up
    loader.exec_module(module)
    return module


report = load_report()
from deploy import layout, record  # noqa: E402  (the path is the report's)
from stick import log as log_lines, signing  # noqa: E402

UNIT = ('unit {id}: manufacturer "Corvane", product "Desk 7", serial "{serial}", uuid '
        '4C4C4544-0036-3010-8050-B4C04F4A4E32, BIOS "M1KT52AUS", Secure Boot off')
HEAD = "stick 3fa9c2d1: deploy.txt, 2 steps, then off\n12/09/2026\n03:40:01 (LOCAL)\n"


def log(*lines: str, unit: str = "QS-0009", serial: str = "QS-0009") -> bytes:
    text = HEAD + (UNIT.format(id=unit, serial=serial) + "\n" if unit else "") + "".join(
        line + "\n" for line in lines)
    return b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le")


STEP1 = ("step 1 (line 1): Tagwell /uuid", "output", "step 1 status 0x0")
STEP2 = ("step 2 (line 2): Crestune /b backup-{unit}.dat",)


def run(folder: Path, *options: str) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        status = report.main([str(folder), *options])
    return status, out.getvalue(), err.getvalue()


class RecordedBoots(unittest.TestCase):
    """Stick A: QS-0001 passes, QS-0002 fails at step 1 (a vendor tool that failed), QS-0001
    passes again. Stick B: the last step resets the machine."""

    def test_stick_a_rows(self):
        status, out, _ = run(RECORDED / "stick-a", "--json")
        rows = json.loads(out)
        got = [(r["run"], r["unit"], r["serial"], r["steps"], r["result"], r["latest"])
               for r in rows]
        self.assertEqual(got, [
            (1, "QS-0001", "QS-0001", "2/2", "ALL DONE", False),
            (2, "QS-0002", "QS-0002", "0/2", "FAILED at step 1 (status 0xC000000B)", True),
            (3, "QS-0001", "QS-0001", "2/2", "ALL DONE", True),
        ])
        self.assertEqual(status, 1)  # QS-0002's only run failed
        for row in rows:
            self.assertEqual(row["list"], "site-a.txt")
            self.assertEqual(row["bios"], "M1KT52AUS")
            self.assertRegex(row["date"], r"^\d\d/\d\d/\d{4}$")
            self.assertRegex(row["time"], r"^\d\d:\d\d:\d\d")
            self.assertRegex(row["stick"], r"^[0-9a-f]{8}$")

    def test_stick_b_reset_is_interrupted(self):
        status, out, _ = run(RECORDED / "stick-b", "--csv")
        lines = out.splitlines()
        self.assertEqual(lines[0], ",".join(report.FIELDS))
        self.assertEqual(len(lines), 2)
        self.assertIn(',QS-0003,QS-0003,', lines[1])
        self.assertTrue(lines[1].endswith(",0/1,interrupted in step 1 (Tagwell /uuid /reboot)"),
                        lines[1])
        self.assertEqual(status, 1)

    def test_table_of_an_image_read_through_mtools(self):
        if shutil.which("mkfs.vfat") is None or shutil.which("mcopy") is None:
            self.skipTest("mtools and dosfstools are needed")
        sys.path.insert(0, str(REPO / "tests" / "qemu"))
        import stick_cases
        with tempfile.TemporaryDirectory() as tmp:
            # The image as make-stick writes it: an MBR and one FAT32 partition.
            image = Path(tmp) / "stick.img"
            stick_cases.stick_image.write_image({f"logs/{path.name}": path.read_bytes()
                                    for path in (RECORDED / "stick-a").glob("*.txt")}, image, 40)
            status, out, _ = run(image)
        lines = out.splitlines()
        self.assertEqual(lines[0].split(), ["run", "unit", "serial", "uuid", "BIOS", "date",
                                            "time", "stick", "run", "list", "steps", "result"])
        self.assertEqual(lines[1].split()[:3], ["1", "QS-0001", "QS-0001"])
        self.assertEqual(lines[3].split()[:4], ["*", "3", "QS-0001", "QS-0001"])
        self.assertTrue(lines[2].endswith("FAILED at step 1 (status 0xC000000B)"), lines[2])
        self.assertEqual(lines[-1], "* the latest run of its unit (the highest run number: "
                                    "runs are numbered in order)")
        self.assertEqual(status, 1)


class WrittenLogs(unittest.TestCase):
    CASES = [
        # (logs by run number, (unit, result, steps, latest) per run, exit status)
        ({1: log(*STEP1, "step 2 (line 2): Crestune /f9", "step 2 status 0x0", "ALL DONE"),
          2: log("already done on this unit (run 1)")},
         [("QS-0009", "ALL DONE", "2/2", False),
          ("QS-0009", "already done (run 1)", "0/2", True)], 0),
        # A later pass mends an earlier failure; the failure of another unit does not.
        ({1: log(*STEP1, "step 2 (line 2): Crestune /f9", "step 2 status 0xC0000006",
                 "FAILED at step 2 (status 0xC0000006)"),
          2: log(*STEP1, "step 2 (line 2): Crestune /f9", "step 2 status 0x0", "ALL DONE")},
         [("QS-0009", "FAILED at step 2 (status 0xC0000006)", "1/2", False),
          ("QS-0009", "ALL DONE", "2/2", True)], 0),
        # Program output that looks like an end line or a status line is not taken as one.
        ({7: log("step 1 (line 1): Tagwell /uuid", "ALL DONE", "step 2 status 0x0",
                 "FAILED at step 9 (x)", "step 1 status 0x0", *STEP2)},
         [("QS-0009", "interrupted in step 2 (Crestune /b backup-{unit}.dat)", "1/2", True)],
         1),
        # Lines the script writes after its end line; program output posing as the end of the
        # last step, cut by a power loss.
        ({1: log(*STEP1, "step 2 (line 2): Crestune /f9", "step 2 status 0x0", "ALL DONE",
                 "no unit id: the stick cannot record that this unit is done"),
          2: log(*STEP1, "step 2 (line 2): Crestune /f9", "ALL DONE", unit="QS-0010")},
         [("QS-0009", "ALL DONE", "2/2", True),
          ("QS-0010", "interrupted in step 2 (Crestune /f9)", "1/2", True)], 1),
        # A program's output that looks like the script's end lines, then a power loss.
        ({1: log("step 1 (line 1): Tagwell /uuid", "FAILED at step 1 (status 0x1)",
                 "step 1 status 0x0", *STEP2),
          2: log("step 1 (line 1): Tagwell /uuid", "already done on this unit (run 1)",
                 unit="QS-0010")},
         [("QS-0009", "interrupted in step 2 (Crestune /b backup-{unit}.dat)", "1/2", True),
          ("QS-0010", "interrupted in step 1 (Tagwell /uuid)", "0/2", True)], 1),
        # A FAILED line of the script's own reason.
        ({1: log("step 1 (line 1): Crestune /b backup-{unit}.dat",
                 "FAILED at step 1 (no unit id for {unit})", unit="")},
         [("none", "FAILED at step 1 (no unit id for {unit})", "0/2", True)], 1),
        # Output of step 1 posing as step 2 and the end, before the script's own failure
        # (logs of sticks that kept program output in the log).
        ({1: log("step 1 (line 1): Tagwell /uuid", "step 2 (line 2): Crestune /f9",
                 "step 2 status 0x0", "ALL DONE", "step 1 status 0x1",
                 "FAILED at step 1 (status 0x1)")},
         [("QS-0009", "FAILED at step 1 (status 0x1)", "0/2", True)], 1),
        # "already done" counts only where the run it names logged the same serial number and
        # UUID: AB/1 and AB_1 once had one id.
        ({1: log(*STEP1, "step 2 (line 2): Crestune /f9", "step 2 status 0x0", "ALL DONE",
                 unit="AB_1", serial="AB/1"),
          2: log("already done on this unit (run 1)", unit="AB_1", serial="AB_1"),
          3: log("already done on this unit (run 9)", unit="CD1", serial="CD1")},
         [("AB_1", "ALL DONE", "2/2", True),
          ("AB_1", 'FAILED: already done in run 1, which logged another unit (serial "AB/1", '
                   "uuid 4C4C4544-0036-3010-8050-B4C04F4A4E32)", "0/2", True),
          ("CD1", "FAILED: already done in run 9, whose log is not on the stick", "0/2", True)],
         1),
        # Two units of one id: the failure of the second is not mended by the first's runs.
        ({1: log(*STEP1, "step 2 (line 2): Crestune /f9", "step 2 status 0x0", "ALL DONE",
                 unit="QS-7", serial="QS-7 "),
          2: log("FAILED before step 1 (the done record \\logs\\done-3fa9c2d1\\QS-7.txt is not "
                 "this unit's: status 0xC0000010)", unit="QS-7", serial="QS-7"),
          3: log("already done on this unit (run 1)", unit="QS-7", serial="QS-7 ")},
         [("QS-7", "ALL DONE", "2/2", False),
          ("QS-7", "FAILED before step 1 (the done record \\logs\\done-3fa9c2d1\\QS-7.txt is "
                   "not this unit's: status 0xC0000010)", "0/2", True),
          ("QS-7", "already done (run 1)", "0/2", True)], 1),
        # Only the script's own names count: run01.txt is not run 1.
        ({1: log(*STEP1), "01": log("FAILED at step 1 (x)")},
         [("QS-0009", "interrupted in step 1 (Tagwell /uuid)", "1/2", True)], 1),
        # Units without an id are each their own; a log cut in its header.
        ({1: log(*STEP1, "step 2 (line 2): Crestune /f9", "step 2 status 0x0", "ALL DONE",
                 unit="none (no usable serial number or UUID)", serial="0"),
          2: b"\xff\xfe" + "stick 3fa9c2d1: a, b.txt, 1 step, then off\r\n".encode("utf-16-le")},
         [("none", "ALL DONE", "2/2", True), ("none", "interrupted before step 1", "0/1", True)],
         1),
    ]

    def test_cases(self):
        for logs, expected, status in self.CASES:
            with self.subTest(expected=expected), tempfile.TemporaryDirectory() as tmp:
                folder = Path(tmp) / "LOGS"
                folder.mkdir()
                for number, data in logs.items():
                    (folder / f"run{number}.txt").write_bytes(data)
                (folder / "stderr.txt").write_bytes(b"")
                got_status, out, _ = run(Path(tmp), "--json")
                rows = json.loads(out)
                self.assertEqual([(r["unit"], r["result"], r["steps"], r["latest"])
                                  for r in rows], expected)
                self.assertEqual(got_status, status)

    def test_run_list_name_with_commas(self):
        rows = json.loads(run_logs({2: log(*STEP1, "ALL DONE").replace(
            "deploy.txt".encode("utf-16-le"), "a, b.txt".encode("utf-16-le"))})[1])
        self.assertEqual(rows[0]["list"], "a, b.txt")
        self.assertEqual(rows[0]["stick"], "3fa9c2d1")
        self.assertIn(",'=1+2.txt,", run_logs({2: log(*STEP1, "ALL DONE").replace(
            "deploy.txt".encode("utf-16-le"), "=1+2.txt".encode("utf-16-le"))}, "--csv")[1])

    def test_unreadable_sticks(self):
        with tempfile.TemporaryDirectory() as tmp:
            empty = Path(tmp) / "empty"
            empty.mkdir()
            (Path(tmp) / "junk.img").write_bytes(b"\0" * 100)
            for target, message in [(empty, "holds no logs folder"),
                                    (Path(tmp) / "missing", "neither a stick image"),
                                    (Path(tmp) / "junk.img", "shorter than one sector")]:
                status, out, err = run(target)
                self.assertEqual((status, out), (2, ""))
                self.assertIn(message, err)


class SiteCertificate(unittest.TestCase):
    def test_db_lines_against_the_site_certificate(self):
        with tempfile.TemporaryDirectory() as tmp:
            _, cert, _, owner = signing.make_key(Path(tmp), "site", 30)
            cert.write_bytes(der := ssl.PEM_cert_to_DER_cert(cert.read_text()))  # PEM or DER
            site, other = hashlib.sha256(der).hexdigest().upper(), "AB" * 32
            guid = "11111111-2222-3333-4444-555555555555"
            mine, rest = str(owner).upper(), "; other entries: 0 of this owner, 5 of other owners"
            cases = [  # (the db line, or None; the db column)
                (f"{mine}: 1 certificate, SHA-256 {site}{rest}", "site certificate"),
                (f"{mine}: 0 certificates{rest}", "LACKS the site certificate"),
                (f"{mine}: 2 certificates, SHA-256 {other} {site}; other entries: 1 of this owner, "
                 f"0 of other owners", f"holds another certificate under the site's GUID: {other}"
                 "; holds 1 other entry under the site's GUID"),
                (f"{mine}: not read (db is larger than 65536 bytes)",
                 "db not read (db is larger than 65536 bytes)"),
                (f"{guid}: 1 certificate, SHA-256 {site}{rest}",
                 f"the db line is for another owner GUID ({guid}, not {mine})"),
                (None, "no db line in the log")]
            logs = {number: log(*[f"db owner {line}"] * bool(line), *STEP1,
                                "step 2 (line 2): Crestune /f9", "step 2 status 0x0", "ALL DONE",
                                unit=f"U{number}", serial=f"U{number}")
                    for number, (line, _) in enumerate(cases, start=1)}
            status, out, _ = run_logs(logs, "--json", "--cert", str(cert))
            self.assertEqual([row["db"] for row in json.loads(out)], [db for _, db in cases])
            status_one, out, _ = run_logs({1: logs[1]}, "--csv", "--cert", str(cert))
            self.assertEqual((status, status_one, out.split("\n")[0][-10:]), (1, 0, ",result,db"))



class HostileLines(unittest.TestCase):
    def test_a_mebibyte_line_parses_in_linear_time(self):
        """Every line format, as the text that makes a backtracking matcher try each way to
        split it: the format with one character for each field, repeated, whole and without its
        last literal part (so the end never matches)."""
        for line in [v for v in vars(log_lines).values() if isinstance(v, log_lines.Line)]:
            literals = re.split(r"\{\w+\}", line.template)
            last = max(i for i, part in enumerate(literals) if part)
            for piece in ("x".join(literals), "x".join(literals[:last]) + "x"):
                text = (piece * (2 ** 20 // len(piece) + 1))[:2 ** 20]
                with self.subTest(line=line.template, piece=piece):
                    started = time.perf_counter()
                    log_lines.parse_log(1, text)
                    self.assertLess(time.perf_counter() - started, 1.0)


class ServerFolder(unittest.TestCase):
    """A deployment server's folder: boots ranked by arrival, not by the unit's clock in the
    name; done only where the unit's record on the server names it."""
    DONE = (*STEP1, "step 2 (line 2): Crestune /f9", "step 2 status 0x0")
    FAIL = (*STEP1, "step 2 (line 2): Crestune /f9", "step 2 status 0x5",
            "FAILED at step 2 (status 0x5)")
    CASES = [
        # (unit, its logs' stamps and lines in the order they arrive, its record's serial
        #  number or None, the latest row's result)
        ("A", [("20261209101500", DONE + ("ALL DONE",)), ("20000101000000", FAIL)], "A",
         "FAILED at step 2 (status 0x5)"),
        ("B", [("99999999999999", DONE + ("ALL DONE",)), ("20261209101600", STEP1)], "B",
         "silent after step 1: step 2 did not end, or its log was not sent"),
        ("C", [("20261209101500", FAIL), ("20000101000000", DONE + ("ALL DONE",))], "C",
         "ALL DONE"),
        ("D", [("20261209101500", (log_lines.ALREADY_SERVER,))], None,
         "FAILED: already done, but no done record of this unit is on the server"),
        ("E", [("20261209101500", (log_lines.ALREADY_SERVER,))], "X",
         'FAILED: already done, but the done record on the server names another unit (serial '
         '"X", uuid 4C4C4544-0036-3010-8050-B4C04F4A4E32)'),
        ("F", [("20261209101500", DONE)], "F",
         "ALL DONE (its record arrived, its last log did not)"),
        ("G", [("20261209101500", DONE)], None,
         "all 2 steps passed, but no done record arrived: the unit would run the list again"),
        ("H", [("20261209101500", DONE + ("ALL DONE",))], "H",
         "FAILED: the log of H names unit Z"),
    ]

    def test_cases(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = Path(tmp)
            for folder in (layout.logs_dir(root), layout.records_dir(root)):
                folder.mkdir(parents=True)
            (layout.logs_dir(root) / "I.20261209101500.txt").symlink_to(RECORDED)
            for unit, logs, serial, _ in self.CASES:
                for stamp, lines in logs:
                    (layout.logs_dir(root) / f"{unit}.{stamp}.txt").write_bytes(
                        log(*lines, unit="Z" if unit == "H" else unit, serial=unit))
                    time.sleep(0.02)  # the server's clock tells the logs apart
                if serial is not None:
                    (layout.records_dir(root) / f"{unit}.txt").write_text(record.make(
                        "3fa9c2d1", 1, unit, serial, "4C4C4544-0036-3010-8050-B4C04F4A4E32"))
            status, out, _ = run(root, "--json")
        latest = {row["unit"]: row["result"] for row in json.loads(out) if row["latest"]}
        self.assertEqual(latest.pop("I"), "unreadable log: a link (not followed)")
        self.assertEqual(latest, {unit: result for unit, _, _, result in self.CASES})
        self.assertEqual(status, 1)


def run_logs(logs: dict[int, bytes], *options: str) -> tuple[int, str, str]:
    with tempfile.TemporaryDirectory() as tmp:
        for number, data in logs.items():
            (Path(tmp) / f"run{number}.txt").write_bytes(data)
        return run(Path(tmp), *options or ("--json",))


if __name__ == "__main__":
    unittest.main(verbosity=1)
