#!/usr/bin/env python3
"""The deployment server (tools/deploy-server: nginx with its configuration) on the loopback
address: what it takes and refuses, the host Net program's exchanges with it, units reporting at
once, and the status page and stick-report on its folder. Needs nginx and build/host/Net."""

from __future__ import annotations

import concurrent.futures
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
BUILD = Path(os.environ.get("FWTOOLS_BUILD", REPO / "build"))
sys.path.insert(0, str(REPO / "tools"))
from deploy import layout  # noqa: E402
from stick import log  # noqa: E402

MIB = 1024 * 1024
UNIT = ('unit {0}: manufacturer "Corvane", product "Desk", serial "{0}", uuid '
        '4C4C4544-0036-3010-8050-B4C04F4A4E32, BIOS "M1", Secure Boot off')


def unit_log(unit: str, done: bool) -> bytes:
    lines = [log.stick_line("3fa9c2d1", "net.txt", 2, "off"), UNIT.format(unit),
             log.STEP(index=1, line=1, command="Crestune /ss"), log.STATUS(index=1, status="0x0")]
    if done:
        lines += [log.STEP(index=2, line=2, command="Crestune /b"),
                  log.STATUS(index=2, status="0x0"), log.ALL_DONE()]
    return ("\r\n".join(lines) + "\r\n").encode("utf-16")


class DeployServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="deploy-server-")
        cls.root = Path(cls.tmp.name) / "site"
        cls.image = os.urandom(300000)
        (Path(cls.tmp.name) / "x.img").write_bytes(cls.image)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            cls.port = probe.getsockname()[1]
        cls.server = subprocess.Popen(
            [sys.executable, str(REPO / "tools" / "deploy-server"), str(cls.root), "--image",
             str(Path(cls.tmp.name) / "x.img"), "--listen", f"127.0.0.1:{cls.port}"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        cls.machine = Path(cls.tmp.name) / "machine.json"
        description = json.loads(subprocess.run([str(BUILD / "host" / "simmachine"), "default"],
                                                check=True, capture_output=True).stdout)
        description.update(stall="skip", network={
            "address": "10.0.2.15", "boot_uri": f"http://127.0.0.1:{cls.port}/deploy.img"})
        cls.machine.write_text(json.dumps(description))

    @classmethod
    def tearDownClass(cls):
        cls.server.send_signal(signal.SIGINT)
        output, _ = cls.server.communicate(timeout=20)
        assert cls.server.returncode == 0, output
        cls.tmp.cleanup()

    def request(self, method: str, path: str, body: bytes = b"") -> tuple[int, bytes]:
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            connection.request(method, path, body=body if method == "PUT" else None)
            answer = connection.getresponse()
            return answer.status, answer.read()
        finally:
            connection.close()

    def net(self, *args: str, cwd: Path) -> str:
        """Net's status; each working folder has a machine of its own (runs at once)."""
        machine = cwd / "machine.json"
        if not machine.exists():
            machine.write_bytes(self.machine.read_bytes())
        subprocess.run([str(BUILD / "host" / "Net"), *args], cwd=cwd, capture_output=True,
                       env=dict(os.environ, FWSIM_MACHINE=str(machine)), timeout=60)
        return json.loads(machine.read_text())["lasterror"]

    def test_takes_puts_only_of_flat_names_under_upload(self):
        page = (layout.status_dir(self.root) / "index.html").read_bytes()
        cases = [
            ("PUT", "/upload/logs/U1.20261209101500.txt", b"a", 201),
            ("PUT", "/upload/logs/U1.20261209101500.txt", b"ab", 204),
            ("PUT", "/upload/records/U1.txt", b"x" * MIB, 201),
            ("PUT", "/upload/records/U2.txt", b"x" * (MIB + 1), 413),
            ("PUT", "/deploy.img", b"over", 403),
            ("PUT", "/status/index.html", b"over", 403),
            ("PUT", "/upload/U1.txt", b"a", 403),
            ("PUT", "/upload/logs/sub/U1.txt", b"a", 403),
            ("PUT", "/upload/logs/../../deploy.img", b"a", 403),
            ("PUT", "/upload/logs/%2e%2e/%2e%2e/deploy.img", b"a", 403),
            ("PUT", "/upload/logs/..%2f..%2fnginx%2fnginx.conf", b"a", 403),
            ("PUT", "/../outside.txt", b"a", 400),
            ("DELETE", "/upload/records/U1.txt", b"", 403),
            ("MKCOL", "/upload/logs/new/", b"", 403),
            ("GET", "/upload/logs/U1.20261209101500.txt", b"", 200),
        ]
        for method, path, body, status in cases:
            with self.subTest(method=method, path=path):
                self.assertEqual(self.request(method, path, body)[0], status)
        self.assertEqual(self.request("GET", "/deploy.img"), (200, self.image))
        self.assertEqual((layout.logs_dir(self.root) / "U1.20261209101500.txt").read_bytes(), b"ab")
        self.assertEqual((layout.status_dir(self.root) / "index.html").read_bytes()[:15], page[:15])
        self.assertEqual(list(Path(self.tmp.name).rglob("outside.txt")), [])

    def test_net_program_statuses(self):
        with tempfile.TemporaryDirectory() as work:
            work = Path(work)
            (work / "log.txt").write_bytes(os.urandom(70000))
            (layout.records_dir(self.root) / "N1.txt").write_bytes(b"record of N1\n")
            cases = [
                (("get", "upload/records/N1.txt", "rec.txt"), "0x00000000"),
                (("get", "upload/records/N9.txt", "none.txt"), "0xC0000006"),
                (("put", "log.txt", "upload/logs/N1.20261209101600.txt"), "0x00000000"),
                (("put", "log.txt", "deploy.img"), "0xC0000007"),
                (("put", "log.txt", "status/index.html"), "0xC0000007"),
                (("put", "log.txt", "upload/N1.txt"), "0xC0000007"),
            ]
            for args, status in cases:
                with self.subTest(args=args):
                    self.assertEqual(self.net(*args, cwd=work), status)
            self.assertEqual((work / "rec.txt").read_bytes(), b"record of N1\n")
            self.assertFalse((work / "none.txt").exists())
            self.assertEqual((layout.logs_dir(self.root) / "N1.20261209101600.txt").read_bytes(),
                             (work / "log.txt").read_bytes())
            self.assertEqual(self.request("GET", "/deploy.img")[1], self.image)

    def test_units_at_once_then_status_page_and_report(self):
        units = [f"SN{n:03}" for n in range(24)]
        with tempfile.TemporaryDirectory() as work:
            work = Path(work)

            def report(unit: str) -> bytes:
                folder = work / unit
                folder.mkdir()
                (folder / "server.url").write_text(f"http://127.0.0.1:{self.port}/x.img\n")
                data = unit_log(unit, done=unit != units[0])
                (folder / "log.txt").write_bytes(data)
                self.net("put", "log.txt", layout.log_path(unit, "20261209101700"), cwd=folder)
                return data

            with concurrent.futures.ThreadPoolExecutor(8) as pool:
                sent = dict(zip(units, pool.map(report, units)))
        for unit, data in sent.items():
            self.assertEqual((layout.logs_dir(self.root) / f"{unit}.20261209101700.txt")
                             .read_bytes(), data, unit)
        page = b""
        for _ in range(50):
            page = self.request("GET", "/status/")[1]
            if all(f"<td>{unit}</td>".encode() in page for unit in units):
                break
            time.sleep(0.2)
        self.assertIn(f"<td>{units[0]}</td><td>{units[0]}</td><td>1/2</td>".encode(), page)
        self.assertIn(f"<td>{units[1]}</td><td>{units[1]}</td><td>2/2</td><td>ALL DONE".encode(),
                      page)
        self.assertTrue(all(f"<td>{unit}</td>".encode() in page for unit in units))
        listing = subprocess.run([sys.executable, str(REPO / "tools" / "stick-report"),
                                  str(self.root), "--json"], capture_output=True, text=True)
        self.assertEqual(listing.returncode, 1)  # units[0] stopped after step 1
        rows = {row["unit"]: row for row in json.loads(listing.stdout)}
        self.assertEqual(rows[units[1]]["result"], "ALL DONE")
        self.assertEqual(rows[units[0]]["steps"], "1/2")


if __name__ == "__main__":
    unittest.main()
