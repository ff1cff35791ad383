#!/usr/bin/env python3
"""The unit arrows docs/ARCHITECTURE.md draws, and the check that every #include follows one.

Each shipped C/C++ file under src and include belongs to a unit (UNITS below); a quoted #include of
a file of another unit is an arrow, and must be a row of ARROWS. A file of no unit, or an include
that names no file of the tree, fails too, so a new file cannot slip past the table.

Usage: arrows.py ROOT   prints every crossing and exits 1 when there is one (lint.py calls check()).
"""
import os
import re
import subprocess
import sys

# A row per arrow: (from, to). Keep it equal to the drawing in docs/ARCHITECTURE.md.
ARROWS = {
    ("main", "app"),
    ("app", "window"), ("app", "pipeline"), ("app", "events"), ("app", "process"), ("app", "paths"),
    ("app", "system_dlls"), ("app", "app_state"), ("app", "ui_messages"), ("app", "handles"), ("app", "utf16"),
    ("app", "library"),
    ("pipeline", "download"), ("pipeline", "authenticode"), ("pipeline", "installed_app"), ("pipeline", "events"),
    ("pipeline", "transport"), ("pipeline", "process"), ("pipeline", "installer_run"), ("pipeline", "cache_upkeep"),
    ("pipeline", "window"), ("pipeline", "app_state"), ("pipeline", "ui_messages"), ("pipeline", "paths"),
    ("pipeline", "handles"), ("pipeline", "utf16"), ("pipeline", "failure"), ("pipeline", "library"),
    ("installer_run", "process"), ("installer_run", "lock_retry"), ("installer_run", "paths"),
    ("installer_run", "handles"), ("installer_run", "failure"),
    ("cache_upkeep", "lock_retry"), ("cache_upkeep", "paths"), ("cache_upkeep", "handles"),
    ("cache_upkeep", "utf16"), ("cache_upkeep", "failure"), ("cache_upkeep", "library"),
    ("download", "transport"), ("download", "lock_retry"), ("download", "ui_messages"), ("download", "app_state"),
    ("download", "paths"), ("download", "handles"), ("download", "utf16"), ("download", "failure"),
    ("download", "library"),
    ("installed_app", "authenticode"), ("installed_app", "process"), ("installed_app", "paths"),
    ("installed_app", "handles"), ("installed_app", "utf16"), ("installed_app", "failure"),
    ("events", "transport"), ("events", "app_state"), ("events", "handles"), ("events", "library"),
    ("authenticode", "handles"), ("authenticode", "utf16"), ("authenticode", "failure"),
    ("transport", "handles"), ("transport", "utf16"),
    ("window", "app_state"), ("window", "ui_messages"), ("window", "utf16"), ("window", "library"),
    ("ui_messages", "app_state"), ("ui_messages", "failure"),
    ("app_state", "library"),
    ("failure", "library"),
    ("process", "handles"),
    ("lock_retry", "handles"),
    ("library", "handles"),
    ("feed", "library"),
}

WINDOWS_APP = "src/installer/windows_app/"
# Where a quoted include is looked for, after the including file's own folder.
INCLUDE_DIRS = ["include", "src/win32", "src/installer/windows_app", "src/bootstrapper", "src/feed"]
SOURCE = re.compile(r"\.(c|cc|cpp|h|hpp)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def unit_of(path):
    """The unit a file of the tree belongs to, or None."""
    stem = os.path.splitext(os.path.basename(path))[0]
    if path.startswith(WINDOWS_APP) and "/" not in path[len(WINDOWS_APP):]:
        return stem
    if path.startswith(("include/brimora/", "src/bootstrapper/")):
        return "library"
    if path == "src/win32/handles.hpp":
        return "handles"
    if path.startswith("src/feed/"):
        return "feed"
    if path == "src/installer/main.cpp":
        return "main"
    if path in ("src/installer/terminate.cpp", "src/installer/no_throw.cpp", "src/installer/system_crt.c"):
        return "entry"
    return None


def resolve(root, including, name):
    for folder in [os.path.dirname(including)] + INCLUDE_DIRS:
        candidate = os.path.normpath(os.path.join(folder, name))
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def crossings(root, path):
    """What is wrong with one file's includes: a list of texts, empty when it keeps to the arrows."""
    unit = unit_of(path)
    if unit is None:
        return [f"{path}: belongs to no unit of scripts/lib/arrows.py"]
    with open(os.path.join(root, path), encoding="utf-8") as f:
        text = f.read()
    problems = []
    for name in INCLUDE.findall(text):
        target = resolve(root, path, name)
        if target is None:
            problems.append(f'{path}: #include "{name}" names no file of the tree')
            continue
        to = unit_of(target)
        if to != unit and (unit, to) not in ARROWS:
            problems.append(f'{path}: #include "{name}" is an arrow {unit} -> {to}, which docs/ARCHITECTURE.md '
                            f"does not draw (scripts/lib/arrows.py)")
    return problems


def sources(root):
    out = subprocess.run(["git", "-C", root, "ls-files", "-z", "--", "src", "include"], capture_output=True,
                         check=True)
    return [name for name in out.stdout.decode().split("\0") if SOURCE.search(name)]


def check(root, path):
    """One lint case: None when the file keeps to the arrows, else the findings."""
    problems = crossings(root, path)
    return "\n".join(problems) if problems else None


def main():
    root = sys.argv[1]
    failures = [problem for name in sources(root) for problem in crossings(root, name)]
    for problem in failures:
        print(problem)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
