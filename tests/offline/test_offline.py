"""veskacure-offline run for real over trees of real files in temporary folders. Hosts are Wine's
own PE programs (libwine:i386), made infected with mkimage. CTest sets VESKACURE_OFFLINE (the program)
and VESKACURE_MKIMAGE (the image builder)."""
import contextlib
import fcntl
import json
import os
import pty
import shutil
import struct
import subprocess
import tempfile
import termios
import unittest
from pathlib import Path

OFFLINE = os.environ.get("VESKACURE_OFFLINE", "")
MKIMAGE = os.environ.get("VESKACURE_MKIMAGE", "")
WINE_PE = Path("/usr/lib/i386-linux-gnu/wine/i386-windows")
NOBODY = 65534
FOUR_GIB = 1 << 32

INI_CRLF = (b"; written by setup\r\n[386Enh]\r\nshell=load.exe\r\n[boot]\r\noemfonts.fon=vgaoem.fon\r\n"
            b"  shell = Explorer.exe load.exe -dontrunold\r\ndrivers=mmsystem.dll\r\n[drivers]\r\n")
INI_CRLF_REPAIRED = INI_CRLF.replace(b"  shell = Explorer.exe load.exe -dontrunold", b"shell=Explorer.exe")
INI_LF = b"[Boot]\nSHELL=explorer.exe load.exe\n[keyboard]\n"
INI_OTHERS = {"nt/System.Ini": b"[boot]\nsystem.drv=system.drv\n[386Enh]\nshell=load.exe\n",
              "me/SYSTEM.INI": b"[boot]\r\nshell=explorer.exe LOAD.EXE\r\n"}


def host(name):
    return (WINE_PE / name).read_bytes()


def mkimage(out, *args):
    Path(out).parent.mkdir(parents=True, exist_ok=True)
    subprocess.run([MKIMAGE, *args[:1], str(out), *map(str, args[1:])], check=True)


def infected(path, host_file, *layers):
    """Writes `host_file` behind the worm, once more per extra layer."""
    mkimage(path, "worm", "--host", host_file)
    for _ in layers:
        mkimage(str(path) + ".in", "worm", "--host", path)
        os.replace(str(path) + ".in", path)


# Root without the capabilities that bypass file modes and ownership: an
# unprivileged user, yet one that can still reach the build directory.
UNPRIVILEGED = ["setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner",
                "--inh-caps=-dac_override,-dac_read_search,-fowner", "--"]


def run(paths, *options, unprivileged=False, **kw):
    command = (UNPRIVILEGED if unprivileged else []) + [OFFLINE, *options, *map(str, paths)]
    kw.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(command, stdout=subprocess.PIPE, **kw)


def run_json(paths, *options, unprivileged=False):
    """Exit status, the finding objects as (path, kind, action[, error]) tuples, the summary."""
    r = run(paths, "--json", *options, unprivileged=unprivileged)
    lines = [json.loads(line) for line in r.stdout.decode("utf-8").splitlines()]
    findings = [tuple(o.values()) for o in lines[:-1]]
    return r.returncode, findings, lines[-1]["summary"]


def state(root):
    """Every file, folder and link below root: content, times, mode, inode; read
    without touching an access time."""
    seen = {}

    def walk(folder, prefix):
        for entry in os.scandir(folder):
            st = entry.stat(follow_symlinks=False)
            data = None
            if entry.is_symlink():
                data = os.readlink(entry.name, dir_fd=folder)
            else:
                fd = os.open(entry.name, os.O_RDONLY | os.O_NOATIME, dir_fd=folder)
                if entry.is_dir():
                    walk(fd, prefix + entry.name + "/")
                else:
                    data = os.pread(fd, st.st_size if st.st_size < 1 << 30 else 1 << 16, 0)
                os.close(fd)
            # Reading a link's target sets the link's access time: that one is not compared.
            atime = None if entry.is_symlink() else st.st_atime_ns
            seen[prefix + entry.name] = (data, st.st_mtime_ns, atime, st.st_mode, st.st_ino)

    top = os.open(root, os.O_RDONLY | os.O_NOATIME)
    walk(top, "")
    os.close(top)
    return seen


