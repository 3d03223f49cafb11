"""The release files as users get them: the Debian package made from the test build (by
packaging/make_deb.sh, as scripts/package.sh does from its own build) is unpacked into a scratch
folder and its program run from there; its manual page and bash completion must know every option
that --help prints; lintian must find nothing. The zip of veskacure.exe is made as scripts/package.sh
makes it. CTest sets VESKACURE_BUILD_DIR (the native build), VESKACURE_VERSION (the CMake project
version), VESKACURE_EXE (the cross-built tool) and what test_offline needs."""
import gzip
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile
from pathlib import Path

import test_offline as offline

SOURCE = Path(__file__).resolve().parents[2]
BUILD = os.environ.get("VESKACURE_BUILD_DIR", "")
VERSION = os.environ.get("VESKACURE_VERSION", "")
EXE = os.environ.get("VESKACURE_EXE", "")
PACKAGE = "veskacure-offline"
SDE = 1700000000


def make_deb(out):
    r = subprocess.run(["bash", SOURCE / "packaging/make_deb.sh", BUILD, out],
                       stdout=subprocess.PIPE, check=True, text=True)
    return Path(r.stdout.splitlines()[-1])


def help_options(program):
    """Every option --help lists ("  -q,--quiet", "  --undo DIR ..."), with its value's name if it
    takes one."""
    text = subprocess.run([program, "--help"], stdout=subprocess.PIPE, check=True, text=True).stdout
    options = {}
    for m in re.finditer(r"^  (-\S+)(?: ([A-Z][A-Z=.\[\]]*)(?=\s|$))?", text, re.M):
        for name in m.group(1).split(","):
            options[name] = m.group(2)
    return options


