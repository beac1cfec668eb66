"""The stick's scripts: startup.nsh, which finds the stick, opens a new log and runs the
steps, and the small scripts that run one program each (\\EFI\\stick\\); and the blocks that
the network image's startup.nsh (netscript.py) is made of too: its header, the unit, a step,
the done record, the end that --then says."""

from __future__ import annotations

from typing import Sequence

from stick import log
from stick.names import (LOG_DIR, LOG_LIMIT, SCRIPTS_DIR, TOOLS_DIR, UNIT_PROGRAM,
                         UNIT_VARIABLE, VOLUMES, done_folder, dos, marker_name, shown_name)
from stick.runlist import UNIT_PLACEHOLDER, Step

THEN_COMMANDS = {"off": "reset -s", "reboot": "reset", "shell": None}


# Where a program's output goes: its own file beside the run's log (\logs\runN-stepK.txt,
# runN-unit.txt), never the log itself, so that nothing a program prints reads as a line of the
# script. The variable holds "\logs\runN-".
OUTPUT = "%stick_out%"
ERRORS = dos(LOG_DIR) + "\\stderr.txt"
# Programs are named by the stick's volume and their path: by a name or a path without the
# volume, the shell runs a file of that name from another volume's tools folder when the
# stick's own is missing (it searches every volume's \EFI\tools\).
TOOLS = "%stick_volume%:" + dos(TOOLS_DIR) + "\\"


def _scripts(runs: dict[str, list[str]]) -> dict[str, str]:
    return {f"{SCRIPTS_DIR}/{name}": "\r\n".join(["@echo -off", *lines, "set -v stick_ran 1"])
            + "\r\n" for name, lines in runs.items()}


def step_output(index: int) -> str:
    """The file (a shell path) that takes the output of step `index` of this run."""
    return f"{OUTPUT}step{index}.txt"


def step_scripts(steps: Sequence[Step], owner: str | None = None) -> dict[str, str]:
    """The scripts that run one program each, by their path on the stick: unit.nsh, then
    step1.nsh, step2.nsh, ... Each saves the program's status and then sets stick_ran to 1,
    which it never reaches when the firmware refuses to start the program. The unit line (and
    with the owner GUID of a signed stick's key, the db line) is the only program output in the
    log: Unit.efi is the stick's own program."""
    unit = f"{TOOLS}{UNIT_PROGRAM}" + (f" /owner {owner}" if owner else "")
    runs = {"unit.nsh": [f"{unit} >> %stick_log% 2> {OUTPUT}unit.txt"]}
    for index, step in enumerate(steps, start=1):
        # Standard error cannot share the output's redirection: it is kept apart and then
        # appended.
        runs[f"step{index}.nsh"] = [f"{TOOLS}{step.command} > {step_output(index)} 2> {ERRORS}",
                                    "set -v stick_status %lasterror%"]
    return _scripts(runs)


def record_path(identity: str) -> str:
    """This unit's done record of the stick (a shell path: the unit id is a variable)."""
    return dos(done_folder(identity)) + f"\\%{UNIT_VARIABLE}%.txt"


def record_scripts(identity: str) -> dict[str, str]:
    """check.nsh and record.nsh: Unit.efi checks and writes this unit's done record; the
    status goes into stick_check and stick_recorded."""
    unit = f"{TOOLS}{UNIT_PROGRAM}"
    record = record_path(identity)
    return _scripts({
        "check.nsh": [f"{unit} /check {record} {identity} >> %stick_log% 2>> {OUTPUT}unit.txt",
                      "set -v stick_check %lasterror%"],
        "record.nsh": [f"{unit} /record {record} {identity} %stick_run% >> %stick_log% "
                       f"2>> {OUTPUT}unit.txt", "set -v stick_recorded %lasterror%"]})


def say(text: str, indent: str = "") -> list[str]:
    """Script lines that log a line and show it on the console."""
    return [f"{indent}echo \"{text}\" >> %stick_log%", f"{indent}echo \"{text}\""]


