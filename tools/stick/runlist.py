"""The run list: one Crestune or Tagwell command line per line, checked in full before a
stick is made, and its steps."""

from __future__ import annotations

import dataclasses
import re
from pathlib import Path
from typing import Sequence

from stick import names

PROGRAMS = {"crestune": "Crestune.efi", "tagwell": "Tagwell.efi"}
# In the file name of a backup or restore, this becomes the unit id on the machine.
UNIT_PLACEHOLDER = "{unit}"
PASSWORD_MASK = "****"
# The longest run-list line taken: well above any real command line (every option with the
# longest password and values), and short enough that the script's lines, and the log that
# repeats them, stay whole.
LINE_LIMIT = 1000
# A word that begins with this makes the shell show the program's help instead of running it.
SHELL_HELP_PREFIX = "-?"
# Values that are passwords (typed or as scan codes): the log shows them masked.
PASSWORD_VALUES = {"password", "scan-us", "scan-fr", "scan-ge"}


@dataclasses.dataclass(frozen=True)
class Option:
    """A row of a tool's option table (Applications/TOOL/Options.txt, which the tool is built
    from): the word, the characters compared (0: the whole word) and the other columns."""
    word: str
    match: int
    columns: dict

    def names(self, word: str) -> bool:
        """Whether a command-line word names this option, ASCII letters without regard to
        case."""
        word, option = word.lower(), self.word.lower()
        if self.match == 0:
            return word == option
        return len(word) >= self.match and word[:self.match] == option[:self.match]

    def has(self, kind: str) -> bool:
        """Whether the option is of this kind: "file" (the next word is a file on the stick),
        "password" (the next word is a password), or what its stick column says: "resets" (a run
        that succeeds ends by resetting the machine), "no-reset" (stops that), "asks" (asks for
        confirmation at the console), "silences" (answers such questions itself)."""
        if kind == "file":
            return self.columns["value"] == "file"
        if kind == "password":
            return self.columns["value"] in PASSWORD_VALUES
        return self.columns["stick"] == kind


def _read_options(program: str) -> list[Option]:
    """The rows of the program's option table: comment lines start with '#', the first other
    line names the columns."""
    path = names.REPO_ROOT / "Applications" / program / "Options.txt"
    rows = [line.split() for line in path.read_text(encoding="ascii").splitlines()
            if line.strip() and not line.lstrip().startswith("#")]
    header = rows[0]
    return [Option(row[0], 0 if row[1] == "word" else int(row[1]), dict(zip(header, row)))
            for row in rows[1:]]


OPTIONS = {"Crestune.efi": _read_options("Crestune"), "Tagwell.efi": _read_options("Tagwell")}


def is_option(word: str, kind: str, program: str = "Crestune.efi") -> bool:
    """Whether the word names one of the program's options of this kind (Option.has)."""
    return any(option.has(kind) and option.names(word) for option in OPTIONS[program])


class RunListError(ValueError):
    """The run list was refused: `problems` holds one message per refused line."""

    def __init__(self, problems: Sequence[str]):
        super().__init__("\n".join(problems))
        self.problems = list(problems)


@dataclasses.dataclass
class Step:
    line_number: int
    program: str           # "Crestune.efi" or "Tagwell.efi"
    arguments: list[str]

    @property
    def text(self) -> str:
        """The command line as the log shows it: program name without .efi, one space between
        words."""
        return " ".join([Path(self.program).stem] + self.arguments)

    @property
    def shown(self) -> str:
        """The command line as the log shows it, with every password value masked: the log
        travels with the stick from unit to unit."""
        words = [Path(self.program).stem]
        masked = False
        for word in self.arguments:
            words.append(PASSWORD_MASK if masked else word)
            masked = self.program == "Crestune.efi" and is_option(word, "password")
        return " ".join(words)

    @property
    def command(self) -> str:
        """The command line as the script runs it: {unit} becomes the unit id variable."""
        return " ".join([self.program] + [
            word.replace(UNIT_PLACEHOLDER, f"%{names.UNIT_VARIABLE}%")
            for word in self.arguments])

    @property
    def files(self) -> list[tuple[str, str]]:
        """The (option, file name) pairs of the step's backup and restore files."""
        if self.program != "Crestune.efi":
            return []
        return [(word.lower(), self.arguments[at + 1])
                for at, word in enumerate(self.arguments[:-1]) if is_option(word, "file")]

    @property
    def uses_unit(self) -> bool:
        return any(UNIT_PLACEHOLDER in word for word in self.arguments)

    @property
    def resets(self) -> bool:
        """Whether the step has the shell reset the machine when it succeeds."""
        return any(is_option(w, "resets", self.program) for w in self.arguments) and \
            not any(is_option(w, "no-reset", self.program) for w in self.arguments)


