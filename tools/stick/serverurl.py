"""The server URL a network image may name (make-stick --server): Net.efi's rules
(IsServerUrl in Applications/Net/Url.cpp), kept here once for the Python tools, so that
make-stick refuses what every unit would refuse at its first request."""

from __future__ import annotations

import re
from typing import Optional

# Net.efi's NET_URL_MAX: a URL is shorter.
URL_MAX = 512
# The schemes Net.efi speaks.
SCHEMES = ("http://", "https://")
_PARTS = re.compile(r"(?P<host>[^:/]*)(?::(?P<port>[^/]*))?(?P<rest>/.*)?", re.DOTALL)


def problem(url: str) -> Optional[str]:
    """Why Net.efi would refuse the URL as its server's, or None when it takes it."""
    scheme = next((scheme for scheme in SCHEMES if url.startswith(scheme)), None)
    if scheme is None:
        return f"it does not begin with {' or '.join(SCHEMES)}"
    if len(url) >= URL_MAX:
        return f"it has {len(url)} characters (at most {URL_MAX - 1})"
    found = _PARTS.fullmatch(url[len(scheme):])
    if not re.fullmatch(r"[A-Za-z0-9.-]+", found["host"]):
        return "its host is not made of letters, digits, '.' and '-'"
    port = found["port"]
    if port is not None and not (re.fullmatch(r"[0-9]{1,5}", port) and 1 <= int(port) <= 65535):
        return "its port is not a number of 1 to 65535"
    if found["rest"] is None:
        return "the host is not followed by '/'"
    if not all(0x21 <= ord(character) <= 0x7E for character in found["rest"]):
        return "it holds a space, a control or a non-ASCII character"
    return None
