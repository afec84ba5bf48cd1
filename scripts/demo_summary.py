#!/usr/bin/env python3
"""Summary of an exported software state document, with a sample of its
checksums checked again by rhash, an independent GOST R 34.11-94 tool.
Usage: demo_summary.py PASSPORT DRIVE_C SCAN_SECONDS"""
import random
import subprocess
import sys
import xml.etree.ElementTree as ET

passport, drive_c, seconds = sys.argv[1], sys.argv[2], max(int(sys.argv[3]), 1)
root = ET.parse(passport).getroot()
entries = []
for si in root.iter("SI"):
    field = {child.tag: (child.text or "") for child in si}
    entries.append(field)

total = sum(int(e.get("S", "0") or 0) for e in entries)
print(f"\n== Passport {root.findtext('UniqueId')}")
print(f"files {len(entries)}, bytes {total:,}, scan time {seconds} s, {len(entries) / seconds:.0f} files/s")
print("the five largest files:")
for e in sorted(entries, key=lambda e: -int(e.get("S", "0") or 0))[:5]:
    print(f"  {int(e['S']):>12,}  {e['P']}\\{e['N']}")
    print(f"                {e['T']} | {e['D']} | {e['V']} | {e['MN']} | {e['PN']} {e['PV']}")


def linux_path(e):
    folder = e["P"]
    if not folder.lower().startswith("c:\\"):
        return None
    return drive_c + "/" + folder[3:].replace("\\", "/") + "/" + e["N"]


candidates = [e for e in entries if e.get("CS") and linux_path(e)]
random.seed(len(entries))
sample = random.sample(candidates, min(len(candidates), 60))
# The sample tree's own files are always among them.
sample += [e for e in candidates if "\\vrdemo\\" in e["P"].lower() and e not in sample]
bad = 0
for e in sample:
    out = subprocess.run(["rhash", "--gost94", "--printf=%{gost94}", linux_path(e)], capture_output=True, text=True)
    digest = out.stdout.strip()
    expected = "".join(reversed([digest[i:i + 2] for i in range(0, len(digest), 2)])).upper()
    if out.returncode != 0 or expected != e["CS"]:
        bad += 1
        print(f"MISMATCH {e['P']}\\{e['N']}: document {e['CS']}, rhash {expected or out.stderr.strip()}")
print(f"checksums re-checked against rhash --gost94: {len(sample)}, matching {len(sample) - bad}")
if len(sample) < 50 or bad:
    sys.exit("demo: the passport's checksums do not all match rhash")