def _file_problem(step: Step, one_unit: bool) -> str | None:
    """Why the step's backup or restore file names cannot be used, or None."""
    named = {at + 1 for at, word in enumerate(step.arguments[:-1])
             if step.program == "Crestune.efi" and is_option(word, "file")}
    for at, word in enumerate(step.arguments):
        if ("{" in word or "}" in word) and at not in named:
            return (f"'{word}': {UNIT_PLACEHOLDER} stands only in the file name after "
                    "Crestune /b or /r")
    for option, name in step.files:
        if "{" in name.replace(UNIT_PLACEHOLDER, "") or "}" in name.replace(
                UNIT_PLACEHOLDER, ""):
            return (f"'{name}': braces other than {UNIT_PLACEHOLDER} in a file name (the "
                    f"unit id is written {UNIT_PLACEHOLDER})")
        # The program runs in the stick's tools folder: a name may lead only below it.
        parts = re.split(r"[\\/]", name)
        where = None
        if ":" in name:
            where = "names a volume"
        elif not parts[0]:
            where = "starts at the root"
        elif any(not part.strip(". ") for part in parts):
            where = "holds '..', '.' or an empty part"
        if where:
            return (f"'{option} {name}' {where}: a backup or restore file is a plain name, or "
                    f"a path inside {names.dos(names.TOOLS_DIR)}\\, on the stick")
        if option == "/b" and UNIT_PLACEHOLDER not in name and not one_unit:
            stem, dot, suffix = name.rpartition(".")
            better = f"{stem}-{UNIT_PLACEHOLDER}.{suffix}" if dot and stem else \
                f"{name}-{UNIT_PLACEHOLDER}"
            return (f"the next unit would overwrite this unit's backup: write "
                    f"`/b {better}` (or --one-unit for a stick that serves one machine)")
    return None


def _line_problem(words: list[str]) -> str | None:
    """Why a step cannot run unattended, or None."""
    program = PROGRAMS[words[0].lower().removesuffix(".efi")]
    if program == "Tagwell.efi":
        if all(is_option(word, "resets", program) for word in words[1:]):
            return ("Tagwell without values asks its questions at the console, and the script "
                    "sends the console to the log: give the values as options (/sn:..., "
                    "/mtm:...)")
    elif any(is_option(word, "asks") for word in words[1:]) and \
            not any(is_option(word, "silences") for word in words[1:]):
        return ("a TPM switch asks for confirmation at the console, and the script sends the "
                "console to the log: add /Silent")
    return None


def parse_run_list(text: str, name: str = "run list", one_unit: bool = False) -> list[Step]:
    """The steps of a run list; raises RunListError naming every refused line. Without
    one_unit, a backup must name its file by the unit ({unit}): one stick serves many units."""
    problems = []
    steps = []
    # Editors that save "UTF-8 with BOM" put U+FEFF first: it is no part of the first line.
    text = text.removeprefix("\ufeff")
    for number, raw in enumerate(text.split("\n"), start=1):
        line = raw[:-1] if raw.endswith("\r") else raw
        stripped = line.strip(" \t")
        if not stripped or stripped.startswith("#"):
            continue
        where = f"{name} line {number}"
        if len(stripped) > LINE_LIMIT:
            problems.append(f"{where}: {len(stripped)} characters: a step's line holds at "
                            f"most {LINE_LIMIT}")
            continue
        control = [c for c in stripped if (ord(c) < 0x20 and c != "\t") or ord(c) == 0x7F]
        if control:
            problems.append(f"{where}: control character 0x{ord(control[0]):02X}: a script "
                            "line cannot carry it")
            continue
        if any(ord(c) > 0x7E for c in stripped):
            problems.append(f"{where}: a character outside printable ASCII: startup.nsh is "
                            "ASCII")
            continue
        bad = [c for c in stripped if c in names.SHELL_SPECIAL]
        if bad:
            problems.append(f"{where}: the UEFI shell acts on '{bad[0]}' (quotes, escapes, "
                            "variables, comments, pipes and redirection), so the program "
                            "would not get the line as written")
            continue
        words = stripped.split()
        program = PROGRAMS.get(words[0].lower().removesuffix(".efi"))
        if program is None:
            problems.append(f"{where}: unknown program '{words[0]}' (a step runs Crestune or "
                            "Tagwell)")
            continue
        helped = [word for word in words[1:] if word.startswith(SHELL_HELP_PREFIX)]
        if helped:
            problems.append(f"{where}: a word beginning with \"-?\" ('{helped[0]}') makes the "
                            "shell show help instead of running the program")
            continue
        problem = _line_problem(words)
        if problem:
            problems.append(f"{where}: {problem}")
            continue
        step = Step(number, program, words[1:])
        problem = _file_problem(step, one_unit)
        if problem:
            problems.append(f"{where}: {problem}")
            continue
        steps.append(step)
    if not steps and not problems:
        problems.append(f"{name}: no steps (one Crestune or Tagwell command line per line)")
    for step in steps[:-1]:
        if step.resets:
            problems.append(f"{name} line {step.line_number}: '{step.text}' resets the machine: "
                            "only the last step may (Crestune /r needs /NoReboot, Tagwell "
                            "/reboot must go)")
    if problems:
        problems.sort(key=lambda message: int(re.search(r"line (\d+)", message).group(1))
                      if re.search(r"line (\d+)", message) else 0)
        raise RunListError(problems)
    return steps
