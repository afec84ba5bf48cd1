#!/usr/bin/env python3
"""Writes the hostile files of the scan tests: small 64-bit DLL images whose
version resource is broken in one way each, beside a sound one.

usage: make_crafted_files.py OUTPUT_FOLDER
"""
import os
import struct
import sys

SECTION_RVA = 0x1000
FILE_ALIGN = 0x200


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def node(key, value=b"", text=False, children=(), length=None, value_length=None):
    """One version node in the 32-bit layout; length and value_length
    override what the node really holds."""
    body = struct.pack("<HHH", 0, 0, 1 if text else 0) + (key + "\0").encode("utf-16-le")
    body = pad4(body) + value
    for child in children:
        body = pad4(body) + child
    if value_length is None:
        value_length = len(value) // 2 if text else len(value)
    return struct.pack("<HH", len(body) if length is None else length, value_length) + body[4:]


def string(key, text, **kw):
    return node(key, (text + "\0").encode("utf-16-le"), text=True, **kw)


def fixed_info(file_type=1):
    return struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x10002, 0x30004, 0x10002, 0, 0x3F, 0, 0x40004,
                       file_type, 0, 0, 0)


def version_block(company="Crafted Co", table="040904b0", translation=(0x0409, 0x04B0), company_node=None,
                  translation_node=None, string_file_length=None):
    strings = [company_node or string("CompanyName", company),
               string("FileDescription", "Crafted file"),
               string("FileVersion", "1.2.3.4")]
    sfi = node("StringFileInfo", text=True, children=[node(table, text=True, children=strings)],
               length=string_file_length)
    var = translation_node or node("Translation", struct.pack("<HH", *translation))
    vfi = node("VarFileInfo", text=True, children=[var])
    return node("VS_VERSION_INFO", fixed_info(), children=[sfi, vfi])


def block_16bit():
    """The 16-bit layout: ANSI keys, no type word."""
    def n16(key, value=b"", children=()):
        body = pad4(struct.pack("<HH", 0, len(value)) + key.encode() + b"\0") + value
        for c in children:
            body = pad4(body) + c
        return struct.pack("<H", len(body)) + body[2:]
    company = n16("CompanyName", b"Sixteen Bit Co\0" * 40)
    table = n16("040904E4", children=[company] * 20)
    return n16("VS_VERSION_INFO", fixed_info(), [n16("StringFileInfo", children=[table])])


def image(block, data_size=None, data_rva=None, resource=None, mapped_size=None):
    """A DLL image with one resource section holding the block as
    RT_VERSION 1, language 0x0409."""
    root, names, langs, entry, data = 0, 24, 48, 72, 88
    rsrc = struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", 16, 0x80000000 | names)
    rsrc += struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", 1, 0x80000000 | langs)
    rsrc += struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", 0x0409, entry)
    rsrc += struct.pack("<IIII", SECTION_RVA + data if data_rva is None else data_rva,
                        len(block) if data_size is None else data_size, 0, 0)
    assert len(rsrc) == data
    rsrc += block
    if resource is not None:
        rsrc = resource
    raw = rsrc + b"\0" * (-len(rsrc) % FILE_ALIGN)

    dos = b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40)
    header = b"PE\0\0" + struct.pack("<HHIIIHH", 0x8664, 1, 0, 0, 0, 240, 0x2022)
    mapped = len(rsrc) if mapped_size is None else mapped_size
    virtual_size = (mapped + 0xFFF) & ~0xFFF
    optional = struct.pack("<HBBIIIII", 0x20B, 14, 0, 0, len(raw), 0, 0, 0)
    optional += struct.pack("<QIIHHHHHHIIIIHHQQQQII", 0x180000000, 0x1000, FILE_ALIGN, 6, 0, 0, 0, 6, 0, 0,
                            SECTION_RVA + virtual_size, FILE_ALIGN, 0, 2, 0x160, 0x100000, 0x1000, 0x100000,
                            0x1000, 0, 16)
    directories = [(0, 0)] * 16
    directories[2] = (SECTION_RVA, len(rsrc))
    optional += b"".join(struct.pack("<II", *d) for d in directories)
    assert len(optional) == 240
    section = struct.pack("<8sIIIIIIHHI", b".rsrc", mapped, SECTION_RVA, len(raw), FILE_ALIGN, 0, 0, 0, 0,
                          0x40000040)
    headers = dos + header + optional + section
    return headers + b"\0" * (FILE_ALIGN - len(headers)) + raw


def image_two_version_types(named_first):
    """Two RT_VERSION type entries: a sound one first, then one whose data
    lies far outside the image. The platform looks types up by a binary
    search over the id entries; with three of them it lands on the second.
    With named_first the sound one sits in the named part of the directory,
    where an id search never looks."""
    block = version_block()
    directory = lambda named, entries: struct.pack("<IIHHHH", 0, 0, 0, 0, named, len(entries) - named) + b"".join(
        struct.pack("<II", i, o) for i, o in entries)
    if named_first:
        root = directory(1, [(16, 0x80000000 | 32), (16, 0x80000000 | 96)])
    else:
        root = directory(0, [(16, 0x80000000 | 40), (16, 0x80000000 | 104), (24, 0x80000000 | 40)])
    sound = len(root)
    first = directory(0, [(1, 0x80000000 | (sound + 24))]) + directory(0, [(0x0409, sound + 48)])
    hostile = sound + 64
    second = directory(0, [(1, 0x80000000 | (hostile + 24))]) + directory(0, [(0x0409, hostile + 48)])
    at = hostile + 64
    rsrc = (root + first + struct.pack("<IIII", SECTION_RVA + at, len(block), 0, 0) +
            second + struct.pack("<IIII", 0x7FFFF000, len(block), 0, 0))
    assert len(rsrc) == at
    return image(block, resource=rsrc + block)


