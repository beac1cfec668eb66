"""A rehearsal of a run list: its steps run with the host tools on a copy of the simulated
machine before a stick is made, so that a step that fails is caught at the desk."""

from __future__ import annotations

import json
import os
import re
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path
from typing import Mapping, Sequence

from stick import log
from stick.names import StickError
from stick.runlist import UNIT_PLACEHOLDER, Step

# In a rehearsal without build/host/Unit, {unit} becomes this.
REHEARSAL_UNIT = "UNIT0001"
# The largest simulated machine file taken.
MACHINE_LIMIT = 16 << 20


def _host_unit_id(unit: Path, env: Mapping[str, str], cwd: Path) -> tuple[str, str]:
    """The unit id that the host's unit program prints on the simulated machine (or the
    placeholder, when it is not built or names none), and its line."""
    if not os.access(unit, os.X_OK):
        return REHEARSAL_UNIT, f"(no {unit}: {UNIT_PLACEHOLDER} is {REHEARSAL_UNIT})"
    done = subprocess.run([str(unit)], capture_output=True, text=True, errors="replace",
                          env=dict(env), cwd=cwd, stdin=subprocess.DEVNULL, timeout=60)
    line = done.stdout.strip()
    found = log.UNIT.match(line.splitlines()[0] if line else "")
    if found and re.fullmatch(r"[A-Za-z0-9._-]{1,64}", found["id"] or ""):
        return found["id"], line
    return REHEARSAL_UNIT, f"{line} ({UNIT_PLACEHOLDER} is {REHEARSAL_UNIT})"


def rehearse(steps: Sequence[Step], build: Path, machine: Path | None,
             vendor_tools: Sequence[Path], say=print,
             data_files: Sequence[Path] = ()) -> str | None:
    """Runs the steps with the host tools on a copy of the simulated machine (the built-in
    desktop when machine is None), in a folder that stands for the stick's tools folder and
    holds the files the steps read (data_files).
    Returns None when every step passed, else why the stick is refused (with the failing
    step's output)."""
    host = Path(build).resolve() / "host"
    needed = [host / "Crestune", host / "Tagwell", host / "simmachine"]
    missing = [str(path) for path in needed if not os.access(path, os.X_OK)]
    if missing:
        raise StickError(f"--rehearse needs the host tools: {', '.join(missing)} not built")
    with tempfile.TemporaryDirectory(prefix="make-stick-rehearsal-") as tmp:
        copy = Path(tmp) / "machine.json"
        if machine is not None:
            try:
                # A device or FIFO would be read without end: only a file of sane size.
                info = os.stat(machine)
                if not stat.S_ISREG(info.st_mode) or info.st_size > MACHINE_LIMIT:
                    raise StickError(f"--rehearse {machine}: not a machine file (a regular "
                                     f"file of at most {MACHINE_LIMIT >> 20} MiB)")
                shutil.copyfile(machine, copy)
            except OSError as error:
                raise StickError(f"--rehearse: cannot read {machine}: {error.strerror}") \
                    from None
        else:
            done = subprocess.run([str(host / "simmachine"), "default"], capture_output=True,
                                  timeout=60)
            if done.returncode != 0:
                raise StickError("--rehearse: simmachine cannot make the built-in machine")
            copy.write_bytes(done.stdout)
        tools = Path(tmp) / "tools"
        tools.mkdir()
        # The real vendor tools are UEFI programs: stand-ins that succeed take their names,
        # so that Tagwell finds a tool where the stick will hold one.
        for tool in vendor_tools:
            stand_in = tools / Path(tool).name
            stand_in.write_text("#!/bin/sh\nexit 0\n")
            stand_in.chmod(0o755)
        for data in data_files:
            shutil.copyfile(data, tools / Path(data).name)
        env = dict(os.environ, FWSIM_MACHINE=str(copy))
        unit, line = _host_unit_id(host / "Unit", env, tools)
        say(f"rehearsal on {machine or 'the built-in desktop'}: {line}")
        log = Path(str(copy) + ".log")
        for index, step in enumerate(steps, start=1):
            before = log.stat().st_size if log.exists() else 0
            program = host / Path(step.program).stem
            argv = [str(program)] + [word.replace(UNIT_PLACEHOLDER, unit)
                                     for word in step.arguments]
            try:
                done = subprocess.run(argv, capture_output=True, env=env, cwd=tools,
                                      stdin=subprocess.DEVNULL, timeout=120)
            except subprocess.TimeoutExpired:
                return f"step {index} (line {step.line_number}): {step.shown}: did not end " \
                       "within 120 s"
            output = (done.stdout + done.stderr).decode("utf-8", "replace")
            try:
                status = int(json.loads(copy.read_text())["lasterror"], 16)
            except (OSError, ValueError, KeyError, TypeError):
                status = done.returncode
            events = []
            if log.exists():
                with open(log, "rb") as stream:
                    stream.seek(before)
                    for raw in stream.read().splitlines():
                        try:
                            events.append(json.loads(raw))
                        except ValueError:
                            pass
            reset = any(event.get("reset") for event in events)
            title = f"step {index} (line {step.line_number}): {step.shown}"
            say(f"rehearsal: {title}: status 0x{status & 0xFFFFFFFF:X}"
                + (", resets the machine" if reset else ""))
            shown = "".join(f"    {text}\n" for text in output.splitlines())
            if status != 0:
                return (f"{title} failed on the simulated machine with status "
                        f"0x{status & 0xFFFFFFFF:X}; it printed:\n{shown}")
            if reset and index != len(steps):
                # The tool itself says the step resets: the steps after it would never run.
                return f"{title} resets the machine, and only the last step may:\n{shown}"
    return None
