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
from make_crafted_files import (  # noqa: E402
    FILE_ALIGN, SECTION_RVA, fixed_info, image, node, string, version_block, write_cases)


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


def mui_type():
    """A sorted tree that also carries the named type "MUI": on Windows the
    platform then takes the version texts from the language satellite."""
    block = version_block(company="Satellite Co")
    names_at, langs_at, entry_at, name_at, data_at = 32, 56, 80, 96, 104
    root = directory(1, [(0x80000000 | name_at, 0x80000000 | names_at), (16, 0x80000000 | names_at)])
    names = directory(0, [(1, 0x80000000 | langs_at)])
    langs = directory(0, [(0x0409, entry_at)])
    entry = struct.pack("<IIII", SECTION_RVA + data_at, len(block), 0, 0)
    name = struct.pack("<H", 3) + "MUI".encode("utf-16-le")
    rsrc = root + names + langs + entry + name
    assert len(rsrc) == data_at
    return image(block, resource=rsrc + block)


def image32(block):
    """The same DLL as image() builds, as a 32-bit image."""
    data = bytearray(image(block))
    rsrc = data[FILE_ALIGN:]
    dos = b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40)
    header = b"PE\0\0" + struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 224, 0x2102)
    optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 14, 0, 0, len(rsrc), 0, 0, 0, 0, 0x10000000,
                           0x1000, FILE_ALIGN, 6, 0, 0, 0, 6, 0, 0, SECTION_RVA + 0x1000, FILE_ALIGN, 0, 2, 0x140,
                           0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    directories = [(0, 0)] * 16
    directories[2] = struct.unpack_from("<II", data, 0x40 + 24 + 112 + 16)
    optional += b"".join(struct.pack("<II", *d) for d in directories)
    assert len(optional) == 224
    section = data[0x40 + 24 + 240:0x40 + 24 + 240 + 40]
    headers = dos + header + optional + bytes(section)
    return headers + b"\0" * (FILE_ALIGN - len(headers)) + bytes(rsrc)


def padded_without_translation():
    """A root without VarFileInfo whose length runs two bytes past its last
    child, and a resource exactly that long: the platform's copy leaves room
    after the block, a copy of the resource alone ends right there."""
    sfi = node("StringFileInfo", text=True, children=[node("040904b0", text=True, children=[
        string("CompanyName", "Padded Co")])])
    root = bytearray(node("VS_VERSION_INFO", fixed_info(), children=[sfi]))
    root += b"\0" * (-len(root) % 4) + b"\0\0"
    struct.pack_into("<H", root, 0, len(root))
    return bytes(root)


def no_resource_count():
    """NumberOfRvaAndSizes 2: the resource entry is not among the header's
    directories, though it is filled in."""
    data = bytearray(image(version_block(company="Uncounted Co")))
    struct.pack_into("<I", data, 0x40 + 24 + 108, 2)
    return bytes(data)


def trailing_data():
    """The resource runs on past the block's own length."""
    block = bytearray(version_block(company="Trailing Co")) + b"VS_VERSION_INFO\0" * 4
    return image(bytes(block))


def tree_across_sections():
    """The resource root in one section, the rest of the tree in the next
    one by address (the root's offsets are RVAs from the root). A loader
    that maps the file as data reads the tree on from the root's place in
    the file instead: there lies a second tree, of another block."""
    def rest(block_rva, block):
        names = directory(0, [(1, 0x80000000 | 0x1018)])
        langs = directory(0, [(0x0409, 0x1030)])
        body = names + langs + struct.pack("<IIII", block_rva, len(block), 0, 0)
        assert len(body) == 0x40
        return body + block

    def raw(data, size):
        assert len(data) <= size
        return data + b"\0" * (size - len(data))

    root = directory(0, [(16, 0x80000000 | 0x1000)])
    by_address = rest(0x2040, version_block(company="Mapped Co"))
    in_file = rest(0x3040, version_block(company="Data File Co"))
    headers = bytearray(image(version_block())[:FILE_ALIGN])
    struct.pack_into("<H", headers, 0x40 + 6, 3)
    struct.pack_into("<II", headers, 0x40 + 24 + 112 + 16, 0x1000, 0x1200)
    table = 0x40 + 24 + 240
    for i, (rva, size, at) in enumerate(((0x1000, 0x200, 0x200), (0x2000, 0x200, 0x400), (0x3000, 0x400, 0x1200))):
        struct.pack_into("<8sIIIIIIHHI", headers, table + 40 * i, b".rsrc", size, rva, size, at, 0, 0, 0, 0,
                         0x40000040)
    return bytes(headers) + raw(root, 0x200) + raw(by_address, 0x200) + b"\0" * 0xC00 + raw(in_file, 0x400)


CASES = {
    # Control: a sorted root with the version type among others.
    "sorted.dll": tree([3, 16, 24]),
    # The ids out of order: a binary search for 16 misses it.
    "types-unsorted.dll": tree([3, 24, 25, 16]),
    # The version type counted as a named entry: an id search skips it.
    "type-counted-named.dll": tree([16], type_named=1),
    # Name 1 counted as a named entry.
    "name-counted-named.dll": tree([16], name_named=1),
    "image32.dll": image32(version_block(company="Thirty-two Co")),
    "padded.dll": image(padded_without_translation()),
    "rva-count-2.dll": no_resource_count(),
    "trailing.dll": trailing_data(),
    "tree-across-sections.dll": tree_across_sections(),
    "mui-type.dll": mui_type(),
    # A long sorted root: the version's name directory begins 8 bytes before
    # file offset 0x4000 and ends after it, so a reader that reads the file
    # in pieces meets a read across a piece's end.
    "straddling.dll": tree(list(range(1, 1982))),
}


def main():
    write_cases(CASES, sys.argv[1])


if __name__ == "__main__":
    main()
