"""The nginx configuration of the deployment server: static files and nginx's own PUT, with
access rules only (no program of ours answers a request).

- / serves DIR/www (the image and the status page): GET and HEAD only.
- /upload/ serves DIR/upload: GET and HEAD; PUT only of a flat file name directly under
  upload/logs/ or upload/records/, at most UPLOAD_LIMIT bytes, written by nginx to a temporary
  file and renamed into place (a reader never sees half a file; no folder is created).
"""

from __future__ import annotations

from pathlib import Path

from deploy import layout

# The access log's format when the server speaks TLS: each request's protocol and suite.
TLS_LOG_FORMAT = ('$remote_addr [$time_local] "$request" $status $body_bytes_sent '
                  '$ssl_protocol $ssl_cipher')


def quote(text: str) -> str:
    """A value for the configuration: in double quotes, with the quote and backslash escaped."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def configuration(root: Path, host: str, port: int, user: str | None,
                  tls: list[str] | None = None) -> str:
    """With tls (the server block's TLS lines, deploy.tls), the server speaks only HTTPS."""
    root = root.resolve()
    nginx_dir = root / layout.NGINX_DIR
    upload = f"^/{layout.UPLOAD_DIR}/({layout.LOGS}|{layout.RECORDS})/{layout.UPLOAD_FILE}$"
    listen = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    lines = [
        "# Written by tools/deploy-server; rewritten at every start.",
        f"user {user};" if user else "",
        "worker_processes 2;",
        "daemon off;",
        "master_process on;",
        f"pid {quote(str(nginx_dir / 'nginx.pid'))};",
        f"error_log {quote(str(nginx_dir / 'error.log'))} warn;",
        "events { worker_connections 1024; }",
        "http {",
        "    types { application/octet-stream img; text/html html; text/plain txt; }",
        "    default_type application/octet-stream;",
        f"    log_format tls {quote(TLS_LOG_FORMAT)};" if tls else "",
        f"    access_log {quote(str(nginx_dir / 'access.log'))}{' tls' if tls else ''};",
        f"    client_body_temp_path {quote(str(nginx_dir / 'body'))};",
        f"    proxy_temp_path {quote(str(nginx_dir / 'proxy'))};",
        f"    fastcgi_temp_path {quote(str(nginx_dir / 'fastcgi'))};",
        f"    uwsgi_temp_path {quote(str(nginx_dir / 'uwsgi'))};",
        f"    scgi_temp_path {quote(str(nginx_dir / 'scgi'))};",
        "    server_tokens off;",
        "    autoindex off;",
        "    client_max_body_size 0;",
        "    server {",
        f"        listen {listen}{' ssl' if tls else ''};",
        *(tls or []),
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
        "            }",
        "        }",
        "    }",
        "}",
    ]
    return "\n".join(line for line in lines if line) + "\n"
