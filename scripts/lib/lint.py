#!/usr/bin/env python3
"""The lint tier: clang-format and clang-tidy over the project's own C and C++ files.

Usage: lint.py ROOT REPORT

clang-format checks every tracked C/C++ file under src, include and tests against .clang-format;
arrows.py checks that every #include of src and include follows an arrow docs/ARCHITECTURE.md draws;
clang-tidy runs the checks of .clang-tidy over the tracked source files of the native build's
compile database (build/linux/compile_commands.json), two at a time: those of src and the tests'
helpers, not the GoogleTest cases (*_test.cpp). A case file costs clang-tidy over half a minute of
CPU, nearly all of it inside GoogleTest's headers; the eighteen of them would add about seven
minutes on two cores. Each file is one case per tool in a GoogleTest-style XML report, so
summarize.py counts it like any other tier. Prints each finding; a tool that is missing or cannot
run fails its case instead of passing.
"""
import concurrent.futures
import json
import os
import re
import subprocess
import sys

import arrows
from summarize import write_report

CLANG_FORMAT = "clang-format"
# clang-tidy 14 (Debian 12's default) cannot read this code: it knows no -std=c++23, and with
# libstdc++ 12 its concepts level hides <expected>.
CLANG_TIDY = "clang-tidy-19"
SOURCE = re.compile(r"\.(c|cc|cpp|h|hpp)$")
FINDING = re.compile(r"^(\S+):\d+:\d+: (warning|error): ")


def tracked(root, *dirs):
    out = subprocess.run(["git", "-C", root, "ls-files", "-z", "--", *dirs], capture_output=True, check=True)
    return [name for name in out.stdout.decode().split("\0") if SOURCE.search(name)]


def check_format(root, name):
    run = subprocess.run([CLANG_FORMAT, "--dry-run", "-Werror", name], cwd=root, capture_output=True, text=True)
    if run.returncode == 0:
        return None
    lines = {line.split(":")[1] for line in run.stderr.splitlines() if line.startswith(name + ":")}
    if not lines:
        return run.stderr.strip()
    return f"{name}: not formatted (clang-format differs on {len(lines)} line{'s' if len(lines) > 1 else ''})"


def tidy_sources(root):
    database = os.path.join(root, "build", "linux", "compile_commands.json")
    with open(database) as f:
        built = {os.path.relpath(entry["file"], root) for entry in json.load(f)}
    return [name for name in tracked(root, "src", "tests") if name in built and not name.endswith("_test.cpp")]


def check_tidy(root, name):
    # Our GCC flags include -Wno-restrict, which clang does not know.
    run = subprocess.run([CLANG_TIDY, "-p", "build/linux", "--quiet", "--warnings-as-errors=*",
                          "--extra-arg=-Wno-unknown-warning-option", name],
                         cwd=root, capture_output=True, text=True)
    if run.returncode == 0:
        return None
    findings = [line for line in run.stdout.splitlines() if FINDING.match(line)]
    return "\n".join(findings) if findings else (run.stdout + run.stderr).strip()


def run_cases(tool, names, check, workers):
    results = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        for name, failure in zip(names, pool.map(check, names)):
            if failure:
                print(failure, flush=True)
            results.append((tool, name, failure))
    return results


def main():
    root, report = sys.argv[1:]
    results = []
    try:
        results += run_cases("clang-format", tracked(root, "src", "include", "tests"),
                             lambda name: check_format(root, name), 2)
    except OSError as error:
        results.append(("clang-format", "run", f"{CLANG_FORMAT}: {error}"))
    results += run_cases("arrows", arrows.sources(root), lambda name: arrows.check(root, name), 2)
    try:
        results += run_cases("clang-tidy", tidy_sources(root), lambda name: check_tidy(root, name), 2)
    except OSError as error:
        results.append(("clang-tidy", "run", f"{CLANG_TIDY}: {error}"))
    write_report(report, results)


if __name__ == "__main__":
    main()
