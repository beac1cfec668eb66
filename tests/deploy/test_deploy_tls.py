#!/usr/bin/env python3
"""make-deploy-ca and deploy-server --tls without a unit (the firmware's side: qemu.https)."""

from __future__ import annotations

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

TOOLS = Path(__file__).resolve().parent.parent.parent / "tools"
sys.path.insert(0, str(TOOLS))
from deploy import tls  # noqa: E402


def run(*argv) -> subprocess.CompletedProcess:
    return subprocess.run([*map(str, argv)], capture_output=True, text=True)


class DeployTlsTest(unittest.TestCase):
    def test_ca_and_certificates(self):
        with tempfile.TemporaryDirectory(prefix="deploy-tls-") as tmp:
            ca = Path(tmp) / "ca"
            made = run(TOOLS / "make-deploy-ca", ca, "--server", "10.0.2.2")
            self.assertEqual(made.returncode, 0, made.stderr)
            # As a TLS client checks a server: chained to the CA, serverAuth, the IP named.
            for host, good in [("10.0.2.2", True), ("10.0.2.3", False)]:
                said = run("openssl", "verify", "-CAfile", ca / "ca.crt", "-purpose", "sslserver",
                           "-verify_ip", host, ca / "10.0.2.2.crt")
                self.assertEqual(said.returncode == 0, good, (host, said.stdout, said.stderr))
            # The manual visit's stick carries the CA (DER), and only a CA.
            der = (ca / "ca.cer").read_bytes()
            self.assertEqual(tls.stick_files(ca / "ca.crt")[f"EFI/keys/{tls.CA_STICK_NAME}"], der)
            with self.assertRaisesRegex(tls.TlsError, "not a CA certificate"):
                tls.stick_files(ca / "10.0.2.2.crt")
            self.assertEqual([(ca / k).stat().st_mode & 0o777 for k in ("ca.key", "10.0.2.2.key")],
                             [0o600, 0o600])
            # Nothing is overwritten; the CA is reused for the next server.
            before = {path.name: path.read_bytes() for path in ca.iterdir()}
            again = run(TOOLS / "make-deploy-ca", ca, "--server", "10.0.2.2")
            self.assertEqual((again.returncode, "nothing was overwritten" in again.stderr),
                             (1, True))
            self.assertEqual(run(TOOLS / "make-deploy-ca", ca, "--server", "d.site").returncode, 0)
            self.assertEqual({name: (ca / name).read_bytes() for name in before}, before)
            # deploy-server refuses what the firmware would refuse for the units' URL.
            good = (ca / "10.0.2.2.crt", ca / "10.0.2.2.key")
            for (cert, key), url, status in [
                    (good, "https://10.0.2.2:8443/deploy.img", 0),
                    (good, "https://10.0.2.3:8443/deploy.img", 2),
                    ((ca / "ca.crt", ca / "ca.key"), "https://10.0.2.2/deploy.img", 2),
                    ((good[0], ca / "ca.key"), "https://10.0.2.2/deploy.img", 2)]:
                done = run(sys.executable, TOOLS / "deploy-server", Path(tmp) / "site", "--listen",
                           "127.0.0.1:8443", "--url", url, "--tls-cert", cert, "--tls-key", key,
                           "--print-config")
                self.assertEqual((done.returncode, "listen 127.0.0.1:8443 ssl;" in done.stdout),
                                 (status, status == 0), (cert, key, url, done.stderr))


if __name__ == "__main__":
    unittest.main()
