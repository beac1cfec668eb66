#!/usr/bin/env python3
"""The deployment server (tools/deploy-server: nginx with its configuration) on the loopback
address: what it takes and refuses, the host Net program's exchanges with it, units reporting at
once, and the status page and stick-report on its folder; who owns what, started as root
(workers as nobody) against a hostile local user's links; a page that outlives bad logs; the
bound of uploads and how the server stops. Needs nginx and build/host/Net."""

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
from deploy import access, layout, record  # noqa: E402
from stick import log, names  # noqa: E402

MIB = 1024 * 1024
ROOT = os.geteuid() == 0
# Started as root, nginx's workers run as an account of the test's choice (not one made).
AS = ["--user", "nobody"] if ROOT else []
UUID = "4C4C4544-0036-3010-8050-B4C04F4A4E32"
UNIT = ('unit {0}: manufacturer "Corvane", product "Desk", serial "{0}", uuid '
        f'{UUID}, BIOS "M1", Secure Boot off')


def unit_log(unit: str, done: bool) -> bytes:
    lines = [log.stick_line("3fa9c2d1", "net.txt", 2, "off"), UNIT.format(unit),
             log.STEP(index=1, line=1, command="Crestune /ss"), log.STATUS(index=1, status="0x0")]
    if done:
        lines += [log.STEP(index=2, line=2, command="Crestune /b"),
                  log.STATUS(index=2, status="0x0"), log.ALL_DONE()]
    return ("\r\n".join(lines) + "\r\n").encode("utf-16")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def command(root: Path, port: int, *more: str) -> list[str]:
    """deploy-server's command line on root, with the image beside it."""
    return [sys.executable, str(REPO / "tools" / "deploy-server"), str(root), "--image",
            str(root.parent / "x.img"), "--listen", f"127.0.0.1:{port}", *AS, *more]


