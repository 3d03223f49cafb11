"""An infected demo machine, the tool run on it, and a before/after summary.

The machine is a Wine prefix under ./demo with two fixed drives (C: and E:)
and no way out of its folder. It gets infected copies of real programs from
its own system32 (some read-only or hidden), a copy of the worm itself, and
the worm's loader in SYSTEM.INI. With a terminal attached the tool runs
interactively (its two pauses wait for a key); otherwise it runs straight
through and its output is shown.
"""
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEMO = ROOT / "demo"
sys.path.insert(0, str(ROOT / "tests" / "wine"))

os.environ["VESKACURE_TEMPLATE"] = str(DEMO / "template" / "prefix")
os.environ["VESKACURE_EXE"] = str(ROOT / "build" / "win" / "src" / "veskacure.exe")
os.environ["VESKACURE_WIN_BUILD"] = str(ROOT / "build" / "win")
os.environ["VESKACURE_MKIMAGE"] = str(ROOT / "build" / "native" / "tests" / "mkimage")
os.environ["VESKACURE_WORK"] = str(DEMO)

import winebed  # noqa: E402  (needs the settings above)


ATTR_NAMES = [(winebed.READONLY, "read-only"), (winebed.HIDDEN, "hidden"), (winebed.SYSTEM, "system")]
VERDICTS = {0: "clean", 1: "gone", 4: "empty", 10: "INFECTED", 100: "WORM COPY"}


def infect(m, host_name, winpath, attrs=None):
    host = m.unix("C:\\windows\\system32") / host_name
    out = m.unix(winpath)
    out.parent.mkdir(parents=True, exist_ok=True)
    winebed.mkimage(out, "worm", "--host", host)
    if attrs:
        m.set_attrs(winpath, attrs)
    return host


def build_machine():
    m = winebed.Machine("win7", drives={"e": "hd"})
    files = {}
    files["C:\\Program Files\\Editor\\notepad.exe"] = infect(m, "notepad.exe", "C:\\Program Files\\Editor\\notepad.exe")
    files["C:\\Program Files\\Editor\\write.exe"] = infect(m, "write.exe", "C:\\Program Files\\Editor\\write.exe",
                                                            winebed.READONLY)
    files["C:\\Games\\winhlp32.exe"] = infect(m, "winhlp32.exe", "C:\\Games\\winhlp32.exe", winebed.HIDDEN)
    files["E:\\Tools\\cmd.exe"] = infect(m, "cmd.exe", "E:\\Tools\\cmd.exe")
    files["E:\\Tools\\xcopy.exe"] = infect(m, "xcopy.exe", "E:\\Tools\\xcopy.exe", winebed.READONLY | winebed.HIDDEN)
    worm = m.unix("C:\\windows\\load.exe")
    winebed.mkimage(worm, "worm", "--size", 57344)
    files["C:\\windows\\load.exe"] = None
    m.write("C:\\Documents\\letter.txt", b"Dear reader,\r\nnothing to see here.\r\n")
    files["C:\\Documents\\letter.txt"] = None
    ini = m.windir / "system.ini"
    ini.write_text("[boot]\r\nshell=explorer.exe load.exe -dontrunold\r\n\r\n[drivers]\r\n")
    return m, files


def describe(m, files):
    lines = []
    for winpath, host in files.items():
        path = m.unix(winpath)
        if not path.exists():
            lines.append("  %-40s gone" % winpath)
            continue
        verdict = VERDICTS.get(m.classify(winpath)[1], "?")
        attrs = m.attrs(winpath)
        flags = ", ".join(name for bit, name in ATTR_NAMES if attrs & bit)
        note = "%s, %d bytes" % (verdict, path.stat().st_size)
        if host is not None and verdict == "clean":
            same = path.read_bytes() == host.read_bytes()
            note += ", identical to the original program" if same else ", DIFFERS from the original"
        if flags:
            note += " (%s)" % flags
        lines.append("  %-40s %s" % (winpath, note))
    shell = "(none)"
    for line in (m.windir / "system.ini").read_text(errors="replace").splitlines():
        if line.lower().startswith("shell="):
            shell = line.split("=", 1)[1]
    lines.append("  %-40s %s" % ("SYSTEM.INI [boot] shell", shell))
    return "\n".join(lines)


def main():
    if not (DEMO / "template" / "prefix").is_dir():
        print("Making the demo machine's Windows (once)...")
        winebed.make_template(DEMO / "template")
    m, files = build_machine()
    try:
        before = describe(m, files)
        print("\nThe demo machine before the run (Windows 7, fixed drives C: and E:):\n" + before)
        print("\nRunning veskacure.exe on it...\n")
        if sys.stdin.isatty() and sys.stdout.isatty():
            m._before_start()
            subprocess.run(["wine", m.TOOL_DIR + "\\veskacure.exe"] + sys.argv[1:], env=m.env,
                           cwd=str(m.prefix / "drive_c"))
        else:
            result = m.run_tool(*sys.argv[1:])
            sys.stdout.write(result.out)
        print("\n\nThe demo machine after the run:\n" + describe(m, files))
    finally:
        m.close()


if __name__ == "__main__":
    main()
