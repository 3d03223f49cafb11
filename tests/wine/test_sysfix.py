"""System settings under Wine: the SYSTEM.INI shell entry (step III), share
removal with /UNSHARE (step II) and the Guest lockdown (step IV, NT family).
Shares and the Guest account go through the NETAPI32/SVRAPI stand-ins, whose
call log shows what the tool asked for."""
import subprocess
import unittest

import winebed
from winebed import SharedMachineTest, section

SHARES = "\n\nII.  Removing shared directories."
SYSTEM_INI = "\n\nIII. Checking for PE_VESKA.A in SYSTEM.INI."
GUEST = "\n\nIV.  Guest accounts."

REMOVED = "\n\tWorm entry removed."
NOT_FOUND = "\n\tWorm entry not found."
NOT_REMOVED = "\n\tWorm entry could not be removed."

NO_SHARES = "\n\tNo shares removed."
GUEST_REMOVED = "\n\tRemoved user \"GUEST\" from Administrators group\n"
GUEST_DISABLED = "\n\tDisabled user \"GUEST\"\n"
GUEST_FAILED = "\n\tCan't set user information \"GUEST\"\n"


def console(text):
    """`text` as the run shows it: without a console, Wine writes in the OEM
    code page (437 here), "?" for what it lacks; RunResult.out is latin-1."""
    return text.encode("cp437", errors="replace").decode("latin-1")


def removed(name):
    return "\n\tRemoved shared drive \"%s\"." % console(name)


def calls_named(calls, name):
    return [c for c in calls if c.split(" ")[0] == name]


def share_calls(m):
    """The share service's calls of a run (on the NT family the Guest step
    follows in the same log)."""
    return [c for c in m.standin_calls() if c.startswith(("NetShare", "NetApiBufferFree"))]


class SystemIni(SharedMachineTest):
    """The shell entry of the boot section, read and written through the
    profile service in the Windows directory."""

    MACHINE = {"version": "win7"}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.ini = cls.m.windir / "system.ini"

    def run_step(self):
        return section(self.m.run_tool().out, SYSTEM_INI)

    def write_ini(self, text):
        self.ini.write_bytes(text.replace("\n", "\r\n").encode("latin-1"))
        return self.ini.read_bytes()

    def shell_value(self):
        lines = self.ini.read_bytes().decode("latin-1").splitlines()
        values = [l.split("=", 1)[1] for l in lines if l.lower().startswith("shell=")]
        self.assertEqual(len(values), 1, lines)
        return values[0]

    def test_loader_removed_and_second_run_leaves_the_file(self):
        self.write_ini("[boot]\nshell=explorer.exe load.exe -dontrunold\nsystem.drv=system.drv\n"
                       "[386Enh]\nshell=keep.exe load.exe\n")
        self.assertEqual(self.run_step(), REMOVED)
        self.assertEqual(self.shell_value_in("boot"), "Explorer.exe")
        # Only the boot section's entry is rewritten.
        self.assertEqual(self.shell_value_in("386Enh"), "keep.exe load.exe")
        after = self.ini.read_bytes()
        stamp = self.ini.stat().st_mtime_ns
        self.assertEqual(self.run_step(), NOT_FOUND)
        self.assertEqual(self.ini.read_bytes(), after)
        self.assertEqual(self.ini.stat().st_mtime_ns, stamp)

    def shell_value_in(self, wanted):
        current = None
        for line in self.ini.read_bytes().decode("latin-1").splitlines():
            if line.startswith("["):
                current = line.strip("[]")
            elif current == wanted and line.lower().startswith("shell="):
                return line.split("=", 1)[1]
        return None

    def test_marker_matching(self):
        cases = [
            ("explorer.exe LOAD.EXE", NOT_FOUND),           # another case: not the marker
            ("c:\\tools\\download.exe", REMOVED),           # the marker inside a longer name
            ("load.exe", REMOVED),
            ("explorer.exe load.ex", NOT_FOUND),
            ("", NOT_FOUND),                                 # present but empty
        ]
        for value, expected in cases:
            with self.subTest(value=value):
                self.check_repair(value, expected)

    def check_repair(self, value, expected):
        """Runs the step on a shell entry: the entry becomes Explorer.exe when
        the loader was found, and otherwise the file is left byte for byte."""
        before = self.write_ini("[boot]\nshell=%s\n" % value)
        self.assertEqual(self.run_step(), expected)
        if expected == REMOVED:
            self.assertEqual(self.shell_value(), "Explorer.exe")
        else:
            self.assertEqual(self.ini.read_bytes(), before)

    def test_long_value_is_read_to_259_characters(self):
        # The marker ends at character 259: seen. One further: cut off, not seen.
        for start, expected in ((251, REMOVED), (252, NOT_FOUND)):
            with self.subTest(start=start):
                value = "x" * start + "load.exe" + "y" * 40
                self.check_repair(value, expected)

    def test_nothing_created_without_file_section_or_key(self):
        for text in ("[other]\nshell=load.exe\n", "[boot]\nsystem.drv=load.exe\n"):
            with self.subTest(text=text):
                before = self.write_ini(text)
                self.assertEqual(self.run_step(), NOT_FOUND)
                self.assertEqual(self.ini.read_bytes(), before)
        self.ini.unlink()
        self.assertEqual(self.run_step(), NOT_FOUND)
        self.assertEqual([p.name for p in self.m.windir.iterdir() if p.name.lower() == "system.ini"],
                         [])

    def test_failed_write_is_reported(self):
        before = self.write_ini("[boot]\nshell=explorer.exe load.exe -dontrunold\n")
        # Root may write read-only files under Wine: another process holding the
        # file with read sharing only is what makes the write fail.
        holder = self.m.spawn(str(winebed.WIN_BUILD / "tests" / "standins" / "probe.exe"),
                              "hold", "C:\\windows\\system.ini", "30", "r")
        try:
            self.assertEqual(holder.stdout.readline().strip(), b"holding")
            self.assertEqual(self.run_step(), NOT_REMOVED)
            self.assertEqual(self.ini.read_bytes(), before)
        finally:
            holder.kill()
            holder.wait(timeout=10)


