"""Host restoration under Wine, both text flavours, driven through probe.exe."""
import re
import unittest

import winebed
from winebed import SharedMachineTest, mkimage, READONLY, HIDDEN, SYSTEM, ARCHIVE

PROBE = str(winebed.WIN_BUILD / "tests" / "standins" / "probe.exe")
WORM_SIZE = 0xF000  # the image builder's worm part; the host follows it


class Restore(SharedMachineTest):
    MACHINE = {"version": "win7", "install_tool": False}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.dir = cls.m.unix("C:\\") / "cases"
        cls.dir.mkdir()

    def restore(self, winpath, wide):
        run = self.m.probe("restorew" if wide else "restore", winpath)
        out = run.out
        match = re.search(r"result=(-?\d+)", out)
        self.assertIsNotNone(match, "exit %s, output %r, errors %r" % (run.rc, out, run.err[-2000:]))
        return int(match.group(1)), out[:match.start()]

    def make(self, name, *options, attrs=None):
        mkimage(self.dir / name, "worm", *options)
        winpath = "C:\\cases\\" + name
        if attrs is not None:
            self.m.set_attrs(winpath, attrs)
        return winpath

    def test_real_programs_come_back_byte_for_byte(self):
        system32 = self.m.unix("C:\\windows\\system32")
        dlls = sorted(p for p in system32.glob("*.dll") if p.stat().st_size > 0)
        hosts = dlls[::max(1, len(dlls) // 10)][:10]
        self.assertGreaterEqual(len(hosts), 8)
        attr_sets = (0, READONLY, HIDDEN | SYSTEM, READONLY | HIDDEN | SYSTEM | ARCHIVE)
        for n, host in enumerate(hosts):
            wide = n % 2 == 0
            attrs = attr_sets[n % len(attr_sets)]
            with self.subTest(host=host.name, wide=wide, attrs=attrs):
                path = self.make("real_%d.exe" % n, "--host", host, attrs=attrs)
                before = self.m.attrs(path)
                self.assertEqual(self.restore(path, wide), (0, ""))
                self.assertEqual(self.m.unix(path).read_bytes(), host.read_bytes())
                self.assertEqual(self.m.attrs(path), before)

    def test_unicode_folder_with_wide_flavour(self):
        host = self.m.unix("C:\\windows\\system32\\kernel32.dll")
        folder = self.dir / "Вирус 病毒"
        folder.mkdir()
        mkimage(folder / "заражён.exe", "worm", "--host", host)
        path = "C:\\cases\\Вирус 病毒\\заражён.exe"
        self.assertEqual(self.restore(path, True), (0, ""))
        self.assertEqual(self.m.unix(path).read_bytes(), host.read_bytes())

    def test_unrestorable_files_are_left_as_they_were(self):
        host = self.m.unix("C:\\windows\\system32\\kernel32.dll")
        cases = [
            # Files that no longer rate Infected when restoration opens them (the
            # classifier saw another file): not cut by their own section tables.
            ("notpe.exe", ("--no-pe", "--host", host), -2),
            ("clean.exe", ("--no-signatures", "--host", host), -2),
            ("onesection.exe", ("--sections", "1", "--host", host), -20),
            ("nomz.exe", (), -2),  # worm image alone: no "MZ" after the search start
            ("start0.exe", ("--search-start", "0", "--host", host), -2),
            ("startpast.exe", ("--search-start", WORM_SIZE - 3), -2),
        ]
        for name, options, expected in cases:
            for wide in (False, True):
                with self.subTest(name=name, wide=wide):
                    path = self.make(name, *options, attrs=READONLY | HIDDEN)
                    data = self.m.unix(path).read_bytes()
                    before = self.m.attrs(path)
                    self.assertEqual(self.restore(path, wide), (expected, ""))
                    self.assertEqual(self.m.unix(path).read_bytes(), data)
                    self.assertEqual(self.m.attrs(path), before)

    def test_search_reaches_size_minus_four_and_no_further(self):
        for back, expected in ((4, 0), (3, -2)):
            with self.subTest(back=back):
                path = self.make("tail%d.exe" % back)
                data = bytearray(self.m.unix(path).read_bytes())
                data[-back:-back + 2] = b"MZ"
                self.m.unix(path).write_bytes(bytes(data))
                self.assertEqual(self.restore(path, back == 4), (expected, ""))
                after = self.m.unix(path).read_bytes()
                self.assertEqual(after, bytes(data[-4:]) if expected == 0 else bytes(data))

    def test_missing_empty_and_unmappable(self):
        self.assertEqual(self.restore("C:\\cases\\nothing.exe", False), (-1, ""))
        self.assertEqual(self.restore("C:\\cases\\nothing.exe", True), (-1, ""))
        self.assertEqual(self.restore("", True), (-2, ""))
        # An empty file cannot be mapped: the message has no line break of its own.
        (self.dir / "empty.exe").write_bytes(b"")
        self.m.set_attrs("C:\\cases\\empty.exe", HIDDEN)
        before = self.m.attrs("C:\\cases\\empty.exe")
        self.assertEqual(self.restore("C:\\cases\\empty.exe", False), (-2, "file map error"))
        self.assertEqual(self.m.attrs("C:\\cases\\empty.exe"), before)

    def test_file_held_open_elsewhere_keeps_its_attributes(self):
        host = self.m.unix("C:\\windows\\system32\\kernel32.dll")
        path = self.make("held.exe", "--host", host, attrs=READONLY | HIDDEN | SYSTEM)
        data = self.m.unix(path).read_bytes()
        before = self.m.attrs(path)
        holder = self.m.spawn(PROBE, "hold", path, "60", "r")
        self.assertEqual(holder.stdout.readline().strip(), b"holding")
        try:
            for wide in (False, True):
                self.assertEqual(self.restore(path, wide), (-1, ""))
                self.assertEqual(self.m.attrs(path), before)
            self.assertEqual(self.m.unix(path).read_bytes(), data)
        finally:
            holder.kill()
            holder.wait()
            holder.stdout.close()

    def test_file_that_cannot_be_cut_is_an_error(self):
        # Another process maps the file: the host is moved, but the file cannot
        # be cut while that mapping exists, and the answer must not be success.
        # The old tail is zeroed: a small host (its end before signature A's
        # offset) would otherwise rate Infected again, and the next restoration
        # would cut it at an "MZ" of its own.
        system32 = self.m.unix("C:\\windows\\system32")
        small = min((p for p in system32.glob("*.exe") if 8192 <= p.stat().st_size <= 29913),
                    key=lambda p: p.stat().st_size)
        for host_file in (system32 / "kernel32.dll", small):
            with self.subTest(host=host_file.name):
                host = host_file.read_bytes()
                path = self.make("mapped_%s" % host_file.name, "--host", host_file, attrs=READONLY)
                size = self.m.unix(path).stat().st_size
                before = self.m.attrs(path)
                mapper = self.m.spawn(PROBE, "map", path, "60")
                self.assertEqual(mapper.stdout.readline().strip(), b"holding")
                try:
                    self.assertEqual(self.restore(path, True), (-2, ""))
                finally:
                    mapper.kill()
                    mapper.wait()
                    mapper.stdout.close()
                data = self.m.unix(path).read_bytes()
                self.assertEqual(data, host + bytes(size - len(host)))
                self.assertEqual(self.m.attrs(path), before)
                # A second run finds nothing to do and changes nothing.
                self.assertEqual(self.m.classify(path), (winebed.CLEAN, winebed.CLEAN))
                self.assertEqual(self.restore(path, False), (-2, ""))
                self.assertEqual(self.m.unix(path).read_bytes(), data)

if __name__ == "__main__":
    unittest.main()
