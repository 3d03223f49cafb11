"""Worm-copy removal under Wine through probe.exe: deletion at once, delayed
deletion on the NT family, and the WININIT.INI scheme on Windows 98, each
followed by a restart that must carry the scheduled deletion out."""
import re
import shutil
import tempfile
import unittest
from pathlib import Path

import winebed
from winebed import Machine, mkimage, READONLY, HIDDEN, SYSTEM

PROBE = str(winebed.WIN_BUILD / "tests" / "standins" / "probe.exe")

# What became of the file (WormRemoval).
FAILED, NOW, SCHEDULED = 0, 1, 2


class Copies:
    """Worm copies in C:\\copies of one machine, and processes holding them."""

    def __init__(self, test, machine):
        self.test = test
        self.m = machine
        self.holders = []

    def make(self, name, attrs=None):
        winpath = "C:\\copies\\" + name
        target = self.m.unix(winpath)
        target.parent.mkdir(parents=True, exist_ok=True)
        mkimage(target, "worm", "--size", 60000)
        if attrs is not None:
            self.m.set_attrs(winpath, attrs)
        return winpath

    def exists(self, winpath):
        return self.m.unix(winpath).exists()

    def hold(self, winpath, program=PROBE, share=()):
        holder = self.m.spawn(program, "hold", winpath, "300", *share)
        self.test.assertEqual(holder.stdout.readline().strip(), b"holding")
        self.holders.append(holder)
        return holder

    def release(self):
        for holder in self.holders:
            holder.kill()
            holder.wait()
            holder.stdout.close()
        self.holders = []

    def remove(self, winpath, wide, env=None):
        out = self.m.wine(PROBE, "removew" if wide else "remove", winpath, env=env).out
        match = re.search(r"result=(-?\d+) outcome=(\d+)", out)
        self.test.assertIsNotNone(match, out)
        self.test.assertEqual(out[:match.start()], "", "the routine prints nothing")
        return int(match.group(1)), int(match.group(2))


class NtFamily(unittest.TestCase):
    def test_deleted_now_or_at_the_next_start(self):
        with Machine("win7", install_tool=False) as m:
            copies = Copies(self, m)
            try:
                for wide in (False, True):
                    with self.subTest(case="at once", wide=wide):
                        path = copies.make("now%d.exe" % wide, attrs=READONLY | HIDDEN | SYSTEM)
                        self.assertEqual(copies.remove(path, wide), (0, NOW))
                        self.assertFalse(copies.exists(path))

                # Held open with read sharing: cannot be deleted now. The ANSI
                # flavour answers 1 and the wide one 0 for an accepted request.
                held = {False: copies.make("held_a.exe", attrs=READONLY),
                        True: copies.make("held_w.exe", attrs=HIDDEN)}
                for wide, path in held.items():
                    copies.hold(path, share=("r",))
                    self.assertEqual(copies.remove(path, wide), (0 if wide else 1, SCHEDULED))
                    self.assertTrue(copies.exists(path))
                    self.assertEqual(m.attrs(path) & (READONLY | HIDDEN | SYSTEM), 0)
            finally:
                copies.release()
            m.restart()
            for path in held.values():
                self.assertFalse(copies.exists(path), path)

            # Windows 2000, a copy that is a running program.
            m.set_version("win2k")
            running = copies.make("running.exe")
            shutil.copyfile(PROBE, m.unix(running))
            try:
                copies.hold(copies.make("bystander.dat"), program=running)
                self.assertEqual(copies.remove(running, True), (0, SCHEDULED))
                self.assertTrue(copies.exists(running))
            finally:
                copies.release()
            m.restart()
            self.assertFalse(copies.exists(running))


