"""The last step under Wine: one companion cleaner per fixed drive, started
with its command line and not waited for; the step prints only its heading."""
import unittest

from winebed import Machine

NT_HEADING = "\n\nVI.  Scanning drive for infected HTM/HTML/ASP files....\n"
W9X_HEADING = "\n\nV.   Scanning drive for infected HTM/HTML/ASP files....\n"
COMMAND = "mopup.exe /clean /nobanner "

# Only C: and E: are fixed; the other kinds get no cleaner.
DRIVES = {"d": "cdrom", "e": "hd", "f": "network", "g": "floppy", "h": "ramdisk"}


class WebCleaner(unittest.TestCase):
    def check_family(self, version, heading):
        with Machine(version, drives=DRIVES) as m:
            m.install_cleaner()
            r = m.run_tool()
            self.assertEqual(r.rc, 0)
            self.assertTrue(r.out.endswith(heading), r.out[-300:])
            # The instances run on after the tool; the order among them is theirs.
            calls = m.cleaner_calls(expected=2)
            self.assertEqual(sorted(calls), [COMMAND + "C:\\", COMMAND + "E:\\"])

            # Without the companion nothing more is printed, and the run ends as before.
            (m.unix("C:\\tool") / "mopup.exe").unlink()
            m.clear_cleaner_calls()
            without = m.run_tool()
            self.assertEqual(without.rc, 0)
            self.assertTrue(without.out.endswith(heading), without.out[-300:])
            self.assertEqual(without.out, r.out)
            self.assertEqual(m.cleaner_calls(expected=0, settle=0), [])

    def test_nt_family(self):
        self.check_family("win7", NT_HEADING)

    def test_win9x_family(self):
        self.check_family("win98", W9X_HEADING)


if __name__ == "__main__":
    unittest.main()