def set_times(root):
    """Distinct times in the past, in whole 100 ns (NTFS keeps no finer): {path: (mtime, atime)}."""
    times = {}
    for i, path in enumerate(sorted(p for p in Path(root).rglob("*") if not p.is_symlink())):
        atime, mtime = 1_000_000_000_000_000_000 + i * 7_000_100, 990_000_000_000_000_000 + i * 3_000_300
        os.utime(path, ns=(atime, mtime))
        times[str(path.relative_to(root))] = (mtime, atime)
    return times


class OfflineTest(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="veskaoff-"))
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.root = self.tmp / "disk"
        self.root.mkdir()

    def put(self, relative, data=None, *, infect=None, mode=None):
        path = self.root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if infect is not None:
            infected(path, WINE_PE / infect[0], *infect[1:])
        else:
            path.write_bytes(data)
        if mode is not None:
            os.chmod(path, mode)
        return path


class TreeTest(OfflineTest):
    def make_tree(self):
        """Answers {path: host bytes} of the infected files."""
        hosts = {"Program Files/Accessories/winver.exe": "winver.exe",
                 "Program Files/double.exe": "write.exe",
                 "readonly.exe": "hostname.exe",
                 "linked.exe": "xcopy.exe",
                 os.fsdecode(b"bad\xff.exe"): "winver.exe"}
        for path, name in hosts.items():
            self.put(path, infect=(name, "again") if path.endswith("double.exe") else (name,))
        os.chmod(self.root / "readonly.exe", 0o444)
        (self.root / "links").mkdir()
        os.link(self.root / "linked.exe", self.root / "links/linked-too.txt")
        hosts["links/linked-too.txt"] = "xcopy.exe"
        mkimage(self.root / "WINDOWS/copy57344.exe", "worm", "--size", 57344)
        mkimage(self.root / "copy61439.dat", "worm", "--size", 61439)
        mkimage(self.root / "WINDOWS/checksum.bin", "checksum", "--size", 60000)
        lookalike = bytearray((self.root / "linked.exe").read_bytes())
        lookalike[0x90D0 + 10] ^= 1
        self.put("lookalike.exe", bytes(lookalike))
        mkimage(self.root / "nope.exe", "worm", "--no-pe", "--host", WINE_PE / "notepad.exe")
        self.put("WINDOWS/SYSTEM.INI", INI_CRLF)
        self.put("WINDOWS/readme.txt", b"small files are not opened")
        self.put("win98/system.ini", INI_LF)
        for path, data in INI_OTHERS.items():
            self.put(path, data)
        os.symlink("..", self.root / "links/loop")
        outside = self.tmp / "outside.exe"
        infected(outside, WINE_PE / "winver.exe")
        os.symlink(outside, self.root / "links/outside.exe")
        set_times(self.root)
        return {path: host(name) for path, name in hosts.items()}

    def test_report_changes_nothing_and_clean_restores_every_host(self):
        hosts = self.make_tree()
        before = state(self.root)
        outside = (self.tmp / "outside.exe").read_bytes()

        status, findings, summary = run_json([self.root])
        self.assertEqual(status, 1)
        found = {(os.path.relpath(p, self.root), k, a) for p, k, a in findings}
        expected = {(p.replace("\udcff", "\ufffd"), "infected", "reported") for p in hosts}
        expected |= {(p, "worm-copy", "reported") for p in
                     ("WINDOWS/copy57344.exe", "copy61439.dat", "WINDOWS/checksum.bin")}
        expected |= {(p, "system-ini", "reported") for p in ("WINDOWS/SYSTEM.INI", "win98/system.ini")}
        self.assertEqual(found, expected)
        self.assertEqual(len(findings), len(expected))
        self.assertEqual(summary, {"files": 16, "examined": 15, "infected": 6, "worm_copies": 3, "system_ini": 2,
                                   "restored": 0, "deleted": 0, "repaired": 0, "failed": 0, "not_examined": 0})
        human = run([self.root])
        self.assertEqual(human.returncode, 1)
        self.assertIn(b"/readonly.exe: infected program (PE_VESKA.A): report only\n", human.stdout)
        self.assertTrue(human.stdout.endswith(b"16 files seen, 15 examined, 11 found, 0 restored, 0 deleted, "
                                              b"0 repaired, 0 failed, 0 not examined\n"))
        self.assertEqual(state(self.root), before)

        status, findings, summary = run_json([self.root], "--clean")
        self.assertEqual(status, 1)
        double = [f for f in findings if f[0].endswith("double.exe")]
        self.assertEqual(double, [(str(self.root / "Program Files/double.exe"), "infected", "restored")] * 2)
        self.assertEqual(summary, dict(summary, infected=6, restored=6, deleted=3, repaired=2, failed=0))
        after = state(self.root)
        for path, data in hosts.items():
            content, mtime, atime, mode, inode = after[path]
            self.assertEqual(content, data, path)
            self.assertEqual((mtime, atime, mode, inode), before[path][1:], path)
        self.assertEqual(after["readonly.exe"][3] & 0o777, 0o444)
        for gone in ("WINDOWS/copy57344.exe", "copy61439.dat", "WINDOWS/checksum.bin"):
            self.assertNotIn(gone, after)
        self.assertEqual(after["WINDOWS/SYSTEM.INI"][0], INI_CRLF_REPAIRED)
        self.assertEqual(after["win98/system.ini"][0], INI_LF.replace(b"SHELL=explorer.exe load.exe",
                                                                       b"shell=Explorer.exe"))
        untouched = ("lookalike.exe", "nope.exe", "links/loop", "links/outside.exe", *INI_OTHERS)
        self.assertEqual({p: after[p] for p in untouched}, {p: before[p] for p in untouched})
        self.assertEqual((self.tmp / "outside.exe").read_bytes(), outside)

        self.assertEqual(run_json([self.root])[:2], (0, []))


