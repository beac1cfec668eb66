"""The nginx configuration of the deployment server: static files and nginx's own PUT, with
access rules only (no program of ours answers a request).

- / serves DIR/www (the image and the status page): GET and HEAD only.
- /upload/ serves DIR/upload: GET and HEAD; PUT only of a flat file name directly under
  upload/logs/ or upload/records/, at most UPLOAD_LIMIT bytes, written by nginx to a temporary
  file and renamed into place (a reader never sees half a file; no folder is created); while
  nginx/FULL_MARK exists, a PUT of a file that is not there yet is refused with 507.
- Started as root, the workers run as the given user and its group (deploy/folder.py).
"""

from __future__ import annotations

from pathlib import Path
from typing import Optional, Sequence

from deploy import access, layout
from deploy.folder import Worker

# How long a stop waits for requests in progress before it closes their connections.
SHUTDOWN_SECONDS = 10

# With TLS, a second access log (nginx/TLS_LOG) tells each request's protocol and suite; the
# status page reads the first one, whose format stays the same.
TLS_LOG = "tls.log"
TLS_LOG_FORMAT = ('$remote_addr [$time_local] "$request" $status $body_bytes_sent '
                  '$ssl_protocol $ssl_cipher')


def quote(text: str) -> str:
    """A value for the configuration: in double quotes, with the quote and backslash escaped."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def listen_address(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def server(root: Path, listen: str, options: Sequence[str] = ()) -> list[str]:
    """A server block: listen is the listen directive's value ("ADDRESS:PORT", with " ssl"
    for TLS), options more directives of the block (a certificate and its key)."""
    upload = f"^/{layout.UPLOAD_DIR}/({layout.LOGS}|{layout.RECORDS})/{layout.UPLOAD_FILE}$"
    full = root / layout.NGINX_DIR / layout.FULL_MARK
    return [
        "    server {",
        f"        listen {listen};",
        *(f"        {option}" for option in options),
        "        location / {",
        f"            root {quote(str(root / layout.WWW_DIR))};",
        "            limit_except GET { deny all; }",
        "        }",
        f"        location /{layout.UPLOAD_DIR}/ {{",
        f"            root {quote(str(root))};",
        "            limit_except GET { deny all; }",
        f"            location ~ {quote(upload)} {{",
        f"                root {quote(str(root))};",
        "                dav_methods PUT;",
        "                create_full_put_path off;",
        "                dav_access user:rw group:r all:r;",
        f"                client_max_body_size {layout.UPLOAD_LIMIT};",
        "                limit_except GET PUT { deny all; }",
        "                set $upload \"\";",
        f"                if (-f {quote(str(full))}) {{ set $upload \"full\"; }}",
        "                if (!-f $request_filename) { set $upload \"${upload}+new\"; }",
        "                if ($upload = \"full+new\") { return 507; }",
        "            }",
        "        }",
        "    }",
    ]


def configuration(root: Path, host: str, port: int, worker: Optional[Worker],
                  tls: Optional[Sequence[str]] = None) -> str:
    """With tls (the server block's TLS directives, deploy.tls), the server speaks only HTTPS."""
    root = root.resolve()
    nginx_dir = root / layout.NGINX_DIR
    lines = [
        "# Written by tools/deploy-server; rewritten at every start.",
        f"user {worker.user} {worker.group};" if worker else "",
        "worker_processes 2;",
        f"worker_shutdown_timeout {SHUTDOWN_SECONDS}s;",
        "daemon off;",
        "master_process on;",
        f"pid {quote(str(nginx_dir / 'nginx.pid'))};",
        f"error_log {quote(str(nginx_dir / 'error.log'))} warn;",
        "events { worker_connections 1024; }",
        "http {",
        "    types { application/octet-stream img; text/html html; text/plain txt; }",
        "    default_type application/octet-stream;",
        f"    log_format {access.NAME} escape=default {quote(access.FORMAT)};",
        f"    access_log {quote(str(nginx_dir / 'access.log'))} {access.NAME};",
        f"    log_format tls {quote(TLS_LOG_FORMAT)};" if tls else "",
        f"    access_log {quote(str(nginx_dir / TLS_LOG))} tls;" if tls else "",
        f"    client_body_temp_path {quote(str(nginx_dir / 'body'))};",
        f"    proxy_temp_path {quote(str(nginx_dir / 'proxy'))};",
        f"    fastcgi_temp_path {quote(str(nginx_dir / 'fastcgi'))};",
        f"    uwsgi_temp_path {quote(str(nginx_dir / 'uwsgi'))};",
        f"    scgi_temp_path {quote(str(nginx_dir / 'scgi'))};",
        "    server_tokens off;",
        "    autoindex off;",
        "    client_max_body_size 0;",
        *server(root, listen_address(host, port) + (" ssl" if tls else ""), tls or ()),
        "}",
    ]
    return "\n".join(line for line in lines if line) + "\n"
