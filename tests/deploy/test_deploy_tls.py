#!/usr/bin/env python3
"""make-deploy-ca and deploy-server --tls without a unit (the firmware's side: tests/qemu/
https_cases.py): the certificate as a TLS client verifies a server, the CA as the firmware's
signature list, nothing overwritten, and certificates the firmware would refuse refused."""

from __future__ import annotations

import struct
import subprocess
import sys
import tempfile
import unittest
import uuid
from pathlib import Path

TOOLS = Path(__file__).resolve().parent.parent.parent / "tools"
X509_LIST = uuid.UUID("a5c059a1-94e4-4aa7-87b5-ab155c2bf072")


def run(*argv) -> subprocess.CompletedProcess:
    return subprocess.run([*map(str, argv)], capture_output=True, text=True)


class DeployTlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="deploy-tls-")
        cls.ca = Path(cls.tmp.name) / "ca"
        assert run(TOOLS / "make-deploy-ca", cls.ca, "--server", "10.0.2.2").returncode == 0

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_certificate_and_ca_are_what_the_firmware_checks(self):
        for host, check, verified in [("10.0.2.2", "-verify_ip", True),
                                      ("10.0.2.3", "-verify_ip", False),
                                      ("deploy.site", "-verify_hostname", False)]:
            said = run("openssl", "verify", "-CAfile", self.ca / "ca.crt", "-purpose",
                       "sslserver", check, host, self.ca / "10.0.2.2.crt")
            self.assertEqual(said.returncode == 0, verified, (host, said.stdout, said.stderr))
        self.assertIn("rsaEncryption", run("openssl", "x509", "-noout", "-text", "-in",
                                           self.ca / "10.0.2.2.crt").stdout)
        listed, der = (self.ca / "ca.esl").read_bytes(), (self.ca / "ca.cer").read_bytes()
        self.assertEqual(uuid.UUID(bytes_le=listed[:16]), X509_LIST)
        self.assertEqual(struct.unpack_from("<III", listed, 16), (len(listed), 0, 16 + len(der)))
        self.assertEqual(listed[28 + 16:], der)
        for key in ("ca.key", "10.0.2.2.key"):
            self.assertEqual((self.ca / key).stat().st_mode & 0o777, 0o600, key)

    def test_keys_are_never_overwritten_and_the_ca_is_reused(self):
        before = {path.name: path.read_bytes() for path in self.ca.iterdir()}
        again = run(TOOLS / "make-deploy-ca", self.ca, "--server", "10.0.2.2")
        self.assertEqual((again.returncode, "nothing was overwritten" in again.stderr), (1, True))
        self.assertEqual(run(TOOLS / "make-deploy-ca", self.ca, "--server", "d.site").returncode, 0)
        self.assertEqual({name: (self.ca / name).read_bytes() for name in before}, before)
        self.assertEqual(run("openssl", "verify", "-CAfile", self.ca / "ca.crt",
                             "-verify_hostname", "d.site", self.ca / "d.site.crt").returncode, 0)

    def test_server_refuses_certificates_the_firmware_would_refuse(self):
        good = (self.ca / "10.0.2.2.crt", self.ca / "10.0.2.2.key")
        cases = [(good, "https://10.0.2.2:8443/deploy.img", 0),
                 (good, "https://10.0.2.3:8443/deploy.img", 2),
                 (good, "http://10.0.2.2:8443/deploy.img", 2),
                 ((self.ca / "ca.crt", self.ca / "ca.key"), "https://10.0.2.2/deploy.img", 2),
                 ((good[0], self.ca / "ca.key"), "https://10.0.2.2/deploy.img", 2)]
        for (cert, key), url, status in cases:
            with self.subTest(cert=cert.name, key=key.name, url=url):
                done = run(sys.executable, TOOLS / "deploy-server", Path(self.tmp.name) / "site",
                           "--listen", "127.0.0.1:8443", "--url", url, "--tls-cert", cert,
                           "--tls-key", key, "--print-config")
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual("listen 127.0.0.1:8443 ssl;" in done.stdout, status == 0)


if __name__ == "__main__":
    unittest.main()
