#!/usr/bin/env python3
"""The table of pinned scripts: on build/shell/Shell.efi when built, else on a stand-in."""

import os
import sys
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "tools"))
from stick import pinning  # noqa: E402

SHELL = Path(os.environ.get("FWTOOLS_BUILD", REPO / "build")) / "shell" / "Shell.efi"
EMPTY = pinning.HEADER.pack(pinning.MARKER, 128, 0, 0, 0) + bytes(128 * 32)
IMAGE = SHELL.read_bytes() if SHELL.is_file() else b"MZ" + bytes(300) + EMPTY + b"\xff" * 64
DIGESTS = [pinning.digest_of(b"echo %d\r\n" % n) for n in range(129)]


class TableChecks(unittest.TestCase):
    def test_written_digests_read_back(self):
        self.assertEqual(pinning.read_table(IMAGE), ([], "off"))
        for digests, action in [(DIGESTS[:1], "off"), (DIGESTS[:64], "reboot"),
                                (DIGESTS[:128], "off"), (DIGESTS[:2] * 3, "reboot")]:
            with self.subTest(count=len(digests), action=action):
                pinned = pinning.pin(IMAGE, digests, action)
                self.assertEqual(len(pinned), len(IMAGE))
                self.assertEqual(pinning.read_table(pinned),
                                 (list(dict.fromkeys(digests)), action))

    def test_refused(self):
        start = IMAGE.find(pinning.MARKER)
        damaged = IMAGE[:start + 20] + (200).to_bytes(4, "little") + IMAGE[start + 24:]
        for image, digests, action, message in [
                (IMAGE, DIGESTS, "off", "129 different scripts do not fit"),
                (IMAGE, [], "off", "no scripts to pin"),
                (IMAGE, [b"\1" * 31], "off", "not 32 bytes"),
                (IMAGE, DIGESTS[:1], "shell", "unknown action"),
                (IMAGE.replace(pinning.MARKER, b"\0" * 16), DIGESTS[:1], "off", "no table"),
                (IMAGE + EMPTY, DIGESTS[:1], "off", "2 tables"),
                (IMAGE[:start + 40], DIGESTS[:1], "off", "does not hold"),
                (damaged, None, None, "damaged")]:
            with self.subTest(message=message), self.assertRaisesRegex(pinning.PinningError,
                                                                        message):
                pinning.read_table(image) if digests is None else pinning.pin(image, digests,
                                                                              action)


if __name__ == "__main__":
    unittest.main()
