"""The network image's scripts: startup.nsh for a unit that booted the image over HTTP, and the
small script that runs Net.efi. The steps run as on a stick; the unit's done record and its
log live on the deployment server (tools/stick/names.py names their paths there):

- before step 1: a unit id (else nothing runs), the network (Net.efi up, which also names the
  boot), the unit's record asked of the server (there: already done, nothing runs; any answer
  but "not found": nothing runs), and the log sent once, so a server that takes no logs
  stops the unit before it changes anything;
- after every step the log is sent; a log that cannot be sent stops the run;
- at the end Unit.efi writes the done record (the stick id, the raw serial number and the
  UUID), which is sent; only then is ALL DONE logged and the log sent once more, so a unit
  logged done has its record on the server. A record fetched from the server counts only
  when Unit.efi finds it is this unit's (/check), so one unit's report cannot mark another done.
Each step's output goes to a file of its own, sent beside the log; the log holds only the
script's lines. After a failure the log is sent once more where the server may still take it
(the failure's reason then reaches the server too); where it cannot, the console says that the
log is only on the unit's RAM disk.
"""

from __future__ import annotations

from typing import Sequence

from stick import log
from stick.names import (SCRIPTS_DIR, TOOLS_DIR, UNIT_VARIABLE, StickError, done_folder, dos,
                         shown_name, upload_log, upload_output, upload_record)
from stick.runlist import Step
from stick.script import (ERRORS, check_record, ending, header, name_unit, record_path, refused,
                          run_step, say, step_output, write_record)

NET_PROGRAM = "Net.efi"
# On the console where a log did not reach the server: the log stays on the RAM disk.
LOG_ONLY_HERE = ("its log is only on this unit, %stick_volume%:%stick_log%, in memory: it is "
                 "lost at power off")
NET_SCRIPT = f"{SCRIPTS_DIR}/net.nsh"
# Net.efi's statuses the script tells apart (Applications/Net/Net.h).
NOT_FOUND = "0xC0000006"
STAMP_VARIABLE = "netstamp"


def net_script() -> str:
    """Runs Net.efi with the script's arguments; leaves its status in stick_net and sets
    stick_ran to 1, which it never reaches when the firmware refuses to start Net.efi."""
    return "\r\n".join(["@echo -off",
                        f"%stick_volume%:{dos(TOOLS_DIR)}\\{NET_PROGRAM} %1 %2 %3 2> {ERRORS}",
                        "set -v stick_net %lasterror%", "set -v stick_ran 1"]) + "\r\n"


