"""The stick's scripts: startup.nsh, which finds the stick, opens a new log and runs the
steps, and the small scripts that run one program each (\\EFI\\stick\\)."""

from __future__ import annotations

from typing import Sequence

from stick import log
from stick.layout import (LOG_DIR, LOG_LIMIT, SCRIPTS_DIR, TOOLS_DIR, UNIT_PROGRAM,
                          UNIT_VARIABLE, VOLUMES, done_folder, dos, marker_name, shown_name)
from stick.runlist import UNIT_PLACEHOLDER, Step

THEN_COMMANDS = {"off": "reset -s", "reboot": "reset", "shell": None}


def step_scripts(steps: Sequence[Step]) -> dict[str, str]:
    """The scripts that run one program each, by their path on the stick: unit.nsh, then
    step1.nsh, step2.nsh, ... Each saves the program's status and then sets stick_ran to 1,
    which it never reaches when the firmware refuses to start the program."""
    errors = dos(LOG_DIR) + "\\stderr.txt"
    # Programs are named by the stick's volume and their path: by a name or a path without
    # the volume, the shell runs a file of that name from another volume's tools folder when
    # the stick's own is missing (it searches every volume's \EFI\tools\).
    tools = "%stick_volume%:" + dos(TOOLS_DIR) + "\\"
    runs = {"unit.nsh": [f"{tools}{UNIT_PROGRAM} >> %stick_log% 2> {errors}"]}
    for index, step in enumerate(steps, start=1):
        # Standard error cannot share the log's redirection: it is kept apart and then
        # appended.
        runs[f"step{index}.nsh"] = [f"{tools}{step.command} >> %stick_log% 2> {errors}",
                                    "set -v stick_status %lasterror%"]
    return {f"{SCRIPTS_DIR}/{name}": "\r\n".join(["@echo -off", *lines, "set -v stick_ran 1"])
            + "\r\n" for name, lines in runs.items()}


