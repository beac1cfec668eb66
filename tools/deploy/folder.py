"""Who owns what in the deployment server's folder, and how the server writes and reads there.

Started as root, the server keeps DIR, www/ (the image, the status page) and nginx/ (the
configuration, nginx's logs and temporary files) root's and writable by root alone, and nginx's
workers run as an unprivileged user and group of their own (WORKER unless told otherwise) that
own only upload/ and the two folders in it. Started as any other user, everything is that
user's, the workers included. Either way DIR and every folder above it must belong to the user
who starts the server or to root and be writable by no one else (a folder above may be a
sticky one such as /tmp), so no other user can put a link where the server writes. The server
writes a file under a new name that no link can hold and renames it into place, and reads what
units send without following links and up to a limit.
"""

from __future__ import annotations

import dataclasses
import errno
import grp
import os
import pwd
import stat
import subprocess
import tempfile
from pathlib import Path
from typing import Callable, Optional

from deploy import layout

# The workers' own account, made (a system user with a group of its own, no home, no login)
# when it is missing.
WORKER = "deploy-upload"
FOLDER_MODE = 0o755


class FolderError(Exception):
    pass


@dataclasses.dataclass
class Worker:
    """The account nginx's workers run as when the server is started as root."""
    user: str
    group: str
    uid: int
    gid: int


def owner_name(uid: int) -> str:
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return f"uid {uid}"


def worker_account(name: Optional[str], say: Optional[Callable[[str], None]]) -> \
        Optional[Worker]:
    """The workers' account: started as root, name or WORKER (made when it is missing, name
    was not given and say tells whom); else None, and name must be None."""
    if os.geteuid() != 0:
        if name is not None:
            raise FolderError("--user takes effect only when the server is started as root")
        return None
    try:
        entry = pwd.getpwnam(name or WORKER)
    except KeyError:
        if name is not None:
            raise FolderError(f"no user {name}") from None
        if say is None:
            return Worker(WORKER, WORKER, -1, -1)
        made = subprocess.run(["useradd", "--system", "--user-group", "--home-dir",
                               "/nonexistent", "--no-create-home", "--shell",
                               "/usr/sbin/nologin", WORKER], capture_output=True, text=True)
        if made.returncode != 0:
            raise FolderError(f"cannot make the user {WORKER}: {made.stderr.strip()}")
        say(f"made the system user {WORKER} (a group of its own, no home, no login) for "
            "nginx's workers")
        entry = pwd.getpwnam(WORKER)
    if entry.pw_uid == 0 or entry.pw_gid == 0:
        raise FolderError(f"nginx's workers never run as root or root's group: {entry.pw_name}")
    return Worker(entry.pw_name, grp.getgrgid(entry.pw_gid).gr_name, entry.pw_uid,
                  entry.pw_gid)


def check_folder(path: Path, info: os.stat_result, worker: Optional[Worker],
                 above: bool = False) -> None:
    """A folder the server writes in (or one above it): a real folder of the server's user or
    root, writable by no one else; started as root, one the workers can pass through."""
    if not stat.S_ISDIR(info.st_mode):
        raise FolderError(f"{path} is not a folder (a link or a file)")
    if info.st_uid not in (0, os.geteuid()):
        owners = "root's" if os.geteuid() == 0 else f"{owner_name(os.geteuid())}'s or root's"
        raise FolderError(f"{path} belongs to {owner_name(info.st_uid)}: the server's folder "
                          f"and the folders above it must be {owners}, writable by no one "
                          f"else (or start the server as {owner_name(info.st_uid)})")
    if info.st_mode & 0o022 and not (above and info.st_mode & stat.S_ISVTX):
        raise FolderError(f"{path} is writable by others (mode {stat.S_IMODE(info.st_mode):o})")
    if worker is not None and not info.st_mode & 0o001:
        raise FolderError(f"nginx's workers (user {worker.user}) cannot reach {path} (mode "
                          f"{stat.S_IMODE(info.st_mode):o}): it needs o+x")


def own_folder(path: Path, uid: int, gid: int) -> None:
    """Makes path (when missing) a folder of uid and gid, mode FOLDER_MODE, never through a
    link."""
    try:
        os.mkdir(path, FOLDER_MODE)
    except FileExistsError:
        pass
    try:
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    except OSError as error:
        raise FolderError(f"{path} is not a folder: {why(error)}") from None
    try:
        if os.geteuid() == 0:
            os.fchown(fd, uid, gid)
        os.fchmod(fd, FOLDER_MODE)
    finally:
        os.close(fd)


def prepare(root: Path, worker: Optional[Worker]) -> None:
    """Checks DIR and the folders above it, and makes or checks the server's folders: www/,
    www/status/ and nginx/ the server's own, upload/ and its folders the workers'."""
    for above in reversed(root.parents):
        check_folder(above, above.lstat(), worker, above=True)
    try:
        root.mkdir(FOLDER_MODE)
    except FileExistsError:
        pass
    mine = [root, root / layout.WWW_DIR, layout.status_dir(root), root / layout.NGINX_DIR]
    for folder in mine:
        if folder != root:
            try:
                folder.mkdir(FOLDER_MODE)
            except FileExistsError:
                pass
        check_folder(folder, folder.lstat(), worker)
    # nginx, as root, opens its logs and pid file and makes its temporary folders there.
    for entry in os.scandir(root / layout.NGINX_DIR):
        if entry.is_symlink():
            raise FolderError(f"{entry.path} is a link: remove it (nginx would write through it)")
    uid, gid = (worker.uid, worker.gid) if worker else (os.geteuid(), os.getegid())
    for folder in (root / layout.UPLOAD_DIR, layout.logs_dir(root), layout.records_dir(root)):
        own_folder(folder, uid, gid)


def write_file(path: Path, data: bytes, mode: int = 0o644) -> None:
    """Writes path whole under a new name in its folder (made with O_EXCL and O_NOFOLLOW) and
    renames it into place: a reader sees the old file or the new one, and a link at path is
    replaced, never written through."""
    fd, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.")
    try:
        with os.fdopen(fd, "wb") as out:
            os.fchmod(out.fileno(), mode)
            out.write(data)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def why(error: OSError) -> str:
    if error.errno == errno.ELOOP:
        return "a link (not followed)"
    return error.strerror or str(error)


def read_upload(path: Path, limit: int = layout.UPLOAD_LIMIT) -> bytes:
    """A file units sent: a regular file, read without following a link and without waiting
    on a pipe; raises OSError, also for a file larger than limit."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise OSError(errno.EINVAL, "not a plain file")
        # Its size as it was; it may grow while read.
        data = os.read(fd, min(info.st_size, limit) + 1)
        while len(data) <= limit:
            chunk = os.read(fd, min(65536, limit + 1 - len(data)))
            if not chunk:
                return data
            data += chunk
        raise OSError(errno.EFBIG, f"larger than {limit} bytes")
    finally:
        os.close(fd)
