"""The report of a stick's logs: one row per \\logs\\runN.txt, read from a stick image or a
folder, as a table, CSV or JSON; with the site's certificate, a column of what each unit's db
holds under its owner GUID."""

from __future__ import annotations

import csv
import datetime
import json
import tempfile
from pathlib import Path
from typing import IO

from stick import image, log, signing
from stick.names import LOG_DIR
from stick.log import Run

FIELDS = ("latest", "run", "unit", "serial", "uuid", "bios", "date", "time", "stick", "list",
          "steps", "result")
HEADINGS = ("", "run", "unit", "serial", "uuid", "BIOS", "date", "time", "stick", "run list",
            "steps", "result")


# Runs are ranked by number: the script numbers each run after the highest log on the stick,
# so the numbers follow the order in which the runs started.
LATEST_NOTE = "* the latest run of its unit (the highest run number: runs are numbered in order)"
# On a deployment server a unit's boots are ranked by when the server received their logs (the
# time a log file last changed, which only the server sets), never by the unit's clock in the
# log's name (its run number here): a clock reset must not hide a newer boot.
SERVER_NOTE = "* the latest boot of its unit (the one the server received last)"
RECEIVED = ("received", "received (UTC)")
# A cell that a spreadsheet would take as a formula gets a leading ' and shows as text.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


class ReportError(Exception):
    pass


def utc(when: float) -> str:
    return datetime.datetime.fromtimestamp(when, datetime.timezone.utc).strftime(
        "%Y-%m-%d %H:%M:%S")


def row(run: Run) -> dict:
    cells = {"latest": run.latest, "run": run.run, "unit": run.unit or "none",
             "serial": run.serial, "uuid": run.uuid, "bios": run.bios, "date": run.date,
             "time": run.time, "stick": run.stick, "list": run.list, "steps": run.steps,
             "result": run.result}
    if run.received is not None:
        cells[RECEIVED[0]] = utc(run.received)
    if run.db_check is not None:
        cells["db"] = run.db_check
    return cells


def db_check(db: log.DbReport | None, site: str, owner: str) -> tuple[str, bool]:
    """What a unit's db holds under the site's owner GUID, against the site certificate's
    fingerprint: the text of the db column, and whether it is exactly that certificate."""
    if db is None:
        return "no db line in the log", False
    if db.owner != owner:
        return f"the db line is for another owner GUID ({db.owner}, not {owner})", False
    if db.why is not None:
        return f"db not read ({db.why})", False
    hidden = db.certificates - len(db.shown)
    found = []
    if site not in db.shown:
        found.append("the site certificate is not among those shown" if hidden
                     else "LACKS the site certificate")
    others = [shown for shown in db.shown if shown != site]
    if others or hidden:
        found.append("holds another certificate under the site's GUID: " + " ".join(others)
                     + (f" and {hidden} more" if hidden else ""))
    if db.mine:
        found.append(f"holds {db.mine} other entr{'y' if db.mine == 1 else 'ies'} under the "
                     "site's GUID")
    return ("; ".join(found), False) if found else ("site certificate", True)


def check_certificate(runs: list[Run], der: bytes, owner: str) -> None:
    """stick-report --cert: each run's db column; a run whose db does not hold exactly the
    site certificate (DER) under the site's owner GUID no longer counts as ended well."""
    site = signing.fingerprint(der)
    for run in runs:
        run.db_check, good = db_check(run.db, site, owner)
        run.good = run.good and good


