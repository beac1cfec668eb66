"""QEMU cases of the network image: units boot it over HTTP from tools/deploy-server (nginx on
127.0.0.1, reached as 10.0.2.2 through QEMU's user networking) on stock OVMF. The run list's
step passes without SMIs: Tagwell runs the vendor tool double on a machine whose SMBIOS type 0
names Insyde. The image boots the reduced shell (build/shell/Shell.efi) when it is built.

Two units (serials by -smbios) run the list at once, their logs and records arrive and the
status page lists both; one of them boots again and runs nothing; a unit whose image names a
server that is down (make-stick --server) stops before step 1; a unit without a unit id is
refused before step 1. Last, the image signed with the test key of Debian's Secure Boot OVMF
(tests/qemu/secureboot_cases.py) runs to the end there with Secure Boot on.

In a boot of its own, Net.efi asks a small server of the test's own for answers that break HTTP
in every way a broken or hostile server can: each ends with its status within Net's 20 s, and
the server sees the connection end then.
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
import secureboot_cases  # noqa: E402
from hostile_server import (BODIES, HOSTILE, LIMIT, SENT, HostileServer,  # noqa: E402
                            net_arguments)
from smm_cases import Unavailable  # noqa: E402
from stick_cases import Case, console_until  # noqa: E402
from deploy import layout, serverruns  # noqa: E402
from stick import log  # noqa: E402

RUN_LIST = "Tagwell /sn:NET-0001\n"
VENDOR_TOOL = "H2OSDE-Sx64.efi"
NO_ID = ("To Be Filled By O.E.M.", "00000000-0000-0000-0000-000000000000")


def qemu_argv(shell, vars_copy: Path, port: int, serial: str, uuid: str | None,
              code: Path | None = None) -> list[str]:
    smbios = f"type=1,manufacturer=Corvane,product=Desk,serial={serial}" + \
        (f",uuid={uuid}" if uuid else "")
    return [shell.QEMU, "-machine", "q35", "-m", "512", "-nographic", "-no-reboot",
            "-accel", "tcg", "-smbios", "type=0,vendor=INSYDE Corp.", "-smbios", smbios,
            "-drive", f"if=pflash,format=raw,readonly=on,file={code or shell.OVMF_CODE}",
            "-drive", f"if=pflash,format=raw,file={vars_copy}",
            "-netdev", f"user,id=n0,bootfile=http://10.0.2.2:{port}/{layout.IMAGE_NAME}",
            "-device", "virtio-net-pci,netdev=n0,romfile=,bootindex=1",
            "-fw_cfg", "name=opt/org.tianocore/IPv4PXESupport,string=no",
            "-fw_cfg", "name=opt/org.tianocore/IPv6PXESupport,string=no"]


class NetBoot:
    name = "Network image: units boot it over HTTP"
    label = "stock OVMF, user networking, nginx on 127.0.0.1"
    cases = [Case("two units at once: ALL DONE, their logs and records arrive, the page lists "
                  "both"),
             Case("a unit that boots again runs nothing; another unit's record stops a unit"),
             Case("with the server down a unit stops before step 1"),
             Case("a unit without a unit id is refused before step 1"),
             Case("the signed image runs to the end under Secure Boot")]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        outcomes = [Outcome(self.name, case.name) for case in self.cases]
        started = time.monotonic()
        with tempfile.TemporaryDirectory(prefix="net-boot-") as tmp:
            tmp = Path(tmp)
            tmp.chmod(0o755)  # started as root, the server's workers pass through it
            (tmp / "list.txt").write_text(RUN_LIST)
            shutil.copyfile(build / "test-efi" / "VendorDouble.efi", tmp / VENDOR_TOOL)
            extra = ["--vendor-tool", str(tmp / VENDOR_TOOL)]
            if (build / "shell" / "Shell.efi").is_file():
                extra += ["--shell", str(build / "shell" / "Shell.efi")]
            with socket.socket() as probe, socket.socket() as dead:
                probe.bind(("127.0.0.1", 0))
                dead.bind(("127.0.0.1", 0))
                port, dead_port = probe.getsockname()[1], dead.getsockname()[1]
            key, cert = secureboot_cases.test_keys(tmp)[:2]
            for image, more in (("net.img", []),
                                ("down.img", ["--server", f"http://10.0.2.2:{dead_port}/x.img"]),
                                ("signed.img", ["--sign-key", str(key), "--sign-cert", str(cert)])):
                made = subprocess.run([sys.executable, str(REPO / "tools" / "make-stick"),
                                       str(tmp / "list.txt"), "--net", "--build", str(build),
                                       "-o", str(tmp / image), *extra, *more],
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

            def boot(serial: str, uuid: str | None, until: tuple[str, ...],
                     secure: bool = False) -> str:
                """The console of a boot: until one of until appears (the script stops in
                the shell), or with until empty, until the machine powers off."""
                vars_copy = tmp / f"vars-{serial[:4]}-{time.monotonic_ns()}.fd"
                shutil.copyfile(secureboot_cases.SECURE_VARS if secure else shell.OVMF_VARS,
                                vars_copy)
                argv = qemu_argv(shell, vars_copy, port, serial, uuid,
                                 secureboot_cases.SECURE_CODE if secure else None)
                return console_until(shell, argv, until)

            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                first = pool.submit(boot, "NETA", None, ())
                other = pool.submit(boot, "NETB", None, ())
                consoles = [first.result(), other.result()]
                # NETA's record put up under NETD's name counts for nobody.
                shutil.copyfile(layout.records_dir(site) / "NETA.txt",
                                layout.records_dir(site) / "NETD.txt")
                again = pool.submit(boot, "NETA", None, (log.ALREADY_SERVER, "FAILED at"))
                no_id = pool.submit(boot, *NO_ID, ("FAILED at step",))
                forged = pool.submit(boot, "NETD", None, ("FAILED before", "step 1 (line"))
                consoles += [again.result(), "", no_id.result(), "", forged.result()]
            time.sleep(2.5)  # the watcher writes the status page
            page = (layout.status_dir(site) / "index.html").read_text()
            # A unit now boots an image whose server for records and logs is down.
            shutil.copyfile(tmp / "down.img", site / layout.WWW_DIR / layout.IMAGE_NAME)
            consoles[3] = boot("NETC", None, ("FAILED at step",))
            shutil.copyfile(tmp / "signed.img", site / layout.WWW_DIR / layout.IMAGE_NAME)
            consoles[5] = boot("NETSB", None, (), secure=True)
            server.send_signal(signal.SIGINT)
            server.wait(timeout=20)
            # The records, and the logs (under "logs/NAME") whose unit lines they stand for.
            records = {path.name: log.decode(path.read_bytes())
                       for path in layout.records_dir(site).iterdir()}
            records.update({f"logs/{path.name}": log.decode(path.read_bytes())
                            for path in layout.logs_dir(site).iterdir()})
            runs = serverruns.read_server_runs(site)
            self.judge(outcomes, consoles, runs, page, records)
        return outcomes, time.monotonic() - started

    @staticmethod
    def judge(outcomes, consoles, runs, page, records) -> None:
        a, b, c, d, e = (outcome.failures.append for outcome in outcomes)
        latest = {run.unit: run for run in runs if run.latest}
        for serial, console in zip(("NETA", "NETB"), consoles):
            if "ALL DONE" not in console:
                a(f"{serial} did not finish: ...{console[-500:]}")
            run = min((r for r in runs if r.unit == serial), key=lambda r: r.run, default=None)
            if run is None or run.result != "ALL DONE" or run.serial != serial:
                a(f"the server's first log of {serial}: {run}")
            if f"serial {serial.encode().hex().upper()}\n" not in records.get(f"{serial}.txt", ""):
                a(f"the record of {serial} does not name it: {records.get(serial + '.txt')!r}")
            if f"<td>{serial}</td>" not in page:
                a(f"the status page does not list {serial}: {page}")
        if log.ALREADY_SERVER not in consoles[2] or "step 1 (line" in consoles[2]:
            b(f"NETA ran again: ...{consoles[2][-500:]}")
        if latest.get("NETA") is None or latest["NETA"].result != "already done":
            b(f"the server's latest log of NETA: {latest.get('NETA')}")
        if "FAILED before step 1" not in consoles[6] or "step 1 (line" in consoles[6]:
            b(f"NETD ran on NETA's record: ...{consoles[6][-500:]}")
        if "FAILED at step 1 (not run: no network" not in consoles[3] and \
                "FAILED at step 1 (not run: the server did not answer" not in consoles[3] or \
                "step 1 (line" in consoles[3] or "reached the server" not in consoles[3]:
            c(f"NETC did not stop before step 1, saying so: ...{consoles[3][-500:]}")
        if f"FAILED at step 1 ({log.NOT_RUN_NO_UNIT})" not in consoles[4] or \
                "step 1 (line" in consoles[4]:
            d(f"the unit without an id was not refused: ...{consoles[4][-500:]}")
        signed = latest.get("NETSB")
        if "ALL DONE" not in consoles[5] or signed is None or signed.result != "ALL DONE" or \
                "unit NETSB\n" not in records.get("NETSB.txt", "") or not any(
                    "Secure Boot on" in text for name, text in records.items()
                    if name.startswith("logs/NETSB.")):
            e(f"the signed image under Secure Boot: {signed}, ...{consoles[5][-500:]}")


class HostileAnswers:
    name = "Net.efi against a misbehaving server"
    label = "stock OVMF, user networking, the test's own server on 127.0.0.1"
    cases = [Case(command) for command, _, _, _ in HOSTILE]

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        outcomes = [Outcome(self.name, case.name) for case in self.cases]
        server = HostileServer()
        commands = ["Net.efi up"] + [" ".join(["Net.efi", *net_arguments(command)])
                                     for command, _, _, _ in HOSTILE]
        try:
            run = shell.run_shell(
                commands, qemu_args=["-netdev", "user,id=n0",
                                     "-device", "virtio-net-pci,netdev=n0,romfile="],
                files={"EFI/BOOT/BOOTX64.EFI": build / "shell" / "Shell.efi",
                       "Net.efi": efi["Net.efi"], SENT[0]: SENT[1],
                       "server.url": f"http://10.0.2.2:{server.server_address[1]}/x\r\n".encode()},
                read_back=[f"{command.split()[1]}.bin" for command, _, _, _ in HOSTILE],
                command_timeout=LIMIT * 3)
        except shell.ShellRunError as error:
            for outcome in outcomes:
                outcome.failures.append(f"QEMU run of the group failed: {error}")
            return outcomes, 0.0
        finally:
            server.shutdown()
            server.server_close()
        if run.results[0].status != 0:
            outcomes[0].failures.append(f"Net.efi up: {run.results[0].stdout}")
        for outcome, (command, _, status, line), result in zip(outcomes, HOSTILE,
                                                                   run.results[1:]):
            path = command.split()[1]
            if result.status != status or not result.stdout.endswith(f": {line}\n"):
                outcome.failures.append(f"status {result.status}: {result.stdout!r}")
            if command.startswith("get") and run.files[f"{path}.bin"] != BODIES.get(path):
                outcome.failures.append(f"{path}.bin: {run.files[f'{path}.bin']!r}")
            # The connection ends at Net.efi's limit where the answer never does, else at once.
            # The limit is the firmware's clock, which TCG slows against the host's when the
            # host is busy (20 s took 29-33 s at a load of 21 on 2 cores).
            stay = server.stays.get(path, -1.0)
            if not (LIMIT - 5 < stay < 2 * LIMIT if status == 0xC0000005 else 0 <= stay < 5):
                outcome.failures.append(f"the server saw the connection end after {stay:.1f} s")
            outcome.notes.append(f"{command}: the connection ended after {stay:.1f} s")
        return outcomes, run.seconds


def groups(build: Path, shell) -> list:
    needed = [build / "efi" / name for name in ("Net.efi", "Tagwell.efi", "Unit.efi",
                                                "Crestune.efi")]
    missing = [str(path) for path in needed + [build / "test-efi" / "VendorDouble.efi"]
               if not path.is_file()]
    if missing:
        return [Unavailable(f"not built: {', '.join(missing)}", NetBoot.name,
                            NetBoot.cases[0].name)]
    if not (build / "shell" / "Shell.efi").is_file():
        # Without a shell on its disk, OVMF tries HTTP boot on the card first.
        return [NetBoot(), Unavailable("not built: build/shell/Shell.efi", HostileAnswers.name,
                                       HostileAnswers.cases[0].name)]
    return [NetBoot(), HostileAnswers()]