def fail(text: str, indent: str = "") -> list[str]:
    """A failure, logged and shown, and on the console where the log is: a pinned shell gives no
    prompt to look."""
    return say(text, indent) + [f"{indent}echo \"{log.LOG_AT}\""]


def refused(program: str, script: str, why: str, indent: str = "") -> list[str]:
    """Script lines that log why `script`, which runs `program`, ended before it: the pinned
    shell refused the script, or the program (it, or a data file, is not as make-stick wrote
    it), or the firmware refused the program (`why`). The script's status is in stick_exit."""
    return [f"{indent}if %stick_exit% == {log.SCRIPT_REFUSED_STATUS} then",
            *say(log.SCRIPT_REFUSED(script=script), indent + "  "),
            f"{indent}else",
            f"{indent}  if %stick_exit% == {log.PROGRAM_REFUSED_STATUS} then",
            *say(log.PROGRAM_REFUSED(program=program), indent + "    "),
            f"{indent}  else",
            *say(log.REFUSED(program=program, why=why), indent + "    "),
            f"{indent}  endif",
            f"{indent}endif"]


def start_unit(indent: str = "") -> list[str]:
    """Script lines that run Unit.efi (unit.nsh) and log why it did not start, if so."""
    return [f"{indent}set -v stick_ran 0",
            f"{indent}%stick_volume%:{dos(SCRIPTS_DIR)}\\unit.nsh",
            f"{indent}set -v stick_exit %lasterror%",
            f"{indent}if %stick_ran% == 0 then",
            *refused(UNIT_PROGRAM, "unit.nsh", "its signature is probably not trusted, so this "
                     "run has no unit id", indent + "  "),
            f"{indent}endif"]


def name_unit(checked: bool) -> list[str]:
    """Script lines in which Unit.efi writes the unit line and leaves the unit id, when the
    machine has one; an id left from an earlier run in the same shell is removed first.
    checked: Unit.efi runs only where it is there, and its absence is logged."""
    lines = [f"set -v {UNIT_VARIABLE} none", f"set -d {UNIT_VARIABLE}"]
    if not checked:
        return lines + start_unit()
    return lines + [f"if exist {UNIT_PROGRAM} then",
                    *start_unit("  "),
                    "else",
                    *say(log.MISSING(program=UNIT_PROGRAM) + ", so this run has no unit id",
                         "  "),
                    "endif"]


def run_step(index: int, step: Step, before_fail: Sequence[str] = (),
             after_fail: Sequence[str] = (), after_output: Sequence[str] = ()) -> list[str]:
    """Script lines that run step `index` from its own script and judge it: a script or program
    that could not start, or a status other than 0, is logged as FAILED and ends the run.
    `before_fail` and `after_fail` (indented once) come before and after the FAILED line;
    `after_output` once the step's output is in its file."""
    scripts = "%stick_volume%:" + dos(SCRIPTS_DIR)
    before = [f"  {line}" for line in before_fail]
    after = [f"  {line}" for line in after_fail]
    return [
        "set -v stick_ran 0",
        f"{scripts}\\step{index}.nsh",
        "set -v stick_exit %lasterror%",
        f"type {ERRORS} >> {step_output(index)}",
        *after_output,
        "if %stick_ran% == 0 then",
        f"  echo \"{log.STATUS(index=index, status='%stick_exit%')}\" >> %stick_log%",
        *before,
        *refused(step.program, f"step{index}.nsh", "its signature is probably not trusted, or "
                 "it is no valid program", "  "),
        *fail(log.FAILED(index=index, why="status %stick_exit%"), "  "),
        *after,
        "  goto stick_end",
        "endif",
        f"echo \"{log.STATUS(index=index, status='%stick_status%')}\" >> %stick_log%",
        "if %stick_status% ne 0 then",
        *before,
        f"  if not exist {step.program} then",
        *say(log.MISSING(program=step.program), "    "),
        "  endif",
        *fail(log.FAILED(index=index, why="status %stick_status%"), "  "),
        *after,
        "  goto stick_end",
        "endif",
    ]


