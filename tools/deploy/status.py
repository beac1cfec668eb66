"""The status page of the deployment server: one row per unit from the logs units send, read
with the stick report's parser; written as a static file that nginx serves, by a watcher that
runs beside the server (never in a request)."""

from __future__ import annotations

import datetime
import html
import os
import threading
from pathlib import Path

from deploy import layout
from stick import report

PAGE = "index.html"
COLUMNS = ("unit", "serial", "step reached", "result", "last log (UTC)")


def page(root: Path) -> str:
    runs = [run for run in report.read_server_runs(root) if run.latest]
    times = {}
    for entry in layout.logs_dir(root).iterdir():
        named = layout.parse_log_name(entry.name)
        if named:
            times[named] = entry.stat().st_mtime
    rows = []
    for run in sorted(runs, key=lambda r: r.unit):
        stamp = times.get((run.unit, run.run))
        last = "" if stamp is None else datetime.datetime.fromtimestamp(
            stamp, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")
        cells = (run.unit or "none", run.serial, run.steps, run.result, last)
        style = ' class="good"' if run.good else ""
        rows.append(f"<tr{style}>" + "".join(f"<td>{html.escape(c)}</td>" for c in cells)
                    + "</tr>")
    done = sum(1 for run in runs if run.good)
    head = "".join(f"<th>{html.escape(c)}</th>" for c in COLUMNS)
    return "\n".join([
        "<!DOCTYPE html>",
        '<html><head><meta charset="utf-8"><meta http-equiv="refresh" content="10">',
        "<title>Deployment status</title>",
        "<style>body{font-family:sans-serif}td,th{padding:2px 8px;text-align:left}"
        "tr.good td{color:#060}</style></head><body>",
        f"<h1>Deployment status</h1><p>{len(runs)} units, {done} done</p>",
        f"<table><tr>{head}</tr>",
        *rows,
        "</table></body></html>",
    ]) + "\n"


def write_page(root: Path) -> None:
    """Writes the page whole: a reader gets the old page or the new one."""
    folder = layout.status_dir(root)
    folder.mkdir(parents=True, exist_ok=True)
    temporary = folder / f".{PAGE}.tmp"
    temporary.write_text(page(root), encoding="utf-8")
    os.chmod(temporary, 0o644)
    os.replace(temporary, folder / PAGE)


def snapshot(root: Path) -> tuple:
    """What changes when a unit reports: the logs' names, sizes and times."""
    try:
        with os.scandir(layout.logs_dir(root)) as entries:
            return tuple(sorted((e.name, e.stat().st_size, e.stat().st_mtime_ns)
                                for e in entries))
    except OSError:
        return ()


def watch(root: Path, stop: threading.Event, interval: float = 2.0) -> None:
    """Rewrites the page whenever the logs change, until stop is set."""
    seen = None
    while not stop.is_set():
        now = snapshot(root)
        if now != seen:
            write_page(root)
            seen = now
        stop.wait(interval)
