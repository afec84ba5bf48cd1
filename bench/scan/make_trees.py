#!/usr/bin/env python3
"""Generates the scan benchmark's trees once; a marker beside each tree
keeps it between runs.

  system: 30,000 files of 1-64 KiB in 1,500 folders; a third are PE files
          with version resources taken from the Wine prefix's C:\\windows.
  data:   2,000 files totalling 2 GiB.

Usage: make_trees.py ROOT WINDOWS_FOLDER
"""
import os
import random
import sys

SYSTEM_FILES, SYSTEM_FOLDERS = 30000, 1500
DATA_FILES, DATA_BYTES = 2000, 2 << 30
KIB = 1024


def has_version_resource(data):
    return data[:2] == b"MZ" and "VS_VERSION_INFO".encode("utf-16-le") in data


def pe_pool(windows):
    pool = []
    for folder, _, names in os.walk(windows):
        for name in sorted(names):
            path = os.path.join(folder, name)
            try:
                if os.path.islink(path) or not KIB <= os.path.getsize(path) <= 64 * KIB:
                    continue
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                continue
            if has_version_resource(data):
                pool.append((name, data))
    pool.sort()
    return pool


def system_tree(root, windows):
    pool = pe_pool(windows)
    if not pool:
        sys.exit("no PE file with a version resource of 1-64 KiB under " + windows)
    rng = random.Random(19)
    noise = rng.randbytes(64 * KIB * 2)
    extensions = ["txt", "dat", "cfg", "xml", "ini", "log", "bin", "js"]
    per_folder = SYSTEM_FILES // SYSTEM_FOLDERS
    for f in range(SYSTEM_FOLDERS):
        # Two levels: 50 folders of 30 sub-folders each.
        folder = os.path.join(root, "dir%02d" % (f // 30), "sub%02d" % (f % 30))
        os.makedirs(folder, exist_ok=True)
        for i in range(per_folder):
            n = f * per_folder + i
            if n % 3 == 0:
                name, data = pool[(n // 3) % len(pool)]
                stem, _, ext = name.rpartition(".")
                path = os.path.join(folder, "%s_%d.%s" % (stem or name, n, ext or "dll"))
            else:
                size = rng.randint(KIB, 64 * KIB)
                start = rng.randint(0, len(noise) - size)
                data = noise[start:start + size]
                path = os.path.join(folder, "file%d.%s" % (n, extensions[n % len(extensions)]))
            with open(path, "wb") as out:
                out.write(data)
    return len(pool)


def data_tree(root):
    rng = random.Random(20)
    sizes = [rng.randint(KIB * KIB // 2, 3 * KIB * KIB // 2) for _ in range(DATA_FILES)]
    scale = DATA_BYTES / sum(sizes)
    sizes = [int(s * scale) for s in sizes]
    sizes[-1] += DATA_BYTES - sum(sizes)
    block = os.urandom(4 * KIB * KIB)
    for n, size in enumerate(sizes):
        folder = os.path.join(root, "set%02d" % (n // 100))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "part%04d.bin" % n), "wb") as out:
            # Each file starts at its own place in the block: no two alike.
            at, left = (n * 4099) % len(block), size
            out.write(n.to_bytes(8, "little"))
            left -= 8
            while left > 0:
                chunk = block[at:at + left]
                out.write(chunk)
                left -= len(chunk)
                at = 0


def main():
    root, windows = sys.argv[1], sys.argv[2]
    os.makedirs(root, exist_ok=True)
    for name, make in (("system", lambda p: system_tree(p, windows)), ("data", data_tree)):
        path, marker = os.path.join(root, name), os.path.join(root, name + ".done")
        if os.path.exists(marker):
            continue
        if os.path.exists(path):
            import shutil
            shutil.rmtree(path)
        make(path)
        open(marker, "w").close()


if __name__ == "__main__":
    main()
