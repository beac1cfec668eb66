"""Scenarios: runs of the tools against simulated machines, described as data.

A scenario file (tests/scenarios/*.py) defines SCENARIOS, a list of dicts:

    name      unique name
    machine   a machine file name in machines/ ("desktop.json"), a description dict, None
              for the built-in machine, or "uefi-desktop" for the built-in UEFI-only desktop; "machine_patch" (dict) is merged onto it (JSON merge
              patch: dicts merge, other values replace)
    files     {name: str|bytes} put in the tool's current directory before the first step
    steps     list of runs on the same machine, in order (the machine's state carries over);
              a scenario without "steps" is one step made of the keys below
    tool      "Crestune" or "Tagwell" (default "Crestune")
    args      list of argument words
    stdin     text fed to standard input (default: empty, at its end)
    machine_patch (in a step) merged onto the machine file before that step: the machine
              changes between runs (another BIOS version, other settings)
    prepare   a function of the working directory (pathlib.Path) run before the step, e.g. to
              damage a file the previous step wrote
    limits    {"file_size": bytes, "address_space": bytes}: resource limits of the tool's
              process (a file write beyond the size fails with EFBIG, as on a full disk)
    expect    dict: stdout (exact text), stdout_contains (list), stdout_file (path under
              tests/scenarios/expected), stderr (exact), stderr_contains (list),
              status (32-bit int), files ({name: bytes|str|None for absent}),
              smi (the SMI requests in order, each a dict of log fields to match; the
              communication buffer service is left out), smi_all (the same, all requests),
              shell (list of command lines), check (a function of the run that returns a
              list of problems, for what a fixed expectation cannot say)
    host_only why the scenario cannot run on the real binary in QEMU (its machine cannot be
              made there)

The platform-neutral parts (args, stdin, expected stdout and status) are what a QEMU run of the
real binary compares too.
"""

import copy
import importlib.util
import json
import os
import pathlib
import resource
import signal
import subprocess
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCENARIO_DIR = ROOT / "tests" / "scenarios"
MACHINE_DIR = ROOT / "machines"


def merge_patch(target, patch):
    if not isinstance(patch, dict):
        return copy.deepcopy(patch)
    result = copy.deepcopy(target) if isinstance(target, dict) else {}
    for key, value in patch.items():
        if value is None:
            result.pop(key, None)
        else:
            result[key] = merge_patch(result.get(key), value)
    return result


def default_machine(build, which="default"):
    out = subprocess.run([str(pathlib.Path(build) / "host" / "simmachine"), which],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def machine_description(scenario, build):
    machine = scenario.get("machine")
    if machine is None:
        description = default_machine(build)
    elif machine == "uefi-desktop":
        description = default_machine(build, machine)
    elif isinstance(machine, str):
        description = json.loads((MACHINE_DIR / machine).read_text())
    else:
        description = copy.deepcopy(machine)
    if "machine_patch" in scenario:
        description = merge_patch(description, scenario["machine_patch"])
    description.setdefault("stall", "skip")
    return description


def load_scenarios(pattern="*.py"):
    scenarios = []
    for path in sorted(SCENARIO_DIR.glob(pattern)):
        loader_spec = importlib.util.spec_from_file_location("scenario_" + path.stem, path)
        module = importlib.util.module_from_spec(loader_spec)
        loader_spec.loader.exec_module(module)
        for scenario in module.SCENARIOS:
            scenario = dict(scenario)
            scenario["source"] = path.name
            scenarios.append(scenario)
    names = [s["name"] for s in scenarios]
    duplicates = {n for n in names if names.count(n) > 1}
    if duplicates:
        raise SystemExit("duplicate scenario names: %s" % ", ".join(sorted(duplicates)))
    return scenarios


def steps_of(scenario):
    if "steps" in scenario:
        return scenario["steps"]
    return [{k: scenario[k] for k in ("tool", "args", "stdin", "env", "expect", "prepare", "limits")
             if k in scenario}]


def as_bytes(value):
    return value.encode("latin-1") if isinstance(value, str) else value


def read_log(path):
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


class HostRun:
    """The outcome of one step on the host."""

    def __init__(self, stdout, stderr, status, events, workdir):
        self.machine = None
        self.stdout = stdout
        self.stderr = stderr
        self.status = status
        self.events = events
        self.workdir = workdir


def _limiter(limits):
    """A function that applies a step's resource limits in the child process, or None."""
    if not limits:
        return None

    def apply():
        if "file_size" in limits:
            # a write past the limit then fails with EFBIG instead of ending the process
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limits["file_size"],) * 2)
        if "address_space" in limits:
            resource.setrlimit(resource.RLIMIT_AS, (limits["address_space"],) * 2)
    return apply


