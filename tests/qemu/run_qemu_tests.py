#!/usr/bin/env python3
"""QEMU test suite: runs the cases of cases.py on the real .efi files in OVMF's UEFI shell.

    python3 tests/qemu/run_qemu_tests.py --build BUILD_DIR [--jobs N] [--group TEXT] [-v]

Each group boots its machine once and runs all its cases in that boot; groups run in
parallel. The harness's own checks (no QEMU) run first. The last line is "N passed, N failed";
the exit status is 1 when any case failed.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import difflib
import io
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
MACHINES = REPO / "machines"
sys.path.insert(0, str(HERE))

import cases as case_table  # noqa: E402
import smm_cases  # noqa: E402
import stick_cases  # noqa: E402
import secureboot_cases  # noqa: E402


import harness  # noqa: E402

shell = harness.load()


class Outcome:
    def __init__(self, group: str, case: str):
        self.group = group
        self.case = case
        self.failures: list[str] = []
        self.notes: list[str] = []
        self.skipped = False
        self.shown = ""

    @property
    def title(self) -> str:
        return f"[{self.group}] {self.case}"


def show_difference(what: str, expected: str, actual: str) -> str:
    lines = difflib.unified_diff(expected.splitlines(keepends=True),
                                 actual.splitlines(keepends=True),
                                 f"expected {what}", f"actual {what}")
    text = "".join(line if line.endswith("\n") else line + "\\ (no line end)\n"
                   for line in lines)
    return text or f"{what}: {expected!r} != {actual!r}"


def host_output(build: Path, case, machine: Path) -> tuple[str | None, str]:
    """The host tool's standard output for the case's arguments on the same machine, or None
    and the reason when it cannot be had."""
    tool = build / "host" / Path(case.program).stem
    if not os.access(tool, os.X_OK):
        return None, f"host tool {tool} not built: output not compared with it"
    with tempfile.TemporaryDirectory(prefix="qemu-host-") as tmp:
        # The host tool may keep machine state in its description: give it a copy.
        copy = Path(tmp) / machine.name
        shutil.copyfile(machine, copy)
        env = dict(os.environ, FWSIM_MACHINE=str(copy))
        try:
            done = subprocess.run([str(tool), *shlex.split(case.line)[1:]], cwd=tmp, env=env,
                                  capture_output=True, timeout=60)
        except subprocess.TimeoutExpired:
            return None, f"host tool {tool.name} did not finish within 60 s"
    return done.stdout.decode("latin-1"), ""


def judge(case, result, files: dict, outcome: Outcome, build: Path,
          machine: Path | None) -> None:
    fail = outcome.failures.append
    if case.resets:
        if result.ran:
            fail("the command ended normally: expected the machine to reset")
    elif not result.ran:
        fail("the command did not run to its end (no status recorded)")
    if case.status is not None and result.status != case.status:
        got = "none" if result.status is None else f"0x{result.status:08X}"
        fail(f"status {got}, expected 0x{case.status:08X}")
    if case.stdout is not None and result.stdout != case.stdout:
        fail(show_difference("stdout", case.stdout, result.stdout))
    if case.stderr is not None and result.stderr != case.stderr:
        fail(show_difference("stderr", case.stderr, result.stderr))
    if case.ends_with is not None and not result.stdout.endswith(case.ends_with):
        fail(f"stdout does not end with {case.ends_with!r}:\n{result.stdout}")
    for text in case.contains:
        if text not in result.stdout and text not in result.stderr:
            fail(f"output lacks {text!r}:\n{result.stdout}{result.stderr}")
    if case.ports is not None:
        for port, expected in case.ports.items():
            actual = result.debugcon.get(port, b"")
            if actual != expected:
                fail(f"port 0x{port:X} got [{actual.hex(' ')}], "
                     f"expected [{expected.hex(' ')}]")
    for name, expected in (case.disk or {}).items():
        actual = files.get(name)
        if expected is None:
            if actual is not None:
                fail(f"{name} is on the disk ({len(actual)} bytes), expected none")
        elif actual is None:
            fail(f"{name} is not on the disk")
        elif actual != expected:
            first = next((i for i, (a, b) in enumerate(zip(actual, expected)) if a != b),
                         min(len(actual), len(expected)))
            fail(f"{name}: {len(actual)} bytes, expected {len(expected)}; "
                 f"first difference at offset {first}")
    if case.host:
        if machine is None:
            fail("a host comparison needs a machine description")
        else:
            expected, why = host_output(build, case, machine)
            if expected is None:
                outcome.notes.append(why)
            elif result.stdout != expected:
                fail(show_difference("stdout (host tool = expected)", expected, result.stdout))
    if case.reference is not None:
        try:
            expected = case.reference(build)
        except (OSError, subprocess.SubprocessError) as error:
            fail(f"cannot make the expected output on the host: {error}")
        else:
            if result.stdout != expected:
                fail(show_difference("stdout (host reference = expected)", expected,
                                     result.stdout))
    if case.check is not None:
        message = case.check(result)
        if message:
            fail(message)
    if case.show:
        outcome.shown = result.stdout + result.stderr


def run_group(group, build: Path, efi: dict[str, Path]) -> tuple[list[Outcome], float]:
    outcomes = []
    runnable = []
    for case in group.cases:
        outcome = Outcome(group.name, case.name)
        outcomes.append(outcome)
        # A case may run a script that the group puts on the disk.
        if case.program not in efi and case.program not in group.files:
            if case.optional:
                outcome.skipped = True
                outcome.notes.append(f"skipped: {build / 'efi' / case.program} not built")
            else:
                outcome.failures.append(f"{build / 'efi' / case.program} not found")
            continue
        runnable.append((case, outcome))
    if not runnable:
        return outcomes, 0.0
    machine = MACHINES / group.machine if group.machine else None
    ports = sorted({port for case, _ in runnable for port in (case.ports or {})})
    try:
        run = shell.run_shell(
            [shell.Command(case.line, case.stdin) for case, _ in runnable],
            files={**efi, **{name: source(build) if callable(source) else source
                             for name, source in group.files.items()}},
            machine=machine, build_dir=build,
            debugcon_ports=ports, qemu_args=group.qemu_args,
            read_back=sorted({name for case, _ in runnable for name in (case.disk or {})}))
    except (shell.ShellRunError, shell.MachineError) as error:
        for _, outcome in runnable:
            outcome.failures.append(f"QEMU run of the group failed: {error}")
        return outcomes, 0.0
    for (case, outcome), result in zip(runnable, run.results):
        judge(case, result, run.files, outcome, build, machine)
    return outcomes, run.seconds


def run_harness_checks() -> tuple[int, int]:
    suite = unittest.defaultTestLoader.loadTestsFromNames(["test_uefi_shell", "test_smm_double"])
    report = io.StringIO()
    result = unittest.TextTestRunner(stream=report, verbosity=1).run(suite)
    failed = len(result.failures) + len(result.errors)
    if failed:
        print(report.getvalue())
    return result.testsRun - failed, failed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(REPO / "build"), help="build directory")
    parser.add_argument("--jobs", type=int, default=max(1, min(4, os.cpu_count() or 1)),
                        help="machines booted at the same time (default: %(default)s)")
    parser.add_argument("--group", action="append", default=[],
                        help="run only groups whose name contains this text (repeatable)")
    parser.add_argument("-v", "--verbose", action="store_true", help="list passing cases too")
    args = parser.parse_args()
    build = Path(args.build).resolve()

    passed, failed = run_harness_checks()
    print(f"harness checks: {passed} passed, {failed} failed")

    groups = [g for g in case_table.GROUPS + smm_cases.groups(build, shell)
              + stick_cases.groups(build, shell) + secureboot_cases.groups(build, shell)
              if not args.group or any(text in g.name for text in args.group)]
    efi = shell.efi_files(build)
    started = time.monotonic()
    skipped = 0
    said: set[str] = set()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = [(group, pool.submit(group.run, build, efi, shell, Outcome)
                    if hasattr(group, "run") else pool.submit(run_group, group, build, efi))
                   for group in groups]
        for group, future in futures:
            try:
                outcomes, seconds = future.result()
            except Exception as error:  # a fault of the suite itself: report, keep counting
                outcomes, seconds = [Outcome(group.name, case.name) for case in group.cases], 0
                for outcome in outcomes:
                    outcome.failures.append(f"the group could not be run: {error!r}")
            booted = f" ({seconds:.1f} s)" if seconds else ""
            label = getattr(group, "label", None) or group.machine or "stock OVMF"
            print(f"== {group.name}: {label}{booted}")
            for outcome in outcomes:
                if outcome.skipped:
                    skipped += 1
                    print(f"SKIP {outcome.title}: {'; '.join(outcome.notes)}")
                    continue
                if outcome.failures:
                    failed += 1
                    print(f"FAIL {outcome.title}")
                    for failure in outcome.failures:
                        print("    " + failure.rstrip("\n").replace("\n", "\n    "))
                else:
                    passed += 1
                    if args.verbose or set(outcome.notes) - said or outcome.shown:
                        print(f"PASS {outcome.title}")
                for note in outcome.notes:
                    if note not in said:
                        said.add(note)
                        print(f"    note: {note}")
                if outcome.shown:
                    print("    " + outcome.shown.rstrip("\n").replace("\n", "\n    "))
    print(f"{len(groups)} machines booted in {time.monotonic() - started:.1f} s"
          + (f"; {skipped} skipped" if skipped else ""))
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
