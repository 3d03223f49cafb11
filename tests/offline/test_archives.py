"""veskacure-offline inside archives and CD images, made with the Debian tools (zip, bsdtar, GNU tar,
xorriso, gcab, 7z) around real infected hosts. Run by CTest like test_offline, whose helpers it uses."""
import gzip
import io
import json
import os
import random
import resource
import shutil
import struct
import subprocess
import tarfile
import unittest
import zipfile
import zlib
from pathlib import Path

from test_offline import (FOUR_GIB, WINE_PE, OfflineTest, evict, host, infected, manifest, mkimage, mounted, run,
                          run_json, set_times, state)

TOOLS = ("zip", "unzip", "bsdtar", "tar", "xorriso", "gcab", "7z")


def tool(*command, cwd):
    subprocess.run([str(c) for c in command], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


@unittest.skipUnless(all(shutil.which(t) for t in TOOLS), "needs %s (scripts/setup.sh)" % " ".join(TOOLS))
class ArchiveTest(OfflineTest):
    maxDiff = None
    def setUp(self):
        super().setUp()
        # The members: two infected hosts, a worm copy, a clean program, a folder; distinct times and modes.
        self.src = self.tmp / "src"
        infected(self.src / "SETUP.EXE", WINE_PE / "winver.exe")
        infected(self.src / "bin/TWICE.EXE", WINE_PE / "write.exe", "again")
        mkimage(self.src / "bin/COPY.EXE", "worm", "--size", 57344)
        (self.src / "README.TXT").write_bytes(b"read me\r\n" * 100)
        shutil.copyfile(WINE_PE / "notepad.exe", self.src / "bin/NOTEPAD.EXE")
        os.chmod(self.src / "SETUP.EXE", 0o751)
        os.chmod(self.src / "README.TXT", 0o640)
        self.times = set_times(self.src)
        self.expected = {"SETUP.EXE": host("winver.exe"), "bin/TWICE.EXE": host("write.exe"),
                         "README.TXT": (self.src / "README.TXT").read_bytes(),
                         "bin/NOTEPAD.EXE": host("notepad.exe")}
        self.top = ["README.TXT", "SETUP.EXE", "bin"]

    def archive(self, name, *command, src=None):
        """Makes self.root/name with command (OUT stands for its path) run in src."""
        out = self.root / name
        out.parent.mkdir(parents=True, exist_ok=True)
        command = [out if c == "OUT" else c for c in command]
        if src is None:
            command += self.top
        tool(*command, cwd=src or self.src)
        return out

    def make_sfx(self, path, member):
        """A self-extracting ZIP: a program, the ZIP behind it, its offsets adjusted."""
        tool("zip", "-q", self.tmp / "payload.zip", member, cwd=self.src)
        stub = bytearray(host("notepad.exe"))  # built without a COFF symbol table, as self-extractors are
        pe = struct.unpack_from("<I", stub, 0x3C)[0]
        struct.pack_into("<II", stub, pe + 12, 0, 0)
        path.write_bytes(bytes(stub) + (self.tmp / "payload.zip").read_bytes())
        tool("zip", "-qA", path, cwd=self.tmp)
        os.remove(self.tmp / "payload.zip")

    def test_an_infected_self_extractor_is_looked_into_once_restored(self):
        self.make_sfx(self.tmp / "sfx.exe", "SETUP.EXE")
        infected(self.root / "INSTALL.EXE", self.tmp / "sfx.exe")
        self.assertEqual(self.findings()[:2], (1, [("INSTALL.EXE", (), "infected", "reported", None)]))
        self.assertEqual(self.findings("--clean")[:2], (2, [
            ("INSTALL.EXE", (), "infected", "restored", None),
            ("INSTALL.EXE", ("SETUP.EXE",), "infected", "failed",
             "inside a self-extracting ZIP archive: not rewritten")]))
        self.assertEqual((self.root / "INSTALL.EXE").read_bytes(), (self.tmp / "sfx.exe").read_bytes())

    def test_archives_are_looked_for_where_a_programs_image_ends(self):
        """A MinGW program (a COFF symbol table and its strings after its sections) with a ZIP appended and
        zip -A applied (right after the strings, and after other data, known then by its end record), and with
        a tar appended: found past the strings, none rewritten. A certificate
        table that ends a program is part of its image, and a file that is not a program is known by its
        first bytes (a CD image by its volume descriptors): a ZIP inside either is no archive."""
        stub = host("notepad.exe")
        pe = struct.unpack_from("<I", stub, 0x3C)[0]
        self.assertNotEqual(struct.unpack_from("<II", stub, pe + 12), (0, 0))
        tool("zip", "-q", self.tmp / "payload.zip", "SETUP.EXE", cwd=self.src)
        payload = (self.tmp / "payload.zip").read_bytes()
        (self.root / "SFX.EXE").write_bytes(stub + payload)
        tool("zip", "-qA", self.root / "SFX.EXE", cwd=self.tmp)
        # Data between the image and the ZIP (an installer's): the ZIP is known by its end record.
        (self.root / "SFXDATA.EXE").write_bytes(stub + os.urandom(5000) + payload)
        tool("zip", "-qA", self.root / "SFXDATA.EXE", cwd=self.tmp)
        tool("tar", "-cf", self.tmp / "payload.tar", "bin/TWICE.EXE", cwd=self.src)
        (self.root / "TARSFX.EXE").write_bytes(stub + (self.tmp / "payload.tar").read_bytes())
        # The security entry of the data directory names a certificate table at the stub's end.
        signed = bytearray(stub + bytes(-len(stub) % 8))
        certificate = struct.pack("<IHH", 8 + len(payload), 0x200, 2) + payload
        struct.pack_into("<II", signed, pe + 24 + 128, len(signed), len(certificate))
        (self.root / "SIGNED.EXE").write_bytes(bytes(signed) + certificate)
        (self.root / "MEDIA.DAT").write_bytes(os.urandom(300000) + payload)
        # A CD image not named like one: known by its volume descriptors at 32 KiB.
        tool("xorriso", "-as", "mkisofs", "-R", "-quiet", "-o", self.root / "CDIMAGE.BIN", "SETUP.EXE", cwd=self.src)
        before = state(self.root)

        status, found, summary = self.findings()
        self.assertEqual((status, found), (1, [("CDIMAGE.BIN", ("SETUP.EXE",), "infected", "reported", None),
                                               ("SFX.EXE", ("SETUP.EXE",), "infected", "reported", None),
                                               ("SFXDATA.EXE", ("SETUP.EXE",), "infected", "reported", None),
                                               ("TARSFX.EXE", ("bin/TWICE.EXE",), "infected", "reported", None)]))
        self.assertEqual((summary["files"], summary["archives"], summary["members"], summary["examined"]),
                         (6, 4, 4, 10))
        self.assertEqual(self.findings("--clean")[:2], (2, [
            ("CDIMAGE.BIN", ("SETUP.EXE",), "infected", "failed", "inside an ISO 9660 archive: not rewritten"),
            ("SFX.EXE", ("SETUP.EXE",), "infected", "failed", "inside a self-extracting ZIP archive: not rewritten"),
            ("SFXDATA.EXE", ("SETUP.EXE",), "infected", "failed",
             "inside a self-extracting ZIP archive: not rewritten"),
            ("TARSFX.EXE", ("bin/TWICE.EXE",), "infected", "failed", "inside a tar archive: not rewritten")]))
        self.assertEqual(state(self.root), before)

    def test_archives_known_by_their_first_bytes_whatever_their_names(self):
        """A 7z, a CAB, the cpio variants, an ar and a xar named like no archive (large enough to be opened)
        are looked into; so is any file that starts with the signature of RAR, RAR5 or LHA (here followed by
        zeros: damaged, said so). Random bytes are none."""
        (self.src / "NOISE.BIN").write_bytes(os.urandom(60000))
        formats = {"newc": "CPIO.DAT", "odc": "ODC.DAT", "bin": "BINCPIO.DAT", "ar": "LIB.DAT", "xar": "XAR.DAT"}
        for form, name in formats.items():  # the xar's member left uncompressed: a smaller file is not opened
            tool("bsdtar", "--format", form, "--options", "xar:compression=none" if form == "xar" else "", "-cf",
                 self.root / name, "SETUP.EXE", cwd=self.src)
        tool("7z", "a", "-bd", self.tmp / "a.7z", "SETUP.EXE", "NOISE.BIN", cwd=self.src)
        tool("gcab", "-cz", self.tmp / "a.cab", "bin/COPY.EXE", "NOISE.BIN", cwd=self.src)
        shutil.copyfile(self.tmp / "a.7z", self.root / "DISK1.DAT")
        shutil.copyfile(self.tmp / "a.cab", self.root / "DATA.BIN")
        zeros = bytes(60000)
        for name, signature in (("R4.BIN", b"Rar!\x1a\x07\x00"), ("R5.BIN", b"Rar!\x1a\x07\x01\x00"),
                                ("LH.BIN", b"\x20\x00-lh5-"), ("LZ.BIN", b"\x20\x00-lz5-")):
            (self.root / name).write_bytes(signature + zeros)
        (self.root / "MEDIA.DAT").write_bytes(os.urandom(300000))
        status, found, summary = self.findings()
        self.assertEqual((status, found), (2, sorted([
            ("DATA.BIN", ("bin/COPY.EXE",), "worm-copy", "reported", None),
            ("DISK1.DAT", ("SETUP.EXE",), "infected", "reported", None),
            ("LH.BIN", (), "not-examined", "skipped", "damaged archive: LHa header sum error"),
            ("LZ.BIN", (), "not-examined", "skipped", "damaged archive: LHa header sum error"),
            ("R4.BIN", (), "not-examined", "skipped", "damaged archive: Bad RAR file"),
            ("R5.BIN", (), "not-examined", "skipped", "damaged archive: Too small block encountered (0 bytes)")] +
            [(name, ("SETUP.EXE",), "infected", "reported", None) for name in formats.values()])))
        self.assertEqual((summary["files"], summary["archives"]), (12, 11))

    def findings(self, *options):
        r = run([self.root], "--json", *options)
        lines = [json.loads(line) for line in r.stdout.splitlines()]
        status, found, summary = r.returncode, lines[:-1], lines[-1]["summary"]
        return status, sorted((os.path.relpath(f["path"], self.root), tuple(f.get("member", ())), f["kind"],
                               f["action"], f.get("error")) for f in found), summary

    def test_findings_in_every_format_and_nested(self):
        self.archive("deflated.zip", "zip", "-qr", "OUT")
        self.archive("stored.zip", "zip", "-qr0", "OUT")
        for name, flag in (("a.tar", ""), ("a.tgz", "z"), ("a.tar.bz2", "j"), ("a.tar.xz", "J")):
            self.archive(name, "bsdtar", "-c%sf" % flag, "OUT")
        self.archive("CD/cd.iso", "xorriso", "-as", "mkisofs", "-R", "-J", "-quiet", "-o", "OUT", ".",
                     src=self.src)
        tool("gcab", "-cz", self.root / "setup.cab", "SETUP.EXE", "bin/COPY.EXE", cwd=self.src)
        self.archive("a.7z", "7z", "a", "-bd", "OUT")
        shutil.copyfile(self.root / "deflated.zip", self.root / "INSTALL.DAT")  # known by its content
        (self.root / "SETUP.EXE.gz").write_bytes(subprocess.run(["gzip", "-c", self.src / "SETUP.EXE"],
                                                                stdout=subprocess.PIPE, check=True).stdout)
        # A ZIP in an ISO, a tar.gz in a ZIP, a self-extracting ZIP (a program in front, offsets adjusted).
        nest = self.tmp / "nest"
        nest.mkdir()
        tool("zip", "-q", nest / "inner.zip", "SETUP.EXE", cwd=self.src)
        tool("bsdtar", "-czf", nest / "inner.tgz", "bin/TWICE.EXE", cwd=self.src)
        self.archive("nested.iso", "xorriso", "-as", "mkisofs", "-R", "-quiet", "-o", "OUT", "inner.zip", src=nest)
        self.archive("nested.zip", "zip", "-q", "OUT", "inner.tgz", src=nest)
        self.make_sfx(self.root / "INSTALL.EXE", "bin/TWICE.EXE")
        before = state(self.root)

        status, found, summary = self.findings()
        full = {("SETUP.EXE", "infected"), ("bin/TWICE.EXE", "infected"), ("bin/COPY.EXE", "worm-copy")}
        expected = set()
        for name in ("deflated.zip", "stored.zip", "a.tar", "a.tgz", "a.tar.bz2", "a.tar.xz", "CD/cd.iso", "a.7z",
                     "INSTALL.DAT"):
            expected |= {(name, (member,), kind, "reported", None) for member, kind in full}
        expected |= {("setup.cab", ("SETUP.EXE",), "infected", "reported", None),
                     ("setup.cab", ("bin/COPY.EXE",), "worm-copy", "reported", None),
                     ("SETUP.EXE.gz", ("SETUP.EXE",), "infected", "reported", None),
                     ("nested.iso", ("inner.zip", "SETUP.EXE"), "infected", "reported", None),
                     ("nested.zip", ("inner.tgz", "bin/TWICE.EXE"), "infected", "reported", None),
                     ("INSTALL.EXE", ("bin/TWICE.EXE",), "infected", "reported", None)}
        self.assertEqual((status, set(found), len(found)), (1, expected, len(expected)))
        self.assertEqual((summary["files"], summary["archives"], summary["members"]), (14, 16, 9 * 5 + 2 + 1 + 2 + 2 + 1))
        self.assertEqual(summary["examined"], 14 + summary["members"])  # every file, every member
        human = run([self.root / "nested.iso"])
        # Report mode says already what --clean cannot do.
        self.assertEqual(human.stdout.splitlines()[0], b"%s \xc2\xbb inner.zip \xc2\xbb SETUP.EXE: infected program "
                         b"(PE_VESKA.A): report only (--clean cannot rewrite ISO 9660: extract, clean, rebuild)"
                         % bytes(self.root / "nested.iso"))
        self.assertTrue(human.stdout.endswith(b"(2 archives, 2 members), 1 found, 0 restored, 0 deleted, 0 repaired, "
                                              b"0 failed, 0 not examined\n"))
        self.assertIn(b"(1 archive, 1 member)", run([self.root / "SETUP.EXE.gz"]).stdout)
        self.assertEqual(json.loads(run([self.root / "a.7z"], "--json").stdout.splitlines()[0])["note"],
                         "--clean cannot rewrite 7z: extract, clean, rebuild")
        self.assertEqual(run_json([self.root], "--no-archives")[::2], (0, dict(summary, examined=11, archives=0,
                                                                              members=0, infected=0, worm_copies=0)))
        self.assertEqual(state(self.root), before)

        # Archives read while other files are: the same lines in the same order as with one job, report and
        # --clean (on copies, with their manifests), again and again.
        def outcome(jobs, clean):
            disk = self.tmp / ("copy" + jobs)
            shutil.copytree(self.root, disk)
            if jobs != "1":
                self.assertGreater(evict(disk, rng, rng.choice((0.5, 1.0))), 2)
            options = ["--clean", "--quarantine", self.tmp / ("q" + jobs)] if clean else []
            r = run([disk], "--json", "--jobs", jobs, *options)
            lines = manifest(self.tmp / ("q" + jobs)) if clean else []
            # The time of each change and the copy's inodes differ from run to run, and so do the bytes of a
            # rewritten archive (the times gzip and ZIP write in them) and, by a byte now and then, its size
            # (a tgz's gzip time deflated again as a member of a ZIP).
            rewritten = {line["path"] for line in lines if line.get("action") == "rewrite"}
            varying = lambda line, k: k in ("time", "sha256_after") or "ino" in k or (
                k == "size_after" and line.get("path") in rewritten)
            kept = [{k: v for k, v in line.items() if not varying(line, k)} for line in lines]
            result = [r.returncode, r.stdout.replace(bytes(disk), b"DISK"), r.stderr,
                      json.dumps(kept).replace(str(disk), "DISK"),
                      {p: e[0] for p, e in state(disk).items() if str(disk / p) not in rewritten}]
            shutil.rmtree(disk)
            if clean:
                shutil.rmtree(self.tmp / ("q" + jobs))
            return result

        rng = random.Random(22)
        for clean in (False, True):
            one = outcome("1", clean)
            self.assertGreater(one[1].count(b"\n"), 30)
            for _ in range(3):
                self.assertEqual(outcome("8", clean), one)
        before = state(self.root)  # the copies read the files: their access times moved

        # --clean: nothing in an ISO, CAB, 7z or single compressed program changes.
        status, found, _ = self.findings("--clean")
        failed = {(f[0], f[4]) for f in found if f[3] == "failed"}
        self.assertEqual(failed, {("CD/cd.iso", "inside an ISO 9660 archive: not rewritten"),
                                  ("nested.iso", "inside an ISO 9660 archive: not rewritten"),
                                  ("setup.cab", "inside a CAB archive: not rewritten"),
                                  ("a.7z", "inside a 7z archive: not rewritten"),
                                  ("SETUP.EXE.gz", "inside a gzip archive: not rewritten"),
                                  ("INSTALL.EXE", "inside a self-extracting ZIP archive: not rewritten")})
        after = state(self.root)
        for name in ("CD/cd.iso", "nested.iso", "setup.cab", "a.7z", "SETUP.EXE.gz", "INSTALL.EXE"):
            self.assertEqual(after[name], before[name], name)
        inner = self.tmp / "inner"
        inner.mkdir()
        tool("unzip", "-q", self.root / "nested.zip", cwd=inner)
        tool("bsdtar", "-xf", "inner.tgz", cwd=inner)
        self.assertEqual((inner / "bin/TWICE.EXE").read_bytes(), host("write.exe"))

    def check_extracted(self, folder, names):
        self.assertEqual(sorted(str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file()), names)
        for name in names:
            st = os.stat(folder / name)
            self.assertEqual((folder / name).read_bytes(), self.expected[name], name)
            self.assertEqual((st.st_mtime_ns // 10**9, st.st_mode), (self.times[name][0] // 10**9,
                                                                    os.stat(self.src / name).st_mode), name)

    def test_clean_rewrites_zip_and_tar_and_undo_puts_them_back(self):
        deflated = self.archive("deflated.zip", "zip", "-qr", "OUT")
        stored = self.archive("stored.zip", "zip", "-qr0", "OUT")
        tgz = self.archive("a.tgz", "tar", "-czf", "OUT")
        compression = {}
        for archive in (deflated, stored):
            with zipfile.ZipFile(archive) as z:
                compression[archive] = {i.filename: i.compress_type for i in z.infolist() if "COPY" not in i.filename}
        self.assertEqual(set(compression[stored].values()), {zipfile.ZIP_STORED})
        set_times(self.root)
        before = state(self.root)
        quarantine = self.tmp / "q"
        status, found, summary = self.findings("--clean", "--quarantine", quarantine)
        for name in ("deflated.zip", "stored.zip", "a.tgz"):
            member = ""
            self.assertEqual([f[1:4] for f in found if f[0] == name], sorted([
                ((member + "SETUP.EXE",), "infected", "restored"), ((member + "bin/COPY.EXE",), "worm-copy", "deleted"),
                ((member + "bin/TWICE.EXE",), "infected", "restored"),
                ((member + "bin/TWICE.EXE",), "infected", "restored")]))
        self.assertEqual((status, summary["restored"], summary["deleted"], summary["failed"]), (1, 9, 3, 0))
        after = state(self.root)
        for name in ("deflated.zip", "stored.zip", "a.tgz"):
            self.assertEqual(after[name][1:], before[name][1:], name)  # times, mode, inode
        names = sorted(self.expected)
        for archive, extract in ((deflated, ["unzip", "-q"]), (stored, ["unzip", "-q"]), (tgz, ["bsdtar", "-xpf"]),
                                 (deflated, ["bsdtar", "-xpf"])):
            out = self.tmp / ("x-" + archive.name + extract[0])
            out.mkdir()
            tool(*extract, archive, cwd=out)
            self.check_extracted(out, names)
        for archive, methods in compression.items():
            with zipfile.ZipFile(archive) as z:
                self.assertEqual({i.filename: i.compress_type for i in z.infolist()}, methods)
        self.assertEqual(subprocess.run(["gzip", "-t", tgz]).returncode, 0)
        self.assertEqual(self.findings()[:2], (0, []))

        self.assertEqual([line.get("action") for line in manifest(quarantine)[::2]], ["rewrite"] * 3)
        self.assertEqual(run_json([], "--undo", quarantine)[::2], (0, {"undone": 3, "as_before": 0, "failed": 0}))
        self.assertEqual(state(self.root), before)

    def test_what_cannot_be_examined_or_rewritten(self):
        tool("zip", "-q", "-P", "secret", self.root / "locked.zip", "SETUP.EXE", "bin/TWICE.EXE", cwd=self.src)
        tool("zip", "-q", self.root / "cut.zip", "SETUP.EXE", "bin/NOTEPAD.EXE", "bin/TWICE.EXE", cwd=self.src)
        with open(self.root / "cut.zip", "r+b") as f:
            f.truncate(120000)
        (self.root / "garbage.zip").write_bytes(os.urandom(3000))
        tool("zip", "-q", self.root / "mixed.zip", "SETUP.EXE", cwd=self.src)
        tool("zip", "-q", "-P", "secret", self.root / "mixed.zip", "README.TXT", cwd=self.src)
        # 42 ZIP files one inside the other.
        bomb = self.tmp / "bomb"
        bomb.mkdir()
        (bomb / "0.zip").write_bytes(b"the end")
        for level in range(1, 43):
            tool("zip", "-q", "%d.zip" % level, "%d.zip" % (level - 1), cwd=bomb)
        shutil.copyfile(bomb / "42.zip", self.root / "bomb.zip")
        # A member of 4 GiB and more, stored sparse, infected.
        big = self.tmp / "big/BIG.EXE"
        infected(big, WINE_PE / "winver.exe")
        os.truncate(big, FOUR_GIB + 0x1000)
        tool("tar", "-cSf", self.root / "big.tar", "BIG.EXE", cwd=big.parent)
        before = state(self.root)

        status, found, summary = self.findings()
        chain = tuple("%d.zip" % level for level in range(41, 33, -1))
        # The damage shows in the second member's data, or in skipping it to the next header.
        damage = [f for f in found if f[0] == "cut.zip" and f[2] == "not-examined"]
        self.assertEqual(len(damage), 1)
        self.assertTrue(damage[0][4].startswith("damaged archive: "), damage)
        self.assertEqual((status, [f for f in found if f not in damage]), (2, sorted([
            ("big.tar", ("BIG.EXE",), "infected", "reported", None),
            ("bomb.zip", chain, "not-examined", "skipped", "nesting deeper than 8 archives"),
            ("cut.zip", ("SETUP.EXE",), "infected", "reported", None),
            ("locked.zip", ("SETUP.EXE",), "not-examined", "skipped", "encrypted member"),
            ("locked.zip", ("bin/TWICE.EXE",), "not-examined", "skipped", "encrypted member"),
            ("mixed.zip", ("SETUP.EXE",), "infected", "reported", None)])))
        self.assertEqual(summary["archives"], 4 + 8)

        status, found, _ = self.findings("--clean")
        failed = [f for f in found if f[2] != "not-examined"]
        self.assertTrue(failed[1][4].startswith("bin/NOTEPAD.EXE: ") and failed[1][4].endswith(": not rewritten"))
        self.assertEqual(failed, [
            ("big.tar", ("BIG.EXE",), "infected", "failed", "BIG.EXE: member of 4 GiB or more: not rewritten"),
            ("cut.zip", ("SETUP.EXE",), "infected", "failed", failed[1][4]),
            ("mixed.zip", ("SETUP.EXE",), "infected", "failed", "README.TXT: encrypted member: not rewritten")])
        self.assertEqual(state(self.root), before)

    def test_what_cannot_hold_the_worm_is_no_error(self):
        """Encrypted members stated smaller than the smallest worm, and a compressed empty file: exit 0. An
        encrypted small member named like an archive may hold the worm compressed: still not examined."""
        small = self.tmp / "small"
        small.mkdir()
        (small / "NOTE.TXT").write_bytes(b"7 bytes")
        (small / "DATA.BIN").write_bytes(os.urandom(30000))
        tool("zip", "-q", "-P", "secret", self.root / "locked.zip", "NOTE.TXT", "DATA.BIN", cwd=small)
        (self.root / "empty.gz").write_bytes(subprocess.run(["gzip", "-c"], input=b"", stdout=subprocess.PIPE,
                                                            check=True).stdout)
        status, found, summary = self.findings()
        self.assertEqual((status, found, summary["archives"], summary["members"]), (0, [], 2, 2))
        tool("zip", "-q", small / "inner.zip", "NOTE.TXT", cwd=small)
        tool("zip", "-q", "-P", "secret", self.root / "nest.zip", "inner.zip", cwd=small)
        # A gzip file cut short is no empty file.
        (self.root / "cut.gz").write_bytes(subprocess.run(["gzip", "-c"], input=os.urandom(100000),
                                                          stdout=subprocess.PIPE, check=True).stdout[:40])
        self.assertEqual(self.findings()[:2], (2, [
            ("cut.gz", (), "not-examined", "skipped", "damaged archive: truncated gzip input"),
            ("nest.zip", ("inner.zip",), "not-examined", "skipped", "encrypted member")]))

    def test_small_files_are_opened_when_named_like_an_archive_in_any_case(self):
        tool("zip", "-q", self.tmp / "copy.zip", "bin/COPY.EXE", cwd=self.src)  # a few hundred bytes
        opened = ["UP.ZIP", "a.Gz", "b.7Z", "c.BZ2", "d.tar", "e.f.lha"]
        for name in opened + [".zip", "f.zip.", "g.zipx", "h.z", "gz", "i.tar.Z", "j.gz2", "k.exe"]:
            shutil.copyfile(self.tmp / "copy.zip", self.root / name)
        self.assertEqual(self.findings()[:2], (1, sorted((name, ("bin/COPY.EXE",), "worm-copy", "reported", None)
                                                         for name in opened)))

    def test_findings_and_names_kept_are_bounded(self):
        # 10,001 encrypted members (names of one file), the first named by 15 folders of 200 letters.
        src = self.tmp / "many"
        deep = src.joinpath(*["L" * 200] * 15)
        deep.mkdir(parents=True)
        (src / "zero").write_bytes(bytes(57344))
        os.link(src / "zero", deep / "f")
        for i in range(10000):
            os.link(src / "zero", src / ("m%05d" % i))
        names = sorted(str(p.relative_to(src)) for p in src.rglob("*") if p.is_file() and p.name != "zero")
        subprocess.run(["zip", "-q", "-P", "secret", self.root / "many.zip", "-@"], cwd=src, check=True,
                       input="\n".join(names).encode())
        r = run([self.root], "--json")
        items = [json.loads(line) for line in r.stdout.splitlines()][:-1]
        self.assertEqual((r.returncode, len(items), items[0]["member"], items[-1]["error"]),
                         (2, 10001, [names[0][:1024] + "..."],
                          "more than 10,000 findings and items not examined: the rest not examined"))

    def test_what_follows_the_end_of_an_archive(self):
        # Two archives put one after the other (GNU tar reads both with -i, a gzip stream on over both
        # members), and a tar followed by bytes that are no archive.
        parts = self.tmp / "parts"
        parts.mkdir()
        for part, member in (("a", "SETUP.EXE"), ("b", "bin/COPY.EXE")):
            tool("tar", "-cf", parts / (part + ".tar"), member, cwd=self.src)
            tool("zip", "-q", parts / (part + ".zip"), member, cwd=self.src)
        a, b = ((parts / (part + ".tar")).read_bytes() for part in "ab")
        (self.root / "two.tar").write_bytes(a + b)
        (self.root / "two.tgz").write_bytes(gzip.compress(a) + gzip.compress(b))
        (self.root / "tail.tar").write_bytes(a + b"not an archive\n" * 100)
        (self.root / "two.zip").write_bytes((parts / "a.zip").read_bytes() + (parts / "b.zip").read_bytes())
        before = state(self.root)
        both = [(("SETUP.EXE",), "infected"), (("bin/COPY.EXE",), "worm-copy")]
        status, found, _ = self.findings()
        damage = [f for f in found if f[2] == "not-examined"]
        self.assertEqual([f[:2] for f in damage], [("tail.tar", ()), ("two.zip", ())])
        self.assertTrue(damage[0][4].startswith("damaged archive: "), damage)
        self.assertEqual(damage[1][4], "data after the end of the archive")
        self.assertEqual((status, [f[:3] for f in found if f not in damage]), (2, sorted(
            [(name, *f) for name in ("two.tar", "two.tgz") for f in both] + [("tail.tar", ("SETUP.EXE",), "infected"),
                                                                           ("two.zip", ("bin/COPY.EXE",), "worm-copy")])))
        status, found, _ = self.findings("--clean")
        self.assertEqual((status, {(f[0], f[3], f[4]) for f in found if f not in damage}), (2, {
            (name, "failed", "data after the end of the archive: not rewritten")
            for name in ("two.tar", "two.tgz", "tail.tar", "two.zip")}))
        self.assertEqual(state(self.root), before)

    def test_members_of_other_kinds_and_names_that_drive_a_terminal(self):
        # A 7z member whose attributes carry a FIFO's mode (7-Zip writes it out as a file), and a pax hard
        # link that carries its own data: both hold an infected program.
        tool("7z", "a", "-bd", "-mhc=off", self.tmp / "fifo.7z", "SETUP.EXE", cwd=self.src)
        data = bytearray((self.tmp / "fifo.7z").read_bytes())
        start = 32 + struct.unpack_from("<Q", data, 12)[0]
        at = data.index(struct.pack("<I", 0o100751 << 16 | 0x8020), start)
        struct.pack_into("<I", data, at, 0o010751 << 16 | 0x8020)
        struct.pack_into("<I", data, 28, zlib.crc32(data[start:]))
        struct.pack_into("<I", data, 8, zlib.crc32(data[12:32]))
        (self.root / "fifo.7z").write_bytes(data)
        with tarfile.open(self.root / "link.tar", "w", format=tarfile.PAX_FORMAT) as tar:
            tar.add(self.src / "README.TXT", "README.TXT")
            link = tarfile.TarInfo("SETUP.EXE")
            link.type, link.linkname, link.size = tarfile.LNKTYPE, "README.TXT", (self.src / "SETUP.EXE").stat().st_size
            tar.addfile(link, io.BytesIO((self.src / "SETUP.EXE").read_bytes()))
        self.assertEqual(self.findings()[:2], (1, [("fifo.7z", ("SETUP.EXE",), "infected", "reported", None),
                                                   ("link.tar", ("SETUP.EXE",), "infected", "reported", None)]))
        # A member whose name retitles and clears the terminal stops the rewrite: its name is shown
        # with the control characters made visible, in the failure as in the path.
        for name in os.listdir(self.root):
            os.remove(self.root / name)
        name = "\x1b]0;owned\x07\x1b[2J\u009b2J.TXT"
        (self.src / name).write_bytes(b"secret" * 10000)  # large enough to hold the worm: an item
        tool("zip", "-q", self.root / "pack.zip", "SETUP.EXE", cwd=self.src)
        tool("zip", "-q", "-P", "secret", self.root / "pack.zip", name, cwd=self.src)
        r = run([self.root], "--clean")
        self.assertEqual(r.stdout.decode().splitlines()[0], "%s \u00bb SETUP.EXE: infected program (PE_VESKA.A): "
                         "failed: ?]0;owned??[2J?2J.TXT: encrypted member: not rewritten" % (self.root / "pack.zip"))
        self.assertIn("\u00bb ?]0;owned??[2J?2J.TXT: encrypted member", r.stderr.decode())
        self.assertFalse(set(r.stdout + r.stderr) & {0x07, 0x1b, 0x9b}, r.stdout + r.stderr)

    def test_a_rewrite_keeps_each_members_records_at_every_depth(self):
        # A ZIP in a ZIP: the inner one's modes live in its central directory.
        nest = self.tmp / "nest"
        nest.mkdir()
        tool("zip", "-q", nest / "inner.zip", "SETUP.EXE", "README.TXT", cwd=self.src)
        tool("zip", "-q", self.root / "outer.zip", "inner.zip", cwd=nest)
        # A tar as Python's tarfile writes it: no pax records for the first member, some for the next.
        with tarfile.open(self.root / "pax.tar", "w", format=tarfile.PAX_FORMAT) as tar:
            setup, readme = (tar.gettarinfo(self.src / name, name) for name in ("SETUP.EXE", "README.TXT"))
            setup.mtime = int(setup.mtime)
            readme.mtime, readme.pax_headers = 1234567890.5, {"SCHILY.xattr.user.origin": "mail"}
            for info in (setup, readme):
                tar.addfile(info, io.BytesIO((self.src / info.name).read_bytes()))
        self.assertEqual(self.findings("--clean")[:2], (1, [
            ("outer.zip", ("inner.zip", "SETUP.EXE"), "infected", "restored", None),
            ("pax.tar", ("SETUP.EXE",), "infected", "restored", None)]))
        with zipfile.ZipFile(self.root / "outer.zip") as outer, zipfile.ZipFile(outer.open("inner.zip")) as inner:
            self.assertEqual([(i.filename, i.external_attr >> 16) for i in inner.infolist()],
                             [("SETUP.EXE", 0o100751), ("README.TXT", 0o100640)])
            self.assertEqual(inner.read("SETUP.EXE"), self.expected["SETUP.EXE"])
        with tarfile.open(self.root / "pax.tar") as tar:
            readme = tar.getmember("README.TXT")
            self.assertEqual((readme.mtime, readme.pax_headers.get("SCHILY.xattr.user.origin"), readme.mode),
                             (1234567890.5, "mail", 0o640))
            self.assertEqual(tar.extractfile("SETUP.EXE").read(), self.expected["SETUP.EXE"])

    def test_names_and_entries_kept_stay_within_bounds_under_clean(self):
        # A worm copy, then 4,096 folders with names of 64 KiB and 100,000 more entries: every entry counts
        # towards the limit, and no name is kept whole (run with 512 MiB of address space).
        with tarfile.open(self.root / "many.tgz", "w:gz", format=tarfile.GNU_FORMAT, compresslevel=1) as tar:
            tar.add(self.src / "bin/COPY.EXE", "COPY.EXE")
            for i in range(4096):
                folder = tarfile.TarInfo("%04d" % i + "d" * (64 << 10))
                folder.type = tarfile.DIRTYPE
                tar.addfile(folder)
            for i in range(100000):
                folder = tarfile.TarInfo("f%d" % i)
                folder.type = tarfile.DIRTYPE
                tar.addfile(folder)
        before = state(self.root)
        limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))
        for options, action, error in (((), "reported", None), (("--clean",), "failed",
                                                                 "more than 100,000 entries: not rewritten")):
            r = run([self.root], "--json", *options, preexec_fn=limit, timeout=60)
            lines = [json.loads(line) for line in r.stdout.splitlines()]
            self.assertEqual((r.returncode, sorted((o.get("member", []), o["kind"], o["action"], o.get("error"))
                                                   for o in lines[:-1])),
                             (2, [([], "not-examined", "skipped", "more than 100,000 entries"),
                                  (["COPY.EXE"], "worm-copy", action, error)]), r.stderr)
        self.assertEqual(state(self.root), before)

    def test_what_libarchive_decompresses_to_skip_counts_towards_4_gib(self):
        # A ZIP written as a stream (its sizes after the data), inside a tar: its one member inflates to
        # 5 GiB of zeros from 5 MB, and libarchive inflates it to find its end. Run with 512 MiB of address
        # space and a minute.
        deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
        deflate.compress(bytes(1 << 20))
        deflate.flush(zlib.Z_FULL_FLUSH)
        piece = deflate.compress(bytes(1 << 20)) + deflate.flush(zlib.Z_FULL_FLUSH)  # 1 MiB, the same each time
        member = piece * 5120 + deflate.flush()
        stream = (struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 8, 8, 0, 0, 0, 0, 0, 8, 0) + b"ZERO.BIN" + member +
                  struct.pack("<IIII", 0x08074B50, 0, len(member), 0))
        with tarfile.open(self.root / "bomb.tar", "w") as tar:
            info = tarfile.TarInfo("stream.zip")
            info.size = len(stream)
            tar.addfile(info, io.BytesIO(stream))
        limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))
        r = run([self.root], "--json", preexec_fn=limit, timeout=60)
        lines = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertEqual((r.returncode, [(o["kind"], o.get("error")) for o in lines[:-1]]),
                         (2, [("not-examined", "more than 4 GiB decompressed")]))

    @unittest.skipUnless(os.path.exists("/dev/fuse"), "/dev/fuse is missing: no NTFS volume can be mounted here")
    def test_clean_of_a_zip_on_an_ntfs_volume(self):
        # ntfs-3g has no unnamed files and keeps an open file's name until it is closed.
        image, volume = self.make_volume()
        with mounted(image, volume):
            tool("zip", "-q", volume / "pack.zip", "SETUP.EXE", "README.TXT", cwd=self.src)
            self.assertEqual(run_json([volume], "--clean")[:2],
                             (1, [(str(volume / "pack.zip"), ["SETUP.EXE"], "infected", "restored")]))
            self.assertEqual(sorted(p.name for p in volume.iterdir()), ["pack.zip"])
            with zipfile.ZipFile(volume / "pack.zip") as z:
                self.assertEqual(z.read("SETUP.EXE"), self.expected["SETUP.EXE"])

    def test_zip_written_as_a_stream_inside_a_tar(self):
        """Members whose sizes follow their data (a ZIP written to a pipe), read from within a tar.gz."""
        class Pipe(io.RawIOBase):
            def __init__(self):
                self.data = bytearray()

            def writable(self):
                return True

            def write(self, data):
                self.data += data
                return len(data)

        nest = self.tmp / "nest"
        nest.mkdir()
        for name, method in (("deflated.zip", zipfile.ZIP_DEFLATED), ("stored.zip", zipfile.ZIP_STORED)):
            pipe = Pipe()
            with zipfile.ZipFile(pipe, "w", method) as z:
                for member in ("SETUP.EXE", "README.TXT", "bin/COPY.EXE"):
                    with z.open(member, "w") as m:
                        m.write((self.src / member).read_bytes())
            (nest / name).write_bytes(pipe.data)
        tool("bsdtar", "-czf", self.root / "streams.tgz", "deflated.zip", "stored.zip", cwd=nest)
        found = {(f[1], f[2]) for f in self.findings()[1]}
        self.assertEqual(found, {((z, m), k) for z in ("deflated.zip", "stored.zip")
                                 for m, k in (("SETUP.EXE", "infected"), ("bin/COPY.EXE", "worm-copy"))})
        self.assertEqual(self.findings("--clean")[0], 1)
        out = self.tmp / "out"
        out.mkdir()
        tool("bsdtar", "-xf", self.root / "streams.tgz", cwd=out)
        for name in ("deflated.zip", "stored.zip"):
            with zipfile.ZipFile(out / name) as z:
                self.assertEqual(z.namelist(), ["SETUP.EXE", "README.TXT"])
                self.assertEqual(z.read("SETUP.EXE"), host("winver.exe"))


if __name__ == "__main__":
    unittest.main()
