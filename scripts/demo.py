"""An infected demo machine, the tool run on it, and a before/after summary.

The machine is a Wine prefix under ./demo with two fixed drives (C: and E:)
and no way out of its folder. It gets infected copies of real programs from
its own system32 (some read-only or hidden), copies of the worm itself (one
of them running), the worm's loader in SYSTEM.INI, network shares and a
Guest account in the Administrators group. Wine has no network share or
account services, so those two come from stand-in NETAPI32/SVRAPI libraries
placed next to the tool, which play the machine's part and log what the tool
asks of them; the companion web-page cleaner is a stand-in that logs its
command line. The tool runs with /UNSHARE unless other arguments are given.
With a terminal attached it runs interactively (its two pauses wait for a
key); otherwise it runs straight through and its output is shown.
"""
import os
import subprocess
import sys
import time
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


# What the share and account stand-ins answer on this machine.
SCENARIO = ("share Public\nshare Scans\nshare C$\nshare ADMIN$\n"
            "group-del 0\nset-info 0\n")
SHARES = ["Public", "Scans", "C$", "ADMIN$"]
RUNNING = "C:\\Program Files\\Chat\\chatsrv.exe"


def start_infected_program(m):
    """A running program whose file is a copy of the worm."""
    standin = winebed.WIN_BUILD / "tests" / "standins" / "dormant.exe"
    path = m.unix(RUNNING)
    path.parent.mkdir(parents=True)
    winebed.mkimage(path, "overlay", "--in", standin, "--size", 0xE800)
    marker = path.with_name("running.txt")
    proc = m.spawn(RUNNING, "600", RUNNING.rsplit("\\", 1)[0] + "\\running.txt")
    deadline = time.time() + 30
    while not marker.exists() and time.time() < deadline:
        time.sleep(0.1)
    marker.unlink()
    return proc


def build_machine():
    m = winebed.Machine("win7", drives={"e": "hd"}, scenario=SCENARIO)
    m.install_cleaner()
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
    files[RUNNING] = None
    proc = start_infected_program(m)
    return m, files, proc


def describe_services(m, proc, after):
    """Processes, shares, Guest and the cleaner, from the stand-ins' logs."""
    calls = m.standin_calls() if after else []
    running = proc.poll() is None
    lines = ["  %-40s %s" % ("process " + RUNNING.rsplit("\\", 1)[1],
                             "running (its file is a worm copy)" if running else "not running")]
    removed = [s for s in SHARES if any(c.startswith("NetShareDel") and '"%s"' % s in c and c.endswith("-> 0")
                                        for c in calls)]
    left = [s for s in SHARES if s not in removed]
    lines.append("  %-40s %s" % ("network shares (stand-in)", ", ".join(left) or "none"))
    guest_member = not any(c.startswith("NetLocalGroupDelMembers") and c.endswith("-> 0") for c in calls)
    guest_enabled = not any(c.startswith("NetUserSetInfo") and c.endswith("-> 0") for c in calls)
    lines.append("  %-40s %s" % ("Guest account (stand-in)", "%s, %s" % (
        "in Administrators" if guest_member else "not in Administrators",
        "enabled" if guest_enabled else "disabled")))
    if after:
        launches = m.cleaner_calls(expected=2, timeout=10, settle=0.5)
        lines.append("  %-40s %s" % ("web-page cleaner started", "; ".join(launches) or "never"))
    return lines


def describe(m, files, proc, after=False):
    lines = describe_services(m, proc, after)
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
    winebed.skip_unless_32bit_programs_run("no demo")
    if not (DEMO / "template" / "prefix").is_dir():
        print("Making the demo machine's Windows (once)...")
        winebed.make_template(DEMO / "template")
    m, files, proc = build_machine()
    args = sys.argv[1:] or ["/UNSHARE"]
    try:
        before = describe(m, files, proc)
        print("\nThe demo machine before the run (Windows 7, fixed drives C: and E:):\n" + before)
        print("\nShares and the Guest account are played by stand-in NETAPI32/SVRAPI libraries next to"
              "\nthe tool (Wine has no such services); the web-page cleaner is a stand-in that logs.")
        print("\nRunning veskacure.exe %s on it...\n" % " ".join(args))
        if sys.stdin.isatty() and sys.stdout.isatty():
            subprocess.run(["wine", m.TOOL_DIR + "\\veskacure.exe"] + args,
                           env=m._wine_env(m._tool_env(None)), cwd=str(m.prefix / "drive_c"))
        else:
            result = m.run_tool(*args)
            sys.stdout.write(result.out)
        print("\n\nThe demo machine after the run:\n" + describe(m, files, proc, after=True))
    finally:
        m.close()


if __name__ == "__main__":
    main()
