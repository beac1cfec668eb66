"""QEMU cases of the network image: units boot it over HTTP from tools/deploy-server (nginx on
127.0.0.1, reached as 10.0.2.2 through QEMU's user networking) on stock OVMF, where the steps
fail (nothing answers the SMI), which is enough to see what reaches the server.

Four units (serials by -smbios), two at a time: one runs its step and its log arrives; one whose
record the server holds runs nothing (already done); one whose image names a server that is
down (make-stick --server) stops before step 1; one without a unit id is refused before step 1.
"""

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
from stick_cases import Case, watch_console  # noqa: E402
from deploy import layout  # noqa: E402
from stick import log, report  # noqa: E402

RUN_LIST = "Crestune /pbs sata1\n"
NO_ID = ("To Be Filled By O.E.M.", "00000000-0000-0000-0000-000000000000")


def qemu_argv(shell, vars_copy: Path, port: int, serial: str, uuid: str | None) -> list[str]:
    smbios = f"type=1,manufacturer=Corvane,product=Desk,serial={serial}" + \
        (f",uuid={uuid}" if uuid else "")
    return [shell.QEMU, "-machine", "q35", "-m", "512", "-nographic", "-no-reboot",
            "-accel", "tcg", "-smbios", smbios,
            "-drive", f"if=pflash,format=raw,readonly=on,file={shell.OVMF_CODE}",
            "-drive", f"if=pflash,format=raw,file={vars_copy}",
            "-netdev", f"user,id=n0,bootfile=http://10.0.2.2:{port}/{layout.IMAGE_NAME}",
            "-device", "virtio-net-pci,netdev=n0,romfile=,bootindex=1",
            "-fw_cfg", "name=opt/org.tianocore/IPv4PXESupport,string=no",
            "-fw_cfg", "name=opt/org.tianocore/IPv6PXESupport,string=no"]


class NetBoot:
    name = "Network image: units boot it over HTTP"
    label = "stock OVMF, user networking, nginx on 127.0.0.1"
    cases = [Case("a unit runs its step and its log arrives on the server"),
             Case("a unit whose record the server holds runs nothing"),
             Case("with the server down a unit stops before step 1"),
             Case("a unit without a unit id is refused before step 1")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        outcomes = [Outcome(self.name, case.name) for case in self.cases]
        started = time.monotonic()
        with tempfile.TemporaryDirectory(prefix="net-boot-") as tmp:
            tmp = Path(tmp)
            (tmp / "list.txt").write_text(RUN_LIST)
            with socket.socket() as probe, socket.socket() as dead:
                probe.bind(("127.0.0.1", 0))
                dead.bind(("127.0.0.1", 0))
                port, dead_port = probe.getsockname()[1], dead.getsockname()[1]
            for image, more in (("net.img", []),
                                ("down.img", ["--server", f"http://10.0.2.2:{dead_port}/x.img"])):
                made = subprocess.run([sys.executable, str(REPO / "tools" / "make-stick"),
                                       str(tmp / "list.txt"), "--net", "--build", str(build),
                                       "-o", str(tmp / image), *more],
                                      capture_output=True, text=True)
                if made.returncode != 0:
                    for outcome in outcomes:
                        outcome.failures.append(f"make-stick --net failed: {made.stderr}")
                    return outcomes, time.monotonic() - started
            site = tmp / "site"
            server = subprocess.Popen(
                [sys.executable, str(REPO / "tools" / "deploy-server"), str(site), "--image",
                 str(tmp / "net.img"), "--listen", f"127.0.0.1:{port}"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(100):
                if layout.records_dir(site).is_dir():
                    break
                time.sleep(0.1)
            (layout.records_dir(site) / "NETB.txt").write_text("done\n")

            def boot(serial: str, uuid: str | None, until: tuple[str, ...]) -> str:
                vars_copy = tmp / f"vars-{len(serial)}-{serial[:4]}.fd"
                shutil.copyfile(shell.OVMF_VARS, vars_copy)
                try:
                    return watch_console(shell, qemu_argv(shell, vars_copy, port, serial, uuid),
                                         until, 150.0)[0]
                except shell.ShellRunError as error:
                    return f"QEMU: {error}"

            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                first = pool.submit(boot, "NETA", None, ("FAILED at step",))
                again = pool.submit(boot, "NETB", None, (log.ALREADY_SERVER, "FAILED at"))
                consoles = [first.result(), again.result()]
                time.sleep(2.5)  # the watcher writes the status page
                page = (layout.status_dir(site) / "index.html").read_text()
                # Units now boot an image whose server for records and logs is down.
                shutil.copyfile(tmp / "down.img", site / layout.WWW_DIR / layout.IMAGE_NAME)
                down = pool.submit(boot, "NETC", None, ("FAILED at step",))
                no_id = pool.submit(boot, *NO_ID, ("FAILED at step",))
                consoles += [down.result(), no_id.result()]
                server.send_signal(signal.SIGINT)
                server.wait(timeout=20)
            runs = {run.unit: run for run in report.read_server_runs(site)}
            self.judge(outcomes, consoles, runs, page)
        return outcomes, time.monotonic() - started

    @staticmethod
    def judge(outcomes, consoles, runs, page) -> None:
        a, b, c, d = (outcome.failures.append for outcome in outcomes)
        if "step 1 (line 1): Crestune /pbs sata1" not in consoles[0]:
            a(f"the step did not run: ...{consoles[0][-500:]}")
        run = runs.get("NETA")
        if run is None or not run.result.startswith("FAILED at step 1 (status 0x") or \
                run.serial != "NETA":
            a(f"the server's log of NETA: {run}")
        if "<td>NETA</td>" not in page or "<td>NETB</td>" not in page:
            a(f"the status page does not list both units: {page}")
        if log.ALREADY_SERVER not in consoles[1] or "step 1 (line" in consoles[1]:
            b(f"NETB ran or did not find its record: ...{consoles[1][-500:]}")
        if runs.get("NETB") is None or runs["NETB"].result != "already done":
            b(f"the server's log of NETB: {runs.get('NETB')}")
        if "FAILED at step 1 (not run: the server did not answer" not in consoles[2] or \
                "step 1 (line" in consoles[2]:
            c(f"NETC did not stop before step 1: ...{consoles[2][-500:]}")
        if f"FAILED at step 1 ({log.NOT_RUN_NO_UNIT})" not in consoles[3] or \
                "step 1 (line" in consoles[3]:
            d(f"the unit without an id was not refused: ...{consoles[3][-500:]}")


def groups(build: Path, shell) -> list:
    return [NetBoot()]
