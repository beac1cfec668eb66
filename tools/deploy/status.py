"""The status page of the deployment server (www/status/index.html): one row per unit, its
latest boot as the server received it, read with the stick report's parser and judged with the
unit's done record; then the units that fetched the image and never sent a log (from nginx's
access log). Written as a static file that nginx serves, by deploy-server between requests
(never in one).

The page is rebuilt from what it kept: a log is parsed again only when its file changed (its
inode, size or times), a record read again likewise, the access log read from where it stopped.
Each update also counts the uploads and keeps nginx/FULL_MARK while they are at a bound.
"""

from __future__ import annotations

import dataclasses
import html
import os
import time
from pathlib import Path
from typing import Callable, Optional

from deploy import access, folder, layout, serverruns
from stick import report
from stick.log import Run

PAGE = "index.html"
COLUMNS = ("unit", "serial", "steps passed", "result", "boot (unit's clock)",
           "last log received (UTC)")
# Changes within this time of a scan may share a folder's times (they have a coarse clock).
SETTLED_NS = 2 * 10 ** 9


def clock(stamp: int) -> str:
    """A log name's stamp, YYYYMMDDhhmmss, as the unit's clock said it."""
    text = f"{stamp:014}"
    return f"{text[:4]}-{text[4:6]}-{text[6:8]} {text[8:10]}:{text[10:12]}:{text[12:]}"


def cells(values: tuple, style: str = "") -> str:
    return f"<tr{style}>" + "".join(f"<td>{html.escape(str(v))}</td>" for v in values) + "</tr>"


@dataclasses.dataclass
class Uploads:
    files: int = 0
    size: int = 0


