#!/usr/bin/env python3
"""Checks that tools/build-shell refuses what another local user could plant or hold: its
build directory as a link, owned by another user, writable by others or below a folder that
others may change, a link as its lock, and a lock held longer than --lock-wait. Each is
refused before anything is fetched or built."""

from __future__ import annotations

import fcntl
import importlib.machinery
import importlib.util
import io
import os
import tempfile
import unittest
from contextlib import redirect_stderr, redirect_stdout
from pathlib import Path
from unittest import mock

REPO = Path(__file__).resolve().parent.parent.parent
loader = importlib.machinery.SourceFileLoader("build_shell", str(REPO / "tools" / "build-shell"))
build_shell = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
loader.exec_module(build_shell)


def as_link(base: Path) -> None:
    (base / "elsewhere").mkdir()
    (base / "build" / "shell").rmdir()
    (base / "build" / "shell").symlink_to(base / "elsewhere")


def held(base: Path) -> int:
    lock = os.open(base / "build" / "shell" / "lock", os.O_RDWR | os.O_CREAT, 0o600)
    fcntl.flock(lock, fcntl.LOCK_EX)
    return lock


class PlantedChecks(unittest.TestCase):
    CASES = [
        # (what is planted, the message)
        (as_link, "is not a folder"),
        (lambda base: os.chmod(base / "build" / "shell", 0o777), "written by other users"),
        (lambda base: os.chmod(base / "build", 0o777), "could be swapped"),
        (lambda base: (base / "build" / "shell" / "lock").symlink_to(base / "x"),
         "cannot open the lock"),
        (held, "still holds .*lock after 1 s"),
    ] + ([(lambda base: os.chown(base / "build" / "shell", 65534, 65534),
           "belongs to user id 65534")] if os.geteuid() == 0 else [])

    def test_refused_before_anything_is_built(self):
        for plant, message in self.CASES:
            with self.subTest(message=message), tempfile.TemporaryDirectory() as tmp:
                base = Path(tmp)
                (base / "build").mkdir()
                (base / "build" / "shell").mkdir(mode=0o700)
                plant(base)
                err = io.StringIO()
                with redirect_stdout(io.StringIO()), redirect_stderr(err), mock.patch.object(
                        build_shell, "fetch_source", side_effect=OSError("got past the checks")):
                    status = build_shell.main(["--build", str(base / "build"), "--lock-wait", "1"])
                self.assertEqual(status, 1)
                self.assertRegex(err.getvalue(), message)
                self.assertLessEqual({p.name for p in (base / "build" / "shell").iterdir()},
                                     {"lock"})


if __name__ == "__main__":
    unittest.main()
