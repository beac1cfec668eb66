"""Checks of the QEMU harness's SMM mode that need no QEMU: the check that every SMI was taken at
the instruction after the port write, the image identity, the port-write offset found in a
shared object, and the script and QEMU options of the mode."""

from __future__ import annotations

import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

shell = harness.load()

CRESTUNE = (0x1C000, 0x2000)   # (SizeOfImage, AddressOfEntryPoint)
TAGWELL = (0x18000, 0x2000)
PLACES = {CRESTUNE: ("Crestune.efi", 0x58F1),
          TAGWELL: ("Tagwell.efi", "no Tagwell.so under build to find TriggerPortSmi in")}


def event(rip: int, base: int | None = 0xDDE5000, image=CRESTUNE, **extra) -> dict:
    found = {"event": "smi", "sequence": 4, "request": "LoadDefaults", "rip": hex(rip)}
    if base is not None:
        found.update(image_base=hex(base), image_size=hex(image[0]), image_entry=hex(image[1]))
    found.update(extra)
    return found


class SmiPlaces(unittest.TestCase):
    def test_each_smi_is_judged(self):
        cases = [
            # name, events, text of each expected problem
            ("taken after the out", [event(0xDDE5000 + 0x58F1)], []),
            ("one instruction late", [event(0xDDE5000 + 0x58F3)],
             ["taken at offset 0x58F3, not at 0x58F1"]),
            ("before the out", [event(0xDDE5000 + 0x58F0)], ["offset 0x58F0"]),
            ("no image around RIP", [event(0x1234, base=None)], ["found no PE image"]),
            ("an image not on the disk", [event(0x7000058F1, base=0x700000000,
                                                image=(0x3000, 0x1000))],
             ["none of the .efi files on the disk (size 0x3000, entry 0x1000)"]),
            ("an image without symbols", [event(0x9000 + 0x58F1, base=0x9000, image=TAGWELL)],
             ["from Tagwell.efi: cannot be checked: no Tagwell.so"]),
            ("lost from a full log", [{"event": "smi_not_logged", "count": 3}],
             ["3 SMIs were not logged"]),
            ("only the late one of several",
             [event(0xDDE5000 + 0x58F1), event(0xDDE5000 + 0x5900), event(0xDDE5000 + 0x58F1)],
             ["offset 0x5900"]),
        ]
        for name, events, expected in cases:
            with self.subTest(name):
                problems = shell.check_smi_places(events, PLACES)
                self.assertEqual(len(problems), len(expected), problems)
                for problem, text in zip(problems, expected):
                    self.assertIn(text, problem)


def pe_image(size_of_image: int, entry: int, magic: int = 0x20B, pe_offset: int = 0x80) -> bytes:
    data = bytearray(0x200)
    data[0:2] = b"MZ"
    data[0x3C:0x40] = struct.pack("<I", pe_offset)
    data[pe_offset:pe_offset + 4] = b"PE\0\0"
    optional = pe_offset + 24
    data[optional:optional + 2] = struct.pack("<H", magic)
    data[optional + 16:optional + 20] = struct.pack("<I", entry)
    data[optional + 56:optional + 60] = struct.pack("<I", size_of_image)
    return bytes(data)


class PeIdentity(unittest.TestCase):
    def test_identity(self):
        cases = [
            ("PE32+ image", pe_image(0x1C000, 0x2000), (0x1C000, 0x2000)),
            ("PE32 image", pe_image(0x1C000, 0x2000, magic=0x10B), None),
            ("no MZ", b"ZM" + pe_image(1, 2)[2:], None),
            ("PE header past the end", pe_image(1, 2, pe_offset=0x1F0), None),
            ("empty", b"", None),
        ]
        for name, data, expected in cases:
            with self.subTest(name):
                self.assertEqual(shell.pe_identity(data), expected)