class ErrorTest(OfflineTest):
    def test_exit_statuses_and_usage(self):
        self.put("clean.exe", host("notepad.exe"))
        status, _, summary = run_json([self.root])
        self.assertEqual((status, summary["examined"], sum(summary.values())), (0, 1, 2))  # all else 0
        missing = run([self.root, self.tmp / "missing"])
        self.assertEqual(missing.returncode, 2)
        self.assertIn(b"missing: cannot examine: No such file or directory\n", missing.stderr)
        for bad in ([], ["--bogus", self.root]):
            r = run(bad)
            self.assertEqual((r.returncode, r.stdout), (2, b""), bad)
            self.assertNotEqual(r.stderr, b"")
        usage = run(["--help"])
        self.assertEqual(usage.returncode, 0)
        self.assertIn(b"registry of the installed Windows and are not touched here: run veskacure.exe", usage.stdout)
        self.assertEqual(run(["--version"]).stdout, b"veskacure-offline 1.22\n")

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root (to drop capabilities) and setpriv")
    def test_what_an_unprivileged_user_cannot_examine_or_change(self):
        self.put("secret/hidden.exe", infect=("winver.exe",))
        os.chmod(self.root / "secret", 0o700)
        self.put("private.exe", infect=("winver.exe",), mode=0o600)
        self.put("theirs.exe", infect=("write.exe",), mode=0o644)
        for path in ("secret", "private.exe", "theirs.exe"):
            os.chown(self.root / path, NOBODY, NOBODY)
        self.put("mine.exe", infect=("hostname.exe",), mode=0o444)  # owner-write added, then taken back
        set_times(self.root)
        before = state(self.root)

        status, findings, summary = run_json([self.root], "--clean", unprivileged=True)
        self.assertEqual(status, 2)
        self.assertEqual({(os.path.basename(f[0]),) + f[1:] for f in findings}, {
            ("mine.exe", "infected", "restored"),
            ("private.exe", "not-examined", "skipped", "cannot open: Permission denied"),
            ("secret", "not-examined", "skipped", "cannot open folder: Permission denied"),
            ("theirs.exe", "infected", "failed", "cannot open for writing: Permission denied")})
        self.assertEqual((summary["failed"], summary["not_examined"]), (1, 2))
        after = state(self.root)
        self.assertEqual(after["mine.exe"][0], host("hostname.exe"))
        self.assertEqual(after["mine.exe"][1:4], before["mine.exe"][1:4])
        # Reading another user's file may set its access time: only root or the owner can prevent that.
        self.assertEqual(after["theirs.exe"][:2], before["theirs.exe"][:2])

    def test_files_of_4_gib_or_more_are_rated_but_not_restored(self):
        # The low 32 bits of the sizes are below 57,344: only the whole size makes them candidates.
        near = self.put("near.exe", infect=("winver.exe",))
        mkimage(self.root / "far.exe", "worm", "--e-lfanew", 0xFFFFFF00)
        with open(self.root / "far.exe", "r+b") as f:
            f.seek(0xFFFFFF00)
            f.write(b"PE\0\0")
        for path in (near, self.root / "far.exe"):
            os.truncate(path, FOUR_GIB + 0x1000)
            if os.stat(path).st_blocks * 512 > 1 << 24:
                self.skipTest("no sparse files in %s" % self.tmp)
        set_times(self.root)
        before = state(self.root)
        self.assertEqual(run_json([self.root])[:2], (1, [
            (str(self.root / "far.exe"), "infected", "reported"),
            (str(near), "infected", "reported")]))
        self.assertEqual(run_json([near], "--clean")[:2],
                         (2, [(str(near), "infected", "failed", "file of 4 GiB or more")]))
        self.assertEqual(state(self.root), before)

    def test_progress_line_only_on_a_terminal(self):
        self.put("a.exe", infect=("winver.exe",))
        main, terminal = pty.openpty()
        self.addCleanup(os.close, main)
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 40, 0, 0))
        with open(terminal, "wb") as stderr:
            quiet = run([self.root], "--quiet", stderr=stderr)
            shown = run([self.root], stderr=stderr)
        written = b""
        with contextlib.suppress(OSError):  # EIO once everything is read
            while chunk := os.read(main, 4096):
                written += chunk
        self.assertEqual((quiet.returncode, shown.returncode), (1, 1))
        # One row of the terminal, redrawn in place and erased at the end.
        line = (b"1 files seen, 1 found: %s" % bytes(self.root))[:39]
        self.assertEqual(written, b"\r\x1b[K" + line + b"\r\x1b[K")
        self.assertEqual(run([self.root]).stderr, b"")


