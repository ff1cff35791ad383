#!/usr/bin/env python3
"""Where the bytes of a linked exe come from, by component, read from GNU ld's link map.

    linkmap.py MAP [--json]

Sums the input sections that ended up in the image (debug sections and .bss, which take no
room in a stripped file, are left out) per component: own (our libraries and objects),
libyaml, libstdc++, crt (MinGW's C runtime: libmingwex, libmsvcrt, libmingw32, crt2.o, libgcc),
threads (winpthread and the unwinder), imports (the system DLLs' import thunks), other. Sizes are the sections' raw sizes before the
linker rounds the output sections to the file alignment, so they add up to a little less than
the exe.
"""
import json
import re
import sys
from collections import defaultdict

# Each pattern is tried in order against the object's path (archive(member) included).
COMPONENTS = [
    ("own", re.compile(r"libbrimora_|BrimoraInstaller\.dir/")),
    ("libyaml", re.compile(r"libyaml\.a")),
    ("libstdc++", re.compile(r"libstdc\+\+\.a|libsupc\+\+\.a")),
    ("threads", re.compile(r"libwinpthread\.a|libpthread\.a|libgcc_eh\.a|libgcc_s")),
    ("crt", re.compile(r"libmingwex\.a|libmsvcrt\.a|libmingw32\.a|libgcc\.a|crt2u?\.o|crtbegin\.o|crtend\.o"
                       r"|libucrt|libmoldname\.a")),
    # Import thunks and descriptors of the system DLLs the exe links against.
    ("imports", re.compile(r"^dll stuff$|/lib/lib[a-z0-9_]+\.a\(")),
]
SKIPPED_OUTPUTS = re.compile(r"^\.(debug|bss|stab)|^/\d")

# "  .text.name   0xADDR   0xSIZE  FILE", or the name alone with the rest on the next line.
SECTION_LINE = re.compile(r"^ (\.\S+|COMMON)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(.+)$")
NAME_ONLY = re.compile(r"^ (\.\S+|COMMON)$")
CONTINUATION = re.compile(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(.+)$")
OUTPUT_SECTION = re.compile(r"^(\.\S+)\s")


def component_of(path):
    for name, pattern in COMPONENTS:
        if pattern.search(path):
            return name
    return "other"


def breakdown(map_text):
    sizes = defaultdict(int)
    by_object = defaultdict(int)
    in_memory_map = False
    output = None
    pending_name = None
    for line in map_text.splitlines():
        if line.startswith("Linker script and memory map"):
            in_memory_map = True
            continue
        if not in_memory_map:
            continue
        top = OUTPUT_SECTION.match(line)
        if top:
            output = top.group(1)
            pending_name = None
            continue
        if output is None or SKIPPED_OUTPUTS.search(output):
            continue
        m = SECTION_LINE.match(line)
        if m:
            size, path = int(m.group(3), 16), m.group(4).strip()
        elif NAME_ONLY.match(line):
            pending_name = line.strip()
            continue
        elif pending_name and (c := CONTINUATION.match(line)):
            size, path = int(c.group(2), 16), c.group(3).strip()
        else:
            continue
        pending_name = None
        if size == 0 or path.startswith("linker stubs"):
            continue
        sizes[component_of(path)] += size
        by_object[path] += size
    return dict(sizes), dict(by_object)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="utf-8", errors="replace") as f:
        sizes, by_object = breakdown(f.read())
    if "--json" in sys.argv:
        print(json.dumps(sizes, sort_keys=True))
        return
    for name in sorted(sizes, key=sizes.get, reverse=True):
        print(f"{name:10} {sizes[name]:8}")
    if "--objects" in sys.argv:
        for path in sorted(by_object, key=by_object.get, reverse=True)[:40]:
            print(f"{by_object[path]:8} {path}")


if __name__ == "__main__":
    main()