class Win9xFamily(unittest.TestCase):
    """Under Wine DeleteFile fails on Windows 98 only for a file that another
    process holds open without delete sharing, so every copy here is held."""

    def ini(self, m, name):
        for item in m.windir.iterdir():
            if item.name.lower() == name.lower():
                return item
        return None

    def set_ini(self, m, name, data):
        old = self.ini(m, name)
        if old is not None:
            old.unlink()
        if data is not None:
            (m.windir / name.lower()).write_bytes(data)

    def read_ini(self, m, name):
        path = self.ini(m, name)
        return path.read_bytes() if path is not None else None

    def start(self, m):
        # The first process of a server session runs wineboot, which consumes
        # WININIT.INI: WININIT.INI is written only after that.
        m.probe("attr", "C:\\")

    def test_wininit_forms_and_restart(self):
        with Machine("win98", install_tool=False) as m:
            copies = Copies(self, m)
            try:
                self.start(m)
                # An existing section with an older line: the new line goes first.
                old_target = m.write("C:\\old.txt", b"old")
                old = b"[rename]\r\nNUL=C:\\old.txt\r\n"
                self.set_ini(m, "WININIT.INI", old)
                one = copies.make("one.exe", attrs=READONLY)
                copies.hold(one)
                self.assertEqual(copies.remove(one, False), (1, SCHEDULED))
                self.assertEqual(self.read_ini(m, "WININIT.INI"),
                                 b"[rename]\r\n\r\nNUL=C:\\copies\\one.exe\r\nNUL=C:\\old.txt\r\n")
                self.assertEqual(self.read_ini(m, "WININIT.BAK"), old)
                self.assertTrue(copies.exists(one))
            finally:
                copies.release()
            m.restart()
            self.assertFalse(copies.exists(one))
            self.assertFalse(old_target.exists())

            try:
                self.start(m)
                # An empty WININIT.INI: an empty line, the header, the line.
                self.set_ini(m, "WININIT.INI", b"")
                two = copies.make("two.exe")
                copies.hold(two)
                self.assertEqual(copies.remove(two, False), (1, SCHEDULED))
                self.assertEqual(self.read_ini(m, "WININIT.INI"),
                                 b"\r\n[rename]\r\nNUL=C:\\copies\\two.exe\r\n")

                # The wide flavour has no WININIT.INI scheme.
                wide = copies.make("wide.exe")
                copies.hold(wide)
                self.assertEqual(copies.remove(wide, True), (1, FAILED))
                self.assertEqual(self.read_ini(m, "WININIT.INI"),
                                 b"\r\n[rename]\r\nNUL=C:\\copies\\two.exe\r\n")

                # No WININIT.INI: a stale WININIT.BAK is not taken as its content.
                stale_target = m.write("C:\\stale.txt", b"stale")
                self.set_ini(m, "WININIT.INI", None)
                self.set_ini(m, "WININIT.BAK", b"[rename]\r\nNUL=C:\\stale.txt\r\n")
                four = copies.make("four.exe")
                copies.hold(four)
                self.assertEqual(copies.remove(four, False), (1, SCHEDULED))
                self.assertEqual(self.read_ini(m, "WININIT.INI"),
                                 b"\r\n[rename]\r\nNUL=C:\\copies\\four.exe\r\n")

                # WININIT.INI exists but cannot be backed up: nothing scheduled,
                # WININIT.INI as it was.
                current = self.read_ini(m, "WININIT.INI")
                copies.hold("C:\\windows\\" + self.ini(m, "WININIT.BAK").name)
                five = copies.make("five.exe")
                copies.hold(five)
                self.assertEqual(copies.remove(five, False), (0, FAILED))
                self.assertEqual(self.read_ini(m, "WININIT.INI"), current)
            finally:
                copies.release()
            m.restart()
            self.assertFalse(copies.exists(four))
            self.assertTrue(copies.exists(two))  # its line was replaced by the later runs
            self.assertTrue(copies.exists(five))
            self.assertTrue(copies.exists(wide))
            self.assertTrue(stale_target.exists())

    def test_wininit_mends(self):
        with Machine("win98", install_tool=False) as m:
            copies = Copies(self, m)
            try:
                self.start(m)
                # The header as installers write it; a long path in its short form.
                self.set_ini(m, "WININIT.INI", b"[Rename]\r\nNUL=C:\\old.txt\r\n")
                long_name = copies.make("Long Folder Name\\worm copy with a long name.exe")
                copies.hold(long_name)
                self.assertEqual(copies.remove(long_name, False), (1, SCHEDULED))
                ini = self.read_ini(m, "WININIT.INI")
                match = re.fullmatch(rb"\[Rename\]\r\n\r\nNUL=(C:\\COPIES\\[^ \\]{1,8}\\[^ \\]{1,8}\.EXE)\r\n"
                                     rb"NUL=C:\\old.txt\r\n", ini, re.IGNORECASE)
                self.assertIsNotNone(match, ini)

                # Text that cannot pass through text streams whole is left as it is.
                refused = copies.make("refused.exe")
                copies.hold(refused)
                for text in (b"[rename]\r\nNUL=C:\\a.txt\x00\r\nNUL=C:\\b.txt\r\n",
                             b"[rename]\r\nNUL=C:\\a.txt\r\n\x1a\r\n"):
                    with self.subTest(text=text):
                        self.set_ini(m, "WININIT.INI", text)
                        self.assertEqual(copies.remove(refused, False), (0, FAILED))
                        self.assertEqual(self.read_ini(m, "WININIT.INI"), text)
                # A Ctrl-Z as the last byte is an end-of-file mark: it goes.
                self.set_ini(m, "WININIT.INI", b"[rename]\r\n\x1a")
                self.assertEqual(copies.remove(refused, False), (1, SCHEDULED))
                self.assertEqual(self.read_ini(m, "WININIT.INI"), b"[rename]\r\n\r\nNUL=C:\\copies\\refused.exe\r\n")

                # A write that fails part-way: files may grow no larger than the
                # old WININIT.INI plus a few bytes, less than the new line.
                old = b"[rename]\r\n" + b"".join(b"C:\\PROG\\FILE%03d.DLL=C:\\PROG\\FILE%03d.NEW\r\n" % (i, i)
                                                  for i in range(140))
                self.assertGreater(len(old), 4096)  # more than one buffer reaches the file
                self.set_ini(m, "WININIT.INI", old)
                with tempfile.TemporaryDirectory(dir=winebed.WORK) as bin_dir:
                    wrapper = Path(bin_dir) / "wine"
                    wrapper.write_text(
                        "#!/usr/bin/python3\nimport os, resource, signal, sys\n"
                        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
                        "resource.setrlimit(resource.RLIMIT_FSIZE, (%d, %d))\n"
                        "os.execv('/usr/bin/wine', ['wine'] + sys.argv[1:])\n" % ((len(old) + 8,) * 2))
                    wrapper.chmod(0o755)
                    env = {"PATH": "%s:/usr/bin:/bin" % bin_dir}
                    self.assertEqual(copies.remove(refused, False, env=env), (0, FAILED))
                self.assertEqual(self.read_ini(m, "WININIT.INI"), old)
                # Windows 9x knows only the short path when it carries out the line.
                self.set_ini(m, "WININIT.INI", ini)
            finally:
                copies.release()
            m.restart()
            self.assertFalse(copies.exists(long_name))


if __name__ == "__main__":
    unittest.main()
