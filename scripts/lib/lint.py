#!/usr/bin/env python3
"""The lint tier: clang-format and clang-tidy over the project's own C and C++ files.

Usage: lint.py ROOT REPORT [CACHE]

clang-format checks every tracked C/C++ file under src, include and tests against .clang-format;
arrows.py checks that every #include of src and include follows an arrow docs/ARCHITECTURE.md draws;
clang-tidy runs the checks of .clang-tidy over the tracked source files of the native build's
compile database (build/linux/compile_commands.json), two at a time: those of src and the tests'
helpers, not the GoogleTest cases (*_test.cpp). A case file costs clang-tidy over half a minute of
CPU, nearly all of it inside GoogleTest's headers; the eighteen of them would add about seven
minutes on two cores. Each file is one case per tool in a GoogleTest-style XML report, so
summarize.py counts it like any other tier. Prints each finding; a tool that is missing or cannot
run fails its case instead of passing.

CACHE (a JSON file under build/) remembers each case that passed by a digest of everything its
verdict depends on: the tool's version, its configuration, the file, and for clang-tidy the
file's compile command and every file of the project it includes (the compiler's -MM list: a
header's change can bring findings into the files that include it). A case whose digest is
remembered passes without running the tool again; a failing case is never remembered, and a
fresh clone (no CACHE yet) checks every file.
"""
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
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
    """The files clang-tidy checks, each with its compile database entry."""
    database = os.path.join(root, "build", "linux", "compile_commands.json")
    with open(database) as f:
        built = {os.path.relpath(entry["file"], root): entry for entry in json.load(f)}
    return {name: built[name] for name in tracked(root, "src", "tests") if name in built
            and not name.endswith("_test.cpp")}


def own_headers(root, entry):
    """The project's files that the compile command of entry reads (the compiler's -MM list)."""
    argv = shlex.split(entry["command"])
    argv = [a for i, a in enumerate(argv) if a != "-o" and (i == 0 or argv[i - 1] != "-o")]
    run = subprocess.run(argv + ["-MM", "-MT", "x"], cwd=entry["directory"], capture_output=True, text=True,
                         check=True)
    listed = run.stdout[len("x:"):].replace("\\\n", " ").split()
    paths = (os.path.realpath(os.path.join(entry["directory"], p)) for p in listed)
    return sorted(os.path.relpath(p, root) for p in paths if p.startswith(os.path.realpath(root) + os.sep))


def digest(*parts):
    h = hashlib.sha256()
    for part in parts:
        data = part if isinstance(part, bytes) else str(part).encode()
        h.update(len(data).to_bytes(8, "little") + data)
    return h.hexdigest()


def file_bytes(root, name):
    with open(os.path.join(root, name), "rb") as f:
        return f.read()


def tool_version(tool):
    return subprocess.run([tool, "--version"], capture_output=True, text=True, check=True).stdout


def check_tidy(root, name):
    # Our GCC flags include -Wno-restrict, which clang does not know.
    run = subprocess.run([CLANG_TIDY, "-p", "build/linux", "--quiet", "--warnings-as-errors=*",
                          "--extra-arg=-Wno-unknown-warning-option", name],
                         cwd=root, capture_output=True, text=True)
    if run.returncode == 0:
        return None
    findings = [line for line in run.stdout.splitlines() if FINDING.match(line)]
    return "\n".join(findings) if findings else (run.stdout + run.stderr).strip()


def run_cases(tool, keys, check, cache, passed):
    """Checks every file of keys (name: digest) not already passed with that digest in cache;
    adds the digests of this run's passes to passed."""
    results = []
    names = [name for name in keys if cache.get(f"{tool}:{name}") != keys[name]]
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for name, failure in zip(names, pool.map(check, names)):
            if failure:
                print(failure, flush=True)
            results.append((tool, name, failure))
    for name in keys:
        if name not in names:
            results.append((tool, name, None))
    passed.update({f"{tool}:{name}": keys[name] for tool_, name, failure in results if failure is None})
    print(f"{tool}: {len(names)} files checked, {len(keys) - len(names)} unchanged since they passed", flush=True)
    return results


def main():
    root, report = sys.argv[1:3]
    cache_path = sys.argv[3] if len(sys.argv) > 3 else None
    cache = {}
    if cache_path and os.path.exists(cache_path):
        with open(cache_path) as f:
            cache = json.load(f)
    passed = {}
    results = []
    try:
        config = digest(tool_version(CLANG_FORMAT), file_bytes(root, ".clang-format"))
        keys = {name: digest(config, file_bytes(root, name)) for name in tracked(root, "src", "include", "tests")}
        results += run_cases("clang-format", keys, lambda name: check_format(root, name), cache, passed)
    except (OSError, subprocess.CalledProcessError) as error:
        results.append(("clang-format", "run", f"{CLANG_FORMAT}: {error}"))
    # An include's verdict depends on the file and on the table of arrows.
    table = digest(file_bytes(root, os.path.join("scripts", "lib", "arrows.py")))
    keys = {name: digest(table, file_bytes(root, name)) for name in arrows.sources(root)}
    results += run_cases("arrows", keys, lambda name: arrows.check(root, name), cache, passed)
    try:
        config = digest(tool_version(CLANG_TIDY), file_bytes(root, ".clang-tidy"))
        keys = {name: digest(config, entry["command"], *(digest(n, file_bytes(root, n))
                                                         for n in own_headers(root, entry)))
                for name, entry in tidy_sources(root).items()}
        results += run_cases("clang-tidy", keys, lambda name: check_tidy(root, name), cache, passed)
    except (OSError, subprocess.CalledProcessError) as error:
        results.append(("clang-tidy", "run", f"{CLANG_TIDY}: {error}"))
    write_report(report, results)
    if cache_path:
        with open(cache_path + ".writing", "w") as f:
            json.dump(passed, f, indent=0, sort_keys=True)
        os.replace(cache_path + ".writing", cache_path)


if __name__ == "__main__":
    main()
