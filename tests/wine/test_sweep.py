"""The drive sweep under Wine: what it finds, restores and removes on every
fixed drive, the exact console lines of its step, the path-length rules,
directory loops, which drives it walks, the progress in the window title, and
system32 and syswow64 on a 64-bit machine.

Each test compares the sweep's own section of the output: from its heading
to the next heading."""
import os
import re
import shutil
import tempfile
import time
import unittest
from pathlib import Path

import winebed
from winebed import SharedMachineTest, Machine, mkimage, READONLY, HIDDEN, SYSTEM, ARCHIVE

PROBE = str(winebed.WIN_BUILD / "tests" / "standins" / "probe.exe")
SWEEP_HEADINGS = {
    "nt": ("\n\nV.   Scanning drive for infected executable files...",
           "\n\nVI.  Scanning drive for infected HTM/HTML/ASP files....\n"),
    "9x": ("\n\nIV.  Scanning drive for infected executable files...",
           "\n\nV.   Scanning drive for infected HTM/HTML/ASP files....\n"),
}
NOT_FOUND = "\n\tNot found."
RU_LOCALE = {"LANG": "ru_RU.UTF-8", "LC_ALL": "ru_RU.UTF-8"}
PATH_CHARS = 260
# Wine's own programs, 32-bit and 64-bit (Debian's libwine:i386 and libwine:amd64).
WINE32_PROGRAMS = Path("/usr/lib/i386-linux-gnu/wine/i386-windows")
WINE64_PROGRAMS = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")


def sweep_section(out, family="nt"):
    start, end = SWEEP_HEADINGS[family]
    assert out.count(start) == 1 and out.count(end) == 1, out[-2000:]
    return out.split(start, 1)[1].split(end, 1)[0]


def cleaned(path):
    return " Found PE_VESKA.A   ->   %s...Cleaned!\n" % path


def error(path):
    return " Found PE_VESKA.A   ->   %s...Error!\n" % path


def deleted(path):
    return " Found PE_VESKA.A-O ->   %s...Deleted.\n" % path


def copy_error(path):
    return " Found PE_VESKA.A-O ->   %s...Error!\n" % path


def not_examined(path, reason):
    """A file, or a folder when `path` ends with a backslash."""
    return " Not examined       ->   %s (%s)\n" % (path, reason)


def not_examined_count(n):
    return "\n\tNot examined: %d (listed above)." % n


class Files:
    """Test files made natively: infected programs around a host, worm copies."""

    def __init__(self):
        self.dir = Path(tempfile.mkdtemp(prefix="sweep-files-", dir=winebed.WORK))
        self.small_host = self.dir / "small_host.exe"
        self.small_host.write_bytes(b"MZ" + bytes(range(256)) * 8)

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def infected(self, out, host=None, *options):
        out = Path(out)
        out.parent.mkdir(parents=True, exist_ok=True)
        mkimage(out, "worm", "--host", host or self.small_host, *options)
        return out

    def unrestorable(self, out):
        """Infected, but restoration would cut nothing off (search start 0)."""
        return self.infected(out, None, "--search-start", 0)

    def worm_copy(self, out):
        out = Path(out)
        out.parent.mkdir(parents=True, exist_ok=True)
        mkimage(out, "worm", "--size", 57344)
        return out


PERIOD = 1000


