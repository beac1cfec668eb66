"""The lines of a stick's run log (\\logs\\runN.txt): how each is written and how it is read.

startup.nsh writes the lines with these formats (their fields are often shell variables such as
%stick_status%), the report reads them back with the same formats, so a line is spelled once.
The unit line is printed by Unit.efi; its format is kept here for the reader.
"""

from __future__ import annotations

import dataclasses
import re
from typing import Optional

# The number of a log's file name: run1.txt, run2.txt, ...
# Only the names the script writes: run1.txt to run999.txt, no leading zero.
RUN_NAME = re.compile(r"^run([1-9]\d{0,2})\.txt$", re.IGNORECASE)


def run_file(number) -> str:
    return f"run{number}.txt"


class Line:
    """One kind of log line: a template whose {fields} are filled in to write it and matched
    by their patterns to read it. A field's pattern never backtracks (see the field patterns
    below), so a line is read in time linear in its length, whatever a program printed."""

    def __init__(self, template: str, **fields: str):
        self.template = template
        pattern = ""
        for at, piece in enumerate(re.split(r"\{(\w+)\}", template)):
            pattern += f"(?P<{piece}>{fields[piece]})" if at % 2 else re.escape(piece)
        self.pattern = re.compile(f"^{pattern}$")

    def __call__(self, **values) -> str:
        return self.template.format(**values)

    def match(self, line: str) -> Optional[dict]:
        found = self.pattern.match(line)
        return found.groupdict() if found else None


# Field patterns. Each repetition is possessive and each field ends where what follows it
# begins (a character it cannot hold, or one it holds only where the rest of the line does not
# follow), so the matcher never goes back to try a field shorter.
NUMBER = r"\d{1,9}+"
HEX = r"0x[0-9A-Fa-f]++"
TEXT = r".*+"  # only as the line's last field
NAME = r"(?:[^\s:]|:(?=\S))++"  # no blank; before ": "
QUOTED = r'[^"]*+'  # between double quotes (Unit.efi shows a '"' in a value as '?')


def up_to(stop: str, rest: str = "$") -> str:
    """Any text up to the character stop where the pattern rest follows it."""
    return rf"(?:[^{re.escape(stop)}]|{re.escape(stop)}(?!{rest}))*+"


# The run list's name ends at the ", " that the rest of the stick line follows.
STICK = Line("stick {stick}: {list}, {count} {steps}, then {then}", stick=NAME,
             list=up_to(",", rf" {NUMBER} steps?, then \S++$"), count=NUMBER, steps="steps?",
             then=r"\S++")
STEP = Line("step {index} (line {line}): {command}", index=NUMBER, line=NUMBER, command=TEXT)
STATUS = Line("step {index} status {status}", index=NUMBER, status=HEX)
FAILED = Line("FAILED at step {index} ({why})", index=NUMBER, why=up_to(")"))
ALL_DONE = Line("ALL DONE")
ALREADY = Line("already done on this unit (run {run})", run=NUMBER)
# A unit whose record the deployment server keeps (a network image).
ALREADY_SERVER = "already done on this unit (its record is on the server)"
RESETS = Line("step {index} resets the machine when it succeeds", index=NUMBER)
NOT_RUN_WHY = Line("step {index}: {why}", index=NUMBER, why=TEXT)
REFUSED = Line("the firmware refused to start {program}: {why}", program=NAME, why=TEXT)
MISSING = Line("{program} is not on the stick", program=r"\S++")
# A pinned shell refuses a script whose digest it does not hold, with this status.
SCRIPT_REFUSED_STATUS = "0x1A"
SCRIPT_REFUSED = Line("the shell refused to run {script}: it is not one of the scripts this "
                      "stick was built with", script=NAME)
# ... and a program not pinned at its place, or any program while a pinned data file differs.
PROGRAM_REFUSED_STATUS = "0x21"
PROGRAM_REFUSED = Line("the shell refused to start {program}: it, or a file the steps read, is "
                       "not as make-stick wrote it (the console names it)", program=NAME)
# Shown on the console (not logged) after a failure: where the technician finds the log.
LOG_AT = "the log of this run: %stick_volume%:%stick_log%"
NO_UNIT_RECORD = "no unit id: the stick cannot record that this unit is done"
NOT_RUN_NO_UNIT = "not run: no unit id"
NOT_RUN_NO_RECORD = "not run: no done record"
# Before any step: the done record under this unit's id is another unit's (or unreadable).
FAILED_BEFORE = Line("FAILED before step 1 ({why})", why=up_to(")"))
NOT_THIS_UNIT = Line("the done record {record} is not this unit's: status {status}",
                     record=r"\S++", status=HEX)
NOT_RECORDED = Line("the done record could not be written (status {status}): this unit "
                    "would run the list again", status=HEX)

# The date and time lines are the shell's `date` and `time`.
DATE = re.compile(r"^\d{1,2}/\d{1,2}/\d{4}$")
TIME = re.compile(r"^\d{1,2}:\d{2}(:\d{2})?( .*+)?$")
# Printed by Unit.efi (Applications/Unit): the unit id (who: the id, or none and why).
UNIT = Line('unit {who}: manufacturer "{manufacturer}", product "{product}", serial "{serial}", '
            'uuid {uuid}, BIOS "{bios}", Secure Boot {secure_boot}',
            who=rf"(?>none \((?P<why>[^)]*+)\)|(?P<id>{NAME}))", manufacturer=QUOTED,
            product=QUOTED, serial=QUOTED, uuid=r"(?:[^\s,]|,(?=\S))++", bios=QUOTED,
            secure_boot=TEXT)
