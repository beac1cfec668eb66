"""QEMU cases of the real Crestune.efi with the firmware double answering its SMIs.

The firmware double runs as a real SMM handler (tools/uefi-shell.py's SMM mode: SmmDouble.efi
installs it, QEMU takes each SMI at the instruction after the port write). Two sources of cases:

- The host scenarios (tests/scenarios/crestune_*.py) run unchanged on the real binary: each
  scenario loads the firmware state of its machine description, runs its steps with the same
  arguments and standard input, and is judged by the same comparison as on the host
  (scenario_lib.compare_step: status, output, files, the requests the firmware saw).
- AcrossBoots below: what only a real machine shows, such as a backup file written to the
  FAT disk on one boot and the firmware state carried to the next.

Every SMI of every command must have been taken at the instruction after the `out` in
TriggerPortSmi (the harness's check); a case with an SMI answered late fails.

Scenarios share a boot when their machines have the same tables: before each, the double loads
the scenario's firmware state and the shell clears the scenario's files and copies its own in;
after it, the shell copies its files aside for the checks. A scenario is skipped, with the reason, when
it cannot run in QEMU: another tool, an argument the UEFI shell would change, a machine with
memory outside the legacy BIOS area, a run that ends in a machine reset, or a fault of the
simulated platform (a failing close).
"""

from __future__ import annotations

import dataclasses
import json
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Callable, Optional

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE))

import harness  # noqa: E402
import scenario_lib  # noqa: E402
from cases import LEGACY_ONLY, SHELL_SPECIAL  # noqa: E402

SCENARIO_PATTERN = "crestune_*.py"
# How many scenarios one boot runs at most: boots run in parallel, so a long list is cut.
SCENARIOS_PER_BOOT = 25
# Characters that the UEFI shell interprets on a command line even inside quotes (the quote,
# variables, escapes, comments, redirection and pipes): a word holding one does not reach the
# program unchanged.
SHELL_METACHARACTERS = set(SHELL_SPECIAL)
INSTALLER = "SmmDouble.efi"


@dataclasses.dataclass
class Step:
    title: str                  # the case name the suite reports
    line: str                   # shell command line
    stdin: Optional[str]
    expect: dict                # scenario_lib expectation (run steps)
    kind: str = "run"           # "run": judged; "setup": must succeed; "cleanup": not judged
    check: Optional[Callable[[object, object], Optional[str]]] = None  # (result, run) -> error
    files: Optional[str] = None  # key of Boot.captures naming this step's files; None: the root

    @property
    def name(self) -> str:
        return self.title


