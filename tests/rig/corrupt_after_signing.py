#!/usr/bin/python3
"""corrupt_after_signing.py IN OUT: copies a signed PE file, changing one byte of its DOS stub
text. The stub is covered by the Authenticode digest, so the copy no longer verifies, yet it
still runs exactly like the original: a system that wrongly runs it shows that by its effects,
not by a crash."""
import sys

STUB_TEXT = b"This program cannot be run in DOS mode"


def main():
    source, target = sys.argv[1:]
    with open(source, "rb") as f:
        data = bytearray(f.read())
    pe_offset = int.from_bytes(data[0x3C:0x40], "little")
    where = data.find(STUB_TEXT, 0x40, pe_offset)
    if data[:2] != b"MZ" or where < 0:
        sys.exit(f"{source}: no DOS stub text before the PE header")
    data[where] ^= 0x20  # "This" -> "this"
    with open(target, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
