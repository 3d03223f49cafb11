"""The classifier on real files under Wine, both text flavours, through probe.exe."""
import unittest

import winebed
from winebed import (SharedMachineTest, mkimage, CLEAN, OPEN_FAILED, EMPTY, INFECTED,
                     WORM_COPY, READONLY, HIDDEN, SYSTEM, ARCHIVE)


class Classifier(SharedMachineTest):
    MACHINE = {"version": "win7", "install_tool": False}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.dir = cls.m.unix("C:\\") / "cases"
        cls.dir.mkdir()

    def make(self, name, kind, *options, attrs=None):
        mkimage(self.dir / name, kind, *options)
        if attrs is not None:
            self.m.set_attrs("C:\\cases\\" + name, attrs)
        return "C:\\cases\\" + name

    def verdict(self, winpath):
        ansi, wide = self.m.classify(winpath)
        self.assertEqual(ansi, wide, "the two flavours differ on " + winpath)
        return ansi

    def test_size_limits(self):
        cases = [(57343, CLEAN), (57344, WORM_COPY), (61439, WORM_COPY), (61440, INFECTED),
                 (300000, INFECTED)]
        for size, expected in cases:
            with self.subTest(size=size):
                path = self.make("size%d.bin" % size, "worm", "--size", size)
                self.assertEqual(self.verdict(path), expected)

    def test_checksum_rule(self):
        self.assertEqual(self.verdict(self.make("sum.dat", "checksum", "--size", 57344)), WORM_COPY)
        self.assertEqual(self.verdict(self.make("sum_small.dat", "checksum", "--size", 57343)), CLEAN)
        # An MZ file with an unsound PE header is clean despite the checksum.
        self.assertEqual(self.verdict(self.make("sum_mz.exe", "checksum", "--size", 60000, "--mz")),
                         CLEAN)

    def test_header_rules(self):
        self.assertEqual(self.verdict(self.make("lfanew_edge.exe", "worm", "--e-lfanew", 0xF000 - 248)),
                         CLEAN)
        self.assertEqual(self.verdict(self.make("lfanew_ok.exe", "worm", "--e-lfanew", 0xF000 - 249)),
                         INFECTED)
        self.assertEqual(self.verdict(self.make("nope.exe", "worm", "--no-pe")), CLEAN)
        self.assertEqual(self.verdict(self.make("nosig.exe", "worm", "--no-signatures")), CLEAN)

    def test_empty_and_missing(self):
        (self.dir / "empty.exe").write_bytes(b"")
        self.assertEqual(self.verdict("C:\\cases\\empty.exe"), EMPTY)
        self.assertEqual(self.verdict("C:\\cases\\missing.exe"), OPEN_FAILED)

    def test_attributes_are_put_back(self):
        # Wine shows every regular file with ARCHIVE set; the other bits are as set.
        for attrs in (READONLY, HIDDEN | SYSTEM, READONLY | HIDDEN | SYSTEM | ARCHIVE):
            with self.subTest(attrs=attrs):
                path = self.make("attr%x.exe" % attrs, "worm", attrs=attrs)
                before = self.m.attrs(path)
                self.assertEqual(before & ~ARCHIVE, attrs & ~ARCHIVE)
                self.assertEqual(self.verdict(path), INFECTED)
                self.assertEqual(self.m.attrs(path), before)

    def test_file_held_open_cannot_be_read(self):
        path = self.make("held.exe", "worm", attrs=READONLY | HIDDEN)
        before = self.m.attrs(path)
        holder = self.m.spawn(str(winebed.WIN_BUILD / "tests" / "standins" / "probe.exe"),
                              "hold", path, "30")
        self.assertEqual(holder.stdout.readline().strip(), b"holding")
        self.assertEqual(self.verdict(path), OPEN_FAILED)
        self.assertEqual(self.m.attrs(path), before)
        holder.kill()

    def test_real_programs_are_clean(self):
        system32 = self.m.unix("C:\\windows\\system32")
        big = sorted(p.name for p in system32.glob("*.dll") if p.stat().st_size >= 57344)[:25]
        self.assertGreater(len(big), 20)
        for name in big:
            with self.subTest(name=name):
                self.assertEqual(self.verdict("C:\\windows\\system32\\" + name), CLEAN)

    def test_unicode_name_with_wide_flavour(self):
        folder = self.dir / "Вирус"
        folder.mkdir()
        mkimage(folder / "файл.exe", "worm", "--size", 60000)
        ansi, wide = self.m.classify("C:\\cases\\Вирус\\файл.exe")
        self.assertEqual(wide, WORM_COPY)
        self.assertIn(ansi, (WORM_COPY, OPEN_FAILED))  # only if the ANSI code page has the letters


if __name__ == "__main__":
    unittest.main()