def periodic_worm(size):
    """A file that repeats every PERIOD bytes: "MZ", a PE header whose
    second-to-last section starts at offset 1 (so the next "MZ" is the next
    period) and the three signatures, all at offsets that the repetition keeps
    in place. Every restoration of it leaves a file that rates Infected again."""
    period = bytearray(PERIOD)
    def put(offset, data):
        at = offset % PERIOD
        assert all(b == 0 for b in period[at:at + len(data)]), offset
        period[at:at + len(data)] = data
    put(0, b"MZ")
    put(0x18, (0x40).to_bytes(2, "little"))
    put(0x3C, (0x80).to_bytes(4, "little"))
    put(0x80, b"PE\0\0")
    put(0x86, (2).to_bytes(2, "little"))              # two sections, no optional header
    put(0x80 + 24 + 20, (1).to_bytes(4, "little"))    # PointerToRawData of the first
    put(0x74D9, bytes.fromhex("A124D7173685"))
    put(0x90D0, b"ept Virus(CV) V.5, Copyright(C)2001  R.P.China\0\0")
    put(0xA3C8, b"explorer.exe load.exe -dontrunol")
    return (bytes(period) * (size // PERIOD + 1))[:size]


def attrs_of(m, winpaths):
    values = m.probe("attrs", *winpaths).out.split()
    assert len(values) == len(winpaths), values
    return [int(v, 16) for v in values]


def real_hosts(m, count):
    """`count` real programs from the prefix's system32, spread over its list."""
    system32 = m.unix("C:\\windows\\system32")
    names = sorted(p.name for p in system32.iterdir()
                   if p.suffix.lower() in (".dll", ".exe") and p.is_file()
                   and 8192 <= p.stat().st_size <= 300000)
    assert len(names) >= count, len(names)
    step = len(names) / count
    return [system32 / names[int(i * step)] for i in range(count)]


class RealHosts(unittest.TestCase):
    """Real programs from system32, infected, on C: and a second fixed drive,
    some read-only/hidden/system, some in folders with non-ASCII names."""

    ATTRS = (READONLY, HIDDEN, SYSTEM, READONLY | HIDDEN | SYSTEM)

    def restore_real_programs(self, version, family, folders, encoding, env=None):
        files = Files()
        with Machine(version, drives={"e": "hd"}) as m:
            hosts = real_hosts(m, 56)
            cases = []  # (winpath, host)
            for i, host in enumerate(hosts):
                folder = folders[i % len(folders)]
                winpath = "%s\\%s" % (folder, host.name)
                files.infected(m.unix(folder) / host.name, host)
                cases.append((winpath, host))
            for i, (winpath, _) in enumerate(cases):
                if i % 4 == 0:
                    m.set_attrs(winpath, self.ATTRS[(i // 4) % len(self.ATTRS)])
            paths = [c[0] for c in cases]
            before = attrs_of(m, paths)

            r = m.run_tool(env=env)
            section = sweep_section(r.out, family)

            self.assertTrue(section.startswith("\n\n"), section[:200])
            lines = section[2:].splitlines(keepends=True)
            expected = [cleaned(p).encode(encoding, "replace").decode("latin-1") for p in paths]
            self.assertEqual(sorted(lines), sorted(expected))
            drives = [line.split("->   ", 1)[1][:2] for line in lines]
            self.assertEqual(drives, sorted(drives), "C: is walked before E:")
            for winpath, host in cases:
                with self.subTest(path=winpath):
                    self.assertEqual(m.unix(winpath).read_bytes(), host.read_bytes())
            self.assertEqual(attrs_of(m, paths), before)
            self.assertGreaterEqual(sum(1 for a in before if a & (READONLY | HIDDEN | SYSTEM)), 14)
        files.close()

    def test_nt_family(self):
        # Cyrillic shows in the console's code page 866; CJK is not in it: "?".
        folders = ["C:\\hosts", "C:\\hosts\\Папка", "E:\\progs", "E:\\中文目录", "E:\\.dot\\deep"]
        self.restore_real_programs("win7", "nt", folders, "cp866", env=RU_LOCALE)

    def test_win9x_family(self):
        # 8-bit paths in the ANSI code page (1252 here), written as they are.
        folders = ["C:\\hosts", "C:\\hosts\\Café", "E:\\progs", "E:\\Übung dir", "E:\\.dot\\deep"]
        self.restore_real_programs("win98", "9x", folders, "cp1252")


class SweepRules(SharedMachineTest):
    """One NT-family machine with a second fixed drive E:, emptied after each test."""

    MACHINE = {"version": "win7", "drives": {"e": "hd"}}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.e = cls.m.unix("E:\\")
        cls.files = Files()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.files.close()

    def tearDown(self):
        for item in self.e.iterdir():
            if item.is_dir() and not item.is_symlink():
                shutil.rmtree(item)
            else:
                item.unlink()

    def sweep(self):
        return sweep_section(self.m.run_tool().out)

    def test_doubly_infected_file_is_restored_twice(self):
        once = self.files.infected(self.files.dir / "once.exe")
        self.files.infected(self.e / "twice.exe", once)
        self.assertEqual(self.sweep(), "\n\n" + cleaned("E:\\twice.exe") * 2)
        self.assertEqual((self.e / "twice.exe").read_bytes(), self.files.small_host.read_bytes())

    def test_host_that_is_a_worm_copy_is_removed(self):
        copy = self.files.worm_copy(self.files.dir / "copy.exe")
        self.files.infected(self.e / "a.exe", copy)
        self.files.worm_copy(self.e / "b.exe")
        self.m.set_attrs("E:\\b.exe", READONLY | HIDDEN)
        self.assertEqual(self.sweep(), "\n\n" + cleaned("E:\\a.exe") + deleted("E:\\a.exe") +
                         deleted("E:\\b.exe"))
        self.assertEqual(list(self.e.iterdir()), [])

    def test_one_separator_and_empty_files_never_reported(self):
        for name in ("0empty.exe", "sub\\empty.exe", "zz.exe"):
            path = self.m.unix("E:\\" + name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(b"")
        self.files.infected(self.e / "a.exe")
        self.files.infected(self.e / "sub" / "b.exe")
        self.files.worm_copy(self.e / "sub" / "c.exe")
        self.assertEqual(self.sweep(), "\n\n" + cleaned("E:\\a.exe") + cleaned("E:\\sub\\b.exe") +
                         deleted("E:\\sub\\c.exe"))
        # Nothing left to find: empty files alone give the not-found line.
        self.assertEqual(self.sweep(), NOT_FOUND)

    def test_dot_entries(self):
        # Files that stay infected would show up again if "." or ".." were walked.
        self.files.infected(self.e / ".hidden" / "x.exe")
        self.files.unrestorable(self.e / "sub" / "y.exe")
        self.files.unrestorable(self.e / "w.exe")
        self.assertEqual(self.sweep(), "\n\n" + cleaned("E:\\.hidden\\x.exe") +
                         error("E:\\sub\\y.exe") + error("E:\\w.exe"))

    def test_restoration_that_cuts_nothing_is_one_error(self):
        before = self.files.unrestorable(self.e / "zero.exe").read_bytes()
        self.assertEqual(self.sweep(), "\n\n" + error("E:\\zero.exe"))
        self.assertEqual((self.e / "zero.exe").read_bytes(), before)

    def test_file_whose_own_path_does_not_fit(self):
        # E:\fl\ + name: a name of 253 characters makes a path of 259, which fits
        # with its zero; 254 does not: it is reported with its whole path, and
        # later files of the folder are still examined. A small file whose path
        # does not fit would not have been examined anyway: no line.
        folder = self.e / "fl"
        too_long = self.files.infected(folder / ("a" * 254)).read_bytes()
        self.files.infected(folder / ("b" * 253))
        self.files.infected(folder / "c.exe")
        (folder / ("d" * 254)).write_bytes(b"MZ" * 1000)
        fits = "E:\\fl\\" + "b" * 253
        self.assertEqual(len(fits), PATH_CHARS - 1)
        self.assertEqual(self.sweep(), "\n\n" + not_examined("E:\\fl\\" + "a" * 254, "path too long")
                         + cleaned(fits) + cleaned("E:\\fl\\c.exe") + not_examined_count(1))
        self.assertEqual((folder / ("a" * 254)).read_bytes(), too_long)

    def test_subdirectory_whose_pattern_does_not_fit(self):
        # E:\sd\ + name + \*.*: a name of 249 makes a pattern of 259 (fits), 250 not.
        parent = self.e / "sd"
        self.files.infected(parent / ("a" * 250) / "f")
        self.files.infected(parent / ("b" * 249) / "f")
        self.files.infected(parent / "c.exe")
        descended = "E:\\sd\\" + "b" * 249
        self.assertEqual(len(descended + "\\*.*"), PATH_CHARS - 1)
        self.assertEqual(self.sweep(), "\n\n" + not_examined("E:\\sd\\" + "a" * 250 + "\\", "path too long")
                         + cleaned(descended + "\\f") + cleaned("E:\\sd\\c.exe") + not_examined_count(1))

    def test_folder_links_are_not_walked(self):
        # Wine shows a folder that is a symbolic link as a directory with the
        # reparse-point attribute. Two links back to an ancestor (a walk that
        # would grow as 2 to the power of the depth), one to the drive's root,
        # one to a folder elsewhere on the drive and one onto a CD-ROM drive:
        # none is walked or reported, and the sweep ends with the next file.
        cd = self.m.add_drive("d", "cdrom")
        try:
            self.files.infected(cd / "on-cd.exe")
            self.files.unrestorable(self.e / "lp" / "f.exe")
            self.files.infected(self.e / "other" / "g.exe")
            os.symlink(self.e / "lp", self.e / "lp" / "back-one")
            os.symlink(self.e / "lp", self.e / "lp" / "back-two")
            os.symlink(self.e, self.e / "lp" / "root")
            os.symlink(self.e / "other", self.e / "lp" / "sideways")
            os.symlink(cd, self.e / "lp" / "to-cd")
            self.files.infected(self.e / "z.exe")
            self.assertEqual(self.sweep(), "\n\n" + error("E:\\lp\\f.exe") +
                             cleaned("E:\\other\\g.exe") + cleaned("E:\\z.exe"))
            self.assertTrue((cd / "on-cd.exe").exists())
        finally:
            shutil.rmtree(cd)

    def test_crafted_file_is_not_restored_without_end(self):
        # A file that rates Infected again after every restoration, each of
        # which cuts off only PERIOD bytes: the sweep stops after the number of
        # restorations that genuine layers of its size could need.
        path = self.e / "crafted.exe"
        path.write_bytes(periodic_worm(600000))
        limit = 600000 // 57344 + 1
        self.assertEqual(self.sweep(), "\n\n" + cleaned("E:\\crafted.exe") * limit
                         + error("E:\\crafted.exe"))
        self.assertEqual(path.stat().st_size, 600000 - limit * PERIOD)


class Drives(unittest.TestCase):
    def test_only_fixed_drives_are_walked(self):
        files = Files()
        with Machine("win7") as m:
            targets = {}
            for letter, kind in (("d", "cdrom"), ("f", "floppy"), ("g", "network"), ("r", "ramdisk")):
                folder = m.add_drive(letter, kind)
                targets[letter] = (files.infected(folder / "i.exe").read_bytes(),
                                   files.worm_copy(folder / "w.exe").read_bytes())
            m.add_drive("e", "hd")  # an empty fixed drive has no entries at all
            self.assertEqual(sweep_section(m.run_tool().out), NOT_FOUND)
            for letter, (infected, copy) in targets.items():
                self.assertEqual(m.unix(letter + ":\\i.exe").read_bytes(), infected)
                self.assertEqual(m.unix(letter + ":\\w.exe").read_bytes(), copy)
        files.close()

    def test_fixed_drive_whose_root_cannot_be_listed(self):
        # Root without search permission; the tool runs as root without the
        # capabilities that bypass file modes, so the mode counts.
        files = Files()
        env = without_dac_override(files)
        with Machine("win98") as m:
            locked = m.add_drive("h", "hd")
            files.worm_copy(locked / "w.exe")
            locked.chmod(0o444)
            try:
                m.stop()  # the wineserver must start without the capabilities too
                # Reported, and (as the walk of the drive did not complete)
                # no "Not found." line.
                self.assertEqual(sweep_section(m.run_tool(env=env).out, "9x"),
                                 "\n\n" + not_examined("H:\\", "access denied") + not_examined_count(1))
                # The drives after it are still walked.
                files.infected(m.add_drive("i", "hd") / "a.exe")
                m.stop()
                self.assertEqual(sweep_section(m.run_tool(env=env).out, "9x"),
                                 "\n\n" + not_examined("H:\\", "access denied") + cleaned("I:\\a.exe")
                                 + not_examined_count(1))
            finally:
                m.stop()
                locked.chmod(0o755)
        files.close()


def without_dac_override(files):
    """Environment whose "wine" runs without the capabilities that let root
    read any folder: file modes count, as for an ordinary user."""
    wrapper = files.dir / "bin"
    wrapper.mkdir(exist_ok=True)
    (wrapper / "wine").write_text(
        "#!/bin/sh\nexec setpriv --bounding-set=-dac_override,-dac_read_search "
        "--inh-caps=-dac_override,-dac_read_search /usr/bin/wine \"$@\"\n")
    (wrapper / "wine").chmod(0o755)
    return {"PATH": "%s:/usr/bin:/bin" % wrapper}


class NotExamined(unittest.TestCase):
    """Items the sweep could not examine are listed in its own layout: a file
    held open without sharing, a folder that cannot be listed, a file and a
    folder whose paths do not fit; the first of them brings the separator, and
    they do not stop "Not found."."""

    def list_items_not_examined(self, version, family):
        files = Files()
        env = without_dac_override(files)
        with Machine(version, drives={"e": "hd"}) as m:
            e = m.unix("E:\\")
            files.infected(e / "a-busy.exe")
            files.worm_copy(e / "b-locked" / "w.exe")
            files.infected(e / "c.exe")
            files.infected(e / "d" / ("f" * 255))
            files.infected(e / "e" / ("g" * 251) / "h.exe")
            (e / "b-locked").chmod(0)
            try:
                m.stop()  # the wineserver starts without the capabilities too
                holder = m.spawn(PROBE, "hold", "E:\\a-busy.exe", "120", env=env)
                self.assertEqual(holder.stdout.readline().strip(), b"holding")
                items = [not_examined("E:\\a-busy.exe", "in use"),
                         not_examined("E:\\b-locked\\", "access denied"),
                         not_examined("E:\\d\\" + "f" * 255, "path too long"),
                         not_examined("E:\\e\\" + "g" * 251 + "\\", "path too long")]
                out = sweep_section(m.run_tool(env=env).out, family)
                self.assertEqual(out, "\n\n" + "".join(items[:2]) + cleaned("E:\\c.exe")
                                 + "".join(items[2:]) + not_examined_count(4))
                # Nothing left to find: "Not found." and then the count.
                out = sweep_section(m.run_tool(env=env).out, family)
                self.assertEqual(out, "\n\n" + "".join(items) + NOT_FOUND + not_examined_count(4))
                holder.kill()
                holder.wait()
                holder.stdout.close()
            finally:
                m.stop()
                (e / "b-locked").chmod(0o755)
        files.close()

    def test_nt_family(self):
        self.list_items_not_examined("win7", "nt")

    def test_win9x_family(self):
        self.list_items_not_examined("win98", "9x")


class RemovalOutcomes(unittest.TestCase):
    def test_copy_in_use_scheduled_on_nt(self):
        files = Files()
        with Machine("win7", drives={"e": "hd"}) as m:
            files.worm_copy(m.unix("E:\\") / "busy.exe")
            holder = m.spawn(PROBE, "hold", "E:\\busy.exe", "60", "r")
            self.assertEqual(holder.stdout.readline().strip(), b"holding")
            self.assertEqual(sweep_section(m.run_tool().out), "\n\n" + deleted("E:\\busy.exe"))
            holder.kill()
            holder.wait()
            holder.stdout.close()
            m.restart()
            self.assertFalse(m.unix("E:\\").joinpath("busy.exe").exists())
        files.close()

    def test_copy_neither_deleted_nor_scheduled_is_an_error(self):
        # Win9x family: the copy is in use, and WININIT.INI exists but cannot
        # be backed up (WININIT.BAK is a folder), so nothing is scheduled.
        files = Files()
        with Machine("win98", drives={"e": "hd"}) as m:
            files.worm_copy(m.unix("E:\\") / "busy.exe")
            (m.windir / "wininit.bak").mkdir()
            holder = m.spawn(PROBE, "hold", "E:\\busy.exe", "60", "r")
            self.assertEqual(holder.stdout.readline().strip(), b"holding")
            # Written after the wineserver started, which carries out WININIT.INI.
            (m.windir / "wininit.ini").write_bytes(b"[rename]\r\n")
            self.assertEqual(sweep_section(m.run_tool().out, "9x"),
                             "\n\n" + copy_error("E:\\busy.exe"))
            self.assertEqual((m.windir / "wininit.ini").read_bytes(), b"[rename]\r\n")
            self.assertTrue(m.unix("E:\\busy.exe").exists())
            holder.kill()
            holder.wait()
            holder.stdout.close()
        files.close()


class Wow64(unittest.TestCase):
    """A 64-bit machine, where the tool runs under WoW64 and a 32-bit program
    that opens or lists system32 is given syswow64 unless it turns that off."""

    SYSTEM32, SYSWOW64 = "C:\\windows\\system32", "C:\\windows\\syswow64"

    def test_each_system_folder_examined_once_at_its_real_path(self):
        files = Files()
        with Machine("win7", arch="win64") as m:
            real, wow = m.unix(self.SYSTEM32), m.unix(self.SYSWOW64)
            hosts = (WINE64_PROGRAMS / "attrib.exe", WINE32_PROGRAMS / "attrib.exe")
            host64, host32 = (host.read_bytes() for host in hosts)
            self.assertEqual((pe_machine(host64), pe_machine(host32)), (0x8664, 0x14C))
            files.infected(real / "vc-side64.exe", hosts[0])
            files.infected(wow / "vc-side32.exe", hosts[1])
            files.worm_copy(real / "vc-copy.exe")
            files.worm_copy(real / "vc-held.exe")
            (wow / "vc-held.exe").write_bytes(host32)  # a clean namesake
            holder = m.spawn(PROBE, "hold", self.SYSTEM32 + "\\vc-held.exe", "120", "rn")
            self.assertEqual(holder.stdout.readline().strip(), b"holding")
            self.assertEqual(sweep_section(m.run_tool().out),
                             "\n\n" + deleted(self.SYSTEM32 + "\\vc-copy.exe")
                             + deleted(self.SYSTEM32 + "\\vc-held.exe")
                             + cleaned(self.SYSTEM32 + "\\vc-side64.exe")
                             + cleaned(self.SYSWOW64 + "\\vc-side32.exe"))
            self.assertEqual((real / "vc-side64.exe").read_bytes(), host64)
            self.assertEqual((wow / "vc-side32.exe").read_bytes(), host32)
            self.assertFalse((real / "vc-copy.exe").exists())
            holder.kill()
            holder.wait()
            holder.stdout.close()
            # The deletion was recorded for the real file, not for its namesake.
            m.restart()
            self.assertFalse((real / "vc-held.exe").exists())
            self.assertEqual((wow / "vc-held.exe").read_bytes(), host32)
        files.close()

    def test_clean_run_prints_what_a_32_bit_machine_prints(self):
        files = Files()
        outputs = {}
        for arch in ("win32", "win64"):
            with Machine("win7", drives={"e": "hd"}, arch=arch) as m:
                self.assertEqual(m.probe("wow64").out, "wow64=%d\n" % (arch == "win64"))
                e = m.unix("E:\\")
                shutil.copy(files.small_host, e / "small.exe")
                for name in ("attrib.exe", "xcopy.exe"):
                    shutil.copy(WINE64_PROGRAMS / name, e / name)
                outputs[arch] = m.run_tool().out
        self.assertEqual(sweep_section(outputs["win64"]), NOT_FOUND)
        self.assertEqual(outputs["win64"], outputs["win32"])
        files.close()


def pe_machine(data):
    """The machine field of a PE image's file header."""
    at = int.from_bytes(data[0x3C:0x40], "little")
    return int.from_bytes(data[at + 4:at + 6], "little")


class ConsoleText(unittest.TestCase):
    """UTF-16 paths in the find lines: what the console's code page has is
    shown, "?" for the rest, and the line is whole."""

    def test_cyrillic_and_cjk_names(self):
        files = Files()
        with Machine("win7", drives={"e": "hd"}) as m:
            for locale, encoding in ((RU_LOCALE, "cp866"), ({}, "cp437")):
                with self.subTest(encoding=encoding):
                    e = m.unix("E:\\")
                    files.infected(e / "Вирус" / "файл.exe")
                    files.infected(e / "病毒" / "文件x.exe")
                    r = m.run_tool(env=locale)
                    expected = "\n\n" + cleaned("E:\\Вирус\\файл.exe") + cleaned("E:\\病毒\\文件x.exe")
                    self.assertEqual(sweep_section(r.out),
                                     expected.encode(encoding, "replace").decode("latin-1"))
        files.close()


class Progress(unittest.TestCase):
    TITLE = re.compile(rb"\x1b\]0;([^\x07]*)\x07")
    SHOWN = re.compile(r"VESKACURE - drive ([C-Z]): - (\d+) files examined - ([C-Z]):\\")

    def test_title_shows_progress_and_is_put_back(self):
        files = Files()
        with Machine("win7", drives={"e": "hd"}) as m:
            # Thousands of files large enough to be opened and mapped: a sweep
            # of some seconds. They are hard links to one clean file.
            e = m.unix("E:\\")
            model = e / "model.dat"
            model.write_bytes(bytes(60000))
            for d in range(60):
                folder = e / ("dir%02d" % d)
                folder.mkdir()
                for f in range(100):
                    os.link(model, folder / ("f%03d.dat" % f))
            files.infected(e / "a.exe")
            started = time.time()
            s = m.run_tool_pty()
            s.expect("Press any key for help....")
            s.send(b"a")
            s.expect("Press any key to continue....")
            s.send(b"a")
            s.expect("VI.  Scanning drive for infected HTM", timeout=240)
            self.assertEqual(s.wait(), 0)
            elapsed = time.time() - started

            self.assertTrue(s.shows("\n\nV.   Scanning drive for infected executable files...\n\n"
                                    + cleaned("E:\\a.exe") + "\n\nVI."), s.screen[-600:])
            titles = [t.decode("latin-1") for t in self.TITLE.findall(s.raw)]
            self.assertGreaterEqual(len(titles), 3, titles)
            self.assertEqual(titles[-1], "", "the title is put back as it was (empty)")
            shown = [self.SHOWN.match(t) for t in titles[:-1]]
            self.assertTrue(all(shown), titles)
            counts = [int(x.group(2)) for x in shown]
            self.assertEqual(counts, sorted(counts))
            self.assertTrue(all(x.group(1) == x.group(3) for x in shown))
            self.assertEqual(titles[0], "VESKACURE - drive C: - 0 files examined - C:\\")
            self.assertIn("E", [x.group(1) for x in shown])
            # At most four a second (plus the first at once).
            self.assertLessEqual(len(titles) - 1, elapsed * 4 + 1)
        files.close()


if __name__ == "__main__":
    unittest.main()
