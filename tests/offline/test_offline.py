"""veskacure-offline run for real over trees of real files in temporary folders. Hosts are Wine's
own PE programs (libwine:i386), made infected with mkimage. CTest sets VESKACURE_OFFLINE (the program)
and VESKACURE_MKIMAGE (the image builder)."""
import contextlib
import fcntl
import hashlib
import json
import os
import pty
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
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


def run_json(paths, *options, **kw):
    """Exit status, the finding objects as (path, kind, action[, error]) tuples (for --undo (path,
    action[, error])), the summary."""
    r = run(paths, "--json", *options, **kw)
    lines = [json.loads(line) for line in r.stdout.decode("utf-8").splitlines()]
    findings = [tuple(o.values()) for o in lines[:-1]]
    return r.returncode, findings, lines[-1]["summary"]


def manifest(quarantine):
    return [json.loads(line) for line in (Path(quarantine) / "manifest.jsonl").read_bytes().splitlines()]


def unfinished(quarantine):
    """The files whose last change, and those whose last put-back, began but did not end."""
    changes, put_backs = set(), set()
    for line in manifest(quarantine):
        for begin, end, begun in (("action", "done", changes), ("undo_begin", "undo_end", put_backs)):
            if begin in line:
                begun.add(line["path"])
            elif end in line:
                begun.discard(line["path"])
    return changes, put_backs


def watch_writes(folder, *options, kill=None):
    """Runs the program while watching the files in folder from outside. Answers, for each file, how
    long after its modification time first moved (its first byte written over) its size first changed
    (the cut that ends a restoration, or a put-back writing past the restored length). With kill=(names,
    delay), the program is killed with SIGKILL delay seconds after one of the files named began to be
    written: whatever order the program keeps, the kill lands in that write."""
    first = {path.name: path.stat() for path in Path(folder).iterdir()}
    began, windows = {}, {}
    process = subprocess.Popen([OFFLINE, *map(str, options)], stdout=subprocess.DEVNULL)
    while process.poll() is None:
        for name, was in first.items():
            now = os.stat(Path(folder) / name)
            if now.st_mtime_ns != was.st_mtime_ns:
                began.setdefault(name, time.monotonic())
            if now.st_size != was.st_size and name in began:
                windows.setdefault(name, time.monotonic() - began[name])
        if kill and began.keys() & kill[0]:
            time.sleep(kill[1])
            process.kill()
            break
        time.sleep(0.0002)
    process.wait()
    return windows


def catches(pid, signum):
    """Whether the process has a handler for signum installed by now."""
    with contextlib.suppress(FileNotFoundError), open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("SigCgt:"):
                return bool(int(line.split()[1], 16) >> (signum - 1) & 1)
    return False


def files_only(tree_state):
    """Folders aside: deleting a file and putting it back changes its folder's times."""
    return {path: entry[:4] for path, entry in tree_state.items() if entry[0] is not None}


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


