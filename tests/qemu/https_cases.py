"""The network image over HTTPS on stock OVMF: a seeded https boot entry, the CA through fw_cfg;
with another CA in the firmware it refuses the image itself, before any program of ours."""

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
from stick_cases import Case, console_until  # noqa: E402
from deploy import bootentry, layout, serverruns  # noqa: E402


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class HttpsBoot:
    name = "Network image over HTTPS"
    label = "stock OVMF, a seeded https boot entry, the CA through fw_cfg, nginx with TLS"
    cases = [Case("ALL DONE over HTTPS: the log and the record arrive"),
             Case("a server with another CA's certificate: Net.efi refuses it before step 1")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        outcomes = [Outcome(self.name, case.name) for case in self.cases]
        started = time.monotonic()
        with tempfile.TemporaryDirectory(prefix="https-boot-") as tmp:
            tmp = Path(tmp)
            tmp.chmod(0o755)  # started as root, the servers' workers pass through it
            port, impostor_port = (free_port() for _ in range(2))
            (tmp / "list.txt").write_text(net_cases.RUN_LIST)
            tool = tmp / net_cases.VENDOR_TOOL
            shutil.copyfile(build / "test-efi" / "VendorDouble.efi", tool)
            for command in [["make-deploy-ca", tmp / "ca", "--server", "10.0.2.2"],
                            ["make-deploy-ca", tmp / "other", "--server", "10.0.2.2"]] + [
                    ["make-stick", tmp / "list.txt", "--net", "--build", build, "-o", tmp / image,
                     "--vendor-tool", tool, "--shell", build / "shell" / "Shell.efi", *more]
                    for image, more in (("net.img", []), ("impostor.img", [
                        "--server", f"https://10.0.2.2:{impostor_port}/"]))]:
                subprocess.run([sys.executable, REPO / "tools" / command[0], *command[1:]],
                               check=True, stdout=subprocess.DEVNULL)
            servers = [subprocess.Popen(
                [sys.executable, REPO / "tools" / "deploy-server", tmp / f"{ca}-site", "--image",
                 tmp / "net.img", "--listen", f"127.0.0.1:{number}", "--url",
                 f"https://10.0.2.2:{number}/{layout.IMAGE_NAME}",
                 "--tls-cert", tmp / ca / "10.0.2.2.crt", "--tls-key", tmp / ca / "10.0.2.2.key"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                for ca, number in (("ca", port), ("other", impostor_port))]
            site = tmp / "ca-site"
            for _ in range(100):
                time.sleep(0.1)
                if all(layout.records_dir(tmp / f"{ca}-site").is_dir() for ca in ("ca", "other")):
                    break
            shutil.copyfile(tmp / "impostor.img", site / layout.WWW_DIR / "impostor.img")

            def boot(serial: str, image: str, until: tuple[str, ...]) -> str:
                vars_copy = tmp / f"vars-{serial}.fd"
                vars_copy.write_bytes(bootentry.with_uri_boot(
                    Path(shell.OVMF_VARS).read_bytes(), f"https://10.0.2.2:{port}/{image}"))
                argv = [("user,id=n0" if word.startswith("user,id=n0") else word) for word in
                        net_cases.qemu_argv(shell, vars_copy, port, serial, None)]
                argv += ["-fw_cfg", f"name=etc/edk2/https/cacerts,file={tmp / 'ca' / 'ca.esl'}"]
                return console_until(shell, argv, until)

            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                done = pool.submit(boot, "TLSA", layout.IMAGE_NAME, ())
                impostor = boot("TLSC", "impostor.img", ("FAILED at", "step 1 (line"))
                consoles = [done.result(), impostor]
            for server in servers:
                server.send_signal(signal.SIGINT)
                server.wait(timeout=20)
            self.judge(outcomes, consoles, serverruns.read_server_runs(site),
                       [path.name for path in layout.records_dir(site).iterdir()])
        return outcomes, time.monotonic() - started

    @staticmethod
    def judge(outcomes, consoles, runs, records) -> None:
        a, c = (outcome.failures.append for outcome in outcomes)
        done = [run.result for run in runs if run.unit == "TLSA"]
        if "ALL DONE" not in consoles[0] or done != ["ALL DONE"] or "TLSA.txt" not in records:
            a(f"TLSA: runs {done}, records {records}, console ...{consoles[0][-600:]}")
        if "the TLS handshake failed" not in consoles[1] or "status 0xC000000D" not in \
                consoles[1] or "step 1 (line" in consoles[1] or "TLSC.txt" in records:
            c(f"TLSC took the impostor's answer: ...{consoles[1][-600:]}")


def groups(build: Path, shell) -> list:
    found = net_cases.groups(build, shell)
    return [HttpsBoot()] if isinstance(found[0], net_cases.NetBoot) else found