@contextlib.contextmanager
def mounted(image, mount_point):
    subprocess.run(["ntfs-3g", str(image), str(mount_point)], check=True)
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", str(mount_point)], check=True)


@unittest.skipUnless(os.path.exists("/dev/fuse"), "/dev/fuse is missing: no NTFS volume can be mounted here")
class NtfsTest(OfflineTest):
    def test_clean_on_an_ntfs_volume(self):
        image = self.tmp / "ntfs.img"
        with open(image, "wb") as f:
            f.truncate(32 << 20)
        subprocess.run(["mkntfs", "-F", "-Q", "-q", str(image)], check=True, capture_output=True)
        volume = self.tmp / "volume"
        volume.mkdir()
        programs = {"WINDOWS/NOTEPAD.EXE": "notepad.exe", "Program Files/winver.exe": "winver.exe"}
        with mounted(image, volume):
            for path, name in programs.items():
                mkimage(volume / path, "worm", "--host", WINE_PE / name)
            mkimage(volume / "WINDOWS/SYSTEM/copy.exe", "worm", "--size", 57344)
            (volume / "WINDOWS/SYSTEM.INI").write_bytes(INI_CRLF)
            times = set_times(volume)
            status, findings, summary = run_json([volume], "--clean")
            self.assertEqual(status, 1, findings)
            self.assertEqual((summary["restored"], summary["deleted"], summary["repaired"]), (2, 1, 1))
        with mounted(image, volume):
            after = state(volume)
            for path, name in programs.items():
                self.assertEqual(after[path][0], host(name))
                self.assertEqual(after[path][1:3], times[path])
            self.assertNotIn("WINDOWS/SYSTEM/copy.exe", after)
            self.assertEqual(after["WINDOWS/SYSTEM.INI"][0], INI_CRLF_REPAIRED)


if __name__ == "__main__":
    unittest.main()