def evict(root, rng, share=0.5):
    """Drops a random share of the files below root from the page cache, as on a disk not read yet: the
    walk hands those to its readers (it reads a file already in memory itself). Answers how many of them
    are out of the cache now."""
    os.sync()
    out = 0
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.islink(path) or rng.random() >= share:
                continue
            fd = os.open(path, os.O_RDONLY | os.O_NOATIME)
            # Pages still being written back are not dropped: written and dropped again, a few times.
            for _ in range(3):
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                try:
                    os.preadv(fd, [bytearray(1)], 0, os.RWF_NOWAIT)
                except BlockingIOError:
                    out += 1
                    break
                os.fsync(fd)
            os.close(fd)
    return out


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

    def make_volume(self, name=""):
        """A 32 MiB NTFS image and its (unmounted) mount point. Its serial number is random: mkntfs takes
        it from the clock, and two volumes made in one second would have the same."""
        image = self.tmp / ("ntfs%s.img" % name)
        with open(image, "wb") as f:
            f.truncate(32 << 20)
        subprocess.run(["mkntfs", "-F", "-Q", "-q", str(image)], check=True, capture_output=True)
        subprocess.run(["ntfslabel", "--new-serial=" + os.urandom(8).hex(), str(image)], check=True,
                       capture_output=True)
        volume = self.tmp / ("volume" + name)
        volume.mkdir()
        return image, volume

    def mount_on_another_device(self, image, folder, old_dev, held):
        """Mounts image at folder (unmounted when held ends) on another device number than old_dev. FUSE
        hands out the lowest number free: another test's volume unmounted meanwhile can give the old one back,
        so one more volume is mounted first until the number differs."""
        for n in range(5):
            subprocess.run(["ntfs-3g", str(image), str(folder)], check=True)
            if folder.stat().st_dev != old_dev:
                held.callback(subprocess.run, ["umount", str(folder)], check=True)
                return
            subprocess.run(["umount", str(folder)], check=True)
            held.enter_context(mounted(*self.make_volume("-more%d" % n)))
        self.fail("the device number %d came back five times" % old_dev)

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
        found = {(os.path.relpath(f[0], self.root),) + f[-2:] for f in findings}
        # A name that is not UTF-8 is given in path_hex too, as the manifest gives it.
        self.assertEqual([bytes.fromhex(f[1]) for f in findings if len(f) == 4], [bytes(self.root) + b"/bad\xff.exe"])
        expected = {(p.replace("\udcff", "\ufffd"), "infected", "reported") for p in hosts}
        expected |= {(p, "worm-copy", "reported") for p in
                     ("WINDOWS/copy57344.exe", "copy61439.dat", "WINDOWS/checksum.bin")}
        expected |= {(p, "system-ini", "reported") for p in ("WINDOWS/SYSTEM.INI", "win98/system.ini")}
        self.assertEqual(found, expected)
        self.assertEqual(len(findings), len(expected))
        self.assertEqual(summary, {"files": 16, "examined": 15, "archives": 0, "members": 0, "infected": 6,
                                   "worm_copies": 3, "system_ini": 2, "shell_entries": 0, "shares": 0, "guest": 0,
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


    def test_every_change_is_undone(self):
        self.make_tree()
        before = state(self.root)
        quarantine = self.tmp / "q"
        status, _, summary = run_json([self.root], "--clean", "--quarantine", quarantine)
        changes = summary["restored"] + summary["deleted"] + summary["repaired"]
        self.assertEqual((status, summary["failed"], changes), (1, 0, 11))
        lines = manifest(quarantine)
        # One copy per file: the host carrying the worm twice is changed again without another.
        entries = [line for line in lines if "action" in line]
        self.assertEqual([line["again"] for line in lines if "again" in line], ["restore"])
        self.assertEqual((len(entries), [line.get("done") for line in lines].count(True)), (changes - 1, changes))
        for line in entries:
            copy = quarantine / (line["sha256_before"] + ".bin")
            self.assertEqual(hashlib.sha256(copy.read_bytes()).hexdigest(), line["sha256_before"])
            self.assertEqual((copy.stat().st_mode & 0o777, copy.stat().st_size), (0o400, line["size_before"]))
            self.assertEqual((line["root"], line["root_ino"]), (str(self.root), self.root.stat().st_ino))
        self.assertIn(bytes(self.root) + b"/bad\xff.exe", [bytes.fromhex(line.get("path_hex", "")) for line in lines])
        self.assertEqual(len(list(quarantine.iterdir())), 1 + len({line["sha256_before"] for line in entries}))
        # Previewed, then narrowed to one folder (given relative to the current one) and a file.
        status, listed, summary = run_json([], "--list", quarantine)
        self.assertEqual((status, [(f[0],) + f[-2:] for f in listed]),
                         (0, [(line["path"], line["action"], "undone") for line in entries[::-1]]))
        self.assertEqual(summary, {"changes": len(entries), "would_undo": len(entries), "as_before": 0, "would_fail": 0})
        windows = sorted(str(self.root / p) for p in ("WINDOWS/SYSTEM.INI", "WINDOWS/checksum.bin", "WINDOWS/copy57344.exe"))
        status, undone, _ = run_json(["WINDOWS/", self.root / "readonly.exe"], "--undo", quarantine, cwd=self.root)
        self.assertEqual((status, sorted(undone)), (0, sorted([(p, "undone") for p in windows + [str(self.root / "readonly.exe")]])))
        now = files_only(state(self.root))
        self.assertEqual({p: e for p, e in now.items() if p.startswith("WINDOWS/") or p == "readonly.exe"},
                         {p: e for p, e in files_only(before).items() if p.startswith("WINDOWS/") or p == "readonly.exe"})
        self.assertEqual(now["linked.exe"][0], host("xcopy.exe"))  # still cleaned
        self.assertEqual({f[0]: f[3] for f in run_json([self.root / "WINDOWS"], "--list", quarantine)[1]},
                         dict.fromkeys(windows, "already-as-before"))
        nothing = run_json([self.tmp / "elsewhere.exe"], "--undo", quarantine)
        self.assertEqual(nothing[:2], (2, [(str(self.tmp / "elsewhere.exe"), "failed", "no change recorded for it")]))
        for again in (False, True):  # the second time, everything is back already
            status, undone, summary = run_json([], "--undo", quarantine)
            counts = (0, len(entries)) if again else (len(entries) - 4, 4)
            self.assertEqual((status, summary), (0, dict(zip(("undone", "as_before", "failed"), counts + (0,)))))
            self.assertEqual(files_only(state(self.root)), files_only(before))
            self.assertEqual(sorted(u[0] for u in undone if u[-1] == "already-as-before"),
                             sorted(line["path"] for line in entries) if again else windows + [str(self.root / "readonly.exe")])
        self.assertEqual([u[0] for u in undone], [line["path"] for line in entries[::-1]])  # the newest first
        self.assertEqual(state(self.root)["readonly.exe"][4], before["readonly.exe"][4])  # in place


    def test_any_number_of_jobs_gives_the_output_and_changes_of_one(self):
        """The mixed tree and a wide one (programs of every verdict and size in many folders, hard links across
        them, SYSTEM.INI files): report and --clean over copies with --jobs 1, 2, 3 and 8, again and again,
        give byte for byte the same output, JSON, exit status, manifest and files."""
        self.make_tree()
        infected(self.tmp / "i.exe", WINE_PE / "winver.exe")
        mkimage(self.tmp / "w.exe", "worm", "--size", 60000)
        kinds = [self.tmp / "i.exe", self.tmp / "w.exe", WINE_PE / "write.exe", WINE_PE / "xcopy.exe"]
        rng = random.Random(21)
        for i in range(400):
            path = self.root / ("wide/f%02d/%03d.exe" % (i % 23, i))
            path.parent.mkdir(parents=True, exist_ok=True)
            if i % 7 == 3:
                path.write_bytes(os.urandom(rng.randrange(10, 70000)))
            elif i % 31 == 5:
                os.link(self.root / ("wide/f%02d/%03d.exe" % ((i - 1) % 23, i - 1)), path)
            else:
                shutil.copyfile(kinds[rng.randrange(len(kinds))], path)
        self.put("wide/f07/SYSTEM.INI", INI_CRLF)
        set_times(self.root)
        template = self.tmp / "template"
        # Copied with their hard links, times and modes.
        copy = lambda to: subprocess.run(["cp", "-a", self.root if to == template else template, to], check=True)
        copy(template)

        def outcome(jobs, n):
            """Every output of a report (n None) or of a clean of copy n, the copy's name made the same."""
            disk = self.root if n is None else self.tmp / ("c%d" % n)
            if n is not None:
                copy(disk)
            quarantine = [] if n is None else ["--clean", "--quarantine", self.tmp / ("q%d" % n)]
            if jobs != "1":
                evicted.append(evict(disk, rng, 1.0))  # every file read by a reader, or some by the walk
            human = run([disk], "-j", jobs, *quarantine)
            same = lambda data: data.replace(bytes(disk), b"DISK").replace(bytes(disk).hex().encode(), b"DISK")
            if n is not None:
                shutil.rmtree(disk)
                copy(disk)
                quarantine[-1] = self.tmp / ("q%dj" % n)
            if jobs != "1":
                evicted.append(evict(disk, rng))
            r = run([disk], "--json", "-j", jobs, *quarantine)
            result = [human.returncode, same(human.stdout), same(human.stderr), r.returncode, same(r.stdout),
                      same(r.stderr)]
            if n is not None:
                for line in manifest(quarantine[-1]):
                    for varies in ("root_ino", "ino", "time", "atime_ns"):
                        line.pop(varies, None)
                    result.append(same(json.dumps(line).encode()))
                result.append({path: entry[0] if entry[0] is None or isinstance(entry[0], str)
                               else hashlib.sha256(entry[0]).hexdigest() for path, entry in state(disk).items()})
            return result

        evicted = []  # files out of the page cache before each run with several jobs
        one = outcome("1", None)
        self.assertEqual(one[0], 1)
        self.assertGreater(one[1].count(b": report only"), 150)
        cleaned = outcome("1", 0)
        self.assertGreater(len(cleaned), 300)
        for n, jobs in enumerate(("8", "2", "8", "3", "8", "8"), 1):
            self.assertEqual(outcome(jobs, None), one, jobs)
            self.assertEqual(outcome(jobs, n), cleaned, jobs)
        self.assertGreater(min(evicted), 20)


class ErrorTest(OfflineTest):
    def test_exit_statuses_and_usage(self):
        self.put("clean.exe", host("notepad.exe"))
        status, _, summary = run_json([self.root])
        self.assertEqual((status, summary["examined"], sum(summary.values())), (0, 1, 2))  # all else 0
        missing = run([self.root, self.tmp / "missing"])
        self.assertEqual(missing.returncode, 2)
        self.assertIn(b"missing: cannot examine: No such file or directory\n", missing.stderr)
        for bad in ([], ["--bogus", self.root], ["--quarantine", self.tmp / "q", self.root],
                    ["--list", self.tmp / "q", "--clean", self.root], ["--root", "/a=/b", self.root],
                    ["--force", self.root], ["--list", self.tmp / "q", "--unshare"],
                    ["--list", self.tmp / "q", "--no-archives"]):
            r = run(bad)
            self.assertEqual((r.returncode, r.stdout), (2, b""), bad)
            self.assertTrue(r.stderr.startswith(b"veskacure-offline: "), r.stderr)
        usage = run(["--help"])
        self.assertEqual(usage.returncode, 0)
        self.assertIn(b"SYSTEM.DAT, not handled here: run veskacure.exe /UNSHARE", b" ".join(usage.stdout.split()))
        self.assertIn(b"\nExamples:\n", usage.stdout)
        self.assertLessEqual(max(map(len, usage.stdout.decode().splitlines())), 100)
        self.assertEqual(run(["--version"]).stdout, b"veskacure-offline 1.22\n")
        self.assertEqual(json.loads(run([self.root], "--json").stdout.splitlines()[-1])["version"], "1.22")

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

        quarantine = self.tmp / "q"
        status, findings, summary = run_json([self.root], "--clean", "--quarantine", quarantine, unprivileged=True)
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
        # Back as it was: read-only for its owner, who is not root.
        self.assertEqual(run_json([], "--undo", quarantine, unprivileged=True)[::2], (0, {"undone": 1, "as_before": 1, "failed": 0}))
        self.assertEqual(state(self.root)["mine.exe"][:4], before["mine.exe"][:4])

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


class QuarantineTest(OfflineTest):
    def test_a_file_changed_since_cleaning_is_left_alone_unless_forced(self):
        program = self.put("a.exe", infect=("winver.exe",))
        infected_bytes = program.read_bytes()
        quarantine = self.tmp / "q"
        self.assertEqual(run_json([self.root], "--clean", "--quarantine", quarantine)[2]["files"], 1)
        with open(program, "ab") as f:
            f.write(b"a later patch")
        edited = program.read_bytes()
        r = run([], "--undo", quarantine)
        self.assertEqual((r.returncode, r.stdout), (2, b"%s: not undone: changed since cleaning\n0 undone, 0 already as before, 1 failed\n"
                                                       % bytes(program)))
        self.assertEqual(program.read_bytes(), edited)
        os.link(program, self.tmp / "second-name")
        self.assertEqual(run_json([], "--undo", quarantine, "--force")[:2], (0, [(str(program), "undone")]))
        # Created anew, never written through: the changed file keeps its bytes under its other name.
        self.assertEqual((program.read_bytes(), (self.tmp / "second-name").read_bytes()), (infected_bytes, edited))
        # What the forced undo replaced is kept and recorded: --revert-force puts it back, once.
        self.assertEqual([f[:4:2] + f[3:] for f in run_json([], "--list", quarantine)[1]],
                         [(str(program), "undo", "undone"), (str(program), "restore", "already-as-before")])
        self.assertEqual(run_json([], "--undo", quarantine)[:2], (0, [(str(program), "already-as-before")]))
        for outcome in ("undone", "already-as-before"):
            self.assertEqual(run_json([], "--undo", quarantine, "--revert-force")[:2], (0, [(str(program), outcome)]))
            self.assertEqual(program.read_bytes(), edited)
        self.assertEqual(run_json([], "--undo", quarantine, "--force")[:2], (0, [(str(program), "undone")]))
        self.assertEqual(program.read_bytes(), infected_bytes)
        os.remove(program)
        os.symlink("elsewhere", program)  # another kind of file: left alone even with --force
        self.assertEqual(run_json([], "--undo", quarantine, "--force")[:2],
                         (2, [(str(program), "failed", "path changed since cleaning")]))

    def test_missing_folders_are_made_and_one_inside_the_path_is_refused(self):
        program = self.put("a.exe", infect=("winver.exe",))
        infected_bytes = program.read_bytes()
        for inside in (self.root / "QUAR", self.root / "new/QUAR"):
            r = run([self.root], "--clean", "--quarantine", inside)
            self.assertEqual((r.returncode, r.stdout, r.stderr), (2, b"", b"veskacure-offline: %s: not used as the "
                             b"quarantine: inside %s, which is being cleaned\n" % (bytes(inside), bytes(self.root))))
        self.assertEqual((sorted(os.listdir(self.root)), program.read_bytes()), (["a.exe"], infected_bytes))
        os.chmod(self.tmp, 0o755)
        nested = self.tmp / "srv/quarantine/win"
        self.assertEqual(run_json([self.root], "--clean", "--quarantine", nested)[0], 1)
        for folder in (self.tmp / "srv", self.tmp / "srv/quarantine", nested):
            self.assertEqual(folder.stat().st_mode & 0o777, 0o700, folder)
        self.assertEqual(run_json([], "--undo", nested)[0], 0)
        self.assertEqual(program.read_bytes(), infected_bytes)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to bind-mount")
    def test_a_read_only_volume_is_refused_before_anything_is_written(self):
        self.put("a.exe", infect=("winver.exe",))
        before = state(self.root)
        mount = self.tmp / "ro"
        mount.mkdir()
        subprocess.run(["mount", "--bind", self.root, mount], check=True)
        self.addCleanup(subprocess.run, ["umount", mount], check=True)
        subprocess.run(["mount", "-o", "remount,bind,ro", mount], check=True)
        quarantine = self.tmp / "q"
        r = run([mount], "--clean", "--quarantine", quarantine)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (2, b"", b"veskacure-offline: %s: read-only file system: "
                                                              b"nothing cleaned (mount it read-write)\n" % bytes(mount)))
        self.assertFalse(quarantine.exists())
        self.assertEqual(run_json([mount])[0], 1)  # reporting needs no writing
        self.assertEqual(state(self.root), before)

    def test_what_undo_will_not_do(self):
        """No undo while a clean uses the quarantine; a damaged copy is not written over a file; a line
        that a failed write cut short is reported and does not swallow the next one."""
        program = self.put("a.exe", infect=("winver.exe",))
        infected_bytes = program.read_bytes()
        quarantine = self.tmp / "q"
        quarantine.mkdir()
        (quarantine / "manifest.jsonl").write_bytes(b'{"path": "/cut short by a full di')
        run([self.root], "--clean", "--quarantine", quarantine)
        with open(quarantine / "manifest.jsonl") as held:
            fcntl.flock(held, fcntl.LOCK_SH)  # as a clean still running holds it
            busy = run([], "--undo", quarantine)
        self.assertEqual((busy.returncode, busy.stderr),
                         (2, b"veskacure-offline: %s: in use by another run\n" % bytes(quarantine)))
        copy = next(quarantine.glob("*.bin"))
        os.chmod(copy, 0o600)
        copy.write_bytes(copy.read_bytes()[:-1] + b"?")
        cut = (str(quarantine / "manifest.jsonl"), "failed", "line 1 cannot be read")
        self.assertEqual(run_json([], "--undo", quarantine)[:2],
                         (2, [cut, (str(program), "failed", "the kept copy %s is damaged" % copy.name)]))
        self.assertEqual(program.read_bytes(), host("winver.exe"))
        copy.write_bytes(infected_bytes)
        self.assertEqual(run_json([], "--undo", quarantine)[:2], (2, [cut, (str(program), "undone")]))
        self.assertEqual(program.read_bytes(), infected_bytes)

    def test_no_change_without_its_copy_and_its_manifest_line(self):
        """A copy or a line that cannot be written (beyond a file size limit here, as on a full disk)
        leaves the file as it was, and the run goes on."""
        small, large = self.put("a.exe", infect=("winver.exe",)), self.put("b.exe", infect=("notepad.exe",))
        before = state(self.root)
        limit = (small.stat().st_size + large.stat().st_size) // 2

        def limited():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        full = self.tmp / "full"
        full.mkdir()
        (full / "manifest.jsonl").write_bytes(b"\n" * limit)
        self.assertEqual(run_json([self.root], "--clean", "--quarantine", full, preexec_fn=limited)[:2], (2, [
            (str(small), "infected", "failed", "cannot write the quarantine manifest: File too large"),
            (str(large), "infected", "failed", "cannot keep a copy in the quarantine: File too large")]))
        self.assertEqual(state(self.root), before)
        quarantine = self.tmp / "q"
        self.assertEqual(run_json([self.root], "--clean", "--quarantine", quarantine, preexec_fn=limited)[:2], (2, [
            (str(small), "infected", "restored"),
            (str(large), "infected", "failed", "cannot keep a copy in the quarantine: File too large")]))
        self.assertEqual(state(self.root)["b.exe"], before["b.exe"])
        self.assertEqual(run_json([], "--undo", quarantine)[0], 0)
        self.assertEqual(files_only(state(self.root)), files_only(before))


class InterruptTest(OfflineTest):
    def setUp(self):
        """A large infected program first, then 100 small ones."""
        super().setUp()
        self.template = self.tmp / "template"
        large = self.tmp / "large.exe"
        large.write_bytes(host("winver.exe") + os.urandom(48 << 20))
        infected(self.template / "a.exe", large)
        infected(self.template / "b000.exe", WINE_PE / "winver.exe")
        for i in range(1, 100):
            shutil.copyfile(self.template / "b000.exe", self.template / ("b%03d.exe" % i))
        self.hosts = {path.name: host("winver.exe") for path in self.template.iterdir()}
        self.hosts["a.exe"] = large.read_bytes()

    def start(self, disk, *options):
        """The run over disk, its report going to a pipe of one page that is not read: it blocks after a few
        files and cannot end before the pipe is read. Answers the process and the pipe's reading end."""
        read, write = os.pipe()
        fcntl.fcntl(write, 1031, 4096)  # F_SETPIPE_SZ
        stderr = open(self.tmp / "stderr", "w+b")
        self.addCleanup(stderr.close)
        process = subprocess.Popen([OFFLINE, "--clean", *map(str, options), disk], stdout=write, stderr=stderr)
        os.close(write)
        return process, os.fdopen(read, "rb")

    def check(self, disk, before, report, status, expected_status, stderr):
        """Every file as before or cleaned whole, each cleaned one reported (report None: not all read), the
        run stopped before the end."""
        self.assertEqual((status, stderr.endswith(b"Interrupted.\n")), (expected_status, True), stderr)
        cleaned = set()
        for path in disk.iterdir():
            data = path.read_bytes()
            self.assertIn(data, (before[path.name], self.hosts[path.name]), path.name)
            if data == self.hosts[path.name]:
                cleaned.add(str(path))
        if report is not None:
            restored = {line.split(b": ")[0].decode() for line in report.splitlines() if line.endswith(b": restored")}
            self.assertEqual(restored, cleaned)
        self.assertLess(len(cleaned), len(before))
        return cleaned

    def test_a_signal_lets_the_file_being_cleaned_be_finished_then_stops(self):
        """SIGINT, SIGTERM or SIGHUP, once or twice, at a random moment from the first change on: during the
        copy to the quarantine or the restoration of the large program, between small ones, or while the
        report waits for its reader; with one job or eight."""
        rng = random.Random(25)
        for n in range(8):
            signum = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)[n % 3]
            quarantine = self.tmp / ("q%d" % n) if n % 4 >= 2 else None
            disk = self.tmp / ("disk%d" % n)
            shutil.copytree(self.template, disk)
            before = {path.name: path.read_bytes() for path in disk.iterdir()}
            first = os.stat(disk / "a.exe").st_mtime_ns
            # Read one file at a time, or eight at once while the walk's thread changes them.
            jobs = ["--jobs", "8" if n % 2 else "1"]
            if n % 2:
                evict(disk, rng)
            process, report = self.start(disk, *jobs, *(["--quarantine", quarantine] if quarantine else []))
            # From the first change on: the signals are caught by then.
            while not (quarantine and quarantine.exists()) and os.stat(disk / "a.exe").st_mtime_ns == first:
                self.assertIsNone(process.poll())
                time.sleep(0.0002)
            time.sleep(rng.uniform(0, 0.5))
            process.send_signal(signum)
            if n >= 4:
                process.send_signal(signum)  # a second one changes nothing
            with report:
                lines = report.read()
            status = process.wait(timeout=120)
            stderr = (self.tmp / "stderr").read_bytes()
            self.check(disk, before, lines, status, 128 + signum, stderr)
            self.assertEqual(b"cannot be undone" in stderr, quarantine is None)
            if quarantine:
                # An undo interrupted in its turn finishes the put-back at hand; one more ends the job.
                read, write = os.pipe()
                fcntl.fcntl(write, 1031, 4096)  # F_SETPIPE_SZ
                undo = subprocess.Popen([OFFLINE, "--undo", quarantine], stdout=write, stderr=subprocess.PIPE)
                os.close(write)
                # Not before it catches the signal: on a loaded machine it may not have got that far yet.
                while undo.poll() is None and not catches(undo.pid, signal.SIGINT):
                    time.sleep(0.0002)
                time.sleep(rng.uniform(0, 0.05))
                undo.send_signal(signal.SIGINT)
                with os.fdopen(read, "rb") as pipe:
                    pipe.read()
                _, stderr = undo.communicate(timeout=120)
                self.assertIn((undo.returncode, stderr.endswith(b"Interrupted.\n")), ((0, False), (130, True)), stderr)
                for path in disk.iterdir():
                    self.assertIn(path.read_bytes(), (before[path.name], self.hosts[path.name]), path.name)
                self.assertEqual(run_json([], "--undo", quarantine)[0], 0)
                self.assertEqual({path.name: path.read_bytes() for path in disk.iterdir()}, before)
            shutil.rmtree(disk)

    def test_a_reader_that_goes_away(self):
        """As with | head -1: the program that was being cleaned is finished, then the run stops."""
        disk = self.root
        shutil.copytree(self.template, disk, dirs_exist_ok=True)
        before = {path.name: path.read_bytes() for path in disk.iterdir()}
        process, report = self.start(disk)
        with report:
            first = report.readline()
        status = process.wait(timeout=120)
        self.assertEqual(first, b"%s: infected program (PE_VESKA.A): restored\n" % bytes(disk / "a.exe"))
        self.assertIn(str(disk / "a.exe"), self.check(disk, before, None, status, 141, (self.tmp / "stderr").read_bytes()))