def check_record(done: str, shown: str, after: Sequence[str] = ()) -> list[str]:
    """Script lines (indented once) in which Unit.efi checks the done record that is there:
    this unit's, and the run logs `done` and ends as already done; another unit's, and it
    fails before step 1 naming the record as `shown`. `after` (indented once) comes before
    either end."""
    later = [f"  {line}" for line in after]
    return ["  set -v stick_check 1",
            f"  %stick_volume%:{dos(SCRIPTS_DIR)}\\check.nsh",
            "  if %stick_check% eq 0 then",
            *say(done, "    "),
            *[f"  {line}" for line in later],
            "    goto stick_again",
            "  endif",
            *fail(log.FAILED_BEFORE(why=log.NOT_THIS_UNIT(record=shown,
                                                          status="%stick_check%")), "  "),
            *later,
            "  goto stick_end"]


def write_record(identity: str, indent: str, failure: Sequence[str]) -> list[str]:
    """Script lines in which Unit.efi writes this unit's done record of run %stick_run%;
    `failure` runs when it could not."""
    done = dos(done_folder(identity))
    return [f"{indent}if not exist {done} then",
            f"{indent}  mkdir {done}",
            f"{indent}endif",
            f"{indent}set -v stick_recorded 1",
            f"{indent}%stick_volume%:{dos(SCRIPTS_DIR)}\\record.nsh",
            f"{indent}if %stick_recorded% ne 0 then",
            *say(log.NOT_RECORDED(status="%stick_recorded%"), indent + "  "),
            *[indent + "  " + line for line in failure],
            f"{indent}endif"]


def find_volume(marker: str) -> list[str]:
    """Script lines that find the stick's volume by its marker file (volume numbers depend on
    the machine's disks), make it current, and make sure the logs folder is there."""
    log_dir = dos(LOG_DIR)
    return ["for %v in " + " ".join(VOLUMES),
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
            "endif"]


def header(tool: str, about: Sequence[str], steps: Sequence[Step], then: str, identity: str,
           source: str, run: str | int, numbering: Sequence[str] = (),
           state: Sequence[str] = ()) -> list[str]:
    """The start of a startup.nsh: what made it (`tool`, then the lines of `about`), the stick's
    volume found, the log of run `run` opened with the stick line, the date and the time.
    `numbering` (the lines that choose %stick_run%) comes before the log's name is set,
    `state` (more variables of the script) after it."""
    if then not in THEN_COMMANDS:
        raise ValueError(f"--then must be one of {', '.join(THEN_COMMANDS)}")
    log_dir = dos(LOG_DIR)
    name = shown_name(source)
    count = len(steps)
    return ["@echo -off",
            f"# Made by {tool} from {name}: {count} step{'s' if count != 1 else ''}, "
            f"then {then}.",
            *[f"# {line}" for line in about],
            *find_volume(dos(TOOLS_DIR) + "\\" + marker_name(identity)),
            *numbering,
            f"set -v stick_log {log_dir}\\{log.run_file(run)}",
            f"set -v stick_out {log_dir}\\run{run}-",
            *state,
            "cd " + dos(TOOLS_DIR),
            f"echo \"{log.stick_line(identity, name, count, then)}\" > %stick_log%",
            "date >> %stick_log%",
            "time >> %stick_log%",
            "echo \"log %stick_log%\""]


def ending(then: str, instead: str | None, again: str) -> list[str]:
    """The end of a startup.nsh: what --then says after the run's end, and again at
    stick_again, where the unit was done already. With --then reboot, where a reboot would only
    boot the stick again, `instead` (None: reboot after the run) and `again` are logged and
    shown instead."""
    def then_lines(reboot_instead: str | None) -> list[str]:
        if then == "reboot" and reboot_instead is not None:
            return say(reboot_instead)
        return [THEN_COMMANDS[then]] if THEN_COMMANDS[then] else []

    return [*then_lines(instead), "goto stick_end", ":stick_again", *then_lines(again),
            ":stick_end"]