class Status:
    def __init__(self, root: Path, max_files: int = layout.UPLOADS_MAX,
                 max_mib: int = layout.UPLOAD_MIB_MAX):
        self.root = root
        self.max_files, self.max_mib = max_files, max_mib
        self.logs: dict[str, tuple[tuple, Optional[Run]]] = {}
        self.records: dict[str, tuple[tuple, Optional[str]]] = {}
        # Each upload folder's times at its last scan (None: too recent to trust) and count.
        self.folders: dict[Path, tuple[Optional[tuple], Uploads]] = {}
        # Each latest log's row: its and its record's keys, unit, whether done, the row.
        self.made: dict[str, tuple[tuple, str, bool, str]] = {}
        self.access = access.AccessLog(root / layout.NGINX_DIR / "access.log")
        self.seen: tuple = ()
        self.full: Optional[bool] = None  # None: the mark not yet set or cleared

    def scan(self, where: Path, cache: dict, read: Callable[[Path, os.stat_result], object],
             uploads: Uploads) -> None:
        """Reads again the files of a folder that changed since the last scan (read gives
        what to keep of one), forgets those gone, and counts them all. nginx puts each upload
        in place by a rename, which changes the folder's times: a folder whose times are as
        at the last scan, and older than SETTLED_NS then (so no change can share them), is
        not listed again."""
        info = os.stat(where)
        stamp = (info.st_mtime_ns, info.st_ctime_ns)
        if self.folders.get(where, (None,))[0] == stamp:
            uploads.files += self.folders[where][1].files
            uploads.size += self.folders[where][1].size
            return
        settled = time.time_ns() - max(stamp) > SETTLED_NS
        counted = Uploads()
        names = set()
        with os.scandir(where) as entries:
            for entry in entries:
                try:
                    info = entry.stat(follow_symlinks=False)
                except OSError:
                    continue  # gone since the listing
                counted.files += 1
                counted.size += info.st_size
                names.add(entry.name)
                key = (info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)
                if cache.get(entry.name, (None,))[0] != key:
                    cache[entry.name] = (key, read(Path(entry.path), info))
        for name in cache.keys() - names:
            del cache[name]
        self.folders[where] = ((stamp if settled else None), counted)
        uploads.files += counted.files
        uploads.size += counted.size

    def update(self, now: Optional[float] = None) -> bool:
        """Takes in what changed; writes the page when anything on it did. Returns whether it
        wrote the page."""
        now = time.time() if now is None else now
        started = time.perf_counter()
        uploads = Uploads()
        self.scan(layout.logs_dir(self.root), self.logs,
                  lambda path, info: serverruns.server_log(path, info.st_ctime), uploads)
        self.scan(layout.records_dir(self.root), self.records,
                  lambda path, info: serverruns.server_record(path), uploads)
        self.access.update()
        silent = self.access.never_reported(now)
        self.bound(uploads)
        seen = (tuple(key for key, _ in self.logs.values()),
                tuple(key for key, _ in self.records.values()),
                tuple((address, dataclasses.astuple(boot)) for address, boot in silent), self.full)
        if seen == self.seen:
            return False
        text = self.page(silent, uploads, now, started)
        folder.write_file(layout.status_dir(self.root) / PAGE, text.encode())
        self.seen = seen
        return True

    def bound(self, uploads: Uploads) -> None:
        """Keeps nginx/FULL_MARK while the uploads are at a bound, and only then."""
        full = uploads.files >= self.max_files or uploads.size >= self.max_mib * 1024 * 1024
        mark = self.root / layout.NGINX_DIR / layout.FULL_MARK
        if full and self.full is not True:
            folder.write_file(mark, b"")
        elif not full and self.full is not False:
            mark.unlink(missing_ok=True)  # also one a previous run left
        self.full = full

    def rows(self) -> tuple[list[str], int]:
        """The rows of each unit's latest boot (by arrival) in the order of the units, judged
        with the unit's record as it is now, and how many of them are done. A row is made
        again only when its log or the record changed."""
        runs = []
        for name, (key, run) in self.logs.items():
            if run is not None:
                run.latest = False
                runs.append((name, key, run))
        report.mark_latest([run for _, _, run in runs])
        made = {}
        for name, key, run in runs:
            if not run.latest:
                continue
            record_key, record = self.records.get(f"{run.unit}.txt", (None, None))
            row = self.made.get(name)
            if row is None or row[0] != (key, record_key):
                judged = dataclasses.replace(run)
                serverruns.judge_server_run(judged, record)
                row = ((key, record_key), run.unit, judged.good, cells(
                    (run.unit, run.serial, run.steps, judged.result, clock(run.run),
                     report.utc(run.received)), ' class="good"' if judged.good else ""))
            made[name] = row
        self.made = made
        ordered = sorted(made.values(), key=lambda row: row[1])
        return [row[3] for row in ordered], sum(row[2] for row in ordered)

    def page(self, silent: list[tuple[str, access.Boot]], uploads: Uploads, now: float,
             started: float) -> str:
        rows, done = self.rows()
        lost = [cells((address, boot.unit or "(did not ask for its record)",
                       report.utc(boot.fetched),
                       f"its log was refused (HTTP {boot.refused})" if boot.refused
                       else "no log arrived"))
                for address, boot in silent]
        full = (f'<p class="bad">The uploads are at their bound ({uploads.files} files of at '
                f"most {self.max_files}, {uploads.size / 2 ** 20:.0f} MiB of at most "
                f"{self.max_mib}): a new log or record is refused (HTTP 507) until files are "
                "moved out of the server's upload folder.</p>") if self.full else ""
        head = "".join(f"<th>{html.escape(c)}</th>" for c in COLUMNS)
        return "\n".join([
            "<!DOCTYPE html>",
            '<html><head><meta charset="utf-8"><meta http-equiv="refresh" content="10">',
            "<title>Deployment status</title>",
            "<style>body{font-family:sans-serif}td,th{padding:2px 8px;text-align:left;"
            "white-space:nowrap}td:nth-child(4){white-space:normal}tr.good td{color:#060}"
            ".bad{color:#a00}</style></head><body>",
            f"<h1>Deployment status</h1><p>{len(rows)} units reported, {done} done, "
            f"{len(rows) - done} not done; {len(silent)} booted the image and never "
            "reported</p>", full,
            f"<table><tr>{head}</tr>", *rows, "</table>",
            f"<h2>Booted the image, never reported ({len(silent)})</h2>",
            f"<p>Fetched the image at least {access.NEVER_REPORTED // 60} minutes ago and sent "
            "no log since: a wrong server URL in the image, or the network down after the "
            "boot. The unit's console says why.</p>",
            "<table><tr><th>address</th><th>unit (its record asked for)</th>"
            "<th>image fetched (UTC)</th><th>why</th></tr>", *lost, "</table>",
            f"<p>{uploads.files} uploads, {uploads.size / 2 ** 20:.1f} MiB. Rebuilt "
            f"{report.utc(now)} UTC in {time.perf_counter() - started:.2f} s.</p>",
            "</body></html>",
        ]) + "\n"
