"""The run driver under Wine: intro screens, switches, step lists of both
families, the Guest prompt and the key pauses."""
import sys
import unittest

import winebed
from winebed import Machine

sys.path.insert(0, str(winebed.Path(__file__).parent))

FIRST_SCREEN_START = "\n +=============================================================+\n |                     VESKACURE Version 1.22                  |\n"
FIRST_PAUSE = " +=============================================================+ \n Press any key for help....\n"
SECOND_SCREEN_END = (
    " |      /UNSHARE   - removed shared folders .                 |\n"
    " |                                                            |\n"
    " +============================================================+\n"
    " \n Press any key to continue....\n")

STEPS_I_TO_III = (
    "\n\nI.   Searching for PE_VESKA.A in memory."
    "\n\tNot found."
    "\n\nII.  Removing shared directories."
    "\n\tShared directories will not be removed but will be retained."
    "\n\nIII. Checking for PE_VESKA.A in SYSTEM.INI."
    "\n\tWorm entry not found.")

# Step IV with the default stand-in scenario: Guest is no member of
# Administrators, and disabling it succeeds.
NT_TAIL = (
    "\n\nIV.  Guest accounts."
    "\n\tDisabled user \"GUEST\"\n"
    "\n\nV.   Scanning drive for infected executable files..."
    "\n\tNot found."
    "\n\nVI.  Scanning drive for infected HTM/HTML/ASP files....\n")

W9X_TAIL = (
    "\n\nIV.  Scanning drive for infected executable files..."
    "\n\tNot found."
    "\n\nV.   Scanning drive for infected HTM/HTML/ASP files....\n")


def after_intro(out):
    """What the run printed after the second key pause."""
    assert SECOND_SCREEN_END in out, out
    return out.split(SECOND_SCREEN_END, 1)[1]


class StepLists(unittest.TestCase):
    def check_family(self, version, tail):
        with Machine(version) as m:
            r = m.run_tool()
            self.assertEqual(r.rc, 0)
            self.assertTrue(r.out.startswith(FIRST_SCREEN_START), r.out[:200])
            self.assertIn(FIRST_PAUSE + "\n" * 14, r.out)
            self.assertEqual(after_intro(r.out), STEPS_I_TO_III + tail)

    def test_nt_family_versions(self):
        for version in ("win7", "win2k", "nt40"):
            with self.subTest(version=version):
                self.check_family(version, NT_TAIL)

    def test_win9x_family(self):
        self.check_family("win98", W9X_TAIL)

    def test_guest_switch_has_no_effect_on_win9x(self):
        with Machine("win98") as m:
            r = m.run_tool("/GUEST", stdin=b"y\n")
            self.assertEqual(after_intro(r.out), STEPS_I_TO_III + W9X_TAIL)


class Switches(unittest.TestCase):
    def test_switches_in_one_machine(self):
        with Machine("win7") as m:
            retained = "\n\tShared directories will not be removed but will be retained."
            for args in (["/unshare"], ["abc", "/UNSHARE"], ["/UNSHARED", "/unshare"]):
                with self.subTest(args=args):
                    out = after_intro(m.run_tool(*args).out)
                    self.assertNotIn(retained, out)
                    self.assertIn("\n\nII.  Removing shared directories.\n\tNo shares removed."
                                  "\n\nIII. ", out)
            out = after_intro(m.run_tool("abc").out)
            self.assertIn(retained, out)

    def test_unknown_option_ends_the_run_after_the_intro(self):
        with Machine("win7") as m:
            for args, named in ((["/UNSHARE", "/Q"], "/Q"), (["/GUES"], "/GUES"), (["/"], "/"),
                                (["/GUEST", "/x y"], "/x y")):
                with self.subTest(args=args):
                    r = m.run_tool(*args)
                    self.assertEqual(r.rc, 0)
                    self.assertEqual(after_intro(r.out), "\n\nUnknown option:  " + named)


class GuestPrompt(unittest.TestCase):
    def test_prompt_follows_the_heading(self):
        prompt = "\n\nIV.  Guest accounts.\n\tDisable Guest user (Y/N)?"
        locked = "\n\tDisabled user \"GUEST\"\n"
        with Machine("win7") as m:
            for answer, lock in ((b"n\n", False), (b"Y\n", True), (b"\n", False), (b"yes\n", True),
                                 (b"", False)):
                with self.subTest(answer=answer):
                    m.clear_standin_calls()
                    out = after_intro(m.run_tool("/GUEST", stdin=answer).out)
                    self.assertIn(prompt + (locked if lock else "") + "\n\nV.   Scanning drive", out)
                    # The stand-in account service saw the lockdown only after a yes.
                    calls = [c.split(" ")[0] for c in m.standin_calls()]
                    expected = ["NetLocalGroupDelMembers", "NetUserSetInfo"] if lock else []
                    self.assertEqual(calls, expected)


class KeyPauses(unittest.TestCase):
    def test_each_pause_waits_for_a_key(self):
        with Machine("win7") as m:
            s = m.run_tool_pty("/GUEST")
            s.expect("Press any key for help....")
            self.assertTrue(s.idle(2), "ended without a key")
            self.assertFalse(s.shows("Scanning options"))
            s.send(b"a")
            s.expect("Press any key to continue....")
            self.assertTrue(s.idle(2), "ended without a key")
            self.assertFalse(s.shows("Searching for PE_VESKA.A"))
            s.send(b"\r")
            s.expect("Disable Guest user (Y/N)?")
            s.send(b"n\r")
            s.expect("VI.  Scanning drive for infected HTM/HTML/ASP files....", timeout=120)
            self.assertEqual(s.wait(), 0)

    def test_a_cursor_key_is_one_keystroke(self):
        with Machine("win98") as m:
            s = m.run_tool_pty()
            s.expect("Press any key for help....")
            s.send(b"\x1b[A")  # cursor up: two codes from the key read
            s.expect("Press any key to continue....")
            self.assertTrue(s.idle(2), "the second code of the cursor key ended the second pause")
            self.assertFalse(s.shows("Searching for PE_VESKA.A"))
            s.send(b"\x1b[B")  # cursor down ends the second pause
            s.expect("V.   Scanning drive for infected HTM/HTML/ASP files....", timeout=120)
            self.assertEqual(s.wait(), 0)

    def test_a_letter_coded_0xe0_is_one_keystroke(self):
        # Cyrillic "р" is 0xE0 in code page 866, the code that also starts a
        # cursor key: it ends the first pause alone, and the second still waits.
        with Machine("win7") as m:
            s = m.run_tool_pty("/GUEST", env={"LANG": "ru_RU.UTF-8", "LC_ALL": "ru_RU.UTF-8"})
            s.expect("Press any key for help....")
            s.send("р".encode("utf-8"))
            s.expect("Press any key to continue....")
            self.assertTrue(s.idle(2), "the second pause ended without a key")
            s.send("р".encode("utf-8"))
            s.expect("Disable Guest user (Y/N)?")
            s.send(b"n\r")
            s.expect("VI.  Scanning drive for infected HTM/HTML/ASP files....", timeout=120)
            self.assertEqual(s.wait(), 0)


if __name__ == "__main__":
    unittest.main()