class SharesCase(SharedMachineTest):
    """Share removal on one machine; the stand-ins (or a variant) are put in
    place afresh for every case."""

    def unshare(self, scenario, **standins):
        self.m.install_standins(scenario, **standins)
        return section(self.m.run_tool("/UNSHARE").out, SHARES)


class SharesNT(SharesCase):
    """NETAPI32, level 502, batches with a resume handle."""

    MACHINE = {"version": "win7"}

    def test_batches_names_and_refusals(self):
        out = self.unshare("share ADMIN$\nshare Données\nshare 共享\nshare Refused\nrefuse Refused\n"
                           "share C$\nbatch 2\n")
        # Refused deletions are passed over in silence; names come from UTF-16.
        self.assertEqual(out, removed("ADMIN$") + removed("Données") + removed("共享")
                         + removed("C$"))
        self.assertEqual(share_calls(self.m), [
            "NetShareEnum server=NULL level=502 max=0xffffffff resume=0 -> 234 read=2 total=5 buffer=#1",
            'NetShareDel server=NULL name="ADMIN$" reserved=0 -> 0',
            'NetShareDel server=NULL name="Données" reserved=0 -> 0',
            "NetApiBufferFree buffer=#1 -> 0",
            # A batch that deleted shares: the listing starts again from 0.
            "NetShareEnum server=NULL level=502 max=0xffffffff resume=0 -> 234 read=2 total=3 buffer=#2",
            'NetShareDel server=NULL name="共享" reserved=0 -> 0',
            'NetShareDel server=NULL name="Refused" reserved=0 -> 5',
            "NetApiBufferFree buffer=#2 -> 0",
            "NetShareEnum server=NULL level=502 max=0xffffffff resume=0 -> 0 read=2 total=2 buffer=#3",
            'NetShareDel server=NULL name="Refused" reserved=0 -> 5',
            'NetShareDel server=NULL name="C$" reserved=0 -> 0',
            "NetApiBufferFree buffer=#3 -> 0",
        ])

    def test_resume_handle_that_is_a_position_in_the_live_list(self):
        # Deletions move later shares forward: the handle handed back after
        # the first batch (2) would pass over C and D.
        out = self.unshare("share A\nshare B\nshare C\nshare D\nshare E\nbatch 2\nresume live\n")
        self.assertEqual(out, "".join(removed(n) for n in "ABCDE"))
        resumes = [c.split("resume=")[1].split(" ")[0]
                   for c in calls_named(share_calls(self.m), "NetShareEnum")]
        self.assertEqual(resumes, ["0", "0", "0"])
        # After a partial batch that deleted nothing, the handed-back handle is used.
        out = self.unshare("share A\nshare B\nshare C\nrefuse A\nbatch 1\nresume live\n")
        self.assertEqual(out, removed("B") + removed("C"))
        resumes = [c.split("resume=")[1].split(" ")[0]
                   for c in calls_named(share_calls(self.m), "NetShareEnum")]
        self.assertEqual(resumes, ["0", "1", "0", "1"])

    def test_no_shares_removed_only_when_no_batch_removed_any(self):
        cases = [
            ("", NO_SHARES),                                               # no shares at all
            ("share A\nshare B\nrefuse A\nrefuse B\n", NO_SHARES),         # all refuse
            ("share A\nshare B\nrefuse A\nrefuse B\nbatch 1\n", NO_SHARES),
            ("share A\nshare B\nrefuse A\nbatch 1\n", removed("B")),       # only the last batch
        ]
        for scenario, expected in cases:
            with self.subTest(scenario=scenario):
                self.assertEqual(self.unshare(scenario), expected)
                enums = calls_named(share_calls(self.m), "NetShareEnum")
                # Every batch's buffer is given back, an empty one too.
                self.assertEqual(len(calls_named(share_calls(self.m), "NetApiBufferFree")),
                                 len(enums))

    def test_failing_enumeration_prints_nothing(self):
        self.assertEqual(self.unshare("share A\nenum-fail 1 5\n"), "")
        self.assertEqual(share_calls(self.m),
                         ["NetShareEnum server=NULL level=502 max=0xffffffff resume=0 -> 5"])
        # After a first batch, also when that batch removed nothing.
        self.assertEqual(self.unshare("share A\nshare B\nrefuse A\nbatch 1\nenum-fail 2 5\n"), "")
        self.assertEqual([c.split(" ")[0] for c in share_calls(self.m)],
                         ["NetShareEnum", "NetShareDel", "NetApiBufferFree", "NetShareEnum"])
        self.assertEqual(self.unshare("share A\nshare B\nbatch 1\nenum-fail 2 5\n"), removed("A"))

    def test_missing_entry_point_prints_and_calls_nothing(self):
        out = self.unshare("share A\n", netapi32="netapi32-no-NetApiBufferFree.dll")
        self.assertEqual(out, "")
        self.assertEqual(share_calls(self.m), [])


