"""The runs in a deployment server's folder: one log per unit and boot (upload/logs/), each
judged with the unit's done record there (upload/records/), in the stick report's rows; and the
runs of whatever stick-report is given, a server's folder or a stick's."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Optional

from deploy import folder, layout, record
from stick import log, report
from stick.log import Run
from stick.names import upload_record
from stick.report import ReportError, mark_latest, rank


def server_log(path: Path, received: float) -> Optional[Run]:
    """A log in a server's folder (None for any other file), received at that time, under the
    unit its name gives; a log that cannot be read, or whose unit line names another unit, is
    a failure that says so."""
    named = layout.parse_log_name(path.name)
    if named is None:
        return None
    try:
        run = log.parse_log(named[1], log.decode(folder.read_upload(path)))
    except OSError as error:
        run = Run(named[1], result=f"unreadable log: {folder.why(error)}", ended=True)
    why = (f"the log of {named[0]} names unit {run.unit}" if run.unit not in ("", named[0])
           else "not a log the image's script wrote (no stick line)" if not run.ended and
           not run.stick else "")
    if why:
        run.good, run.ended, run.result = False, True, f"FAILED: {why}"
    run.unit, run.received = named[0], received
    return run


def server_record(path: Path) -> Optional[str]:
    """The text of a done record on the server, None without one, "" for a file that cannot
    be read or is too large to be one."""
    try:
        return folder.read_upload(path, record.SIZE_MAX).decode("latin-1")
    except FileNotFoundError:
        return None
    except OSError:
        return ""


def judge_server_run(run: Run, record_text: Optional[str]) -> None:
    """A server log's verdict in the network image's words. A boot that ended done (ALL DONE,
    already done) counts only where the unit's done record on the server names the unit and
    the image; a log without the script's end line tells after which step the unit fell silent
    (the server has the log sent after that step)."""
    values = record.parse(record_text) if record_text else None
    ours = record.names(values, run.unit, run.stick, run.serial, run.uuid)
    if run.ended:
        if run.good and not ours:
            run.good = False
            run.result = f"FAILED: {run.result}, but " + (
                "no done record of this unit is on the server" if record_text is None else
                "the done record on the server is not one Unit.efi wrote" if values is None
                else f"the done record on the server is of another image (stick "
                     f"{values['stick']})" if values["stick"] != run.stick
                else f"the done record on the server names another unit (serial "
                     f"\"{values['serial']}\", uuid {values['uuid']})")
        return
    if run.last_step and not run.last_status:
        return  # interrupted in a step: the log was sent while the step ran
    passed = run.last_step == run.total and run.passed == run.total
    if passed and ours:
        run.good, run.result = True, "ALL DONE (its record arrived, its last log did not)"
    elif passed:
        run.result = (f"all {run.total} steps passed, but no done record arrived: the unit "
                      "would run the list again")
    else:
        after = f"step {run.last_step}" if run.last_step else "its first log"
        run.result = (f"silent after {after}: step {run.last_step + 1} did not end, or its "
                      "log was not sent")


def read_server_runs(root: Path) -> list[Run]:
    """The runs in a deployment server's folder: one log per unit and boot, the boot's stamp
    (the unit's clock) as the run number, ranked by when the server received them."""
    runs = []
    with os.scandir(layout.logs_dir(root)) as entries:
        for entry in entries:
            try:
                received = entry.stat(follow_symlinks=False).st_ctime
            except OSError:
                continue  # gone since the listing
            run = server_log(Path(entry.path), received)
            if run is not None:
                runs.append(run)
    records: dict[str, Optional[str]] = {}
    for run in runs:
        if run.unit not in records:
            records[run.unit] = server_record(root / upload_record(run.unit))
        judge_server_run(run, records[run.unit])
    runs.sort(key=lambda r: (rank(r), r.unit))
    mark_latest(runs)
    return runs


def runs_of(source: Path) -> list[Run]:
    """The runs in a deployment server's folder, or else those logged on a stick image or in
    a folder (stick.report.runs_of); raises ReportError or OSError."""
    if source.is_dir() and layout.is_server_dir(source):
        runs = read_server_runs(source)
        if not runs:
            raise ReportError(f"no logs in {layout.logs_dir(source)}")
        return runs
    return report.runs_of(source)
