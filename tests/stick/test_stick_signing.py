#!/usr/bin/env python3
"""Checks of signing a stick for Secure Boot: tools/make-signing-key, make-stick's
--sign-key/--sign-cert (every EFI image on a built image verifies, the DER certificate and the
signature list on the stick are the signing certificate) and the refusals (exit 1, nothing
written)."""

from __future__ import annotations

import hashlib
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
import uuid
from pathlib import Path
from unittest import mock

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "tests" / "qemu"))

import stick_cases  # noqa: E402

from stick import pinning, signing  # noqa: E402
BUILD = Path(os.environ.get("FWTOOLS_BUILD", REPO / "build"))
EFI = BUILD / "efi"
MAKE_KEY = REPO / "tools" / "make-signing-key"
MAKE_STICK = REPO / "tools" / "make-stick"
X509_GUID = bytes.fromhex("a159c0a5e494a74a87b5ab155c2bf072")  # EFI_CERT_X509_GUID, as stored


def run(*argv, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=300,
                          **kwargs)


def openssl(*argv) -> str:
    done = run("openssl", *argv)
    assert done.returncode == 0, done.stderr
    return done.stdout


def make_key(folder: Path, name: str) -> tuple[Path, Path]:
    done = run(sys.executable, MAKE_KEY, folder, "--name", name)
    assert done.returncode == 0, done.stderr
    cert = folder / f"{name}.crt"
    assert f"{cert}: SHA-256 fingerprint of the certificate: {fingerprint(cert)} (" in done.stdout
    return folder / f"{name}.key", cert


def fingerprint(cert: Path) -> str:
    return openssl("x509", "-in", cert, "-noout", "-fingerprint", "-sha256").split("=")[1] \
        .strip().replace(":", "")


def digest(path: Path) -> str:
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def tree(folder: Path) -> dict[str, str]:
    return {str(p.relative_to(folder)): digest(p) for p in sorted(folder.rglob("*"))
            if p.is_file()}


class SigningKey(unittest.TestCase):
    def test_key_and_certificate(self):
        with tempfile.TemporaryDirectory() as tmp:
            key, cert = make_key(Path(tmp) / "keys", "fleet-2026")
            self.assertEqual(stat.S_IMODE(key.stat().st_mode), 0o600)
            self.assertIn("Private-Key: (2048 bit", openssl("pkey", "-in", key, "-noout",
                                                            "-text"))
            self.assertIn("CN = fleet-2026", openssl("x509", "-in", cert, "-noout", "-subject"))
            self.assertEqual(openssl("pkey", "-in", key, "-pubout"),
                             openssl("x509", "-in", cert, "-noout", "-pubkey"))
            # Self-signed: it verifies against itself.
            self.assertIn("OK", openssl("verify", "-CAfile", cert, cert))

    def test_refusals(self):
        for case, name, first, status, message in [
                ("existing key", "k", "key", 1, "already exist"),
                ("existing certificate", "k", "crt", 1, "already exist"),
                ("existing owner GUID", "k", "guid", 1, "already exist"),
                ("name with a blank", "a b", None, 2, "--name"),
                ("name with a path", "../k", None, 2, "--name")]:
            with self.subTest(case), tempfile.TemporaryDirectory() as tmp:
                folder = Path(tmp)
                if first:
                    (folder / f"{name}.{first}").write_text("earlier\n")
                before = tree(folder)
                done = run(sys.executable, MAKE_KEY, folder, "--name", name)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertEqual(tree(folder), before)


