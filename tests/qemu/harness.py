"""The QEMU harness, the package tools/uefirun."""

import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent


def load():
    """The harness package, imported once and shared by the suite and its checks."""
    if str(REPO / "tools") not in sys.path:
        sys.path.insert(0, str(REPO / "tools"))
    import uefirun
    return uefirun