class CrashTest(OfflineTest):
    RUNS = 24

    def test_a_clean_killed_anywhere_is_undone(self):
        """--clean --quarantine over large hosts killed with SIGKILL in the restoration of one host after
        the other, as seen from outside; --undo, itself killed in its first put-back every other run,
        then run again, puts every file back as it was. Where each kill landed is read afterwards from
        the manifest (a change or put-back begun and not ended) and the quarantine (a copy unfinished)."""
        template = self.tmp / "template"
        large = self.tmp / "large.exe"
        for i in range(8):
            large.write_bytes(host("winver.exe") + os.urandom(6 << 20))
            infected(template / ("h%d.exe" % i), large, *["again"] * (i % 3 == 0))
            os.chmod(template / ("h%d.exe" % i), 0o444 if i % 4 == 1 else 0o644)
        set_times(template)
        shutil.copytree(template, self.root, dirs_exist_ok=True)
        changes = watch_writes(self.root, "--clean", "--quarantine", self.tmp / "q", self.root)
        put_back = sorted(watch_writes(self.root, "--undo", self.tmp / "q").values())[len(changes) // 2]
        self.assertEqual(len(changes), 8)
        inside = in_copy = undo_inside = undo_failed = not_recovered = 0
        for n in range(self.RUNS):
            disk, quarantine = self.tmp / ("disk%d" % n), self.tmp / ("q%d" % n)
            shutil.copytree(template, disk)
            before = state(disk)
            name = "h%d.exe" % (n % len(changes))
            watch_writes(disk, "--clean", "--quarantine", quarantine, disk,
                         kill=({name}, changes[name] * (n * 0.618 % 1)))
            inside += bool(unfinished(quarantine)[0])
            in_copy += any(quarantine.glob("*.part"))
            if n % 2:
                watch_writes(disk, "--undo", quarantine, kill=(set(changes), put_back * (n * 0.618 % 1)))
                undo_inside += bool(unfinished(quarantine)[1])
            undo_failed += run([], "--undo", quarantine).returncode != 0
            after = state(disk)
            not_recovered += sum(after[path] != entry for path, entry in before.items() if entry[0] is not None)
            shutil.rmtree(disk)
        print("\ncrash test: %d runs; kills inside a change %d, during a quarantine copy %d, elsewhere %d; "
              "undo kills inside a put-back %d of %d; undo runs that failed %d; files not recovered %d"
              % (self.RUNS, inside, in_copy, self.RUNS - inside - in_copy, undo_inside, self.RUNS // 2,
                 undo_failed, not_recovered), file=sys.stderr)
        self.assertEqual((undo_failed, not_recovered), (0, 0))
        self.assertGreaterEqual(inside, self.RUNS // 3)


@unittest.skipUnless(all(shutil.which(tool) for tool in ("mkntfs", "mkfs.vfat", "mcopy", "sfdisk")),
                     "needs ntfs-3g, dosfstools, mtools and util-linux (scripts/setup.sh)")
class DiskImageTest(OfflineTest):
    def test_an_image_that_is_not_mounted_is_not_taken_for_clean(self):
        image, mount_point = self.make_volume()
        os.replace(image, self.root / "win.img")
        infected(self.tmp / "PROG.EXE", WINE_PE / "winver.exe")
        floppy = self.root / "floppy.img"
        subprocess.run(["mkfs.vfat", "-C", floppy, "1440"], check=True, capture_output=True)
        subprocess.run(["mcopy", "-i", floppy, self.tmp / "PROG.EXE", "::PROG.EXE"], check=True)
        disk = self.root / "disk.raw"
        disk.write_bytes(bytes(4 << 20))
        subprocess.run(["sfdisk", "-q", disk], input=b"2048,,7\n", check=True, capture_output=True)
        before = state(self.root)
        status, findings, summary = run_json([self.root], "--clean")
        reason = "disk image (%s): mount it and give the mount folder"
        self.assertEqual((status, findings), (2, [(str(disk), "not-examined", "skipped", reason % "MBR partition table"),
                                                  (str(floppy), "not-examined", "skipped", reason % "FAT"),
                                                  (str(self.root / "win.img"), "not-examined", "skipped", reason % "NTFS")]))
        self.assertEqual(summary["not_examined"], 3)
        self.assertEqual(state(self.root), before)
        # The mount point of an image not mounted: a warning, nothing else.
        r = run([mount_point])
        self.assertEqual((r.returncode, r.stderr), (0, b"veskacure-offline: no files below %s: is the volume mounted?\n"
                                                    % bytes(mount_point)))


class LinkTest(OfflineTest):
    def test_a_worm_copy_with_another_name_says_so(self):
        copy, other = self.root / "WINDOWS/copy.exe", self.tmp / "other-name.exe"
        mkimage(copy, "worm", "--size", 57344)
        os.link(copy, other)
        self.assertEqual(run_json([self.root])[:2], (1, [(str(copy), "worm-copy", "reported", 2)]))
        r = run([self.root], "--clean")
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stdout.startswith(b"%s: worm copy (PE_VESKA.A-O): deleted (one of 2 links: its other "
                                            b"names remain)\n" % bytes(copy)))
        self.assertEqual((copy.exists(), other.stat().st_nlink), (False, 1))

    def test_findings_come_in_byte_order_of_the_names(self):
        # Names alike in their first 8 bytes or shorter than 8, capitals, bytes past 0x7F, a folder among them.
        names = [b"abcdefgh", b"abcdefghi", b"abcdefgh\xff", b"abcdefgA", b"abcdefg", b"ab", b"B", b"\xc3\xa9t\xc3\xa9",
                 b"folder0010", b"folder0002", b"abcdefgh0/x", b"abcdefgh.z/y"]
        copy = self.tmp / "copy.exe"
        mkimage(copy, "worm", "--size", 57344)
        for name in names:
            path = os.path.join(bytes(self.root), name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            shutil.copyfile(copy, path)
        r = run([self.root])
        found = [line.split(b": worm copy")[0] for line in r.stdout.splitlines()[:-1]]
        self.assertEqual(found, [os.path.join(bytes(self.root), n) for n in sorted(names)])


# Cuts the file named and writes its bytes back, over and over, until killed.
RACER = """
import os, sys
data = open(sys.argv[1], "rb").read()
fd = os.open(sys.argv[1], os.O_WRONLY)
print(flush=True)
while True:
    os.ftruncate(fd, 0)
    os.ftruncate(fd, len(data))
    os.pwrite(fd, data, 0)
"""


class RaceTest(OfflineTest):
    def test_a_file_cut_while_it_is_rated(self):
        """Another process cuts an infected file and writes it back, again and again, while it is rated
        under the same name thousands of times: each rating ends as a finding, as "not examined" or as
        nothing (the file was too small when looked at), never as a signal that ends the run."""
        program = self.put("a.exe", infect=("winver.exe",))
        racer = subprocess.Popen([sys.executable, "-c", RACER, program], stdout=subprocess.PIPE)
        self.addCleanup(racer.stdout.close)
        self.addCleanup(racer.wait)
        self.addCleanup(racer.kill)
        racer.stdout.readline()  # racing from here on
        for _ in range(5):
            r = run([program] * 3000, "--json")
            self.assertGreaterEqual(r.returncode, 0, "ended by signal %d" % -r.returncode)
            lines = [json.loads(line) for line in r.stdout.splitlines()]
            # A file read while it is all zeros is an empty tar, which is read on to its end: one cut
            # meanwhile makes it a damaged archive.
            findings = {tuple(o.values()) for o in lines[:-1] if not o.get("error", "").startswith("damaged archive: ")}
            self.assertLessEqual(findings, {(str(program), "infected", "reported"), (str(program), "not-examined",
                                            "skipped", "file shrank while being read")})
            self.assertEqual(r.returncode, 2 if lines[-1]["summary"]["not_examined"] else int(bool(findings)))


@unittest.skipUnless(os.geteuid() == 0, "needs root to mount a tmpfs")
class SpaceTest(OfflineTest):
    def test_a_restoration_without_the_space_it_needs_changes_nothing(self):
        """A sparse infected file on a nearly full volume: the host's megabytes of zeros are holes, and
        moving them to the front needs blocks the volume does not have. The file stays as it was, byte
        for byte; with room, the same file is restored."""
        volume = self.tmp / "small"
        volume.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", volume], check=True)
        self.addCleanup(subprocess.run, ["umount", volume], check=True)
        large = self.tmp / "large.exe"
        large.write_bytes(host("winver.exe") + bytes(3 << 20))
        infected(self.tmp / "sparse.exe", large)
        program = volume / "sparse.exe"
        subprocess.run(["cp", "--sparse=always", self.tmp / "sparse.exe", program], check=True)
        before = program.read_bytes()
        self.assertEqual(run_json([volume], "--clean")[:2],
                         (2, [(str(program), "infected", "failed", "no space left on device")]))
        self.assertEqual(program.read_bytes(), before)
        subprocess.run(["mount", "-o", "remount,size=8m", volume], check=True)
        self.assertEqual(run_json([volume], "--clean")[:2], (1, [(str(program), "infected", "restored")]))
        self.assertEqual(program.read_bytes(), large.read_bytes())


class ListTest(OfflineTest):
    def test_files_from_and_shards_find_what_one_run_finds(self):
        self.put("two  blanks.exe", infect=("winver.exe",))
        self.put("new\nline/ lead.exe", infect=("write.exe", "again"))
        mkimage(self.root / "new\nline/worm\ncopy.exe", "worm", "--size", 57344)
        self.put("new\nline/SYSTEM.INI", INI_LF)
        self.put("clean.exe", host("notepad.exe"))
        files = sorted(bytes(p) for p in self.root.rglob("*") if p.is_file())
        whole = run_json([self.root])
        status, findings, summary = run_json([], "--files-from", "-", input=b"\0".join(files) + b"\0")
        self.assertEqual((status, sorted(findings), summary), (whole[0], sorted(whole[1]), whole[2]))
        shards = self.tmp / "shard"
        shards.write_bytes(b"\0".join(files[:2]))
        one = run([os.fsdecode(files[2])], "--json", "--files-from", shards)
        two = run([], "--json", "--files-from", "-", input=b"\0\0".join(files[3:]))
        reports = [json.loads(line) for line in (one.stdout + two.stdout).splitlines()]
        self.assertEqual(sorted(tuple(o.values()) for o in reports if "summary" not in o), sorted(whole[1]))
        totals = [o["summary"] for o in reports if "summary" in o]
        self.assertEqual({key: totals[0][key] + totals[1][key] for key in whole[2]}, whole[2])
        missing = run([], "--files-from", self.tmp / "missing")
        self.assertEqual((missing.returncode, missing.stderr.endswith(b"cannot open the list: No such file or "
                                                                      b"directory\n")), (2, True))

    def test_a_newline_list_and_a_folder_listed_with_its_files(self):
        a, b = self.put("a.exe", infect=("winver.exe",)), self.put("sub/b.exe", infect=("write.exe",))
        self.put("sub/c.txt", b"small")
        lines = run([], "--files-from", "-", input=b"%s\n%s\n" % (bytes(a), bytes(b)))
        self.assertEqual((lines.returncode, lines.stderr), (2, b"veskacure-offline: -: no NUL in -: use find -print0\n"))
        whole = run_json([self.root])
        self.assertEqual(whole[2]["files"], 3)
        # find -print0 without -type f: every folder and every file; a folder also given before the one holding it.
        everything = subprocess.run(["find", self.root, "-print0"], stdout=subprocess.PIPE, check=True).stdout
        self.assertEqual(run_json([], "--files-from", "-", input=everything), whole)
        status, findings, summary = run_json([self.root / "sub", b, self.root])
        self.assertEqual((status, sorted(findings), summary), (whole[0], sorted(whole[1]), whole[2]))


def deep_folder(root, depth):
    """A descriptor of the folder root/d/d/.../d, depth folders down (deeper than PATH_MAX allows to name)."""
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(depth):
        below = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = below
    return fd


def remove_deep(root):
    """Removes root/d/d/... from the top: the folder below moves up and the emptied one goes, each step
    near root (rmdir deep down costs time in proportion to the depth here, and shutil.rmtree recurses)."""
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    while os.path.exists(os.path.join(root, "d")):
        inner = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        for name in os.listdir(inner):
            if name == "d":
                os.rename("d", "up", src_dir_fd=inner, dst_dir_fd=fd)
            else:
                os.unlink(name, dir_fd=inner)
        os.close(inner)
        os.rmdir("d", dir_fd=fd)
        if os.path.exists(os.path.join(root, "up")):
            os.rename("up", "d", src_dir_fd=fd, dst_dir_fd=fd)
    os.close(fd)


@unittest.skipUnless(os.geteuid() == 0, "needs root, as the reviewed runs were")
class HostileTest(OfflineTest):
    """A disk, a quarantine or another user working against a run as root."""

    def test_a_folder_swapped_for_a_link_leads_undo_nowhere(self):
        sub = self.root / "alice/sub"
        mkimage(sub / "evil.sh", "worm", "--size", 57344)
        passwd = self.put("alice/sub/passwd", infect=("winver.exe",))
        infected_bytes = passwd.read_bytes()
        for path in (self.root / "alice", sub, sub / "evil.sh", passwd):
            os.chown(path, NOBODY, NOBODY)
        quarantine = self.tmp / "q"
        self.assertEqual(run_json([self.root], "--clean", "--quarantine", quarantine)[0], 1)
        secret = self.tmp / "secret"
        secret.mkdir(mode=0o700)
        (secret / "passwd").write_bytes(b"root:x:0:0:root:/root:/bin/sh\n")
        before = state(secret)
        os.rename(sub, self.root / "alice/moved")
        os.symlink(secret, sub)
        refused = sorted((str(path), "failed", "path changed since cleaning") for path in (sub / "evil.sh", passwd))
        for options in ([], ["--force"], ["--force", "older manifest"]):
            if "older manifest" in options:  # as written before roots and inodes were recorded
                new = ("root", "root_dev", "root_ino", "below", "dev", "ino")
                lines = [{k: v for k, v in line.items() if k not in new} for line in manifest(quarantine)]
                (quarantine / "manifest.jsonl").write_text("".join(json.dumps(line) + "\n" for line in lines))
            status, findings, _ = run_json([], "--undo", quarantine, *options[:1])
            self.assertEqual((status, sorted(findings)), (2, refused), options)
            self.assertEqual(state(secret), before)
        os.remove(sub)
        os.rename(self.root / "alice/moved", sub)
        self.assertEqual(run_json([], "--undo", quarantine)[::2], (0, {"undone": 2, "as_before": 0, "failed": 0}))
        self.assertEqual(passwd.read_bytes(), infected_bytes)
        self.assertEqual((os.stat(sub / "evil.sh").st_uid, os.stat(sub / "evil.sh").st_mode & 0o7777), (NOBODY, 0o644))

    def test_another_file_at_the_path_is_never_written_through(self):
        program = self.put("a.exe", infect=("winver.exe",))
        infected_bytes = program.read_bytes()
        quarantine = self.tmp / "q"
        run([self.root], "--clean", "--quarantine", quarantine)
        outside = self.tmp / "outside"
        outside.write_bytes(b"root's own file\n")
        program.unlink()
        os.link(outside, program)  # another inode, with a name outside the tree
        self.assertEqual(run_json([], "--undo", quarantine)[:2], (2, [(str(program), "failed", "changed since cleaning")]))
        self.assertEqual(run_json([], "--undo", quarantine, "--force")[:2], (0, [(str(program), "undone")]))
        self.assertEqual((outside.read_bytes(), program.read_bytes()), (b"root's own file\n", infected_bytes))
        self.assertEqual(outside.stat().st_nlink, 1)

    def test_a_quarantine_others_may_write_is_refused(self):
        self.put("a.exe", infect=("winver.exe",))
        before = state(self.root)
        theirs, shared, real = self.tmp / "theirs", self.tmp / "shared", self.tmp / "real"
        for folder in (theirs, shared, real):
            folder.mkdir(mode=0o700)
        os.chown(theirs, NOBODY, NOBODY)
        os.chmod(shared, 0o777)
        os.symlink(real, self.tmp / "link")
        for folder, reason in ((theirs, b"owned by another user (uid 65534)"), (shared, b"writable by group or others"),
                               (self.tmp / "link", b"a symbolic link"), (str(self.tmp / "link") + "/", b"a symbolic link")):
            for options in (["--clean", "--quarantine", folder, self.root], ["--undo", folder]):
                r = run([], *options)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (2, b"", b"veskacure-offline: %s: not used as the "
                                                                     b"quarantine: %s\n" % (os.fsencode(folder), reason)))
        self.assertEqual([list(folder.iterdir()) for folder in (theirs, shared, real)], [[], [], []])
        # A manifest of another user, or one with a second name elsewhere, in a folder of ours.
        (self.tmp / "elsewhere").write_bytes(b"")
        for plant in (lambda m: (m.write_bytes(b""), os.chown(m, NOBODY, NOBODY)),
                      lambda m: os.link(self.tmp / "elsewhere", m)):
            (real / "manifest.jsonl").unlink(missing_ok=True)
            plant(real / "manifest.jsonl")
            for options in (["--clean", "--quarantine", real, self.root], ["--undo", real]):
                r = run([], *options)
                self.assertEqual((r.returncode, r.stderr), (2, b"veskacure-offline: %s: manifest.jsonl is not a regular "
                                 b"file of this user with one link that only this user may write\n" % bytes(real)))
        self.assertEqual(state(self.root), before)

    def test_what_the_manifest_or_a_planted_copy_asks_is_not_obeyed(self):
        program = self.put("a.exe", infect=("winver.exe",), mode=0o755)
        infected_bytes = program.read_bytes()
        quarantine = self.tmp / "q"
        run([self.root], "--clean", "--quarantine", quarantine)
        lines = manifest(quarantine)
        lines[0]["mode"] = 0o7755
        (quarantine / "manifest.jsonl").write_text("".join(json.dumps(line) + "\n" for line in lines))
        self.assertEqual(run_json([], "--undo", quarantine)[0], 0)
        self.assertEqual((program.read_bytes(), program.stat().st_mode & 0o7777), (infected_bytes, 0o755))
        self.assertEqual(run_json([], "--undo", quarantine)[0], 0)  # bytes as before: the mode is left as it is
        self.assertEqual(program.stat().st_mode & 0o7777, 0o755)

        run([self.root], "--clean", "--quarantine", quarantine)
        copy = quarantine / (hashlib.sha256(infected_bytes).hexdigest() + ".bin")
        kept = self.tmp / "kept"
        os.rename(copy, kept)
        plants = {"a FIFO": lambda: os.mkfifo(copy, 0o600), "a copy of another user": lambda: (
            shutil.copy(kept, copy), os.chown(copy, NOBODY, NOBODY)), "a copy with two links": lambda: os.link(kept, copy)}
        for what, plant in plants.items():
            plant()
            status, findings, _ = run_json([], "--undo", quarantine, timeout=60)
            self.assertEqual((status, {f[2] for f in findings}), (2, {"the kept copy %s is not a regular file of this "
                                                                       "user with one link" % copy.name}), what)
            self.assertEqual(program.read_bytes(), host("winver.exe"), what)
            os.remove(copy)
        # A copy of the right size and name but other bytes, planted before a clean, is replaced.
        copy.write_bytes(bytes(len(infected_bytes)))
        os.chmod(copy, 0o400)
        program.write_bytes(infected_bytes)
        self.assertEqual(run_json([self.root], "--clean", "--quarantine", quarantine)[0], 1)
        self.assertEqual(copy.read_bytes(), infected_bytes)
        self.assertEqual(run_json([], "--undo", quarantine)[::2], (0, {"undone": 2, "as_before": 1, "failed": 0}))
        self.assertEqual(program.read_bytes(), infected_bytes)

    def test_a_tree_25000_folders_deep(self):
        depth = 25000
        # Removing 25,000 folders takes a minute on some disks, no time at all from a tmpfs.
        if not self.mount_tmpfs(self.root):
            self.addCleanup(remove_deep, self.root)
        fd = os.open(self.root, os.O_RDONLY)
        for _ in range(depth):
            os.mkdir("d", dir_fd=fd)
            below = os.open("d", os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = below
        infected(self.tmp / "x.exe", WINE_PE / "winver.exe")
        infected_bytes = (self.tmp / "x.exe").read_bytes()
        with open(os.open("x.exe", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
            f.write(infected_bytes)
        os.close(fd)

        def few_descriptors():
            resource.setrlimit(resource.RLIMIT_NOFILE, (128, 128))

        deep = str(self.root) + "/d" * depth + "/x.exe"
        quarantine = self.tmp / "q"
        self.assertEqual(run_json([self.root], "--clean", "--quarantine", quarantine, preexec_fn=few_descriptors)[:2],
                         (1, [(deep, "infected", "restored")]))
        self.assertEqual(run_json([], "--undo", quarantine)[:2], (0, [(deep, "undone")]))
        fd = deep_folder(self.root, depth)
        with open(os.open("x.exe", os.O_RDONLY, dir_fd=fd), "rb") as f:
            self.assertEqual(f.read(), infected_bytes)
        os.close(fd)

    def test_one_copy_per_file_however_many_layers_and_sparse_copies(self):
        large = self.tmp / "large.exe"
        large.write_bytes(host("winver.exe") + os.urandom(1 << 20))
        forty = self.root / "forty.exe"
        infected(forty, large, *["again"] * 39)
        with open(large, "r+b") as f:
            f.truncate(64 << 20)
            f.seek(0, os.SEEK_END)
            f.write(b"the end")
        sparse = self.put("sparse.exe", infect=(large,))
        subprocess.run(["fallocate", "--dig-holes", str(sparse)], check=True)
        if sparse.stat().st_blocks * 512 > 16 << 20:
            self.skipTest("no sparse files in %s" % self.tmp)
        mkimage(self.tmp / "copy.exe", "worm", "--size", 57344)
        peeled = self.put("peeled.exe", infect=(self.tmp / "copy.exe",))  # restored, then deleted as a worm copy
        ini = self.put("SYSTEM.INI", INI_LF)
        before = {path: (hashlib.sha256(path.read_bytes()).hexdigest(), path.stat().st_size)
                  for path in (forty, sparse, peeled)}
        atime = set_times(self.root)["SYSTEM.INI"][1]
        quarantine = self.tmp / "q"
        status, findings, summary = run_json([self.root], "--clean", "--quarantine", quarantine)
        self.assertEqual((status, summary["restored"], summary["deleted"], summary["repaired"]), (1, 42, 1, 1))
        self.assertEqual(ini.stat().st_atime_ns, atime)  # the copy's read left the access time
        copies = {copy.name: copy.stat() for copy in quarantine.glob("*.bin")}
        self.assertEqual(set(copies), {sha + ".bin" for sha, _ in before.values()} | {
            hashlib.sha256(INI_LF).hexdigest() + ".bin"})
        self.assertEqual(sum(st.st_size for st in copies.values()), sum(size for _, size in before.values()) + len(INI_LF))
        self.assertLess(copies[before[sparse][0] + ".bin"].st_blocks * 512, 16 << 20)
        self.assertEqual(run_json([], "--undo", quarantine)[::2], (0, {"undone": 4, "as_before": 0, "failed": 0}))
        self.assertEqual({path: (hashlib.sha256(path.read_bytes()).hexdigest(), path.stat().st_size)
                          for path in before}, before)

    def mount_tmpfs(self, folder):
        """Answers False when no tmpfs can be mounted here."""
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", str(folder)]).returncode != 0:
            return False
        self.addCleanup(subprocess.run, ["umount", "-l", str(folder)], stderr=subprocess.DEVNULL)
        return True

    def test_a_volume_mounted_below_path_is_a_root_undo_does_not_leave(self):
        volume = self.root / "vol"
        volume.mkdir()
        if not self.mount_tmpfs(volume):
            self.skipTest("cannot mount a tmpfs here")
        program = self.put("vol/sub/a.exe", infect=("winver.exe",))
        infected_bytes = program.read_bytes()
        quarantine = self.tmp / "q"
        self.assertEqual(run_json([self.root], "--clean", "--quarantine", quarantine)[0], 1)
        line = manifest(quarantine)[0]
        self.assertEqual((line["root"], line["root_dev"], line["below"]), (str(volume), volume.stat().st_dev, "sub/a.exe"))
        self.mount_tmpfs(volume / "sub")
        # Another volume mounted on the way since: not entered, even with --force.
        self.assertEqual(run_json([], "--undo", quarantine, "--force")[:2],
                         (2, [(str(program), "failed", "path changed since cleaning")]))
        self.assertEqual(list((volume / "sub").iterdir()), [])
        subprocess.run(["umount", str(volume / "sub")], check=True)
        self.assertEqual(run_json([], "--undo", quarantine)[:2], (0, [(str(program), "undone")]))
        self.assertEqual(program.read_bytes(), infected_bytes)

    def test_a_link_on_the_way_to_a_listed_path(self):
        program = self.put("real/a.exe", infect=("winver.exe",))
        infected_bytes = program.read_bytes()
        os.symlink("real", self.root / "via")
        via = self.root / "via/a.exe"
        reason = "symbolic link on the way, not followed: %s" % (self.root / "via")
        self.assertEqual(run_json([], "--clean", "--files-from", "-", input=bytes(via) + b"\0")[:2],
                         (2, [(str(via), "not-examined", "skipped", reason)]))
        self.assertEqual(run_json(["via/a.exe"], "--clean", cwd=self.root)[:2],
                         (2, [("via/a.exe", "not-examined", "skipped", "symbolic link on the way, not followed: via")]))
        self.assertEqual(program.read_bytes(), infected_bytes)
        self.assertEqual(run_json(["real/../real/a.exe"], "--clean", cwd=self.root)[:2],
                         (1, [("real/../real/a.exe", "infected", "restored")]))


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
        image, volume = self.make_volume()
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


    def test_jobs_where_the_page_cache_cannot_tell(self):
        """ntfs-3g cannot say whether a file's first page is in memory (FUSE): the walk reads files itself while
        that is quick. Report and --clean with --jobs 8 give what --jobs 1 gives, on two copies of one volume."""
        image, volume = self.make_volume()
        with mounted(image, volume):
            make_tree_of_programs(volume)
        copy = self.tmp / "copy.img"
        shutil.copyfile(image, copy)
        outcomes = []
        for disk, jobs in ((image, "1"), (copy, "8")):
            with mounted(disk, volume):
                outcomes.append(jobs_outcome(volume, jobs))
        self.assertEqual(outcomes[0][0], 1)
        self.assertGreater(outcomes[0][1].count(b"infected"), 40)
        self.assertEqual(outcomes[1], outcomes[0])

    def make_windows(self, volume):
        """Two infected programs, a worm copy and an infected SYSTEM.INI."""
        for path, name in {"WINDOWS/NOTEPAD.EXE": "notepad.exe", "Program Files/winver.exe": "winver.exe"}.items():
            mkimage(volume / path, "worm", "--host", WINE_PE / name)
        mkimage(volume / "WINDOWS/SYSTEM/copy.exe", "worm", "--size", 57344)
        (volume / "WINDOWS/SYSTEM.INI").write_bytes(INI_CRLF)

    @staticmethod
    def timed_state(volume):
        """The files at distinct times. ntfs-3g moves an access time at each read, state's too: the times
        are set again after it."""
        set_times(volume)
        files = files_only(state(volume))
        set_times(volume)
        return files

    def test_undo_after_the_volume_was_mounted_again(self):
        """Unmounted after the clean and mounted again, with another FUSE volume mounted in between (so that
        the device number differs): at the same folder, then at another one with --root. Another volume
        with the same files at the recorded folder is refused, --force or not."""
        image, volume = self.make_volume()
        other_image, other = self.make_volume("2")
        moved = self.tmp / "moved"
        moved.mkdir()
        for undo_at in (volume, moved):
            quarantine = self.tmp / ("q-" + undo_at.name)
            with mounted(image, volume):
                if undo_at == volume:
                    self.make_windows(volume)
                before = self.timed_state(volume)
                status, _, summary = run_json([volume], "--clean", "--quarantine", quarantine)
                self.assertEqual((status, summary["restored"], summary["deleted"], summary["repaired"]), (1, 2, 1, 1))
                cleaned = {path: entry[:2] for path, entry in state(volume).items()}
            lines = [line for line in manifest(quarantine) if "action" in line]
            serial = subprocess.run(["blkid", "-o", "value", "-s", "UUID", image], stdout=subprocess.PIPE).stdout
            self.assertEqual({(line["fs_type"], line["fs_uuid"], line["stable_inodes"]) for line in lines},
                             {("ntfs", serial.decode().strip(), True)})
            root = ["--root", "%s=%s" % (volume, moved)] if undo_at == moved else []
            if undo_at == moved:  # as FAT's lines say: inode numbers made up at each mount, files known by their bytes
                rewritten = [dict(line, stable_inodes=False, ino=line["ino"] + 1000, root_ino=line["root_ino"] + 1000)
                             if "action" in line else line for line in manifest(quarantine)]
                (quarantine / "manifest.jsonl").write_text("".join(json.dumps(line) + "\n" for line in rewritten))
            with contextlib.ExitStack() as held:
                held.enter_context(mounted(other_image, other))
                self.mount_on_another_device(image, undo_at, lines[0]["root_dev"], held)
                self.assertEqual({path: entry[:2] for path, entry in state(undo_at).items()}, cleaned)
                listed = run_json([], "--list", quarantine, *root)
                self.assertEqual((listed[0], {f[3] for f in listed[1]}), (0, {"undone"}))
                status, undone, summary = run_json([], "--undo", quarantine, *root)
                self.assertEqual((status, summary), (0, {"undone": 4, "as_before": 0, "failed": 0}), undone)
                self.assertEqual({path[len(str(undo_at)):] for path, _ in undone},
                                 {"/" + line["below"] for line in lines})
                self.assertEqual(files_only(state(undo_at)), before, undo_at)
        # The same files, as the clean left them, on a volume made afresh: same names, same inode numbers.
        with mounted(other_image, volume):
            self.make_windows(volume)
            self.assertEqual(run_json([volume], "--clean")[0], 1)
            self.assertEqual([volume.stat().st_ino] + [(volume / line["below"]).stat().st_ino
                                                       for line in lines if line["action"] != "delete"],
                             [lines[0]["root_ino"]] + [line["ino"] for line in lines if line["action"] != "delete"])
            untouched = self.timed_state(volume)
            for force in ([], ["--force"]):
                status, refused, _ = run_json([], "--undo", quarantine, *force)
                self.assertEqual((status, {f[1:] for f in refused}, len(refused)),
                                 (2, {("failed", "another volume")}, 4))
            self.assertEqual(files_only(state(volume)), untouched)

    def test_no_space_for_a_sparse_program(self):
        """ntfs-3g cannot allocate ahead: each hole's blocks are had by writing a zero into them, and the
        48 MiB of zeros in this host do not fit the volume. Nothing of the program changes."""
        image, volume = self.make_volume()
        large = self.tmp / "large.exe"
        large.write_bytes(host("winver.exe") + bytes(48 << 20))
        infected(self.tmp / "sparse.exe", large)
        with mounted(image, volume):
            program = volume / "sparse.exe"
            subprocess.run(["cp", "--sparse=always", self.tmp / "sparse.exe", program], check=True)
            before = program.read_bytes()
            self.assertEqual(run_json([volume], "--clean")[:2],
                             (2, [(str(program), "infected", "failed", "no space left on device")]))
            self.assertTrue(program.read_bytes() == before)  # no diff of 48 MiB on failure


HIBERNATED = "Windows was hibernated or not shut down (start it and shut it down fully)"
SECTOR = 512


@contextlib.contextmanager
def attached(image, start=0, sectors=None):
    """A volume of a disk image attached and mounted by hand, as an administrator would."""
    size = ["--sizelimit", str(sectors * SECTOR)] if sectors else []
    loop = subprocess.run(["losetup", "-f", "--show", "-o", str(start * SECTOR), *size, str(image)],
                          check=True, stdout=subprocess.PIPE).stdout.decode().strip()
    folder = Path(tempfile.mkdtemp(prefix="mnt-", dir=Path(image).parent))
    try:
        subprocess.run(["ntfs-3g", loop, str(folder)], check=True)
        try:
            yield folder
        finally:
            subprocess.run(["umount", str(folder)], check=True)
    finally:
        subprocess.run(["losetup", "-d", loop], check=True)
        folder.rmdir()


def make_partitioned(image, table, volumes, megabytes=64):
    """A raw disk image: the partition table given to sfdisk, then each volume (start, sectors, "ntfs" or
    "ext4") made on a loop device over its bytes."""
    with open(image, "wb") as f:
        f.truncate(megabytes << 20)
    subprocess.run(["sfdisk", "-q", str(image)], input=table.encode(), check=True, capture_output=True)
    for start, sectors, kind in volumes:
        loop = subprocess.run(["losetup", "-f", "--show", "-o", str(start * SECTOR), "--sizelimit",
                               str(sectors * SECTOR), str(image)], check=True, stdout=subprocess.PIPE).stdout.decode().strip()
        try:
            if kind == "ntfs":
                subprocess.run(["mkntfs", "-F", "-Q", "-q", loop], check=True, capture_output=True)
                subprocess.run(["ntfslabel", "--new-serial=" + os.urandom(8).hex(), loop], check=True, capture_output=True)
            else:
                subprocess.run(["mkfs." + kind, "-q", loop], check=True, capture_output=True)
        finally:
            subprocess.run(["losetup", "-d", loop], check=True)


def make_windows(volume, copies=0):
    """Two infected programs, a worm copy and an infected SYSTEM.INI; and copies more infected programs."""
    for path, name in {"WINDOWS/NOTEPAD.EXE": "notepad.exe", "Program Files/winver.exe": "winver.exe"}.items():
        mkimage(volume / path, "worm", "--host", WINE_PE / name)
    mkimage(volume / "WINDOWS/SYSTEM/copy.exe", "worm", "--size", 57344)
    (volume / "WINDOWS/SYSTEM.INI").write_bytes(INI_CRLF)
    for i in range(copies):
        shutil.copyfile(volume / "Program Files/winver.exe", volume / ("Program Files/w%03d.exe" % i))


WINDOWS_FINDINGS = {("WINDOWS/NOTEPAD.EXE", "infected"), ("Program Files/winver.exe", "infected"),
                    ("WINDOWS/SYSTEM/copy.exe", "worm-copy"), ("WINDOWS/SYSTEM.INI", "system-ini")}


@unittest.skipUnless(os.geteuid() == 0 and os.path.exists("/dev/loop-control") and os.path.exists("/dev/fuse"),
                     "opening disk images needs root, loop devices (/dev/loop-control) and FUSE (/dev/fuse)")
def make_tree_of_programs(volume):
    """160 programs in 21 folders: infected, worm copies, clean programs, random bytes; and make_windows's."""
    kinds = [lambda p: mkimage(p, "worm", "--host", WINE_PE / "winver.exe"),
             lambda p: mkimage(p, "worm", "--size", 60000),
             lambda p: shutil.copyfile(WINE_PE / "write.exe", p),
             lambda p: p.write_bytes(os.urandom(70000))]
    for i in range(160):
        path = volume / ("D%d/S%d/%03d.exe" % (i % 7, i % 3, i))
        path.parent.mkdir(parents=True, exist_ok=True)
        kinds[i % 4 if i % 11 else 0](path)
    make_windows(volume)


def jobs_outcome(volume, jobs, again=lambda: contextlib.nullcontext()):
    """Everything a report and a --clean with --jobs jobs give, and the files after; again() is entered
    around each run."""
    with again():
        report = run([volume], "-j", jobs)
    with again():
        cleaned = run([volume], "--json", "--clean", "-j", jobs)
    with again():
        files = {path: hashlib.sha256(entry[0]).hexdigest() for path, entry in files_only(state(volume)).items()}
    return [report.returncode, report.stdout, report.stderr, cleaned.returncode, cleaned.stdout, cleaned.stderr,
            files]


@unittest.skipUnless(all(shutil.which(tool) for tool in ("mkntfs", "sfdisk", "losetup", "mkfs.ext4")),
                     "needs ntfs-3g, fdisk, util-linux and e2fsprogs (scripts/setup.sh)")
class ImageTest(OfflineTest):
    def test_jobs_on_a_volume_just_mounted(self):
        """An ext4 volume mounted from an image whose bytes are out of memory, as a disk just attached: the
        walk's listings wait on the disk, and threads list folders ahead of it. Report and --clean with --jobs
        8 give what --jobs 1 gives, each run on a volume mounted anew."""
        image = self.tmp / "ext4.img"
        with open(image, "wb") as f:
            f.truncate(64 << 20)
        subprocess.run(["mkfs.ext4", "-q", "-F", str(image)], check=True, capture_output=True)
        volume = self.tmp / "ext4"
        volume.mkdir()

        @contextlib.contextmanager
        def cold(disk):
            os.sync()
            fd = os.open(disk, os.O_RDONLY)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            os.close(fd)
            subprocess.run(["mount", "-o", "loop", str(disk), str(volume)], check=True)
            try:
                yield
            finally:
                subprocess.run(["umount", str(volume)], check=True)

        with cold(image):
            make_tree_of_programs(volume)
        outcomes = []
        for jobs in ("1", "8"):
            disk = self.tmp / ("copy%s.img" % jobs)
            shutil.copyfile(image, disk)
            outcomes.append(jobs_outcome(volume, jobs, lambda: cold(disk)))
        self.assertEqual(outcomes[0][0], 1)
        self.assertGreater(outcomes[0][1].count(b"infected"), 40)
        self.assertEqual(outcomes[1], outcomes[0])

    @staticmethod
    def untouched(image, set_past=False):
        """The image's bytes, read without moving its access time, and its times; with set_past, an access
        time first set before its modification time, which any other read would move."""
        if set_past:
            os.utime(image, ns=(1_000_000_000_000_000_000, 1_100_000_000_000_000_000))
        fd = os.open(image, os.O_RDONLY | os.O_NOATIME)
        with os.fdopen(fd, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        return digest, os.stat(image).st_atime_ns, os.stat(image).st_mtime_ns

    def assert_taken_down(self, image):
        """No loop device over the image, no folder left where it was mounted."""
        self.assertEqual(subprocess.run(["losetup", "-j", str(image)], stdout=subprocess.PIPE).stdout, b"")
        for folder in (self.tmp, Path(tempfile.gettempdir())):
            self.assertEqual([p.name for p in folder.iterdir() if p.name.startswith("veskacure-offline.")], [])

    def test_a_partitioned_image_is_reported_cleaned_in_place_and_undone(self):
        """MBR: NTFS in a primary partition and in a logical one, an empty ext4 between them."""
        image = self.root / "pc.img"
        make_partitioned(image, "start=2048, size=49152, type=7\nstart=53248, type=5\n"
                                "start=55296, size=16384, type=83\nstart=73728, size=57344, type=7\n",
                         [(2048, 49152, "ntfs"), (55296, 16384, "ext4"), (73728, 57344, "ntfs")])
        with attached(image, 2048, 49152) as volume:
            make_windows(volume)
            first = files_only(state(volume))
        with attached(image, 73728, 57344) as volume:
            mkimage(volume / "GAMES/SOL.EXE", "worm", "--host", WINE_PE / "winver.exe")
            sixth = files_only(state(volume))
        expected = {(1, path, kind) for path, kind in WINDOWS_FINDINGS} | {(6, "GAMES/SOL.EXE", "infected")}
        before = self.untouched(image, set_past=True)
        r = run([image], "--json", env=dict(os.environ, TMPDIR=str(self.tmp)))
        lines = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertEqual((r.returncode, {(o["partition"], o["path"], o["kind"]) for o in lines[:-1]}), (1, expected))
        self.assertEqual({o["image"] for o in lines[:-1]}, {str(image)})
        self.assertEqual(r.stderr, b"veskacure-offline: %s \xc2\xbb 5: ext4, passed over\n" % bytes(image))
        human = run([image], env=dict(os.environ, TMPDIR=str(self.tmp))).stdout
        self.assertIn("%s \u00bb 1 \u00bb WINDOWS/NOTEPAD.EXE: infected program (PE_VESKA.A): report only\n" % image,
                      human.decode())
        self.assertEqual(self.untouched(image), before)
        self.assert_taken_down(image)

        quarantine = self.tmp / "q"
        env = dict(os.environ, TMPDIR=str(self.tmp))
        status, findings, summary = run_json([image], "--clean", "--quarantine", quarantine, env=env)
        self.assertEqual((status, summary["restored"], summary["deleted"], summary["repaired"]), (1, 3, 1, 1), findings)
        self.assert_taken_down(image)
        lines = [line for line in manifest(quarantine) if "action" in line]
        self.assertEqual({(line["image"]["file"], line["image"]["partition"], line["image"]["offset"]) for line in lines},
                         {(str(image), 1, 2048 * SECTOR), (str(image), 6, 73728 * SECTOR)})
        self.assertEqual(run_json([image], env=env)[0], 0)
        with attached(image, 2048, 49152) as volume:
            self.assertEqual(state(volume)["WINDOWS/NOTEPAD.EXE"][0], host("notepad.exe"))
            self.assertNotIn("WINDOWS/SYSTEM/copy.exe", state(volume))
        listed = run_json([], "--list", quarantine, env=env)
        self.assertEqual((listed[0], {f[:3] for f in listed[1]}),
                         (0, {(str(image), p, path) for p, path, kind in expected}))
        status, undone, summary = run_json([], "--undo", quarantine, env=env)
        self.assertEqual((status, summary["undone"]), (0, 5), undone)
        self.assert_taken_down(image)
        with attached(image, 2048, 49152) as volume:
            self.assertEqual({p: e[0] for p, e in files_only(state(volume)).items()}, {p: e[0] for p, e in first.items()})
        with attached(image, 73728, 57344) as volume:
            self.assertEqual({p: e[0] for p, e in files_only(state(volume)).items()}, {p: e[0] for p, e in sixth.items()})

    @unittest.skipUnless(shutil.which("qemu-img") and shutil.which("qemu-storage-daemon"),
                         "needs qemu-utils and qemu-system-common (scripts/setup.sh)")
    def test_virtual_machine_images_in_each_format(self):
        """The same disk as qcow2, VMDK, VHDX, VDI and VHD: the same findings at the same paths, the image
        unchanged by a report; cleaned in place, found clean by a second run, and undone."""
        raw = self.tmp / "pc.raw"
        make_partitioned(raw, "start=2048, type=7\n", [(2048, 38912, "ntfs")], megabytes=20)
        with attached(raw, 2048, 38912) as volume:
            make_windows(volume)
        expected = {(1, path, kind) for path, kind in WINDOWS_FINDINGS}
        for extension, format in (("qcow2", "qcow2"), ("vmdk", "vmdk"), ("vhdx", "vhdx"), ("vdi", "vdi"), ("vhd", "vpc")):
            image = self.root / ("vm." + extension)
            subprocess.run(["qemu-img", "convert", "-O", format, raw, image], check=True)
            before = self.untouched(image, set_past=True)
            status, findings, _ = run_json([image])
            self.assertEqual((status, {f[1:4] for f in findings}), (1, expected), format)
            self.assertEqual(self.untouched(image), before, format)
            quarantine = self.tmp / ("q-" + extension)
            status, findings, summary = run_json([image], "--clean", "--quarantine", quarantine)
            self.assertEqual((status, summary["restored"] + summary["deleted"] + summary["repaired"]), (1, 4), findings)
            self.assertEqual({line["image"]["format"] for line in manifest(quarantine) if "action" in line}, {format})
            if format != "vpc":
                subprocess.run(["qemu-img", "check", "-q", image], check=True)
            self.assertEqual(run_json([image])[:2], (0, []), format)
            status, undone, summary = run_json([], "--undo", quarantine)
            self.assertEqual((status, summary["undone"]), (0, 4), undone)
            self.assertEqual({f[1:4] for f in run_json([image])[1]}, expected, format)
            self.assert_taken_down(image)
            self.assertEqual(subprocess.run(["pgrep", "-f", "qemu-storage-daemon.*" + str(image)]).returncode, 1)
        # Images that would have QEMU read or write other files of this machine are not opened.
        overlay, elsewhere = self.root / "overlay.qcow2", self.root / "split.vmdk"
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-b", self.root / "vm.qcow2", "-F", "qcow2", overlay],
                       check=True)
        elsewhere.write_text('# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n'
                             'createType="monolithicFlat"\nRW 40960 FLAT "%s" 0\n' % raw)
        status, findings, _ = run_json([overlay, elsewhere], "--clean")
        self.assertEqual((status, findings), (2, [
            (str(overlay), "not-examined", "skipped", "virtual disk image (qcow2): it builds on a backing file: not "
                                                      "opened (convert it with qemu-img convert first)"),
            (str(elsewhere), "not-examined", "skipped", "virtual disk image (VMDK): its data lie in other files: not "
                                                        "opened (convert it to a single file with qemu-img convert "
                                                        "first): %s" % raw)]))

    def test_gpt_a_whole_volume_fat_and_no_root(self):
        """Findings named alike in a GPT partition and in an image without a partition table."""
        gpt = self.root / "gpt.img"
        make_partitioned(gpt, "label: gpt\nstart=2048, size=32768, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n",
                         [(2048, 32768, "ntfs")], megabytes=20)
        whole, _ = self.make_volume()
        for disk in (gpt, whole):
            with attached(disk, 2048 if disk == gpt else 0, 32768 if disk == gpt else None) as volume:
                mkimage(volume / "WINDOWS/NOTEPAD.EXE", "worm", "--host", WINE_PE / "notepad.exe")
        status, findings, _ = run_json([gpt, whole])
        self.assertEqual((status, findings), (1, [(str(gpt), 1, "WINDOWS/NOTEPAD.EXE", "infected", "reported"),
                                                  (str(whole), None, "WINDOWS/NOTEPAD.EXE", "infected", "reported")]))
        floppy = self.root / "floppy.img"
        subprocess.run(["mkfs.vfat", "-C", floppy, "1440"], check=True, capture_output=True)
        if "\tvfat\n" not in Path("/proc/filesystems").read_text():
            self.assertEqual(run_json([floppy])[:2], (2, [(str(floppy), None, "", "not-examined", "skipped",
                                                           "FAT volume: this kernel cannot mount FAT (no vfat)")]))
        # Another user than root: named, not opened.
        os.chmod(self.tmp, 0o755)
        os.chmod(self.root, 0o755)
        os.chmod(whole, 0o644)
        r = subprocess.run(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups", OFFLINE,
                            str(whole)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual((r.returncode, r.stderr), (2, b"veskacure-offline: %s: disk image (NTFS): not opened: opening an "
                                                    b"image needs root's rights (or mount it and give the mount folder)\n"
                                                    % bytes(whole)))

    def test_a_hibernated_volume_is_read_but_never_cleaned(self):
        image, _ = self.make_volume()
        with attached(image) as volume:
            mkimage(volume / "WINDOWS/NOTEPAD.EXE", "worm", "--host", WINE_PE / "notepad.exe")
            (volume / "hiberfil.sys").write_bytes(b"hibr" + bytes(8188))
        before = self.untouched(image, set_past=True)
        self.assertEqual(run_json([image])[:2], (1, [(str(image), None, "WINDOWS/NOTEPAD.EXE", "infected", "reported")]))
        quarantine = self.tmp / "q"
        status, findings, _ = run_json([image], "--clean", "--quarantine", quarantine)
        self.assertEqual((status, findings), (2, [(str(image), None, "", "not-examined", "skipped", HIBERNATED)]))
        self.assertEqual(self.untouched(image), before)
        self.assert_taken_down(image)

    def test_an_interrupted_clean_leaves_nothing_attached(self):
        """The report goes to a pipe of one page that is not read: the run blocks after a few files, with the
        volume mounted in its own mount namespace only, and is interrupted there."""
        image = self.root / "vm.img"
        make_partitioned(image, "start=2048, type=7\n", [(2048, 129024, "ntfs")])
        with attached(image, 2048, 129024) as volume:
            make_windows(volume, copies=60)
            before = files_only(state(volume))
        quarantine = self.tmp / "q"
        read, write = os.pipe()
        fcntl.fcntl(write, 1031, 4096)  # F_SETPIPE_SZ
        env = dict(os.environ, TMPDIR=str(self.tmp))
        process = subprocess.Popen([OFFLINE, "--clean", "--quarantine", str(quarantine), str(image)], stdout=write,
                                   stderr=subprocess.PIPE, env=env)
        os.close(write)
        while not quarantine.exists() or b"veskacure-offline." not in Path("/proc/%d/mountinfo" % process.pid).read_bytes():
            self.assertIsNone(process.poll())
            time.sleep(0.01)
        # Mounted for the run alone.
        self.assertNotIn(b"veskacure-offline.", Path("/proc/self/mountinfo").read_bytes())
        self.assertNotEqual(subprocess.run(["losetup", "-j", str(image)], stdout=subprocess.PIPE).stdout, b"")
        process.send_signal(signal.SIGINT)
        with os.fdopen(read, "rb") as pipe:
            report = pipe.read()
        _, stderr = process.communicate(timeout=120)
        self.assertEqual((process.returncode, stderr.endswith(b"Interrupted.\n")), (130, True), stderr)
        self.assertLess(report.count(b": restored\n"), 62)
        self.assert_taken_down(image)
        self.assertEqual(run_json([], "--undo", quarantine, env=env)[0], 0)
        with attached(image, 2048, 129024) as volume:
            self.assertEqual({p: e[0] for p, e in files_only(state(volume)).items()}, {p: e[0] for p, e in before.items()})


if __name__ == "__main__":
    unittest.main()