class SharesWin9x(SharesCase):
    """SVRAPI, level 50: 42-byte records in a 2200-byte buffer, no resume
    handle; a partial answer is asked again while the last round removed some."""

    MACHINE = {"version": "win98"}

    def test_records_at_42_byte_steps(self):
        out = self.unshare("share DOCS\nshare C$\nshare PRINTER_1234\nshare X\nrefuse C$\n")
        self.assertEqual(out, removed("DOCS") + removed("PRINTER_1234") + removed("X"))
        self.assertEqual(share_calls(self.m), [
            "NetShareEnum server=NULL level=50 size=2200 -> 0 read=4 total=4",
            'NetShareDel server=NULL name="DOCS" reserved=0 -> 0',
            'NetShareDel server=NULL name="C$" reserved=0 -> 5',
            'NetShareDel server=NULL name="PRINTER_1234" reserved=0 -> 0',
            'NetShareDel server=NULL name="X" reserved=0 -> 0',
        ])

    def test_partial_answers_are_asked_again(self):
        # 200 bytes of text per share: 9 records fit in 2200 bytes.
        names = ["SHARE%02d" % i for i in range(12)]
        out = self.unshare("".join("share %s\n" % n for n in names) + "share-text 200\n")
        self.assertEqual(out, "".join(removed(n) for n in names))
        enums = calls_named(share_calls(self.m), "NetShareEnum")
        self.assertEqual(enums, [
            "NetShareEnum server=NULL level=50 size=2200 -> 234 read=9 total=12",
            "NetShareEnum server=NULL level=50 size=2200 -> 0 read=3 total=3",
        ])

    def test_asking_again_stops_when_a_round_removes_nothing(self):
        # 1000 bytes of text per share: two records per answer. A refuses.
        out = self.unshare("share A\nshare B\nshare C\nshare D\nrefuse A\nshare-text 1000\n")
        self.assertEqual(out, removed("B") + removed("C") + removed("D"))
        self.assertEqual(len(calls_named(share_calls(self.m), "NetShareEnum")), 3)
        out = self.unshare("share A\nshare B\nshare C\nrefuse A\nrefuse B\nshare-text 1000\n")
        self.assertEqual(out, NO_SHARES)
        self.assertEqual(calls_named(share_calls(self.m), "NetShareEnum"),
                         ["NetShareEnum server=NULL level=50 size=2200 -> 234 read=2 total=3"])

    def test_no_shares_failure_and_missing_entry_point(self):
        self.assertEqual(self.unshare(""), NO_SHARES)
        self.assertEqual(self.unshare("share A\nenum-fail 1 5\n"), "")
        self.assertEqual(self.unshare("share A\nshare B\nrefuse A\nshare-text 1000\nshare C\n"
                                      "enum-fail 2 5\n"), removed("B"))
        self.assertEqual(self.unshare("share A\n", svrapi="svrapi-no-NetShareDel.dll"), "")
        self.assertEqual(share_calls(self.m), [])

    def test_svrapi_not_loadable(self):
        out = self.m.run_tool("/UNSHARE", env={"WINEDLLOVERRIDES": "mscoree,mshtml=;svrapi="}).out
        self.assertEqual(section(out, SHARES), "\n\tUnable to load SVRAPI.DLL.")