class PeHeaders(unittest.TestCase):
    @staticmethod
    def image(magic=0x20B, subsystem=10, certificate=0, directories=16) -> bytes:
        pe = 0x80
        optional_size = (112 if magic == 0x20B else 96) + 8 * directories
        data = bytearray(pe + 24 + optional_size + 64)
        data[:2] = b"MZ"
        struct.pack_into("<I", data, 0x3C, pe)
        data[pe:pe + 4] = b"PE\0\0"
        struct.pack_into("<H", data, pe + 20, optional_size)
        optional = pe + 24
        struct.pack_into("<HH", data, optional, magic, 0)
        struct.pack_into("<H", data, optional + 68, subsystem)
        count_at = optional + (92 if magic == 0x10B else 108)
        struct.pack_into("<I", data, count_at, directories)
        if directories > 4:
            struct.pack_into("<II", data, count_at + 4 + 32, 0x100 if certificate else 0,
                             certificate)
        return bytes(data)

    def test_headers(self):
        for case, data, signed, refused in [
                ("PE32+ application", self.image(), False, None),
                ("PE32 boot service driver", self.image(0x10B, 11), False, None),
                ("signed", self.image(certificate=0x400), True, None),
                ("signed PE32", self.image(0x10B, certificate=0x400), True, None),
                ("four directories: no certificate table", self.image(directories=4), False,
                 None),
                ("text", b"echo hello\r\n" * 10, None, "no MZ header"),
                ("empty", b"", None, "no MZ header"),
                ("MZ only", b"MZ" + bytes(62), None, "no PE signature"),
                ("PE offset past the end", b"MZ" + bytes(58) + b"\xff\xff\x00\x00", None,
                 "no PE signature"),
                ("Windows console program", self.image(subsystem=3), None, "subsystem 3"),
                ("ROM magic", self.image(magic=0x107), None, "magic 0x107"),
                ("cut in the optional header", self.image()[:0x80 + 24 + 40], None,
                 "truncated")]:
            with self.subTest(case):
                if refused:
                    with self.assertRaises(signing.SigningError) as caught:
                        signing.pe_info(data, "\\EFI\\tools\\x.efi")
                    self.assertIn(refused, str(caught.exception))
                    self.assertIn("is not a PE/COFF EFI image", str(caught.exception))
                else:
                    self.assertEqual(signing.pe_info(data, "x").signed, signed)


@unittest.skipUnless((EFI / "Crestune.efi").is_file() and (EFI / "Tagwell.efi").is_file(),
                     f"needs the built tools in {EFI}")
