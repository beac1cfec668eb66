"""QEMU cases of the network image over HTTPS on stock OVMF: deploy-server --tls with a
certificate from make-deploy-ca, a VARS copy whose first boot entry is the image's https URL
(QEMU's DHCP cannot offer one) and the CA through fw_cfg (OVMF makes it TlsCaCertificate).
A unit runs to ALL DONE, every request in nginx's access log over TLS 1.2; with another CA in the
firmware nothing runs; an image naming a server whose certificate another CA signed (an
impostor) stops before step 1 with Net.efi's TLS status."""

from __future__ import annotations

import concurrent.futures
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPO / "tools"))
import net_cases  # noqa: E402
from smm_cases import Unavailable  # noqa: E402
from stick_cases import Case, console_until  # noqa: E402
from deploy import bootentry, layout  # noqa: E402
from stick import report  # noqa: E402

REFUSED = "Unexpected network error"  # the firmware's words for a failed handshake


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class HttpsBoot:
    name = "Network image over HTTPS"
    label = "stock OVMF, a seeded https boot entry, the CA through fw_cfg, nginx with TLS"
    cases = [Case("ALL DONE over HTTPS: the log and record arrive, every request over TLS 1.2"),
             Case("another CA in the firmware: the image is refused and nothing runs"),
             Case("a server with another CA's certificate: Net.efi refuses it before step 1")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        outcomes = [Outcome(self.name, case.name) for case in self.cases]
        started = time.monotonic()
        with tempfile.TemporaryDirectory(prefix="https-boot-") as tmp:
            tmp = Path(tmp)
            port, impostor_port = (free_port() for _ in range(2))
            (tmp / "list.txt").write_text(net_cases.RUN_LIST)
            tool = tmp / net_cases.VENDOR_TOOL
            shutil.copyfile(build / "test-efi" / "VendorDouble.efi", tool)
            commands = [["make-deploy-ca", tmp / ca, "--server", "10.0.2.2"]
                        for ca in ("ca", "other")] + [
                ["make-stick", tmp / "list.txt", "--net", "--build", build, "-o", tmp / image,
                 "--vendor-tool", tool, "--shell", build / "shell" / "Shell.efi", *more]
                for image, more in (("net.img", []), ("impostor.img", [
                    "--server", f"https://10.0.2.2:{impostor_port}/"]))]
            for command in commands:
                made = subprocess.run([sys.executable, REPO / "tools" / command[0], *command[1:]],
                                      capture_output=True, text=True)
                if made.returncode != 0:
                    outcomes[0].failures.append(f"{command[0]}: {made.stderr}")
                    return outcomes, time.monotonic() - started
            servers = [subprocess.Popen(
                [sys.executable, REPO / "tools" / "deploy-server", tmp / f"{ca}-site", "--image",
                 tmp / "net.img", "--listen", f"127.0.0.1:{number}", "--url",
                 f"https://10.0.2.2:{number}/{layout.IMAGE_NAME}",
                 "--tls-cert", tmp / ca / "10.0.2.2.crt", "--tls-key", tmp / ca / "10.0.2.2.key"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                for ca, number in (("ca", port), ("other", impostor_port))]
            site = tmp / "ca-site"
            for _ in range(100):
                if all(layout.records_dir(tmp / f"{ca}-site").is_dir() for ca in ("ca", "other")):
                    break
                time.sleep(0.1)
            shutil.copyfile(tmp / "impostor.img", site / layout.WWW_DIR / "impostor.img")

            def boot(serial: str, image: str, ca: str, until: tuple[str, ...]) -> str:
                """The console of a boot from the https URL of image with the CA of folder ca,
                until one of until appears (with none: until the machine is off)."""
                vars_copy = tmp / f"vars-{serial}.fd"
                vars_copy.write_bytes(bootentry.with_uri_boot(
                    Path(shell.OVMF_VARS).read_bytes(), f"https://10.0.2.2:{port}/{image}"))
                argv = [("user,id=n0" if word.startswith("user,id=n0") else word) for word in
                        net_cases.qemu_argv(shell, vars_copy, port, serial, None)]
                argv += ["-fw_cfg", f"name=etc/edk2/https/cacerts,file={tmp / ca / 'ca.esl'}"]
                return console_until(shell, argv, until)

            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                done = pool.submit(boot, "TLSA", layout.IMAGE_NAME, "ca", ())
                consoles = [boot("TLSB", layout.IMAGE_NAME, "other", (REFUSED, "step 1 (line")),
                            boot("TLSC", "impostor.img", "ca", ("FAILED at", "step 1 (line"))]
                consoles.insert(0, done.result())
            for server in servers:
                server.send_signal(signal.SIGINT)
                server.wait(timeout=20)
            self.judge(outcomes, consoles, report.read_server_runs(site),
                       [path.name for path in layout.records_dir(site).iterdir()],
                       (site / layout.NGINX_DIR / "access.log").read_text().splitlines())
        return outcomes, time.monotonic() - started

    @staticmethod
    def judge(outcomes, consoles, runs, records, access) -> None:
        a, b, c = (outcome.failures.append for outcome in outcomes)
        done = [run.result for run in runs if run.unit == "TLSA"]
        if "ALL DONE" not in consoles[0] or done != ["ALL DONE"] or "TLSA.txt" not in records:
            a(f"TLSA: runs {done}, records {records}, console ...{consoles[0][-600:]}")
        if len(access) < 7 or any(" TLSv1.2 " not in line for line in access):
            a(f"not every request was over TLS 1.2: {access}")
        if REFUSED not in consoles[1] or "step 1 (line" in consoles[1] or \
                any(run.unit == "TLSB" for run in runs):
            b(f"TLSB ran with another CA: ...{consoles[1][-600:]}")
        if "the TLS handshake failed" not in consoles[2] or "status 0xC000000C" not in \
                consoles[2] or "step 1 (line" in consoles[2] or "TLSC.txt" in records:
            c(f"TLSC took the impostor's answer: ...{consoles[2][-600:]}")


def groups(build: Path, shell) -> list:
    needed = [build / "efi" / name for name in ("Net.efi", "Tagwell.efi", "Unit.efi")]
    missing = [str(path) for path in needed + [build / "test-efi" / "VendorDouble.efi",
                                               build / "shell" / "Shell.efi"]
               if not path.is_file()]
    if missing:
        return [Unavailable(f"not built: {', '.join(missing)}", HttpsBoot.name,
                            HttpsBoot.cases[0].name)]
    return [HttpsBoot()]