def startup_script(steps: Sequence[Step], then: str, identity: str,
                   source: str = "run list") -> str:
    """The text of startup.nsh (CRLF line ends, ASCII)."""
    log_dir = dos(LOG_DIR)
    record = record_path(identity)
    no_unit = f"\"%{UNIT_VARIABLE}%\" == \"\""
    numbering = [
        # A run takes the number after the highest log, never a number freed by a removed
        # log, so that numbers follow the order of the runs. The first free number is that
        # number when the logs are as many as the numbers below it (counted in x's: the shell
        # has no arithmetic); only else are all numbers looked at. (A variable cannot be set
        # empty, and a for variable left by goto cannot be used again.)
        "set -v stick_run none",
        "set -v stick_below x",
        f"for %n run (1 {LOG_LIMIT})",
        f"  if not exist {log_dir}\\{log.run_file('%n')} then",
        "    set -v stick_run %n",
        "    goto stick_free_found",
        "  endif",
        "  set -v stick_below %stick_below%x",
        "endfor",
        ":stick_free_found",
        # Only the logs count (run?.txt to run???.txt, not a step's runN-stepK.txt), and a
        # pattern that matches nothing stays in the list as itself, which does not exist.
        "set -v stick_logs x",
        "for %f in " + " ".join(f"{log_dir}\\{log.run_file(wild)}"
                                for wild in ("?", "??", "???")),
        "  if exist %f then",
        "    set -v stick_logs %stick_logs%x",
        "  endif",
        "endfor",
        "if not \"%stick_logs%\" == \"%stick_below%\" then",
        "  set -v stick_run none",
        f"  for %m run (1 {LOG_LIMIT})",
        f"    if exist {log_dir}\\{log.run_file('%m')} then",
        "      set -v stick_run none",
        "    else",
        "      if %stick_run% == none then",
        "        set -v stick_run %m",
        "      endif",
        "    endif",
        "  endfor",
        "endif",
        "if %stick_run% == none then",
        f"  echo \"make-stick: {log_dir} already holds run{LOG_LIMIT}.txt: nothing was run\"",
        "  goto stick_end",
        "endif",
    ]
    out = header("make-stick", ["Finds its own volume by the marker file, logs every step "
                                "into a new", f"{log_dir}\\runN.txt and stops at the first "
                                "step whose status is not 0."], steps, then, identity, source,
                 "%stick_run%", numbering)
    out += [*name_unit(checked=True),
            # A unit that has finished this stick runs nothing again. Unit.efi compares the
            # record's serial number, UUID and stick id with this machine's: a record of
            # another unit whose id is the same is a failure, not a unit done.
            f"if exist {record} then",
            *check_record(log.ALREADY(run="%stick_done_run%"), record),
            "endif"]

    def not_run(index: int, why: str) -> list[str]:
        return [f"if {no_unit} then",
                *say(log.NOT_RUN_WHY(index=index, why=why), "  "),
                *fail(log.FAILED(index=index, why=log.NOT_RUN_NO_UNIT), "  "),
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
            out += write_record(identity, "", [*fail(log.FAILED(index=index, why=log.NOT_RUN_NO_RECORD)),
                                     "goto stick_end"])
        out += run_step(index, step, [f"rm -q {record}"] if step.resets else [])
    out += say(log.ALL_DONE())
    out += [f"if {no_unit} then",
            *say(log.NO_UNIT_RECORD, "  ")]
    if then == "reboot":
        # Rebooting would run the whole list again on this unit.
        out += [*say("not rebooting: without a record this unit would run the list again",
                     "  "),
                "  goto stick_end"]
    out += ["else", *write_record(identity, "  ", ["goto stick_end"]), "endif"]
    # A unit found done reboots into the stick again, and again.
    out += ending(then, None, "not rebooting: this unit would boot the stick again; remove "
                  "the stick")
    return "\r\n".join(out) + "\r\n"
