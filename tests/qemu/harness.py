"""The QEMU harness, tools/uefi-shell.py, as a module (its file name has a dash)."""

import importlib.util
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent


def load():
    """The harness module, loaded once and shared by the suite and its checks."""
    if "uefi_shell" in sys.modules:
        return sys.modules["uefi_shell"]
    loader = importlib.util.spec_from_file_location("uefi_shell", REPO / "tools" / "uefi-shell.py")
    module = importlib.util.module_from_spec(loader)
    sys.modules["uefi_shell"] = module
    loader.loader.exec_module(module)
    return module
