"""Fails on any function the executable imports that the allow-list lacks.

The allow-list holds what Windows 95 and NT 4 export; anything else must be
bound at run time with GetProcAddress. Usage: check_imports.py EXE ALLOWLIST
"""
import re
import subprocess
import sys


def header_faults(text):
    """The Windows 95 / NT 4 loaders need an i386 image marked for OS and subsystem 4.0."""
    faults = []
    if "file format pei-i386" not in text:
        faults.append("not a PE32 i386 image")
    for field in ("MajorOSystemVersion", "MajorSubsystemVersion"):
        m = re.search(r"^%s\s+(\d+)" % field, text, re.M)
        if not m or m.group(1) != "4":
            faults.append("%s is not 4" % field)
    for field in ("MinorOSystemVersion", "MinorSubsystemVersion"):
        m = re.search(r"^%s\s+(\d+)" % field, text, re.M)
        if not m or m.group(1) != "0":
            faults.append("%s is not 0" % field)
    return faults


def imports(text):
    found, dll = {}, None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).upper()
            found.setdefault(dll, set())
            continue
        m = re.match(r"\s+[0-9a-f]+\s+[0-9]+\s+(\S+)$", line)
        if dll and m:
            found[dll].add(m.group(1))
        elif dll and not line.strip():
            dll = None if found[dll] else dll
    return found


def allowed(path):
    table, dll = {}, None
    for raw in open(path, encoding="utf-8"):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        m = re.match(r"\[(.+)\]$", line)
        if m:
            dll = m.group(1).upper()
            table.setdefault(dll, set())
        else:
            table[dll].update(line.split())
    return table


def main():
    exe, listing = sys.argv[1], sys.argv[2]
    text = subprocess.run(["i686-w64-mingw32-objdump", "-p", exe], check=True,
                          capture_output=True, text=True).stdout
    got, ok = imports(text), allowed(listing)
    bad = header_faults(text)
    for dll, names in sorted(got.items()):
        if dll not in ok:
            bad.append("%s (whole library)" % dll)
            continue
        bad += ["%s!%s" % (dll, n) for n in sorted(names - ok[dll])]
    total = sum(len(v) for v in got.values())
    if not got or total == 0:
        print("no imports read from %s" % exe)
        return 1
    for item in bad:
        print("not allowed: %s" % item)
    print("%d imports from %s checked, %d not allowed" % (total, ", ".join(sorted(got)), len(bad)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