def startup_script(steps: Sequence[Step], then: str, identity: str,
                   source: str = "run list") -> str:
    """The text of startup.nsh (CRLF line ends, ASCII)."""
    if then not in THEN_COMMANDS:
        raise ValueError(f"--then must be one of {', '.join(THEN_COMMANDS)}")
    marker = dos(TOOLS_DIR) + "\\" + marker_name(identity)
    log_dir = dos(LOG_DIR)
    errors = log_dir + "\\stderr.txt"
    scripts = "%stick_volume%:" + dos(SCRIPTS_DIR)
    done = dos(done_folder(identity))
    record = f"{done}\\%{UNIT_VARIABLE}%.nsh"
    no_unit = f"\"%{UNIT_VARIABLE}%\" == \"\""
    name = shown_name(source)
    count = len(steps)
    out = [
        "@echo -off",
        f"# Made by make-stick from {name}: {count} step"
        f"{'s' if count != 1 else ''}, then {then}.",
        "# Finds its own volume by the marker file, logs every step into a new",
        f"# {log_dir}\\runN.txt and stops at the first step whose status is not 0.",
        "for %v in " + " ".join(VOLUMES),
        f"  if exist %v:{marker} then",
        "    %v:",
        "    set -v stick_volume %v",
        "    goto stick_found",
        "  endif",
        "endfor",
        f"echo \"make-stick: no volume holds {marker}: nothing was run\"",
        "goto stick_end",
        ":stick_found",
        f"if not exist {log_dir} then",
        f"  mkdir {log_dir}",
        "endif",
        f"for %n run (1 {LOG_LIMIT})",
        f"  if not exist {log_dir}\\{log.run_file('%n')} then",
        f"    set -v stick_log {log_dir}\\{log.run_file('%n')}",

        "    set -v stick_run %n",
        "    goto stick_log_found",
        "  endif",
        "endfor",
        f"echo \"make-stick: {log_dir} already holds run1.txt to run{LOG_LIMIT}.txt: nothing "
        "was run\"",
        "goto stick_end",
        ":stick_log_found",
        "cd " + dos(TOOLS_DIR),
        f"echo \"{log.stick_line(identity, name, count, then)}\" > %stick_log%",
        "date >> %stick_log%",
        "time >> %stick_log%",
        "echo \"log %stick_log%\"",
    ]

    def say(text: str, indent: str = "") -> list[str]:
        return [f"{indent}echo \"{text}\" >> %stick_log%", f"{indent}echo \"{text}\""]

    # The unit: its program writes the unit line and leaves the unit id, when the machine has
    # one. An id left from an earlier run in the same shell is removed first.
    out += [f"set -v {UNIT_VARIABLE} none", f"set -d {UNIT_VARIABLE}",
            f"if exist {UNIT_PROGRAM} then",
            "  set -v stick_ran 0",
            f"  {scripts}\\unit.nsh",
            f"  type {errors} >> %stick_log%",
            "  if %stick_ran% == 0 then",
            *say(log.REFUSED(program=UNIT_PROGRAM, why="its signature is probably not "
                             "trusted, so this run has no unit id"), "    "),
            "  endif",
            "else",
            *say(log.MISSING(program=UNIT_PROGRAM) + ", so this run has no unit id", "  "),
            "endif",
            # A unit that has finished this stick runs nothing again.
            f"if exist {record} then",
            f"  %stick_volume%:{record}",
            *say(log.ALREADY(run="%stick_done_run%"), "  "),
            "  goto stick_again",
            "endif"]

    def write_record(indent: str) -> list[str]:
        return [f"{indent}if not exist {done} then",
                f"{indent}  mkdir {done}",
                f"{indent}endif",
                f"{indent}echo \"set -v stick_done_run %stick_run%\" > {record}"]

    def not_run(index: int, why: str) -> list[str]:
        return [f"if {no_unit} then",
                *say(log.NOT_RUN_WHY(index=index, why=why), "  "),
                *say(log.FAILED(index=index, why=log.NOT_RUN_NO_UNIT), "  "),
                "  goto stick_end",
                "endif"]

    for index, step in enumerate(steps, start=1):
        title = log.STEP(index=index, line=step.line_number, command=step.shown)
        out += say(title)
        if step.uses_unit:
            out += not_run(index, f"its file name holds {UNIT_PLACEHOLDER}, and this machine "
                                  "has no unit id (no usable serial number or UUID)")
        if step.resets:
            out += say(log.RESETS(index=index))
            # The record is written before the reset: the boot after it finds this unit done
            # instead of running the list again.
            if not step.uses_unit:
                out += not_run(index, "it resets the machine, and without a unit id (no "
                                      "usable serial number or UUID) the stick cannot record "
                                      "that this unit is done: the list would run again "
                                      "after the reset")
            out += write_record("")
        failed = [f"  rm -q {record}"] if step.resets else []
        out += [
            "set -v stick_ran 0",
            f"{scripts}\\step{index}.nsh",
            "set -v stick_exit %lasterror%",
            f"type {errors} >> %stick_log%",
            "if %stick_ran% == 0 then",
            f"  echo \"{log.STATUS(index=index, status='%stick_exit%')}\" >> %stick_log%",
            *failed,
            *say(log.REFUSED(program=step.program, why="its signature is probably not "
                             "trusted, or it is no valid program"), "  "),
            *say(log.FAILED(index=index, why="status %stick_exit%"), "  "),
            "  goto stick_end",
            "endif",
            f"echo \"{log.STATUS(index=index, status='%stick_status%')}\" >> %stick_log%",
            "if %stick_status% ne 0 then",
            *failed,
            f"  if not exist {step.program} then",
            *say(log.MISSING(program=step.program), "    "),
            "  endif",
            *say(log.FAILED(index=index, why="status %stick_status%"), "  "),
            "  goto stick_end",
            "endif",
        ]
    out += say(log.ALL_DONE())
    out += [f"if {no_unit} then",
            *say(log.NO_UNIT_RECORD, "  ")]
    if then == "reboot":
        # Rebooting would run the whole list again on this unit.
        out += [*say("not rebooting: without a record this unit would run the list again",
                     "  "),
                "  goto stick_end"]
    out += ["else", *write_record("  "), "endif"]
    if THEN_COMMANDS[then]:
        out.append(THEN_COMMANDS[then])
    out += ["goto stick_end", ":stick_again"]
    if then == "reboot":
        # This unit is done: a reboot would boot the stick again, and again.
        out += say("not rebooting: this unit would boot the stick again; remove the stick")
    elif THEN_COMMANDS[then]:
        out.append(THEN_COMMANDS[then])
    out.append(":stick_end")
    return "\r\n".join(out) + "\r\n"