class StepRun:
    """The outcome of one step as scenario_lib.compare_step reads it; `machine` is the
    description with the firmware state that the double had after the step."""

    def __init__(self, result, workdir, tables: Optional[dict], build: Path):
        self.stdout = result.stdout
        self.stderr = result.stderr
        self.status = result.status
        self.events = result.smm_events or []
        self.workdir = workdir
        self._state = result.smm_state
        self._tables = tables or {}
        self._build = build

    @property
    def machine(self) -> dict:
        if self._state is None:
            raise ValueError("the double's state after the step is not on the disk")
        with tempfile.TemporaryDirectory(prefix="smm-state-") as tmp:
            path = Path(tmp) / "state.bin"
            path.write_bytes(self._state)
            done = subprocess.run([str(self._build / "host" / "smmdouble"), "firmware",
                                   str(path)], capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise ValueError(done.stderr.strip())
        return dict(self._tables, firmware=json.loads(done.stdout))


def make_state(build: Path, description: Optional[dict]) -> bytes:
    """The double's state file for a machine description (None: a new machine)."""
    with tempfile.TemporaryDirectory(prefix="smm-state-") as tmp:
        out = Path(tmp) / "state.bin"
        argv = [str(build / "host" / "smmdouble"), "state", str(out)]
        if description is not None:
            machine = Path(tmp) / "machine.json"
            machine.write_text(json.dumps(description))
            argv.append(str(machine))
        done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise ValueError(done.stderr.strip())
        return out.read_bytes()


LEGACY = (harness.load().LEGACY_BASE, harness.load().LEGACY_END)  # [start, end)


def _plain_ram(region: dict) -> bool:
    """A zero-filled region outside the legacy BIOS area: ordinary RAM in QEMU's guest (the
    simulated machine maps it for the communication buffer; the installer reserves and clears
    the buffer's pages in QEMU)."""
    base = int(str(region.get("base", 0)), 0)
    end = base + int(str(region.get("size", 0)), 0)
    return (set(region) <= {"base", "size", "fill"} and int(str(region.get("fill", 0)), 0) == 0
            and (end <= LEGACY[0] or base >= LEGACY[1]))


def without_firmware(description: dict) -> dict:
    """The parts of a description that make QEMU's test machine: no firmware state, no stall
    setting and no plain RAM regions."""
    tables = {key: value for key, value in description.items()
              if key not in ("firmware", "stall")}
    if "memory" in tables:
        tables["memory"] = [region for region in tables["memory"] if not _plain_ram(region)]
    return tables


@dataclasses.dataclass
class Boot:
    """One QEMU run: a machine's tables, the files on its disk and its steps, in order."""
    name: str
    machine: Optional[dict]
    files: dict = dataclasses.field(default_factory=dict)
    steps: list = dataclasses.field(default_factory=list)
    skipped: list = dataclasses.field(default_factory=list)  # (title, reason)
    state: Optional[bytes] = None   # the state installed at boot (None: from the machine)
    read_back: list = dataclasses.field(default_factory=list)  # further files to read back
    # Files kept aside for the checks of a scenario: key -> {name the checks use: name on disk}
    captures: dict = dataclasses.field(default_factory=dict)
    last_run: object = None          # the harness's ShellRun once the boot has run
    qemu_args: tuple = ()            # further QEMU options (the shape of the firmware's tables)

    @property
    def cases(self) -> list:
        return [step for step in self.steps if step.kind == "run"]

    @property
    def label(self) -> str:
        if self.machine is None:
            return "no machine"
        return str(self.machine.get("description", "machine tables"))[:70]

    def _fail_all(self, Outcome, outcomes: list, message: str) -> tuple[list, float]:
        for title in dict.fromkeys(step.title for step in self.cases):
            outcome = Outcome(self.name, title)
            outcome.failures.append(message)
            outcomes.append(outcome)
        return outcomes, 0.0

    def _workdirs(self, run, tmp: Path) -> dict:
        """A directory per capture key (and None: the disk's root) holding the files that the
        checks read under the names they use."""
        folders = {None: tmp / "root"}
        folders[None].mkdir()
        for name, data in run.files.items():
            if data is not None and "/" not in name:
                (folders[None] / name).write_bytes(data)
        for key, names in self.captures.items():
            folders[key] = tmp / f"capture{len(folders)}"
            folders[key].mkdir()
            for name, disk_name in names.items():
                data = run.files.get(disk_name)
                if data is not None:
                    target = folders[key] / name
                    target.parent.mkdir(parents=True, exist_ok=True)
                    target.write_bytes(data)
        return folders

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        outcomes = []
        for title, reason in self.skipped:
            outcome = Outcome(self.name, title)
            outcome.skipped = True
            outcome.notes.append(f"skipped: {reason}")
            outcomes.append(outcome)
        if not self.steps:
            return outcomes, 0.0
        if "Crestune.efi" not in efi:
            return self._fail_all(Outcome, outcomes,
                                  f"{build / 'efi' / 'Crestune.efi'} not found")
        read_back = set(self.read_back)
        for names in self.captures.values():
            read_back |= set(names.values())
        try:
            run = shell.run_shell(
                [shell.Command(step.line, step.stdin) for step in self.steps],
                files={"Crestune.efi": efi["Crestune.efi"], **self.files},
                machine=self.machine, build_dir=build, read_back=sorted(read_back), smm=True,
                smm_state=self.state, qemu_args=self.qemu_args)
        except (shell.ShellRunError, shell.MachineError, ValueError) as error:
            return self._fail_all(Outcome, outcomes, f"QEMU run of the boot failed: {error}")
        self.last_run = run
        with tempfile.TemporaryDirectory(prefix="smm-disk-") as tmp:
            folders = self._workdirs(run, Path(tmp))
            pending: list[str] = []
            for step, result in zip(self.steps, run.results):
                problems = [f"{step.line}: {p}" for p in result.smm_problems]
                if not result.ran and result.smm_state is None:
                    problems.append(f"{step.line}: did not run (an earlier command ended the "
                                    "boot)")
                if step.kind != "run":
                    if step.kind == "setup" and result.status != 0:
                        problems.append(f"{step.line} failed: "
                                        f"{(result.stderr or result.stdout).strip()}")
                    pending += problems
                    continue
                expect = dict(step.expect)
                if expect.pop("reset", False):
                    if result.ran:
                        problems.append("the machine was not reset: the run came to its end")
                elif not result.ran and result.smm_state is not None:
                    problems.append("the run reset the machine")
                try:
                    problems += scenario_lib.compare_step(
                        expect, StepRun(result, folders[step.files], self.machine, build))
                    message = step.check(result, run) if step.check is not None else None
                except Exception as error:  # a check that cannot judge this run: a failure
                    message = f"the check could not run: {type(error).__name__}: {error}"
                if message:
                    problems.append(message)
                outcome = Outcome(self.name, step.title)
                outcome.failures += pending + problems
                pending = []
                outcomes.append(outcome)
        return outcomes, run.seconds


# ---------------------------------------------------------------------------------------------
# Scenarios of this file: the same description format as tests/scenarios; with "same_as_host",
# each step's standard output and status must also equal the host tool's on the simulated
# machine (the host runs the steps first).

OK = "BIOS setting processing successfully completed...\n\n"
HASH_ABC = "7C7873FAC63A9BE8166E39DD"  # the double's hash of "abc"
# A buffer the double lends: free memory in QEMU's guest (the installer reserves it), mapped
# by the simulated machine on the host. Its descriptor lies 16 bytes below it.
LENT = {"grant": True, "address": "0x90000", "size": "0x4000"}
LENT_SMALL = {"grant": True, "address": "0x90000", "size": "0x100"}
LENT_RAM = [{"base": "0xE0000", "size": "0x20000", "fill": "0xFF"},
            {"base": "0x8F000", "size": "0x5000", "fill": "0x00"}]
ABC_WITH_BUFFER = {"firmware": {"admin_password": "abc", "comm_buffer": LENT},
                   "memory": LENT_RAM}


def _request(name, **fields):
    return dict(request=name, **fields)


SMM_SCENARIOS = [
    dict(name="granted buffer carries the request and the hash", machine="desktop.json",
         machine_patch=ABC_WITH_BUFFER, same_as_host=True, args=["/f9", "/pass", "abc"],
         expect=dict(stdout=OK, status=0, smi=[
             _request("IsMfgDoneSet"), _request("CheckPasswordInstalled", out_ecx="0x00000001"),
             # the output area after 304 + 8 x 65 bytes of the buffer
             _request("ComputeHash", esi="0x00090338", output=HASH_ABC),
             # the hash at offset 26 of the buffer
             _request("LoadDefaults", edi="0x0009001A", hash=HASH_ABC, out_eax="0x00000000"),
             _request("UpdateChecksum")])),
    # Verbose output shows buffer addresses, which differ between the platforms.
    dict(name="granted buffer in verbose mode", machine="desktop.json",
         machine_patch=ABC_WITH_BUFFER,
         args=["/csm", "disable", "/pass", "abc", "/Verbose"],
         expect=dict(status=0, stdout_contains=[
             "SmmCommBufferAccess Maxsize=0000000000000130h,Address=000000000008FFF0h"
             "(Lo=000000000008FFF0h,Hi=0000000000000000h)!\n",
             "Get Lock SMM Memory Success!\n", "SmmCommBufferAccess UNLOCK Success!\n"])),
    dict(name="buffer too small is refused: the caller's own buffers go", machine="desktop.json",
         machine_patch={"firmware": {"admin_password": "abc", "comm_buffer": LENT_SMALL},
                        "memory": LENT_RAM},
         args=["/f9", "/pass", "abc", "/Verbose"],
         expect=dict(status=0, stdout_contains=[
             "SmmCommBufferAccess Buffer size not enough! Maxsize=0x100\n", OK])),
    dict(name="no buffer service: direct mode throughout", machine="desktop.json",
         machine_patch={"firmware": {"inject": [{"eax": "0xD9", "no_answer": True}]}},
         same_as_host=True, args=["/f9"], expect=dict(stdout=OK, status=0)),
    dict(name="TPM switch confirmed through input redirection", machine="desktop.json",
         same_as_host=True, steps=[
             dict(args=["/dtpm", "active"], stdin="y\n",
                  expect=dict(status=0, stdout_contains=["Current Setting is fTPM2.0\n", OK])),
             dict(args=["/dtpm", "active"], stdin="n\n",
                  expect=dict(status=0, stdout_contains=["Current Setting is dTPM1.2\n"]))]),
    dict(name="TPM switch declined through input redirection", machine="desktop.json",
         same_as_host=True, args=["/dtpm", "active"], stdin="n\n", expect=dict()),
    dict(name="password set, required, wrong, cleared", machine="desktop.json",
         same_as_host=True, steps=[
             dict(args=["/newadp", "abc"], expect=dict(stdout=OK, status=0)),
             dict(args=["/f9"], expect=dict(stdout="Password required.\n", status=0xC0000007)),
             dict(args=["/f9", "/pass", "abd"],
                  expect=dict(stdout="The input password is not correct.\n"
                              "Return code: 00000001h\n", status=0xC0000006)),
             dict(args=["/clradp", "/pass", "abc"], expect=dict(stdout=OK, status=0)),
             dict(args=["/f9"], expect=dict(stdout=OK, status=0))]),
    dict(name="manufacturing done is reported", machine="desktop.json",
         machine_patch={"firmware": {"mfg_done": True}}, same_as_host=True, args=["/f9"],
         expect=dict()),
]


def host_expectations(build: Path, scenario: dict) -> list[dict]:
    """The standard output and status of each step of the scenario on the host."""
    with tempfile.TemporaryDirectory(prefix="smm-host-") as tmp:
        workdir = Path(tmp) / "cwd"
        workdir.mkdir()
        for name, content in scenario.get("files", {}).items():
            (workdir / name).write_bytes(scenario_lib.as_bytes(content))
        machine = Path(tmp) / "machine.json"
        machine.write_text(json.dumps(scenario_lib.machine_description(scenario, build)))
        found = []
        for step in scenario_lib.steps_of(scenario):
            run = scenario_lib.run_host_step(build, machine, workdir, step)
            found.append({"stdout": run.stdout, "status": run.status})
        return found


def _with_host(build: Path, scenario: dict) -> dict:
    """The scenario with each step also expecting the host's output and status."""
    scenario = dict(scenario)
    steps = []
    for step, host in zip(scenario_lib.steps_of(scenario), host_expectations(build, scenario)):
        step = dict(step)
        expect = dict(step.get("expect", {}))
        for key in ("stdout", "status"):
            if key in expect and expect[key] != host[key]:
                raise ValueError(f"{scenario['name']}: the host's {key} {host[key]!r} is not "
                                 f"the expected {expect[key]!r}")
            expect[key] = host[key]
        step["expect"] = expect
        steps.append(step)
    scenario["steps"] = steps
    return scenario


# ---------------------------------------------------------------------------------------------
# The host scenarios on the real binary


def _unfit(scenario: dict) -> Optional[str]:
    """Why a scenario cannot run in QEMU, or None."""
    if "host_only" in scenario:
        return scenario["host_only"]
    steps = scenario_lib.steps_of(scenario)
    for step in steps:
        if step.get("tool", "Crestune") != "Crestune":
            return f"runs {step['tool']}"
        for word in step.get("args", []):
            if SHELL_METACHARACTERS & set(word) or any(ord(c) < 0x20 or ord(c) > 0x7E for c in word):
                return f"the UEFI shell would change the argument {word!r}"
        shell_commands = step.get("expect", {}).get("shell", [])
        if shell_commands and (shell_commands != ["reset"] or step is not steps[-1]):
            return "the shell runs other commands, or steps follow the reset that ends the boot"
        if "prepare" in step:
            return "the host changes files between its steps, which a running machine cannot"
        if "limits" in step:
            return "the host limits the process's resources, which the UEFI shell cannot"
        if "machine_patch" in step:
            return "the machine changes between its steps, which a running machine cannot"
        if "env" in step:
            return "the simulated platform is told to fail (%s)" % ", ".join(sorted(step["env"]))
    return None


def _file_names(scenario: dict) -> list[str]:
    """The files a scenario may read, write or expect: its own, those its checks name, and
    argument words that look like file names."""
    names = dict.fromkeys(scenario.get("files", {}))
    for step in scenario_lib.steps_of(scenario):
        names.update(dict.fromkeys(step.get("expect", {}).get("files", {})))
        names.update(dict.fromkeys(word for word in step.get("args", []) if "." in word))
    return list(names)


GUEST_RAM_END = 256 << 20  # the harness boots QEMU with -m 256


def _buffer_unfit(description: dict) -> Optional[str]:
    """Why the communication buffer that a machine lends cannot be lent in QEMU, or None."""
    buffer = description.get("firmware", {}).get("comm_buffer", {})
    if not buffer.get("grant"):
        return None
    end = int(str(buffer.get("address", 0)), 0) + int(str(buffer.get("size", 0)), 0)
    if end > GUEST_RAM_END:
        return (f"its communication buffer ends at 0x{end:X}, beyond QEMU's guest RAM "
                f"(0x{GUEST_RAM_END:X}); 0x90000 (up to 0x4000 bytes) is free there")
    return None


def _resets(scenario: dict) -> bool:
    """Whether the scenario's last step has the shell reset the machine."""
    return scenario_lib.steps_of(scenario)[-1].get("expect", {}).get("shell") == ["reset"]


# What a run that resets the machine leaves to check: the program's output and status are lost
# with the reset, the requests and the state are kept (copied from the stopped machine).
RESET_KEEPS = ("smi", "smi_all", "files", "check")


def _step_expectation(step: dict) -> dict:
    """A step's expectation in QEMU: a reset is checked by the run ending in it, no reset by
    the run coming to its end; the shell's command list itself is not seen."""
    expect = dict(step.get("expect", {}))
    if expect.get("shell") == ["reset"]:
        return dict({key: expect[key] for key in RESET_KEEPS if key in expect}, reset=True)
    expect.pop("shell", None)
    return expect


def _quote(word: str) -> str:
    if word and not any(c in word for c in ' \t"'):
        return word
    return '"' + word.replace('"', '^"') + '"'


def _disk_name(prefix: str, name: str) -> str:
    return prefix + "".join(c if c.isalnum() or c in "._-" else "_" for c in name)


def _scenario_steps(boot: Boot, index: int, scenario: dict, title: str, state: bytes) -> None:
    """Appends a scenario to a boot: load its firmware state, clear and place its files, run its
    steps, keep its files aside for the checks."""
    state_name = f"s{index}.bin"
    boot.files[state_name] = state
    boot.steps.append(Step(title, f"{INSTALLER} load {state_name}", None, {}, kind="setup"))
    names = _file_names(scenario)
    plain = [_quote(name) for name in names if not SHELL_METACHARACTERS & set(name)]
    if plain:
        boot.steps.append(Step(title, "rm -q " + " ".join(plain), None, {}, kind="cleanup"))
    for number, (name, content) in enumerate(scenario.get("files", {}).items()):
        disk_name = f"i{index}-{number}.bin"
        boot.files[disk_name] = scenario_lib.as_bytes(content)
        boot.steps.append(Step(title, f"cp -q {disk_name} {_quote(name)}", None, {},
                               kind="setup"))
    steps = scenario_lib.steps_of(scenario)
    resets = _resets(scenario)
    for number, step in enumerate(steps):
        line = " ".join(["Crestune.efi"] + [_quote(word) for word in step.get("args", [])])
        step_title = title if len(steps) == 1 else f"{title} (step {number + 1})"
        # The reset ends the boot: the files stay in the root, read back from there.
        boot.steps.append(Step(step_title, line, step.get("stdin", ""),
                               _step_expectation(step), files=None if resets else str(index)))
    if resets:
        boot.read_back = sorted(set(boot.read_back) | {n for n in names
                                                        if not SHELL_METACHARACTERS & set(n)})
        return
    captures = {}
    for name in names:
        if SHELL_METACHARACTERS & set(name):
            continue
        captures[name] = _disk_name(f"o{index}-", name)
        boot.steps.append(Step(title, f"cp -q {_quote(name)} {captures[name]}", None, {},
                               kind="cleanup"))
    boot.captures[str(index)] = captures


def scenario_boots(build: Path, shell) -> list[Boot]:
    """The host scenarios in boots: the scenarios of machines with the same tables share boots
    of up to SCENARIOS_PER_BOOT scenarios each."""
    skipped = Boot("scenarios not run in QEMU", None)
    legacy_ok: dict[str, Optional[str]] = {}
    by_tables: dict[str, list] = {}
    own = [dict(scenario, source="smm_cases.py") for scenario in SMM_SCENARIOS]
    for index, scenario in enumerate(scenario_lib.load_scenarios(SCENARIO_PATTERN) + own):
        title = f"{scenario['source'][:-3]}: {scenario['name']}"
        reason = _unfit(scenario)
        if reason is None and scenario.get("same_as_host"):
            try:
                scenario = _with_host(build, scenario)
            except (ValueError, OSError, subprocess.SubprocessError) as error:
                reason = f"the host run cannot give the expected output: {error}"
        description = scenario_lib.machine_description(scenario, build)
        tables = without_firmware(description)
        key = json.dumps(tables, sort_keys=True)
        if reason is None:
            if key not in legacy_ok:
                try:
                    shell.legacy_image(tables, shell.find_simmachine(build))
                    legacy_ok[key] = None
                except shell.MachineError as error:
                    legacy_ok[key] = str(error)
            reason = legacy_ok[key]
        state = b""
        if reason is None:
            reason = _buffer_unfit(description)
        if reason is None:
            try:
                state = make_state(build, description)
            except ValueError as error:
                reason = f"its firmware section is refused: {error}"
        if reason is not None:
            skipped.skipped.append((title, reason))
            continue
        by_tables.setdefault(key, []).append((index, scenario, title, state, tables))
    boots: list[Boot] = []
    for entries in by_tables.values():
        plain = [entry for entry in entries if not _resets(entry[1])]
        # A scenario that resets the machine ends a boot: one per boot, after the others.
        resetting = [entry for entry in entries if _resets(entry[1])]
        count = max(-(-len(plain) // SCENARIOS_PER_BOOT), 1 if plain else 0)
        share = -(-len(plain) // count) if count else 0
        own = [plain[start:start + share] for start in range(0, len(plain), share or 1)]
        while len(own) < len(resetting):
            own.append([])
        for number, chunk in enumerate(own):
            chunk = chunk + resetting[number:number + 1]
            # The simulated machines have no configuration table: QEMU's tables are left out.
            boot = Boot(f"scenarios {len(boots) + 1}", chunk[0][4], qemu_args=LEGACY_ONLY)
            for index, scenario, title, state, _ in chunk:
                _scenario_steps(boot, index, scenario, title, state)
            boots.append(boot)
    return boots + ([skipped] if skipped.skipped else [])


# ---------------------------------------------------------------------------------------------
# Cases that span boots: the backup file and the firmware state carried to the next boot

DESKTOP = "desktop.json"


def _desktop() -> dict:
    return json.loads((scenario_lib.MACHINE_DIR / DESKTOP).read_text())


def _same_file(name: str, reference: Optional[bytes], what: str):
    """A step check: the file `name` on the disk after the boot equals `reference`."""
    def check(result, run) -> Optional[str]:
        if reference is None:
            return f"nothing to compare {name} with: {what} is missing"
        return None if run.files.get(name) == reference else f"{name} differs from {what}"
    return check


class AcrossBoots:
    """A firmware state carried over three boots, as on a machine that is switched off and on:
    boot 1 sets a password, changes a setting and backs the settings up to the FAT disk; boot 2
    starts from boot 1's state with the backup on its disk, needs the password, loads the
    defaults and restores the backup, which resets the machine; boot 3 starts from the state
    at that reset and backs up the same settings as boot 1."""
    name = "across boots"
    label = "desktop tables, three boots"

    def boot(self, previous, files: dict, read_back: list) -> Boot:
        boot = Boot(self.name, without_firmware(_desktop()), read_back=read_back)
        boot.state = previous.smm_state if previous is not None else None
        for name in files:
            data = previous.files.get(name) if previous is not None else None
            if data is not None:
                boot.files[name] = data
        return boot

    def first(self) -> Boot:
        first = self.boot(None, {}, ["backup.dat"])
        first.steps = [
            Step("boot 1: set a password", "Crestune.efi /newadp abc", "",
                 {"stdout": OK, "status": 0}),
            Step("boot 1: change a setting", "Crestune.efi /csm disable /pass abc", "",
                 {"stdout": OK, "status": 0}),
            Step("boot 1: back up to the FAT disk", "Crestune.efi /b backup.dat /pass abc", "",
                 {"stdout": OK, "status": 0},
                 check=lambda result, run: None if run.files.get("backup.dat")
                 else "backup.dat is not on the disk after the backup"),
        ]
        return first

    def second(self, previous) -> Boot:
        second = self.boot(previous, {"backup.dat": None}, [])
        second.steps = [
            Step("boot 2: the password is still required", "Crestune.efi /f9", "",
                 {"stdout": "Password required.\n", "status": 0xC0000007}),
            Step("boot 2: the password is accepted", "Crestune.efi /f9 /pass abc", "",
                 {"stdout": OK, "status": 0}),
            Step("boot 2: the restore of the backup resets the machine",
                 "Crestune.efi /r backup.dat /pass abc", "",
                 {"reset": True, "smi": [{"request": "IsMfgDoneSet"},
                                         {"request": "CheckPasswordInstalled"},
                                         {"request": "ComputeHash"}, {"request": "Restore"},
                                         {"request": "UpdateChecksum"}]}),
        ]
        return second

    def third(self, previous, backup: Optional[bytes]) -> Boot:
        third = self.boot(previous, {}, ["copy.dat"])
        third.steps = [
            Step("boot 3: the restored settings back up as on boot 1",
                 "Crestune.efi /b copy.dat /pass abc", "", {"stdout": OK, "status": 0},
                 check=_same_file("copy.dat", backup, "boot 1's backup")),
        ]
        return third

    @property
    def cases(self) -> list:
        return self.first().steps + self.second(None).steps + self.third(None, None).steps

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        outcomes: list = []
        seconds = 0.0
        previous = None
        backup = None
        for make in (self.first, lambda run: self.second(run),
                     lambda run: self.third(run, backup)):
            boot = make() if make == self.first else make(previous)
            more, more_seconds = boot.run(build, efi, shell, Outcome)
            outcomes += more
            seconds += more_seconds
            previous = boot.last_run
            if previous is None or previous.smm_state is None:
                break  # the next boot has no state to start from: its cases are not reported
            if backup is None:
                backup = previous.files.get("backup.dat")
        return outcomes, seconds


FROM_CONFIG = "ACPI tables taken from the UEFI configuration table.\n"


def unpatched_boot() -> Boot:
    """Unpatched OVMF: the ACPI tables (FADT naming port 0xB2) and SMBIOS only in the UEFI
    configuration table, the BIOS version from QEMU's -smbios option. A new machine's firmware
    state: no password."""
    boot = Boot("unpatched OVMF: tables from the configuration table", None,
                qemu_args=("-smbios", "type=0,vendor=Corvane,version=M1KT52AUS"),
                read_back=["x.dat"])
    boot.steps = [
        Step("defaults through the configuration table's FADT", "Crestune.efi /f9", "",
             {"stdout": OK, "status": 0,
              "smi": [{"request": "IsMfgDoneSet", "port": "0x00B2"},
                      {"request": "CheckPasswordInstalled"}, {"request": "LoadDefaults"},
                      {"request": "UpdateChecksum"}]}),
        Step("verbose run says where the tables came from", "Crestune.efi /f9 /Verbose", "",
             {"stdout_contains": [FROM_CONFIG + "SMI port number: 00B2h\n"], "status": 0}),
        Step("password set", "Crestune.efi /newadp abc", "", {"stdout": OK, "status": 0}),
        Step("password required", "Crestune.efi /f9", "",
             {"stdout": "Password required.\n", "status": 0xC0000007}),
        Step("password cleared", "Crestune.efi /clradp /pass abc", "",
             {"stdout": OK, "status": 0}),
        Step("backup with the configuration table's SMBIOS", "Crestune.efi /b x.dat", "",
             {"stdout": OK, "status": 0},
             check=lambda result, run: None if (run.files.get("x.dat") or b"")[-8:][6:] == b"M1"
             else "x.dat does not end with BIOS id M1"),
        Step("restore of the same file", "Crestune.efi /r x.dat /NoReboot /Verbose", "",
             {"stdout_contains": ["Bios version: M1KT52AUS\n", "Bios id: M1\n",
                                  "Bios revision: 52\n", OK], "status": 0},
             check=lambda result, run: None if any(
                 e.get("request") == "Restore" and e.get("out_eax") == "0x00000000"
                 for e in result.smm_events or []) else "no Restore request answered"),
    ]
    return boot


class Unavailable:
    """Stands for groups that need the SMM double when the build lacks what they need."""
    label = "not run"
    cases: list = []

    def __init__(self, reason: str, name: str = "SMM double",
                 case: str = "the firmware double answers real SMIs"):
        self.reason = reason
        self.name = name
        self.case = case

    def run(self, build: Path, efi: dict, shell, Outcome) -> tuple[list, float]:
        outcome = Outcome(self.name, self.case)
        outcome.skipped = True
        outcome.notes.append(f"skipped: {self.reason}")
        return [outcome], 0.0


def groups(build: Path, shell) -> list:
    """The SMM groups of the suite; each has name, label, cases and run(build, efi, shell,
    Outcome) -> (outcomes, seconds)."""
    needed = [build / "test-efi" / INSTALLER, build / "efi" / "Crestune.efi",
              build / "host" / "smmdouble", build / "host" / "simmachine"]
    missing = [str(path) for path in needed if not path.is_file()]
    if missing:
        return [Unavailable(f"not built: {', '.join(missing)}")]
    return scenario_boots(build, shell) + [AcrossBoots(), unpatched_boot()]
