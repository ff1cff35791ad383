#!/usr/bin/env python3
"""Writes the build record of a release: what a rebuilder needs to get the same bytes.

Usage: buildinfo.py SRC BUILD EXE COMMIT TREE_STATE TARBALL...

SRC and BUILD are the folders the release was built in; they never appear in the record (they
are written $SRC and $BUILD), so two builds of one commit give the same record.
"""
import hashlib
import json
import os
import shlex
import subprocess
import sys

# The Debian packages whose files end up in the exe or decide its bytes: the compilers with their
# libstdc++ and libgcc, the MinGW-w64 runtime, headers and import libraries, binutils, the JSON
# headers, and the build tools that order the compile and link.
PACKAGES = [
    "g++-mingw-w64-x86-64-win32", "gcc-mingw-w64-x86-64-win32", "gcc-mingw-w64-base",
    "binutils-mingw-w64-x86-64", "mingw-w64-x86-64-dev", "mingw-w64-common", "nlohmann-json3-dev",
    "cmake", "ninja-build",
]
# Options that name this build's own files, not how they are compiled.
OUTPUT_OPTIONS = {"-o", "-c", "-MT", "-MF"}


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def placeholders(text, src, build):
    # The build folder lies outside the source folder in a release, but may lie inside it in a
    # developer's tree: replace the longer first.
    for path, name in sorted([(build, "$BUILD"), (src, "$SRC")], key=lambda p: -len(p[0])):
        text = text.replace(path, name)
    return text


def flag_sets(database, keep):
    """{(compiler, flags): object count} over the database's entries whose file `keep` accepts."""
    sets = {}
    with open(database) as f:
        entries = json.load(f)
    for entry in entries:
        if not keep(entry["file"]):
            continue
        words = shlex.split(entry["command"])
        flags, skip = [], False
        for word in words[1:]:
            if skip:
                skip = False
            elif word in OUTPUT_OPTIONS:
                skip = True
            elif word != "-MD" and word != entry["file"]:
                flags.append(word)
        key = (os.path.basename(words[0]), " ".join(flags))
        sets[key] = sets.get(key, 0) + 1
    return sets


def main():
    src, build, exe, commit, tree_state, *tarballs = sys.argv[1:]
    src, build = os.path.realpath(src), os.path.realpath(build)
    lines = ["Format: brimora-buildinfo 1", "Source: brimora-installer", f"Commit: {commit}",
             f"Tree: {tree_state}", "Binary: BrimoraInstaller.exe", f"Binary-SHA256: {sha256(exe)}",
             f"Binary-Size: {os.path.getsize(exe)}"]
    with open("/etc/debian_version") as f:
        lines.append(f"Build-System: Debian {f.read().strip()}, {os.uname().machine}")
    compiler = subprocess.run(["x86_64-w64-mingw32-g++-win32", "--version"], capture_output=True, text=True)
    lines.append(f"Compiler: {compiler.stdout.splitlines()[0]}")
    lines.append("Installed-Build-Depends:")
    listed = subprocess.run(["dpkg-query", "-W", "-f", "${Package} (= ${Version}), source ${source:Package} "
                             "${source:Version}\\n", *PACKAGES], capture_output=True, text=True, check=True)
    lines += [f" {line}" for line in listed.stdout.splitlines()]
    lines.append("Source-Tarballs:")
    lines += [f" {os.path.basename(t)} sha256 {sha256(t)}" for t in tarballs]

    lines.append("Compile-Flags:")
    ours = flag_sets(os.path.join(build, "compile_commands.json"),
                     lambda f: os.path.realpath(f).startswith(os.path.join(src, "src") + os.sep))
    libyaml_db = os.path.join(build, "libyaml_build-prefix", "src", "libyaml_build-build", "compile_commands.json")
    theirs = flag_sets(libyaml_db, lambda f: True)
    for owner, sets in (("ours", ours), ("libyaml", theirs)):
        for (compiler_name, flags), count in sorted(sets.items()):
            lines.append(f" {owner}, {count} objects: {compiler_name} {placeholders(flags, src, build)}")
    linked = subprocess.run(["ninja", "-C", build, "-t", "commands", "BrimoraInstaller"],
                            capture_output=True, text=True, check=True)
    link = [line for line in linked.stdout.splitlines() if "-o BrimoraInstaller.exe" in line]
    lines.append(f"Link-Command: {placeholders(link[-1], src, build) if link else '(not found)'}")
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
