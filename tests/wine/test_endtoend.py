"""Whole runs on an infected machine, one per family, with /UNSHARE and the
LAN Manager stand-ins: every step does its work, in order, and the whole
console output after the intro screens is compared.

The machine: a running program whose file is a worm copy (C:\\dormant.exe, a
small program with the worm's signatures in an overlay), the worm's loader in
SYSTEM.INI, shares (one refuses deletion), Guest in Administrators (NT), an
infected host and a worm copy on C:, an infected host on a second fixed drive
E:, an infected host on a CD-ROM D: (left alone), and the companion cleaner."""
import time
import unittest

import winebed
from winebed import Machine, mkimage, INFECTED

STANDINS = winebed.WIN_BUILD / "tests" / "standins"
SECOND_SCREEN_END = " \n Press any key to continue....\n"
HOST = b"MZ" + bytes(range(256)) * 20
COMMAND = "mopup.exe /clean /nobanner "


def console(text):
    """`text` as the run shows it: the OEM code page (437 here), RunResult.out is latin-1."""
    return text.encode("cp437", errors="replace").decode("latin-1")


class EndToEnd(unittest.TestCase):
    maxDiff = None

    def prepare(self, m, host_folder_on_e):
        """Infects the machine; answers the dormant process."""
        m.install_cleaner()
        c, e, d = m.unix("C:\\"), m.unix("E:\\"), m.unix("D:\\")
        # A running worm copy in C:\, where the tool's own working folder is, so
        # that also a bare process name from a snapshot names its file.
        mkimage(c / "dormant.exe", "overlay", "--in", STANDINS / "dormant.exe", "--size", 0xE800)
        host = m.write("C:\\data\\host.bin", HOST)
        mkimage(c / "data" / "host.exe", "worm", "--size", 0xF000, "--host", host)
        host.unlink()
        mkimage(c / "data" / "copy.exe", "worm", "--size", 0xE000)
        (e / host_folder_on_e).mkdir()
        (e / "host.bin").write_bytes(HOST)
        mkimage(e / host_folder_on_e / "prog.exe", "worm", "--size", 0xF000, "--host", e / "host.bin")
        (e / "host.bin").unlink()
        mkimage(d / "cdprog.exe", "worm", "--size", 0xF000)
        (m.windir / "system.ini").write_bytes(
            b"[boot]\r\nshell=explorer.exe load.exe -dontrunold\r\n[386Enh]\r\nwoafont=dosapp.fon\r\n")

        marker = c / "dormant.running"
        proc = m.spawn("C:\\dormant.exe", "300", "C:\\dormant.running")
        deadline = time.time() + 30
        while not marker.exists() and time.time() < deadline:
            time.sleep(0.1)
        self.assertTrue(marker.exists(), "the infected program did not start")
        return proc

    def check_after(self, m, proc, host_folder_on_e):
        proc.wait(timeout=30)  # the infected program was ended by step I
        proc.stdout.close()
        self.assertEqual(m.unix("C:\\data\\host.exe").read_bytes(), HOST)
        self.assertEqual(m.unix("E:\\" + host_folder_on_e + "\\prog.exe").read_bytes(), HOST)
        self.assertFalse(m.unix("C:\\data\\copy.exe").exists())
        self.assertEqual(m.classify("D:\\cdprog.exe"), (INFECTED, INFECTED))  # not a fixed drive
        ini = (m.windir / "system.ini").read_bytes()
        self.assertIn(b"shell=Explorer.exe\r\n", ini)
        self.assertIn(b"woafont=dosapp.fon", ini)
        self.assertEqual(sorted(m.cleaner_calls(expected=2)), [COMMAND + "C:\\", COMMAND + "E:\\"])

    def test_nt_family(self):
        scenario = ("share ADMIN$\nshare C$\nshare Données\nshare Printer\nrefuse Printer\nbatch 2\n"
                    "group-del 0\nset-info 0\n")
        with Machine("nt40", drives={"e": "hd", "d": "cdrom"}, scenario=scenario) as m:
            proc = self.prepare(m, "Données")
            r = m.run_tool("/UNSHARE")
            self.assertEqual(r.rc, 0)
            expected = (
                "\n\nI.   Searching for PE_VESKA.A in memory."
                "\n\tPE_VESKA.A FOUND!!!"
                "\n\t    Terminating process (C:\\dormant.exe)... OK!\n"
                "\n\nII.  Removing shared directories."
                "\n\tRemoved shared drive \"ADMIN$\"."
                "\n\tRemoved shared drive \"C$\"."
                "\n\tRemoved shared drive \"" + console("Données") + "\"."
                "\n\nIII. Checking for PE_VESKA.A in SYSTEM.INI."
                "\n\tWorm entry removed."
                "\n\nIV.  Guest accounts."
                "\n\tRemoved user \"GUEST\" from Administrators group\n"
                "\n\tDisabled user \"GUEST\"\n"
                "\n\nV.   Scanning drive for infected executable files..."
                "\n\n"
                " Found PE_VESKA.A-O ->   C:\\data\\copy.exe...Deleted.\n"
                " Found PE_VESKA.A   ->   C:\\data\\host.exe...Cleaned!\n"
                " Found PE_VESKA.A-O ->   C:\\dormant.exe...Deleted.\n"
                " Found PE_VESKA.A   ->   E:\\" + console("Données") + "\\prog.exe...Cleaned!\n"
                "\n\nVI.  Scanning drive for infected HTM/HTML/ASP files....\n")
            self.assertEqual(r.out.split(SECOND_SCREEN_END, 1)[1], expected)
            self.check_after(m, proc, "Données")
            self.assertEqual([c.split(" ")[0] for c in m.standin_calls()].count("NetShareDel"), 4)
            self.assertTrue(m.standin_calls()[-1].startswith("NetUserSetInfo"))

    def test_win9x_family(self):
        scenario = "share DOCS\nshare C$\nshare PRINTER\nrefuse PRINTER\n"
        with Machine("win98", drives={"e": "hd", "d": "cdrom"}, scenario=scenario) as m:
            proc = self.prepare(m, "work")
            r = m.run_tool("/UNSHARE", "/GUEST")
            self.assertEqual(r.rc, 0)
            expected = (
                "\n\nI.   Searching for PE_VESKA.A in memory."
                "\n\tPE_VESKA.A FOUND!!!"
                "  \n\t    Terminating process (dormant.exe)... OK!"
                "\n\nII.  Removing shared directories."
                "\n\tRemoved shared drive \"DOCS\"."
                "\n\tRemoved shared drive \"C$\"."
                "\n\nIII. Checking for PE_VESKA.A in SYSTEM.INI."
                "\n\tWorm entry removed."
                "\n\nIV.  Scanning drive for infected executable files..."
                "\n\n"
                " Found PE_VESKA.A-O ->   C:\\data\\copy.exe...Deleted.\n"
                " Found PE_VESKA.A   ->   C:\\data\\host.exe...Cleaned!\n"
                " Found PE_VESKA.A-O ->   C:\\dormant.exe...Deleted.\n"
                " Found PE_VESKA.A   ->   E:\\work\\prog.exe...Cleaned!\n"
                "\n\nV.   Scanning drive for infected HTM/HTML/ASP files....\n")
            self.assertEqual(r.out.split(SECOND_SCREEN_END, 1)[1], expected)
            self.check_after(m, proc, "work")
            self.assertEqual([c.split(" ")[0] for c in m.standin_calls()],
                             ["NetShareEnum", "NetShareDel", "NetShareDel", "NetShareDel"])


if __name__ == "__main__":
    unittest.main()
