#!/usr/bin/env python3
"""Writes images whose one version resource sits where a reader that scans
the resource directory finds it, but a lookup that searches the directory
as the loader does (a binary search over the id entries, which follow the
named ones) may not: each file is one way the two can part.

usage: make_lookup_files.py OUTPUT_FOLDER
"""
import os
import struct
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_crafted_files import SECTION_RVA, image, version_block  # noqa: E402


def directory(named, entries):
    return struct.pack("<IIHHHH", 0, 0, 0, 0, named, len(entries) - named) + b"".join(
        struct.pack("<II", i, o) for i, o in entries)


def tree(types, type_named=0, name_named=0):
    """A resource section: the root lists `types` (ids, in this order), each
    pointing at the one name directory (name 1, language 0x0409) of the
    block; type_named/name_named entries of the root/name directory are
    counted as named ones."""
    block = version_block(company="Lookup Co")
    root = directory(type_named, [(t, 0) for t in types])
    names_at = len(root)
    names = directory(name_named, [(1, 0x80000000 | (names_at + 24))])
    langs = directory(0, [(0x0409, names_at + 48)])
    entry_at = names_at + 48
    data_at = entry_at + 16
    root = directory(type_named, [(t, 0x80000000 | names_at) for t in types])
    rsrc = root + names + langs + struct.pack("<IIII", SECTION_RVA + data_at, len(block), 0, 0)
    assert len(rsrc) == data_at
    return image(block, resource=rsrc + block)


CASES = {
    # Control: a sorted root with the version type among others.
    "sorted.dll": tree([3, 16, 24]),
    # The ids out of order: a binary search for 16 misses it.
    "types-unsorted.dll": tree([3, 24, 25, 16]),
    # The version type counted as a named entry: an id search skips it.
    "type-counted-named.dll": tree([16], type_named=1),
    # Name 1 counted as a named entry.
    "name-counted-named.dll": tree([16], name_named=1),
}


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in CASES.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