def image_overlapping_sections():
    """Two sections at the same address: the first holds a sound resource
    tree, the second (mapped over it, as a loader maps sections in order) one
    whose data lies far outside the image."""
    block = version_block()

    def tree(data_rva):
        d = lambda entry: struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", *entry)
        return (d((16, 0x80000000 | 24)) + d((1, 0x80000000 | 48)) + d((0x0409, 72)) +
                struct.pack("<IIII", data_rva, len(block), 0, 0) + block)

    sound, hostile = tree(SECTION_RVA + 88), tree(0x7FFFF000)
    raw = lambda data: data + b"\0" * (-len(data) % FILE_ALIGN)
    headers = bytearray(image(block)[:FILE_ALIGN])
    table = 0x40 + 24 + 240
    struct.pack_into("<H", headers, 0x40 + 6, 2)  # NumberOfSections
    for i, (data, at) in enumerate(((sound, FILE_ALIGN), (hostile, FILE_ALIGN + len(raw(sound))))):
        struct.pack_into("<8sIIIIIIHHI", headers, table + 40 * i, b".rsrc", len(data), SECTION_RVA,
                         len(raw(data)), at, 0, 0, 0, 0, 0x40000040)
    return bytes(headers) + raw(sound) + raw(hostile)


def image_unaligned_raw_data():
    """A section whose raw data pointer is not sector-aligned: a loader maps
    from the sector boundary below it, where a broken resource tree lies; at
    the pointer itself lies a sound one."""
    block = version_block()

    def tree(data_rva):
        d = lambda entry: struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", *entry)
        return (d((16, 0x80000000 | 24)) + d((1, 0x80000000 | 48)) + d((0x0409, 72)) +
                struct.pack("<IIII", data_rva, len(block), 0, 0))

    hostile, sound = tree(0x7FFFF000), tree(SECTION_RVA + 88) + block
    body = hostile + b"\0" * (0x100 - len(hostile)) + sound
    body += b"\0" * (-len(body) % FILE_ALIGN)
    headers = bytearray(image(block)[:FILE_ALIGN])
    section = 0x40 + 24 + 240
    struct.pack_into("<IIII", headers, section + 8, len(sound), SECTION_RVA, FILE_ALIGN, FILE_ALIGN + 0x100)
    return bytes(headers) + body


CASES = {
    # Sound: the generator's layout reads back.
    "sound.dll": image(version_block()),
    # A child claims 60 KiB inside a block of a few hundred bytes.
    "child-length.dll": image(version_block(table="040904e4", translation=(0x0409, 0x04E4),
                                            string_file_length=0xF000)),
    # Laid out as a 16-bit block inside a 32-bit image.
    "layout-16bit.dll": image(block_16bit()),
    # The data entry's size runs past the end of the file.
    "entry-past-end.dll": image(version_block(), data_size=0x20000),
    # A size that wraps 32-bit arithmetic.
    "entry-huge.dll": image(version_block(), data_size=0x80000010),
    # The data entry's offset lies far outside the image.
    "entry-offset.dll": image(version_block(), data_rva=0x7FFFF000),
    # A language the system does not know.
    "unknown-language.dll": image(version_block(company="Unknown Language Co", table="04ff04b0",
                                                translation=(0x04FF, 0x04B0))),
    # A string that claims 0xFFFF characters and has no terminator.
    "string-no-terminator.dll": image(version_block(company_node=node(
        "CompanyName", "Endless".encode("utf-16-le"), text=True, value_length=0xFFFF))),
    # A translation table that claims 0xFFFF bytes.
    "translation-huge.dll": image(version_block(translation_node=node(
        "Translation", struct.pack("<HH", 0x0409, 0x04B0), value_length=0xFFFF))),
    # A second version type entry, past a sound first one.
    "type-twice.dll": image_two_version_types(named_first=False),
    # The sound version type entry in the named part, the broken one among the ids.
    "type-named.dll": image_two_version_types(named_first=True),
    # The section's raw data holds the resource, the part of it that is
    # mapped (its virtual size) does not: a loader maps only that.
    "mapped-short.dll": image(version_block() + b"\0" * 0x20000, data_size=0x10000, mapped_size=0x200),
    # Two sections at one address, the sound one first.
    "sections-overlap.dll": image_overlapping_sections(),
    # The raw data pointer 0x100 past a sector boundary.
    "raw-unaligned.dll": image_unaligned_raw_data(),
}


def write_cases(cases, out):
    os.makedirs(out, exist_ok=True)
    for name, data in cases.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


def main():
    write_cases(CASES, sys.argv[1])


if __name__ == "__main__":
    main()