def columns(runs: list[Run]) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The fields and headings: a server's logs also have the time each was received, and a
    --cert check adds the db column."""
    fields, headings = FIELDS, HEADINGS
    if any(run.received is not None for run in runs):
        fields, headings = fields + RECEIVED[:1], headings + RECEIVED[1:]
    if any(run.db_check is not None for run in runs):
        fields, headings = fields + ("db",), headings + ("db",)
    return fields, headings


def mark_latest(runs: list[Run]) -> None:
    """Marks the latest run of each unit. A unit is its id, serial number and UUID together:
    two units whose ids meet (serial numbers that differ in surrounding blanks, logs of
    sticks with the older id rule) stay apart."""
    latest: dict[tuple[str, str, str], Run] = {}
    for run in runs:
        unit = (run.unit, run.serial, run.uuid)
        if not run.unit:
            run.latest = True
        elif unit not in latest or rank(run) > rank(latest[unit]):
            latest[unit] = run

    for run in latest.values():
        run.latest = True


def rank(run: Run) -> tuple:
    """A stick's runs by number; a server's logs by when they were received."""
    return (run.received or 0.0, run.run)


def logs_of_image(stick: Path, into: Path) -> Path:
    try:
        image.copy_out(stick, LOG_DIR, into, f"read \\{LOG_DIR} of {stick}")
    except image.ImageError as error:
        raise ReportError(str(error)) from None
    folder = into / LOG_DIR
    if not folder.is_dir():
        raise ReportError(f"cannot read \\{LOG_DIR} of {stick}: no \\{LOG_DIR} folder")
    return folder


def logs_of_folder(folder: Path) -> Path:
    for entry in sorted(folder.iterdir()):
        if entry.name.lower() == LOG_DIR and entry.is_dir():
            return entry
    if any(log.RUN_NAME.match(entry.name) for entry in folder.iterdir()):
        return folder
    raise ReportError(f"{folder} holds no logs folder and no runN.txt")


def read_runs(logs: Path) -> list[Run]:
    runs = []
    for entry in logs.iterdir():
        match = log.RUN_NAME.match(entry.name)
        if match and entry.is_file():
            runs.append(log.parse_log(int(match.group(1)), log.decode(entry.read_bytes())))
    if not runs:
        raise ReportError(f"no runN.txt in {logs}")
    runs.sort(key=lambda r: r.run)
    check_done_runs(runs)
    mark_latest(runs)
    return runs


def check_done_runs(runs: list[Run]) -> None:
    """A run that found this unit done counts only where the run its record names logged the
    same unit (serial number and UUID) on the same stick; else it is a failure: the record
    belongs to another unit, or to no run on the stick."""
    by_number = {run.run: run for run in runs}
    for run in runs:
        if run.done_run is None:
            continue
        done = by_number.get(run.done_run)
        if done is None:
            why = "whose log is not on the stick"
        elif (done.serial, done.uuid, done.stick) != (run.serial, run.uuid, run.stick):
            why = f'which logged another unit (serial "{done.serial}", uuid {done.uuid})'
        else:
            continue
        run.good = False
        run.result = f"FAILED: already done in run {run.done_run}, {why}"


def runs_of(source: Path) -> list[Run]:
    """The runs logged on a stick image or in a folder; raises ReportError or OSError."""
    with tempfile.TemporaryDirectory(prefix="stick-report-") as tmp:
        if source.is_dir():
            return read_runs(logs_of_folder(source))
        if source.is_file():
            try:
                return read_runs(logs_of_image(source, Path(tmp)))
            except image.ImageError as error:
                raise ReportError(str(error)) from None
        raise ReportError(f"{source} is neither a stick image nor a folder")


def table(runs: list[Run]) -> str:
    fields, headings = columns(runs)
    rows = [list(headings)]
    for run in runs:
        cells = row(run)
        rows.append(["*" if run.latest else ""] + [str(cells[f]) for f in fields[1:]])
    widths = [max(len(r[i]) for r in rows) for i in range(len(headings))]
    text = ["  ".join(cell.ljust(width) for cell, width in zip(r, widths)).rstrip()
            for r in rows]
    text.append(SERVER_NOTE if RECEIVED[0] in fields else LATEST_NOTE)
    return "\n".join(text) + "\n"


def write(runs: list[Run], out: IO[str], form: str = "table") -> None:
    """Writes the rows as a table, "csv" or "json"."""
    if form == "json":
        json.dump([row(run) for run in runs], out, indent=2)
        out.write("\n")
    elif form == "csv":
        writer = csv.DictWriter(out, fieldnames=columns(runs)[0], lineterminator="\n")
        writer.writeheader()
        for run in runs:
            cells = row(run)
            cells["latest"] = "yes" if run.latest else "no"
            writer.writerow({field: f"'{value}" if str(value).startswith(FORMULA_STARTS)
                             else value for field, value in cells.items()})
    else:
        out.write(table(runs))


def verdict(runs: list[Run]) -> int:
    """0 when every unit's latest run ended well, else 1."""
    return 0 if all(run.good for run in runs if run.latest) else 1