def start(root: Path, port: int, *more: str) -> subprocess.Popen:
    """deploy-server on root, once it serves (it says so once nginx listens) or has ended."""
    server = subprocess.Popen(command(root, port, *more), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    for line in iter(server.stdout.readline, ""):
        if line.startswith("serving "):
            break
    return server


class DeployServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="deploy-server-")
        os.chmod(cls.tmp.name, 0o755)  # nginx's workers pass through it
        cls.root = Path(cls.tmp.name) / "site"
        cls.image = os.urandom(300000)
        (Path(cls.tmp.name) / "x.img").write_bytes(cls.image)
        cls.port = free_port()
        cls.server = start(cls.root, cls.port)
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

    def request(self, method: str, path: str, body: bytes = b"",
                port: int = 0) -> tuple[int, bytes]:
        connection = http.client.HTTPConnection("127.0.0.1", port or self.port, timeout=10)
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
                (folder / "record.txt").write_text(record.make("3fa9c2d1", 1, unit, unit, UUID))
                self.net("put", "log.txt", names.upload_log(unit, "20261209101700"), cwd=folder)
                self.net("put", "record.txt", names.upload_record(unit), cwd=folder)
                return data

            with concurrent.futures.ThreadPoolExecutor(8) as pool:
                sent = dict(zip(units, pool.map(report, units)))
        for unit, data in sent.items():
            self.assertEqual((layout.logs_dir(self.root) / f"{unit}.20261209101700.txt")
                             .read_bytes(), data, unit)
        page = b""
        for _ in range(150):
            page = self.request("GET", "/status/")[1]
            if all(f"<td>{unit}</td>".encode() in page for unit in units) and \
                    page.count(b'<tr class="good">') == len(units) - 1:
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

    @unittest.skipUnless(ROOT, "started as root only")
    def test_hostile_folders_refused_as_root(self):
        """A local user's folder, links and loose modes: deploy-server refuses before it writes
        anything, and writes nothing through a link."""
        victim = Path(self.tmp.name) / "victim"

        def links(site: Path, *names: str) -> None:
            for name in names:
                (site / name).parent.mkdir(parents=True, exist_ok=True)
                (site / name).symlink_to(victim)
                os.lchown(site / name, 65534, 65534)

        cases = [
            (lambda site: (links(site, "www/deploy.img", "nginx/error.log",
                                 "www/status/.index.html.tmp"), os.chown(site, 65534, 65534)),
             [], "hostile0 belongs to nobody"),
            (lambda site: ((site / "www").mkdir(), os.chown(site / "www", 65534, 65534)), [],
             "www belongs to nobody"),
            (lambda site: links(site, "nginx/access.log"), [], "access.log is a link"),
            (lambda site: os.chmod(site, 0o777), [], "writable by others"),
            (lambda site: os.chmod(site, 0o700), [], "cannot reach"),
            (lambda site: None, ["--user", "root"], "never run as root"),
            (lambda site: None, ["--listen", f"127.0.0.1:{self.port}"], "cannot listen"),
        ]
        for number, (prepare, more, message) in enumerate(cases):
            with self.subTest(message=message):
                victim.write_text("root's")
                victim.chmod(0o600)
                site = Path(self.tmp.name) / f"hostile{number}"
                site.mkdir()
                prepare(site)
                done = subprocess.run(command(site, free_port(), *more), capture_output=True,
                                      text=True, timeout=30)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertEqual((victim.read_text(), victim.stat().st_mode & 0o777),
                                 ("root's", 0o600))

    @unittest.skipUnless(ROOT, "started as root only")
    def test_workers_own_upload_only(self):
        self.request("PUT", "/upload/logs/W1.20261209101500.txt", b"w")
        owners = {name: (self.root / name).stat().st_uid for name in
                  ("www", "www/status", "nginx", "upload", "upload/logs/W1.20261209101500.txt")}
        self.assertEqual(owners, {"www": 0, "www/status": 0, "nginx": 0, "upload": 65534,
                                  "upload/logs/W1.20261209101500.txt": 65534})
        self.assertIn("user nobody nogroup;", (self.root / "nginx/nginx.conf").read_text())

    def test_page_outlives_bad_logs(self):
        logs = layout.logs_dir(self.root)
        (logs / "BAD1.20261209101500.txt").symlink_to("/nonexistent")
        os.mkfifo(logs / "BAD2.20261209101500.txt")
        hostile = 'unit x: manufacturer "", product "", serial "", uuid u, BIOS "' * 16000
        self.assertEqual(self.request("PUT", "/upload/logs/BAD3.20261209101500.txt",
                                      hostile[:MIB].encode())[0], 201)
        self.request("PUT", "/upload/logs/GOOD.20261209101500.txt", unit_log("GOOD", False))
        for _ in range(300):
            page = self.request("GET", "/status/")[1].decode()
            if "<td>GOOD</td>" in page:
                break
            time.sleep(0.1)
        self.assertIn("<td>GOOD</td><td>GOOD</td><td>1/2</td>", page)
        self.assertIn("<td>BAD1</td><td></td><td>0/?</td><td>unreadable log: a link", page)
        self.assertIn("<td>BAD2</td><td></td><td>0/?</td><td>unreadable log: not a plain", page)
        self.assertIn("<td>BAD3</td>", page)
        self.assertIsNone(self.server.poll())

    def test_access_log_tells_units_that_never_reported(self):
        later = time.time() + access.NEVER_REPORTED + 5
        silent = access.AccessLog(self.root / layout.NGINX_DIR / "access.log")
        for method, path, body, listed in [
                ("GET", "/deploy.img", b"", [("127.0.0.1", "", "")]),
                ("GET", "/upload/records/Q1.txt", b"", [("127.0.0.1", "Q1", "")]),
                ("PUT", "/upload/logs/Q1/x.txt", b"q", [("127.0.0.1", "Q1", "403")]),
                ("PUT", "/upload/logs/Q1.20261209101500.txt", b"q", [])]:
            self.request(method, path, body)
            for _ in range(100):  # nginx writes the line after the answer
                silent.update()
                got = [(address, boot.unit, boot.refused)
                       for address, boot in silent.never_reported(later)]
                if got == listed:
                    break
                time.sleep(0.1)
            self.assertEqual(got, listed, path)

    def test_bound_of_uploads_and_stops(self):
        """At the bound a new file is refused and a file there is replaced; SIGHUP stops
        deploy-server and nginx, and a dead nginx stops deploy-server; nothing serves on."""
        root = Path(self.tmp.name) / "bound"
        for stop, status, message in [(signal.SIGHUP, 0, "SIGHUP: stopping nginx"),
                                      (signal.SIGKILL, 1, "nginx stopped by itself")]:
            with self.subTest(message=message):
                port = free_port()
                server = start(root, port, "--max-uploads", "2")
                for name in ("B1", "B2"):
                    self.request("PUT", f"/upload/logs/{name}.20261209101500.txt", b"b", port)
                for _ in range(300):
                    if (root / layout.NGINX_DIR / layout.FULL_MARK).exists():
                        break
                    time.sleep(0.1)
                self.assertEqual(self.request("PUT", "/upload/records/B3.txt", b"b", port)[0],
                                 507)
                self.assertEqual(self.request("PUT", "/upload/logs/B1.20261209101500.txt",
                                              b"bb", port)[0], 204)
                nginx_pid = int((root / layout.NGINX_DIR / "nginx.pid").read_text())
                if stop == signal.SIGHUP:
                    server.send_signal(stop)
                else:
                    os.kill(nginx_pid, stop)
                output, _ = server.communicate(timeout=30)
                self.assertEqual(server.returncode, status, output)
                self.assertIn(message, output)
                self.assertRaises(OSError, socket.create_connection, ("127.0.0.1", port), 1)


if __name__ == "__main__":
    unittest.main()