# Printed by Unit.efi /owner GUID after the unit line: the certificates db holds under the owner
# GUID, by SHA-256 fingerprint (the first ones; "and N more"), or why db was not read.
FINGERPRINTS = r"[0-9A-F]{64}(?: [0-9A-F]{64})*+"
DB = Line("db owner {owner}: {held}", owner=NAME,
          held=rf"(?>(?P<count>{NUMBER}) certificates?+(?:, SHA-256 (?P<shown>{FINGERPRINTS})"
          rf"(?: and {NUMBER} more)?+)?+; other entries: (?P<mine>{NUMBER}) of this owner, "
          rf"(?P<others>{NUMBER}) of other owners|not read \((?P<why>[^)]*+)\))")


@dataclasses.dataclass
class DbReport:
    """What a db line says."""
    owner: str
    why: Optional[str]      # why db was not read; None when it was
    certificates: int = 0   # the owner's certificates
    shown: tuple[str, ...] = ()  # the fingerprints of the first ones
    mine: int = 0           # the owner's entries of other types


def parse_db(line: str) -> Optional[DbReport]:
    found = DB.match(line)
    if not found:
        return None
    if found["why"] is not None:
        return DbReport(found["owner"], found["why"])
    return DbReport(found["owner"], None, int(found["count"]),
                    tuple((found["shown"] or "").split()), int(found["mine"]))


def stick_line(identity: str, name: str, count: int, then: str) -> str:
    return STICK(stick=identity, list=name, count=count, steps="step" if count == 1 else "steps",
                 then=then)


def decode(data: bytes) -> str:
    """The log's text: UTF-16 as the shell writes it (with or without its byte-order mark)."""
    if data.startswith(b"\xff\xfe") or data.startswith(b"\xfe\xff"):
        text = data.decode("utf-16", errors="replace")
    elif len(data) >= 2 and data[1:2] == b"\0":
        text = data.decode("utf-16-le", errors="replace")
    else:
        text = data.decode("utf-8", errors="replace").lstrip("\ufeff")
    return text.replace("\r\n", "\n").replace("\r", "\n")


@dataclasses.dataclass
class Run:
    """What one run's log says."""
    run: int
    unit: str = ""          # the unit id; "" when the log names none
    serial: str = ""
    uuid: str = ""
    bios: str = ""
    date: str = ""
    time: str = ""
    stick: str = ""
    list: str = ""
    passed: int = 0
    total: Optional[int] = None
    result: str = ""
    good: bool = False      # ended ALL DONE or already done
    done_run: Optional[int] = None  # already done: the run that did the list
    ended: bool = False     # the log has the script's end line
    last_step: int = 0      # the last step started (0: none)
    last_status: bool = False  # the last step started has its status line
    received: Optional[float] = None  # a server's log: when the server received it (epoch)
    db: Optional[DbReport] = None  # the db line, where Unit.efi printed one
    db_check: Optional[str] = None  # stick-report --cert: what db holds against the certificate

    latest: bool = False

    @property
    def steps(self) -> str:
        return f"{self.passed}/{'?' if self.total is None else self.total}"


def parse_log(number: int, text: str) -> Run:
    run = Run(number)
    lines = [line.rstrip() for line in text.split("\n")]
    started: Optional[tuple[int, str]] = None  # the last step started: number, command
    status_seen = False  # the last step started has its status line
    end: Optional[tuple[str, bool]] = None  # the end line: its text, whether it is a good end
    header = True
    for line in lines:
        match = STICK.match(line)
        if match and not run.stick:
            run.stick, run.list, run.total = match["stick"], match["list"], int(match["count"])
            continue
        if header and not run.date and DATE.match(line):
            run.date = line
            continue
        if header and not run.time and TIME.match(line):
            run.time = line
            continue
        found = UNIT.match(line)
        if header and found:
            run.unit = found["id"] or ""
            run.serial, run.uuid, run.bios = found["serial"], found["uuid"], found["bios"]
            continue
        db = parse_db(line) if header and run.db is None else None
        if db:
            run.db = db
            continue
        # A step starts after the status line of the one before it: the script never starts
        # a step while the one before has no status.
        match = STEP.match(line)
        if match and (int(match["index"]) == started[0] + 1 and status_seen if started
                      else int(match["index"]) == 1):

            header = False
            started = (int(match["index"]), match["command"])
            status_seen = False
            end = None  # what came before was a program's output, not the script's end
            continue
        match = STATUS.match(line)
        if match and started is not None and int(match["index"]) == started[0]:
            status_seen = True
            if int(match["status"], 16) == 0:
                run.passed += 1
            continue
        # An end line counts only where the script writes one: ALL DONE after the status of
        # the list's last step, FAILED at the step started last, already done before any step.
        # A program's output that looks like one is followed by the script's next line.
        if ALL_DONE.match(line) is not None and started is not None and status_seen and (
                run.total is None or started[0] == run.total):
            end = ("ALL DONE", True)
            continue
        match = FAILED.match(line)
        if match and started is not None and int(match["index"]) == started[0]:
            end = (f"FAILED at step {match['index']} ({match['why']})", False)
            continue
        match = ALREADY.match(line)
        if match and started is None:
            end = (f"already done (run {match['run']})", True)
            run.done_run = int(match["run"])
            continue
        match = FAILED_BEFORE.match(line)
        if match and started is None:
            end = (f"FAILED before step 1 ({match['why']})", False)
            continue
        if line == ALREADY_SERVER and started is None:
            end = ("already done", True)
    run.ended, run.last_status = end is not None, status_seen
    run.last_step = started[0] if started else 0
    if end is not None:
        run.result, run.good = end
    elif started is not None:
        run.result = f"interrupted in step {started[0]} ({started[1]})"
    else:
        run.result = "interrupted before step 1"
    return run