def owning_package(path):
    """The installed package that holds a library, whichever of /lib and /usr/lib (the same
    folders on a merged /usr) it was registered under."""
    real = os.path.realpath(path)
    for candidate in (path, real, "/usr" + path, real.replace("/usr/lib/", "/lib/", 1)):
        r = subprocess.run(["dpkg", "-S", candidate], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           text=True)
        if r.returncode == 0:
            return r.stdout.split(":")[0]
    return None


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = Path(tempfile.mkdtemp(prefix="veskapkg-"))
        cls.deb = make_deb(cls.tmp / "out")
        cls.root = cls.tmp / "root"
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)
        cls.program = cls.root / "usr/bin" / PACKAGE
        cls.options = help_options(cls.program)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", self.deb, name], stdout=subprocess.PIPE, check=True,
                              text=True).stdout.strip()

    def test_files_owners_version_and_depends(self):
        arch = subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE, text=True).stdout.strip()
        self.assertEqual(self.deb.name, "%s_%s_%s.deb" % (PACKAGE, VERSION, arch))
        self.assertEqual(self.field("Version"), VERSION)
        version = subprocess.run([self.program, "--version"], stdout=subprocess.PIPE, text=True).stdout
        self.assertEqual(version, "%s %s\n" % (PACKAGE, VERSION))
        listing = subprocess.run(["dpkg-deb", "-c", self.deb], stdout=subprocess.PIPE, check=True,
                                 text=True).stdout.splitlines()
        files = {}
        for line in listing:
            mode, owner, _size, _date, _time, name = line.split(None, 5)
            self.assertEqual(owner, "root/root", name)
            if not mode.startswith("d"):
                files[name] = mode
        doc = "./usr/share/doc/%s/" % PACKAGE
        self.assertEqual(files, {"./usr/bin/" + PACKAGE: "-rwxr-xr-x",
                                 "./usr/share/man/man1/%s.1.gz" % PACKAGE: "-rw-r--r--",
                                 "./usr/share/bash-completion/completions/" + PACKAGE: "-rw-r--r--",
                                 doc + "README.md": "-rw-r--r--", doc + "copyright": "-rw-r--r--",
                                 doc + "changelog.gz": "-rw-r--r--"})
        # Compressed without a name or a time (gzip -n): the same bytes on every build.
        for gz in (self.root / "usr/share/man/man1" / (PACKAGE + ".1.gz"), self.root / doc / "changelog.gz"):
            header = gz.read_bytes()[:10]
            self.assertEqual(header[3] & 0x08, 0, gz)
            self.assertEqual(header[4:8], b"\0\0\0\0", gz)
        # Depends names the package of every library the program needs, as dpkg-shlibdeps found it.
        depends = {d.split()[0] for d in self.field("Depends").split(", ")}
        needed = subprocess.run(["ldd", self.program], stdout=subprocess.PIPE, check=True, text=True).stdout
        direct = re.findall(r"NEEDED\s+(\S+)", subprocess.run(["objdump", "-p", self.program], check=True,
                                                                  stdout=subprocess.PIPE, text=True).stdout)
        self.assertIn("libhivex.so.0", direct)
        for soname in direct:
            path = re.search(r"^\s*%s => (\S+)" % re.escape(soname), needed, re.M).group(1)
            self.assertIn(owning_package(path), depends, soname)

    def test_the_packaged_program_cleans_an_infected_tree(self):
        tree = self.tmp / "tree"
        offline.infected(tree / "WINDOWS/NOTEPAD.EXE", offline.WINE_PE / "notepad.exe")
        offline.mkimage(tree / "WINDOWS/copy.exe", "worm", "--size", 57344)
        report = subprocess.run([self.program, "--json", tree], stdout=subprocess.PIPE)
        self.assertEqual(report.returncode, 1)
        lines = [json.loads(line) for line in report.stdout.splitlines()]
        self.assertEqual([(Path(o["path"]).name, o["kind"], o["action"]) for o in lines[:-1]],
                         [("NOTEPAD.EXE", "infected", "reported"), ("copy.exe", "worm-copy", "reported")])
        quarantine = self.tmp / "quarantine"
        clean = subprocess.run([self.program, "--clean", "--quarantine", quarantine, tree], stdout=subprocess.PIPE)
        self.assertEqual(clean.returncode, 1)
        self.assertEqual((tree / "WINDOWS/NOTEPAD.EXE").read_bytes(), offline.host("notepad.exe"))
        self.assertFalse((tree / "WINDOWS/copy.exe").exists())
        self.assertEqual(subprocess.run([self.program, tree], stdout=subprocess.PIPE).returncode, 0)
        undo = subprocess.run([self.program, "--undo", quarantine], stdout=subprocess.PIPE)
        self.assertEqual(undo.returncode, 0)
        self.assertTrue((tree / "WINDOWS/copy.exe").exists())
        # Every field the JSON output carries is in the manual page.
        page = self.manual_page_text()
        for key in {key for o in lines for key in o} | set(lines[-1]["summary"]):
            self.assertIn(key, page)

    def manual_page_text(self):
        page = self.root / "usr/share/man/man1" / (PACKAGE + ".1.gz")
        env = dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80", MAN_KEEP_FORMATTING="")
        r = subprocess.run(["man", "--warnings", "-l", page], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           env=env, text=True)
        self.assertEqual(r.stderr, "")
        self.assertEqual(r.returncode, 0)
        return re.sub(r".\x08", "", r.stdout)

    def test_the_manual_page_renders_and_names_every_option(self):
        text = self.manual_page_text()
        self.assertGreater(len(self.options), 10)
        # Each option --help lists heads an item of OPTIONS ("-q, --quiet", "--undo DIR").
        options = re.search(r"(?ms)^OPTIONS$(.*?)^\S", text).group(1)
        for option in self.options:
            self.assertTrue(re.search(r"(?m)^ {7}(?:-\S+, )?%s(?![\w-])" % re.escape(option), options),
                            "%s is not in the manual page's OPTIONS" % option)
        for section in ("EXIT STATUS", "JSON OUTPUT", "QUARANTINE AND UNDO", "EXAMPLES"):
            self.assertRegex(text, r"(?m)^%s$" % section)
        # Compressed, the same page as in the sources.
        with gzip.open(self.root / "usr/share/man/man1" / (PACKAGE + ".1.gz")) as f:
            self.assertEqual(f.read(), (SOURCE / "docs" / (PACKAGE + ".1")).read_bytes())

    def complete(self, *words, cwd):
        """What the packaged completion offers for the last of words."""
        script = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); '
                  '_veskacure_offline; printf "%s\\n" "${COMPREPLY[@]}"')
        completion = self.root / "usr/share/bash-completion/completions" / PACKAGE
        r = subprocess.run(["bash", "-c", script, "bash", completion, PACKAGE, *words], cwd=cwd,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True, text=True)
        self.assertEqual(r.stderr, "")
        return set(r.stdout.split("\n")) - {""}

    def test_bash_completion_offers_every_option_and_its_value(self):
        folder = self.tmp / "completion"
        (folder / "a-folder").mkdir(parents=True)
        (folder / "a-file").write_bytes(b"")
        self.assertEqual(self.complete("-", cwd=folder), set(self.options))
        self.assertEqual(self.complete("--no", cwd=folder), {o for o in self.options if o.startswith("--no")})
        self.assertEqual(self.complete("", cwd=folder), {"a-folder", "a-file"})
        for option, value in self.options.items():
            offered = self.complete(option, "", cwd=folder)
            if value == "DIR":
                self.assertEqual(offered, {"a-folder"}, option)
            elif value == "FILE":
                self.assertIn("a-file", offered, option)
            elif value is None and option not in ("-h", "--help", "--version"):
                self.assertEqual(offered, {"a-folder", "a-file"}, option)

    def test_lintian_finds_nothing(self):
        r = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
        self.assertEqual(r.stdout, "")
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_the_package_is_made_byte_for_byte_again(self):
        again = make_deb(self.tmp / "again")
        self.assertEqual(again.read_bytes(), self.deb.read_bytes())

    @unittest.skipUnless(os.path.isfile(EXE), "no veskacure.exe")
    def test_the_zip_of_veskacure_exe(self):
        made = []
        for name, mtime in (("one", 1000000000), ("two", 1600000000)):
            exe = self.tmp / name / "veskacure.exe"
            exe.parent.mkdir()
            shutil.copyfile(EXE, exe)
            os.utime(exe, (mtime, mtime))
            env = dict(os.environ, SOURCE_DATE_EPOCH=str(SDE), TZ="Europe/Moscow")
            subprocess.run(["bash", SOURCE / "packaging/make_zip.sh", exe, VERSION, self.tmp / name], env=env,
                           stdout=subprocess.DEVNULL, check=True)
            made.append(self.tmp / name / ("veskacure-%s-win32.zip" % VERSION))
        self.assertEqual(made[0].read_bytes(), made[1].read_bytes())
        with zipfile.ZipFile(made[0]) as z:
            self.assertEqual(z.namelist(), ["README.TXT", "veskacure.exe"])
            for info in z.infolist():
                self.assertEqual(info.date_time, (2023, 11, 14, 22, 13, 20))
                self.assertEqual(info.extra, b"")
            self.assertEqual(z.read("veskacure.exe"), Path(EXE).read_bytes())
            readme = z.read("README.TXT")
        self.assertEqual(readme.count(b"\n"), readme.count(b"\r\n"))
        self.assertIn(b"VESKACURE %s " % VERSION.encode(), readme)
        for switch in (b"/GUEST", b"/UNSHARE"):
            self.assertIn(switch, readme)
        # A tool whose intro screen names another version is refused.
        r = subprocess.run(["bash", SOURCE / "packaging/make_zip.sh", EXE, "0.0", self.tmp / "other"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=dict(os.environ, SOURCE_DATE_EPOCH="1"))
        self.assertNotEqual(r.returncode, 0)
        self.assertIn(b"does not say VESKACURE Version 0.0", r.stderr)


if __name__ == "__main__":
    unittest.main()
