"""The deployment server's folder: one place for the names that the server's configuration,
its status page and the report of its logs share.

    DIR/www/IMAGE          the image units boot (served read-only)
    DIR/www/status/        the status page (written by the watcher, served read-only)
    DIR/upload/logs/       one log per unit and boot: UNIT.STAMP.txt (PUT by units)
    DIR/upload/records/    one done record per unit: UNIT.txt (PUT by units)
    DIR/nginx/             the server's configuration, pid file, logs and temporary files

A unit reaches the upload folders as PATH relative to the image's folder on the server
("upload/logs/..."; the network image's script names them, so their names are the stick's:
tools/stick/names.py); nothing else takes a PUT.
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Optional

from stick.names import LOGS, RECORDS, UPLOAD_DIR

WWW_DIR = "www"
STATUS_DIR = "status"
NGINX_DIR = "nginx"
IMAGE_NAME = "deploy.img"
# The largest file a unit may send (a log or a record); Net.efi's own limit is the same.
UPLOAD_LIMIT = 1024 * 1024
# The bounds of what units may have sent (files under upload/, and their total size): at
# either the server refuses a new file (HTTP 507) and still takes one that replaces a file.
UPLOADS_MAX = 100_000
UPLOAD_MIB_MAX = 4096
# Kept in nginx/ while the uploads are at a bound (nginx tests for it at each PUT).
FULL_MARK = "uploads-full"

# A unit id as Unit.efi makes it; a stamp is the boot's firmware time, YYYYMMDDhhmmss.
UNIT_ID = r"[A-Za-z0-9._-]{1,64}"
UNIT_NAME = re.compile(UNIT_ID)
LOG_NAME = re.compile(rf"^(?P<unit>{UNIT_ID})\.(?P<stamp>\d{{14}})\.txt$")
# What an upload's file name may be at all (the server's access rule).
UPLOAD_FILE = r"[A-Za-z0-9._-]{1,100}"


def logs_dir(root: Path) -> Path:
    return root / UPLOAD_DIR / LOGS


def records_dir(root: Path) -> Path:
    return root / UPLOAD_DIR / RECORDS


def status_dir(root: Path) -> Path:
    return root / WWW_DIR / STATUS_DIR


def is_server_dir(folder: Path) -> bool:
    return logs_dir(folder).is_dir()


def parse_log_name(name: str) -> Optional[tuple[str, int]]:
    """The unit id and stamp of a log's file name, or None for any other name."""
    match = LOG_NAME.match(name)
    return (match["unit"], int(match["stamp"])) if match else None