def run_host_step(build, machine_path, workdir, step):
    tool = step.get("tool", "Crestune")
    log_path = pathlib.Path(str(machine_path) + ".log")
    before = len(read_log(log_path))
    env = dict(os.environ, FWSIM_MACHINE=str(machine_path), **step.get("env", {}))
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
    proc = subprocess.run([str(pathlib.Path(build) / "host" / tool)] + list(step.get("args", [])),
                          cwd=workdir, env=env, input=as_bytes(step.get("stdin", "")),
                          capture_output=True, timeout=60,
                          preexec_fn=_limiter(step.get("limits")))
    events = read_log(log_path)[before:]
    exits = [e for e in events if e.get("event") == "exit"]
    status = int(exits[-1]["status"], 16) if exits else None
    run = HostRun(proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1"), status, events,
                  workdir)
    run.machine = json.loads(pathlib.Path(machine_path).read_text())
    return run


def compare_step(expect, run):
    """Returns a list of mismatch descriptions."""
    problems = []

    def check(label, want, got):
        if want != got:
            problems.append("%s:\n  want: %r\n  got:  %r" % (label, want, got))

    # What the machine saw go wrong that the tool's output does not show (a communication buffer
    # given back unwiped, a file left open): never expected.
    for event in run.events:
        if "violation" in event:
            problems.append("violation: %s" % event["violation"])
    if "status" in expect:
        got = run.status
        check("status", "0x%08X" % (expect["status"] & 0xFFFFFFFF),
              None if got is None else "0x%08X" % got)
    if "stdout" in expect:
        check("stdout", expect["stdout"], run.stdout)
    if "stdout_file" in expect:
        check("stdout", (SCENARIO_DIR / "expected" / expect["stdout_file"]).read_text(), run.stdout)
    for piece in expect.get("stdout_contains", []):
        if piece not in run.stdout:
            problems.append("stdout lacks %r; stdout was:\n%s" % (piece, run.stdout))
    if "stderr" in expect:
        check("stderr", expect["stderr"], run.stderr)
    for piece in expect.get("stderr_contains", []):
        if piece not in run.stderr:
            problems.append("stderr lacks %r; stderr was:\n%s" % (piece, run.stderr))
    for name, want in expect.get("files", {}).items():
        path = pathlib.Path(run.workdir) / name
        got = path.read_bytes() if path.exists() else None
        check("file %s" % name, None if want is None else as_bytes(want), got)
    for key in ("smi", "smi_all"):
        if key not in expect:
            continue
        # "smi" leaves out the communication buffer service, which surrounds every request.
        got = [e for e in run.events if e.get("event") == "smi" and (
            key == "smi_all" or not e.get("request", "").startswith("CommBuffer"))]
        want = expect[key]
        if len(want) != len(got):
            problems.append("SMI count: want %d, got %d:\n  %s" % (
                len(want), len(got), "\n  ".join(json.dumps(e) for e in got)))
        for index, (w, g) in enumerate(zip(want, got)):
            for key, value in w.items():
                if g.get(key) != value:
                    problems.append("SMI %d %s: want %r, got %r (%s)" % (
                        index, key, value, g.get(key), json.dumps(g)))
    if "shell" in expect:
        got = [e["command"] for e in run.events if e.get("event") == "shell"]
        check("shell commands", expect["shell"], got)
    if "check" in expect:
        problems.extend(expect["check"](run))
    return problems


def run_host_scenario(build, scenario):
    with tempfile.TemporaryDirectory(prefix="scenario-") as tmp:
        tmp = pathlib.Path(tmp)
        workdir = tmp / "cwd"
        workdir.mkdir()
        for name, content in scenario.get("files", {}).items():
            (workdir / name).write_bytes(as_bytes(content))
        machine_path = tmp / "machine.json"
        machine_path.write_text(json.dumps(machine_description(scenario, build), indent=2))
        problems = []
        for index, step in enumerate(steps_of(scenario)):
            if "prepare" in step:
                step["prepare"](workdir)
            if "machine_patch" in step:
                machine = json.loads(machine_path.read_text())
                machine_path.write_text(json.dumps(merge_patch(machine, step["machine_patch"]),
                                                   indent=2))
            run = run_host_step(build, machine_path, workdir, step)
            for problem in compare_step(step.get("expect", {}), run):
                problems.append("step %d (%s): %s" % (index, " ".join(step.get("args", [])),
                                                       problem))
        return problems