class SignedStick(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.folder = Path(cls.tmp.name)
        cls.key, cls.cert = make_key(cls.folder / "keys", "fleet")
        cls.other_key, cls.other_cert = make_key(cls.folder / "keys", "vendor")
        cls.list = cls.folder / "list.txt"
        cls.list.write_text("Crestune /f9\nTagwell /sn:A1\n")
        # Stand-ins: a shell, an unsigned vendor tool, a vendor tool signed by its maker.
        # (the shell: a program with an empty table of pinned files in its middle)
        cls.shell = cls.folder / "Shell.efi"
        shell = bytearray((EFI / "Tagwell.efi").read_bytes())
        table = pinning.HEADER.pack(pinning.MARKER, 256, 0, 0, 0) + bytes(256 * 128)
        shell[len(shell) // 2:len(shell) // 2 + len(table)] = table
        cls.shell.write_bytes(shell)
        cls.vendor = cls.folder / "AMIDEEFIx64.efi"
        shutil.copyfile(EFI / "Crestune.efi", cls.vendor)
        cls.signed_vendor = cls.folder / "H2OSDE-Sx64.efi"
        done = run("sbsign", "--key", cls.other_key, "--cert", cls.other_cert, "--output",
                   cls.signed_vendor, EFI / "Tagwell.efi")
        assert done.returncode == 0, done.stderr

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def make(self, *extra, key=None, cert=None, output=None):
        output = output or self.folder / "stick.img"
        return run(sys.executable, MAKE_STICK, self.list, "-o", output, "--shell", self.shell,
                   "--vendor-tool", self.vendor, "--vendor-tool", self.signed_vendor,
                   "--sign-key", key or self.key, "--sign-cert", cert or self.cert, *extra)

    def test_every_image_on_the_stick_verifies(self):
        inputs = [self.shell, self.vendor, self.signed_vendor, self.key, self.cert]
        before = [digest(path) for path in inputs]
        image = self.folder / "signed.img"
        done = self.make(output=image)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual([digest(path) for path in inputs], before, "an input file changed")
        self.assertNotIn("Secure Boot is off", done.stderr)
        names = ["EFI/BOOT/BOOTX64.EFI", "EFI/tools/Crestune.efi", "EFI/tools/Tagwell.efi",
                 "EFI/tools/Unit.efi", "EFI/tools/AMIDEEFIx64.efi"]
        for name in names:
            with self.subTest(name):
                data = stick_cases.read_stick(image, name)
                self.assertIsNotNone(data)
                copy = self.folder / "check.efi"
                copy.write_bytes(data)
                verified = run("sbverify", "--cert", self.cert, copy)
                self.assertEqual(verified.returncode, 0, verified.stderr)
                self.assertIn("Signature verification OK", verified.stdout)
                self.assertIn(f"\\{name.replace('/', chr(92))}: signed, sbverify: Signature "
                              "verification OK", done.stdout)
        # The shell is pinned to every file of the stick as the stick holds it (the programs
        # signed), at its place, but itself and the keys.
        everything = self.folder / "everything"
        everything.mkdir()
        stick_cases.stick_image.copy_out(image, "*", everything, "copy the stick")
        files = sorted(str(path.relative_to(everything)) for path in everything.rglob("*")
                       if path.is_file())
        self.assertEqual(pinning.read_table(stick_cases.read_stick(image, names[0])), (
            [(pinning.place_of(name), pinning.kind_of(name),
              pinning.digest_of((everything / name).read_bytes()))
             for name in files if name != names[0] and not name.startswith("EFI/keys/")],
            "off"))
        self.assertEqual(len(files), 17, files)
        # The vendor's own signature stays: the file is as it was, and our key does not
        # verify it.
        kept = stick_cases.read_stick(image, "EFI/tools/H2OSDE-Sx64.efi")
        self.assertEqual(kept, self.signed_vendor.read_bytes())
        self.assertIn("H2OSDE-Sx64.efi: kept its own signature", done.stdout)
        # The certificate as DER, matching the key, and as a signature list holding it.
        der = stick_cases.read_stick(image, "EFI/keys/fleet.cer")
        (self.folder / "fleet.der").write_bytes(der or b"")
        self.assertEqual(openssl("x509", "-inform", "DER", "-in", self.folder / "fleet.der",
                                 "-noout", "-pubkey"),
                         openssl("pkey", "-in", self.key, "-pubout"))
        esl = stick_cases.read_stick(image, "EFI/keys/fleet.esl")
        self.assertEqual(esl[:16], X509_GUID)
        list_size, header_size, entry_size = struct.unpack_from("<III", esl, 16)
        self.assertEqual((list_size, header_size, entry_size),
                         (len(esl), 0, 16 + len(der)))
        self.assertEqual(esl[28 + 16:], der)
        # Its owner is the key's GUID, which ENROLL.TXT gives the technician to type.
        owner = uuid.UUID(self.key.with_suffix(".guid").read_text().strip())
        self.assertEqual(esl[28:28 + 16], owner.bytes_le)
        self.assertIn(f"owner GUID {str(owner).upper()} (from ", done.stdout)
        self.assertIn(f"make-stick: SHA-256 fingerprint of the certificate: "
                      f"{fingerprint(self.cert)} (", done.stdout)
        self.assertIn(f"Unit.efi /owner {str(owner).upper()} >> ".encode(),  # db under it
                      stick_cases.read_stick(image, "EFI/stick/unit.nsh"))
        lines = stick_cases.read_stick(image, "EFI/keys/ENROLL.TXT").decode("ascii").split("\r\n")
        self.assertEqual([line for line in lines if len(line) > 80 or "\n" in line], [])
        self.assertEqual([line.strip() for line in lines].count(str(owner).upper()), 2)
        self.assertIn("fleet.cer", [line.strip() for line in lines])
        self.assertIn(fingerprint(self.cert), [line.strip() for line in lines])

    def test_every_pe_file_of_the_dictionary_is_signed(self):
        # Any program of ours that the dictionary holds is signed, whatever its name.
        files = {"startup.nsh": b"echo hi\r\n", "EFI/tools/x.id": b"marker\r\n",
                 "EFI/tools/Unit.efi": (EFI / "Crestune.efi").read_bytes(),
                 "EFI/tools/helper.bin": (EFI / "Tagwell.efi").read_bytes()}
        signer = signing.load_signer(self.key, self.cert)
        signed, report = signing.sign_files(files, signer)
        self.assertEqual(len(report), 2, report)
        for name in ("EFI/tools/Unit.efi", "EFI/tools/helper.bin"):
            self.assertTrue(signing.pe_info(signed[name], name).signed, name)
        for name in ("startup.nsh", "EFI/tools/x.id"):
            self.assertEqual(signed[name], files[name])
        self.assertEqual(sorted(set(signed) - set(files)),
                         ["EFI/keys/ENROLL.TXT", "EFI/keys/fleet.cer", "EFI/keys/fleet.esl"])

    def test_refusals_write_nothing(self):
        folder = self.folder / "refusals"
        folder.mkdir()
        encrypted = folder / "encrypted.pem"
        openssl("pkey", "-in", self.key, "-aes256", "-passout", "pass:secret", "-out", encrypted)
        traditional = folder / "traditional.pem"
        openssl("rsa", "-in", self.key, "-aes256", "-traditional", "-passout", "pass:secret",
                "-out", traditional)
        text = folder / "notes.efi"
        text.write_text("not a program\n")
        console = folder / "console.efi"
        data = bytearray((EFI / "Tagwell.efi").read_bytes())
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        struct.pack_into("<H", data, pe + 24 + 68, 3)
        console.write_bytes(bytes(data))
        der_key, der_cert = folder / "key.der", folder / "cert.der"
        openssl("pkey", "-in", self.key, "-outform", "DER", "-out", der_key)
        openssl("x509", "-in", self.cert, "-outform", "DER", "-out", der_cert)
        changed = folder / "changed.efi"
        changed.write_bytes(self.signed_vendor.read_bytes()[:0x400] + b"\xff" +
                            self.signed_vendor.read_bytes()[0x401:])
        guids = {}
        for case, owner in [("zeros", str(uuid.UUID(int=0))), ("braces", f"{{{uuid.uuid4()}}}")]:
            guids[case] = folder / f"{case}.crt"
            shutil.copyfile(self.cert, guids[case])
            guids[case].with_suffix(".guid").write_text(owner + "\n")
        for case, extra, key, cert, message in [
                ("missing key", (), folder / "none.pem", None, "cannot read the signing key"),
                ("unreadable certificate", (), None, folder, "cannot read the certificate"),
                ("key of another certificate", (), self.other_key, None, "does not match"),
                ("certificate that is a key", (), None, self.key, "not a PEM X.509"),
                ("key that is a certificate", (), self.cert, None, "not a PEM private key"),
                ("passphrase (PKCS#8)", (), encrypted, None, "openssl pkey -in"),
                ("passphrase (traditional)", (), traditional, None, "passphrase"),
                ("owner GUID of zeros", (), None, guids["zeros"], "does not hold an owner GUID"),
                ("owner GUID in braces", (), None, guids["braces"], "does not hold an owner"),
                ("DER key", (), der_key, None, "key.der is DER (binary), and sbsign reads"),
                ("DER certificate", (), None, der_cert, "openssl x509 -inform DER -in"),
                ("a vendor signature that fails its hash check", ("--vendor-tool", changed),
                 None, None, "changed.efi carries a signature that does not match the image"),
                ("a .efi that is not an image", ("--vendor-tool", text), None, None,
                 "notes.efi is not a PE/COFF EFI image"),
                ("an image that is not for EFI", ("--vendor-tool", console), None, None,
                 "subsystem 3"),
                ("a shell that cannot be pinned", ("--shell", EFI / "Tagwell.efi"), None, None,
                 "cannot pin the shell")]:
            with self.subTest(case):
                output = folder / "out.img"
                done = self.make(*extra, key=key, cert=cert, output=output)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertFalse(output.exists() or Path(str(output) + ".tmp").exists())

    def test_a_signature_that_does_not_verify_is_refused(self):
        real = signing._tool

        def failing_check(argv):
            if argv[:2] == ["sbverify", "--cert"]:
                return subprocess.CompletedProcess(argv, 1, "", "Signature verification failed")
            return real(argv)

        files = {"EFI/tools/Crestune.efi": (EFI / "Crestune.efi").read_bytes()}
        with mock.patch.object(signing, "_tool", failing_check):
            with self.assertRaises(signing.SigningError) as caught:
                signing.sign_files(files, signing.load_signer(self.key, self.cert))
        self.assertIn("\\EFI\\tools\\Crestune.efi does not verify", str(caught.exception))

    def test_usage_and_the_shell_to_sign(self):
        build = self.folder / "build"
        (build / "efi").mkdir(parents=True, exist_ok=True)
        for name in ("Crestune.efi", "Tagwell.efi", "Unit.efi"):
            shutil.copyfile(EFI / name, build / "efi" / name)
        base = [sys.executable, MAKE_STICK, self.list, "--build", build]
        output = self.folder / "usage"
        for case, extra, status, message in [
                ("key without certificate", ("--sign-key", self.key), 2, "go together"),
                ("certificate without key", ("--sign-cert", self.cert), 2, "go together"),
                ("no shell built", ("--sign-key", self.key, "--sign-cert", self.cert), 1,
                 "run tools/build-shell")]:
            with self.subTest(case):
                done = run(*base, "--dir", output, *extra)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertFalse(output.exists())
        self.assertIn("has no shell of its own", run(*base, "--dir", output).stderr)
        shutil.rmtree(output)
        # With the shell built, it is taken and signed; an unsigned stick takes it too.
        (build / "shell").mkdir()
        shutil.copyfile(self.shell, build / "shell" / "Shell.efi")
        done = run(*base, "--dir", output, "--sign-key", self.key, "--sign-cert", self.cert)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("\\EFI\\BOOT\\BOOTX64.EFI: signed", done.stdout)
        # Unsigned: one line says where the stick runs.
        done = run(*base, "--dir", self.folder / "plain")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(digest(self.folder / "plain/EFI/BOOT/BOOTX64.EFI"), digest(self.shell))
        self.assertEqual([line for line in done.stderr.splitlines() if "Secure Boot" in line],
                         ["make-stick: note: the stick is not signed, so it runs only where "
                          "Secure Boot is off (--sign-key and --sign-cert sign it)"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