def startup_script(steps: Sequence[Step], then: str, identity: str,
                   source: str = "run list") -> str:
    """The network image's startup.nsh (CRLF line ends, ASCII)."""
    for step in steps:
        if step.resets:
            raise StickError(f"{shown_name(source)} line {step.line_number}: a step that resets "
                             "the machine is not run from a network image: its done record "
                             "could not be taken back if the step failed")
    scripts = "%stick_volume%:" + dos(SCRIPTS_DIR)
    count = len(steps)
    unit = f"%{UNIT_VARIABLE}%"
    remote_log = upload_log(unit, f"%{STAMP_VARIABLE}%")
    remote_record = upload_record(unit)
    # The record is fetched to where a stick keeps it, and checked and written by the stick's
    # own scripts (check.nsh, record.nsh); it is the image's run 1 (a RAM disk is new at every
    # boot).
    record = record_path(identity)
    done = dos(done_folder(identity))

    def unsent(indent: str) -> list[str]:
        """Console lines for a log the server did not take: where the log is."""
        return [f"{indent}if %stick_sent% == 0 then",
                f"{indent}  echo \"nothing of this run reached the server\"",
                f"{indent}else",
                f"{indent}  echo \"the server's log of this run ends before this failure\"",
                f"{indent}endif",
                f"{indent}echo \"{LOG_ONLY_HERE}\""]

    def resend(indent: str) -> list[str]:
        """After a failure: the log sent once more, where the server may still take it."""
        return [f"{indent}set -v stick_net 1",
                f"{indent}{scripts}\\net.nsh put %stick_log% {remote_log}",
                f"{indent}if %stick_net% ne 0 then",
                *unsent(indent + "  "),
                f"{indent}endif"]

    def net(arguments: str, index: int, why: str, indent: str = "",
            missing_ok: bool = False, after_fail: Sequence[str] = ()) -> list[str]:
        """Net.efi with the arguments; a refusal or a status other than 0 (and other than not
        found, where that is awaited) ends the run as FAILED at step index, with after_fail
        (indented once) after the FAILED line."""
        failed = "%stick_net% ne 0" + (f" and %stick_net% ne {NOT_FOUND}" if missing_ok else "")
        after = [f"{indent}  {line}" for line in after_fail]
        return [f"{indent}set -v stick_ran 0",
                f"{indent}{scripts}\\net.nsh {arguments}",
                f"{indent}set -v stick_exit %lasterror%",
                f"{indent}if %stick_ran% == 0 then",
                *refused(NET_PROGRAM, "net.nsh", "its signature is probably not trusted",
                         indent + "  "),
                *say(log.FAILED(index=index, why=f"{why}: {NET_PROGRAM} did not start"),
                     indent + "  "),
                *unsent(indent + "  "),
                f"{indent}  goto stick_end",
                f"{indent}endif",
                f"{indent}if {failed} then",
                *say(log.FAILED(index=index, why=f"{why}: status %stick_net%"), indent + "  "),
                *after,
                f"{indent}  goto stick_end",
                f"{indent}endif"]

    def send_log(index: int, indent: str = "") -> list[str]:
        return [*net(f"put %stick_log% {remote_log}", index, "the log could not be sent",
                     indent, after_fail=unsent("")),
                f"{indent}set -v stick_sent 1"]

    out = [
        *header("make-stick --net", ["Runs from the image the unit booted over HTTP; the unit's "
                                     "record and its log are", "kept on the server the image "
                                     "came from."], steps, then, identity, source, 1,
                state=["set -v stick_run 1", "set -v stick_sent 0"]),
        *name_unit(checked=False),
        # Without a unit id the server cannot keep this unit's record: nothing runs.
        f"if \"{unit}\" == \"\" then",
        *say(log.NOT_RUN_WHY(index=1, why="this machine has no unit id (no usable serial "
                             "number or UUID), so the server cannot keep its record"), "  "),
        *say(log.FAILED(index=1, why=log.NOT_RUN_NO_UNIT), "  "),
        *unsent("  "),
        "  goto stick_end",
        "endif",
        *net("up", 1, "not run: no network", after_fail=unsent("")),
        f"if not exist {done} then",
        f"  mkdir {done}",
        "endif",
        *net(f"get {remote_record} {record}", 1,
             "not run: the server did not answer for this unit's record", missing_ok=True,
             after_fail=resend("")),
        "if %stick_net% eq 0 then",
        *check_record(log.ALREADY_SERVER, remote_record, resend("")),
        "endif",
        *send_log(1),
    ]
    for index, step in enumerate(steps, start=1):
        out += say(log.STEP(index=index, line=step.line_number, command=step.shown))
        out += run_step(
            index, step, after_fail=resend(""),
            after_output=[f"{scripts}\\net.nsh put {step_output(index)} "
                          f"{upload_output(unit, f'%{STAMP_VARIABLE}%', index)}"])
        out += send_log(index)
    # The record (Unit.efi writes this unit's raw serial number and UUID and the stick id) is on
    # the server before ALL DONE is logged.
    unrecorded = log.FAILED(index=count, why="the done record could not be written")
    out += [*write_record(identity, "", [*say(unrecorded), *resend(""), "goto stick_end"]),
            *net(f"put {record} {remote_record}", count, "the record could not be sent",
                 after_fail=resend("")),
            *say(log.ALL_DONE()),
            # The unit is done whatever becomes of its last log.
            "set -v stick_net 1",
            f"{scripts}\\net.nsh put %stick_log% {remote_log}",
            "if %stick_net% ne 0 then",
            "  echo \"the log with ALL DONE could not be sent (status %stick_net%); this unit's "
            "record is on the server\"",
            f"  echo \"{LOG_ONLY_HERE}\"",
            "endif"]
    # A unit found done would boot the image again and find itself done, again and again.
    out += ending(then, "not rebooting: this unit would boot the image again",
                  "not rebooting: this unit would boot the image again; take it off the "
                  "deployment network")
    return "\r\n".join(out) + "\r\n"
