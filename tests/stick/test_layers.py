#!/usr/bin/env python3
"""The floors of the stick package: no module of tools/stick imports tools/deploy (the
deployment server builds on the stick, never the reverse), and no import circle joins the
modules of tools/stick, counting imports inside functions."""

import ast
import unittest
from pathlib import Path

STICK = Path(__file__).resolve().parent.parent.parent / "tools" / "stick"


def imported(path: Path) -> set[str]:
    """Every dotted name a module imports, with each package prefix of it: `from stick.names
    import dos` gives stick, stick.names and stick.names.dos."""
    names = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            names |= {alias.name for alias in node.names}
        elif isinstance(node, ast.ImportFrom) and node.module:
            names |= {f"{node.module}.{alias.name}" for alias in node.names}
    return {".".join(name.split(".")[:end]) for name in names
            for end in range(1, name.count(".") + 2)}


class StickLayers(unittest.TestCase):
    longMessage = False

    def test_no_deploy_import_and_no_circle(self):
        modules = {f"stick.{path.stem}": imported(path) for path in STICK.glob("*.py")}
        for module, names in sorted(modules.items()):
            self.assertNotIn("deploy", names, f"{module} imports the deployment server's package")
        graph = {module: sorted(names & modules.keys() - {module})
                 for module, names in modules.items()}
        done: set[str] = set()

        def visit(module: str, trail: list[str]) -> None:
            self.assertNotIn(module, trail, "import circle: " + " -> ".join(trail + [module]))
            if module not in done:
                for other in graph[module]:
                    visit(other, trail + [module])
                done.add(module)

        for module in sorted(graph):
            visit(module, [])


if __name__ == "__main__":
    unittest.main()
