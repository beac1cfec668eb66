#!/usr/bin/env python3
"""tools/build-shell refuses, before building, what another local user could plant or hold."""

import fcntl
import importlib.machinery
import io
import os
import tempfile
import unittest
from contextlib import redirect_stderr, redirect_stdout
from pathlib import Path
from unittest import mock

TOOL = str(Path(__file__).resolve().parent.parent.parent / "tools" / "build-shell")
build_shell = importlib.machinery.SourceFileLoader("build_shell", TOOL).load_module()


class PlantedChecks(unittest.TestCase):
    CASES = [  # (what is planted in BASE, whose build folder is BASE/build/shell; the message)
        (lambda base: (base / "b/shell").rmdir() or (base / "b/shell").symlink_to(base),
         "is not a folder"),
        (lambda base: os.chmod(base / "b/shell", 0o777), "written by other users"),
        (lambda base: os.chmod(base / "b", 0o777), "could be swapped"),
        (lambda base: (base / "b/shell/lock").symlink_to(base / "x"), "cannot open the lock"),
        (lambda base: fcntl.flock(os.open(base / "b/shell/lock", os.O_CREAT | os.O_RDWR),
                                  fcntl.LOCK_EX), "still holds .*lock after 1 s"),
    ] + [(lambda base: os.chown(base / "b/shell", 65534, 65534), "belongs to user id 65534")
         ] * (os.geteuid() == 0)

    def test_refused_before_anything_is_built(self):
        for plant, message in self.CASES:
            with self.subTest(message=message), tempfile.TemporaryDirectory() as tmp:
                base = Path(tmp)
                (base / "b/shell").mkdir(mode=0o700, parents=True)
                plant(base)
                err = io.StringIO()
                with redirect_stdout(io.StringIO()), redirect_stderr(err), mock.patch.object(
                        build_shell, "fetch_source", side_effect=OSError("past the checks")):
                    status = build_shell.main(["--build", str(base / "b"), "--lock-wait", "1"])
                self.assertEqual(status, 1)
                self.assertRegex(err.getvalue(), message)


if __name__ == "__main__":
    unittest.main()