@unittest.skipUnless(shutil.which("gcc") and shutil.which("objdump"), "needs gcc and objdump")
class PortWriteOffset(unittest.TestCase):
    def build(self, body: str, name: str = "TriggerPortSmi") -> Path:
        source = self.tmp / f"{name}.s"
        source.write_text(f"    .text\n    .globl {name}\n    .type {name}, @function\n"
                          f"{name}:\n{body}    .size {name}, .-{name}\n")
        target = self.tmp / "image.so"
        subprocess.run(["gcc", "-shared", "-nostdlib", "-o", str(target), str(source)],
                       check=True, capture_output=True)
        return target

    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="smm-offset-")
        self.tmp = Path(self._dir.name)

    def tearDown(self):
        self._dir.cleanup()

    def test_offsets(self):
        cases = [
            # name, body, symbol, expected offset from the out (None: refused)
            ("after the out", "    movl $1, %eax\n    outb %al, %dx\n    outb %al, $0xeb\n"
             "    ret\n", "TriggerPortSmi", 1),
            ("two port writes", "    outb %al, %dx\n    outb %al, %dx\n    ret\n",
             "TriggerPortSmi", None),
            ("no port write", "    ret\n", "TriggerPortSmi", None),
            ("out is the last instruction", "    outb %al, %dx\n", "TriggerPortSmi", None),
            ("another function", "    outb %al, %dx\n    ret\n", "OtherFunction", None),
        ]
        for name, body, symbol, expected in cases:
            with self.subTest(name):
                shared = self.build(body, symbol)
                if expected is None:
                    with self.assertRaises(ValueError):
                        shell.port_write_return_offset(shared)
                    continue
                listing = subprocess.run(["nm", str(shared)], capture_output=True,
                                         text=True).stdout
                start = int(next(line.split()[0] for line in listing.splitlines()
                                 if line.endswith(" TriggerPortSmi")), 16)
                self.assertEqual(shell.port_write_return_offset(shared), start + 5 + expected)


class SmmMode(unittest.TestCase):
    def test_script_installs_logs_and_saves(self):
        commands = [shell.Command("Crestune.efi /f9"), shell.Command("Crestune.efi /?", "n\n")]
        lines = shell.startup_script(commands, handshake=False, smm=True).split("\r\n")
        install = lines.index("SmmDouble.efi install smmstate.bin > smminstall-out.txt "
                              "2> smminstall-err.txt")
        self.assertLess(install, lines.index("echo FWQEMU-BEGIN-0"))
        self.assertEqual(lines[lines.index("echo %lasterror% > st0.txt") + 1],
                         "SmmDouble.efi log smmlog0.bin smmst0.bin")
        self.assertEqual(lines[lines.index("echo %lasterror% > st1.txt") + 1],
                         "SmmDouble.efi log smmlog1.bin smmst1.bin")
        self.assertEqual(lines[lines.index("echo FWQEMU-ALL-DONE") - 1],
                         "SmmDouble.efi save smmstate-out.bin")
        plain = shell.startup_script(commands, handshake=False)
        self.assertNotIn("SmmDouble", plain)

    def test_qemu_options(self):
        paths = [Path("code.fd"), Path("vars.fd"), Path("disk.img")]
        smm = shell.qemu_argv(*paths, {}, ["-extra"], smm=True)
        self.assertEqual(smm[smm.index("-machine") + 1], "q35,smm=on")
        self.assertEqual(smm[-8:], ["-smp", "1", "-icount", "shift=auto", "-no-shutdown", "-qmp",
                                    "unix:qmp.sock,server=on,wait=off", "-extra"])
        plain = shell.qemu_argv(*paths, {}, [])
        self.assertEqual(plain[plain.index("-machine") + 1], "q35")
        self.assertNotIn("-icount", plain)

    def test_refused_arguments(self):
        cases = [
            ("the SMI port logged by debugcon", dict(smm=True, debugcon_ports=[0xB2],
                                                     build_dir=REPO), "raises the SMIs"),
            ("a state without SMM mode", dict(smm_state=b"x"), "only used with smm=True"),
        ]
        for name, arguments, text in cases:
            with self.subTest(name):
                with self.assertRaises(ValueError) as raised:
                    shell.run_shell(["Crestune.efi"], **arguments)
                self.assertIn(text, str(raised.exception))

    def test_missing_build_is_named(self):
        with tempfile.TemporaryDirectory() as build:
            with self.assertRaises(shell.MachineError) as raised:
                shell.run_shell(["Crestune.efi"], smm=True, build_dir=build)
            self.assertIn("SmmDouble.efi not found", str(raised.exception))


if __name__ == "__main__":
    unittest.main()