class Guest(SharedMachineTest):
    """Step IV: "\\guest" out of Administrators (level 3), then GUEST's flags set
    to exactly 3 (level 1008)."""

    MACHINE = {"version": "win7"}

    def lock(self, scenario, **standins):
        # The stand-ins (or a variant) are put in place afresh for every case.
        self.m.install_standins(scenario, **standins)
        return section(self.m.run_tool().out, GUEST)

    def test_outcomes_and_arguments(self):
        group_call = ('NetLocalGroupDelMembers server=NULL group="Administrators" level=3 '
                      'member="\\guest" count=1 -> %d')
        set_call = 'NetUserSetInfo server=NULL user="GUEST" level=1008 flags=3 parm_err=NULL -> %d'
        cases = [
            # group removal answer, set-info answer, printed
            (0, 0, GUEST_REMOVED + GUEST_DISABLED),
            (1377, 0, GUEST_DISABLED),            # not a member
            (0, 5, GUEST_REMOVED + GUEST_FAILED),
            (1376, 2221, GUEST_FAILED),           # no such group, no such user
        ]
        for group_del, set_info, expected in cases:
            with self.subTest(group_del=group_del, set_info=set_info):
                out = self.lock("group-del %d\nset-info %d\n" % (group_del, set_info))
                self.assertEqual(out, expected)
                self.assertEqual(self.m.standin_calls(), [group_call % group_del,
                                                          set_call % set_info])

    def test_missing_entry_point_prints_nothing(self):
        self.assertEqual(self.lock("group-del 0\n", netapi32="netapi32-no-NetUserSetInfo.dll"), "")
        self.assertEqual(self.m.standin_calls(), [])

    def test_netapi32_not_loadable(self):
        out = self.m.run_tool("/UNSHARE", env={"WINEDLLOVERRIDES": "mscoree,mshtml=;netapi32="}).out
        self.assertEqual(section(out, SHARES), "\n\tUnable to load NETAPI32.DLL.")
        self.assertEqual(section(out, GUEST), "\n\tUnable to load NETAPI32.DLL.")


if __name__ == "__main__":
    unittest.main()
