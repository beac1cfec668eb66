#!/usr/bin/env python3
"""The manifest in the shell's table: on build/shell/Shell.efi when built, else on a stand-in."""

import os
import sys
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "tools"))
from stick import pinning  # noqa: E402

SHELL = Path(os.environ.get("FWTOOLS_BUILD", REPO / "build")) / "shell" / "Shell.efi"
EMPTY = pinning.HEADER.pack(pinning.MARKER, 256, 0, 0, 0) + bytes(256 * 128)
IMAGE = SHELL.read_bytes() if SHELL.is_file() else b"MZ" + bytes(300) + EMPTY + b"\xff" * 64
ENTRIES = [(f"\\EFI\\stick\\step{n}.nsh", "script", pinning.digest_of(b"echo %d\r\n" % n))
           for n in range(257)]


class TableChecks(unittest.TestCase):
    def test_written_entries_read_back(self):
        self.assertEqual(pinning.read_table(IMAGE), ([], "off"))
        program = ("\\EFI\\tools\\Crestune.efi", "program", bytes(range(32)))
        data = ("\\" + "d" * 93, "data", b"\xff" * 32)
        for entries, action in [([program], "off"), (ENTRIES[:3] + [data], "reboot"),
                                (ENTRIES[:256], "off")]:
            with self.subTest(count=len(entries), action=action):
                pinned = pinning.pin(IMAGE, entries, action)
                self.assertEqual(len(pinned), len(IMAGE))
                self.assertEqual(pinning.read_table(pinned), (entries, action))

    def test_refused(self):
        start = IMAGE.find(pinning.MARKER)
        damaged = IMAGE[:start + 20] + (257).to_bytes(4, "little") + IMAGE[start + 24:]
        first = start + pinning.HEADER.size
        bad_kind = pinning.pin(IMAGE, ENTRIES[:1], "off")
        bad_kind = bad_kind[:first + 32] + b"\x09" + bad_kind[first + 33:]
        twice = ENTRIES[:1] + [(ENTRIES[0][0].upper(), "program", ENTRIES[1][2])]
        for image, entries, action, message in [
                (IMAGE, ENTRIES, "off", "257 files do not fit the shell's table of 256"),
                (IMAGE, [], "off", "no files to pin"),
                (IMAGE, twice, "off", "named twice"),
                (IMAGE, [(ENTRIES[0][0], "script", b"\1" * 31)], "off", "not a 32-byte"),
                (IMAGE, ENTRIES[:1], "shell", "unknown action"),
                (IMAGE.replace(pinning.MARKER, b"\0" * 16), ENTRIES[:1], "off", "no table"),
                (IMAGE + EMPTY, ENTRIES[:1], "off", "2 tables"),
                (IMAGE[:start + 40], ENTRIES[:1], "off", "cut off"),
                (IMAGE.replace(EMPTY[:20], EMPTY[:16] + (128).to_bytes(4, "little")),
                 ENTRIES[:1], "off", "128 slots, not 256"),
                (damaged, None, None, "damaged"),
                (bad_kind, None, None, "damaged")]:
            with self.subTest(message=message), self.assertRaisesRegex(pinning.PinningError,
                                                                        message):
                pinning.read_table(image) if entries is None else pinning.pin(image, entries,
                                                                              action)

    def test_the_shell_is_pinned_last_to_every_file_as_signed(self):
        shell = "EFI/BOOT/BOOTX64.EFI"
        files = {shell: IMAGE, "startup.nsh": b"s", "EFI/tools/A.efi": b"MZ a",
                 "EFI/tools/x.dat": b"d", "EFI/keys/k.cer": b"c"}

        def sign(unsigned):
            return {name: data + b"+signed" if name.lower().endswith(".efi") else data
                    for name, data in unsigned.items()}, [f"signed {sorted(unsigned)}"]

        sealed, report = pinning.seal_stick(files, shell, sign)
        self.assertEqual(report, [f"signed ['{shell}']", f"signed {sorted(set(files) - {shell})}"])
        self.assertTrue(sealed[shell].endswith(b"+signed"))
        self.assertEqual(pinning.read_table(sealed[shell][:-7]), ([
            ("\\EFI\\tools\\A.efi", "program", pinning.digest_of(b"MZ a+signed")),
            ("\\EFI\\tools\\x.dat", "data", pinning.digest_of(b"d")),
            ("\\startup.nsh", "script", pinning.digest_of(b"s"))], "off"))

    def test_places_as_the_shell_names_them(self):
        self.assertEqual(pinning.place_of("EFI/tools/Crestune.efi"), "\\EFI\\tools\\Crestune.efi")
        self.assertEqual(pinning.place_of("x/" + "y" * 91), "\\x\\" + "y" * 91)
        for name in ("EFI/tools/a.", "EFI/tools/a ", "EFI//a", "EFI/./a", "EFI/../a", "a\\b",
                     "EFI/t\u00e9", "x/" + "y" * 92):
            with self.subTest(name=name), self.assertRaises(pinning.PinningError):
                pinning.place_of(name)


if __name__ == "__main__":
    unittest.main()
