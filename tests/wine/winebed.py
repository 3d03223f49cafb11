"""Throw-away Wine machines for the system tests.

A template prefix is made once per test run (make_template.py), and a 64-bit
one (WINEARCH=win64) for the tests of a 32-bit tool under WoW64; every test
gets its own Machine: a cheap copy of the template in which the DLLs and other
files that never change are hard links and everything a test may alter is a
real copy. The machine reports the Windows version the test asks for, has only
the drives the test maps (no z:, no links into anybody's home directory), and
is removed with its wineserver when the test ends, pass or fail.

Runs of the tool use stand-in NETAPI32.DLL and SVRAPI.DLL placed next to it
(Machine(scenario=...) chooses what they answer; scenario=None, none at all).

Environment (set by CTest):
  VESKACURE_TEMPLATE   template prefix
  VESKACURE_TEMPLATE64 64-bit template prefix (Machine(arch="win64"))
  VESKACURE_EXE        the cross-built veskacure.exe
  VESKACURE_WIN_BUILD  cross build directory (probe.exe and other stand-ins)
  VESKACURE_MKIMAGE    native image builder
  VESKACURE_WORK       where per-test machines are made (default: system temp)
"""

import errno
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

TEMPLATE = Path(os.environ.get("VESKACURE_TEMPLATE", ""))
TEMPLATE64 = Path(os.environ.get("VESKACURE_TEMPLATE64", ""))
EXE = Path(os.environ.get("VESKACURE_EXE", ""))
WIN_BUILD = Path(os.environ.get("VESKACURE_WIN_BUILD", ""))
MKIMAGE = Path(os.environ.get("VESKACURE_MKIMAGE", ""))
WORK = os.environ.get("VESKACURE_WORK") or None

BASE_ENV = {
    "PATH": "/usr/bin:/bin",
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
    "LANG": "C.UTF-8",
    "LC_ALL": "C.UTF-8",
    # With a 64-bit Wine installed as well, wineboot would make a 64-bit prefix
    # and every test would run under WoW64: the plain machines stay 32-bit.
    "WINEARCH": "win32",
}
ARCHES = ("win32", "win64")

# CTest's "skipped": the status with which the Wine tests end on a machine that
# cannot run them at all.
SKIPPED = 77
WINE32_LOADER = "/usr/lib/wine/wine"


def can_run_32bit_programs():
    """False only when the kernel refuses 32-bit x86 programs outright (its
    32-bit emulation is off: "Exec format error"), which no Wine here can run
    veskacure.exe without. A missing or broken Wine is an error, not this."""
    try:
        subprocess.run([WINE32_LOADER, "--version"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return False
        raise
    return True


def skip_unless_32bit_programs_run(outcome="Wine tests skipped"):
    """Ends the process with SKIPPED, saying why, on a machine whose kernel cannot
    run 32-bit programs: the Wine tests are then not run rather than failed."""
    if not can_run_32bit_programs():
        sys.stderr.write("this machine's kernel cannot run 32-bit x86 programs (its 32-bit emulation "
                         "is off), so Wine cannot run veskacure.exe here: %s\n" % outcome)
        sys.exit(SKIPPED)

# Files that no test changes: hard-linked from the template.
LINKED_SUFFIXES = {
    ".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".tlb", ".nls",
    ".ax", ".ds", ".mui", ".ttf", ".fon", ".msstyles", ".com", ".vxd", ".ime",
}

VERSIONS = ("win98", "nt40", "win2k", "winxp", "win7", "win10")

# Wine's NETAPI32 lacks the share and account services (its NetUserSetInfo ends
# the calling process), so the tool runs against stand-ins placed next to it
# (tests/standins/lanman), loaded before Wine's own by this override.
STANDIN_OVERRIDES = "mscoree,mshtml=;netapi32,svrapi=n,b"
# Default answers: no shares, Guest not a member of Administrators (1377),
# disabling Guest succeeds. The file format is described in lanman_standin.cpp.
DEFAULT_SCENARIO = "group-del 1377\nset-info 0\n"
STANDIN_SCENARIO = "standin-scenario.txt"
STANDIN_LOG = "standin-calls.log"
CLEANER_LOG = "mopup-calls.log"

# GetFileAttributes bits.
READONLY, HIDDEN, SYSTEM, DIRECTORY, ARCHIVE, NORMAL = 0x1, 0x2, 0x4, 0x10, 0x20, 0x80

# Verdicts.
CLEAN, OPEN_FAILED, EMPTY, INFECTED, WORM_COPY = 0, 1, 4, 10, 100

ANSI_ESCAPE = re.compile(rb"\x1b(\[[0-9;?]*[ -/]*[@-~]|\][^\x07\x1b]*(\x07|\x1b\\)|[()][0-9A-Za-z]|[=>78cDEHM])")


CURSOR_FORWARD = re.compile(rb"\x1b\[(\d*)C")


def _squeeze(text):
    return re.sub(r"\s+", "", text)


class RunResult:
    def __init__(self, raw, rc, err=b""):
        self.raw = raw
        self.rc = rc
        self.err = err
        # One character per byte, CR LF normalised: compare against the literal texts.
        self.out = raw.replace(b"\r\n", b"\n").decode("latin-1")

    def __repr__(self):
        return "RunResult(rc=%r, out=%r)" % (self.rc, self.out)


class WineTimeout(AssertionError):
    pass


def _reg_section(key, values):
    lines = ["", "[%s] %d" % (key.replace("\\", "\\\\"), int(time.time()))]
    for name, value in values.items():
        lines.append('"%s"="%s"' % (name, value))
    return "\n".join(lines) + "\n"


def make_template(path, arch="win32"):
    """Creates a template prefix at `path` that stays inside its own folder:
    32-bit, or with arch="win64" a 64-bit one (System32 and SysWOW64)."""
    if arch not in ARCHES:
        raise ValueError(arch)
    path = Path(path)
    if path.exists():
        shutil.rmtree(path)
    path.mkdir(parents=True)
    prefix = path / "prefix"
    home = path / "home"
    home.mkdir()
    env = dict(BASE_ENV, WINEPREFIX=str(prefix), HOME=str(home), WINEARCH=arch)
    subprocess.run(["wineboot", "--init"], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    subprocess.run(["wineserver", "-w"], env=env, check=True, timeout=300)
    _seal(prefix)
    if is_64bit_prefix(prefix) != (arch == "win64"):
        raise RuntimeError("wineboot made no %s prefix at %s" % (arch, prefix))
    return prefix


def is_64bit_prefix(prefix):
    """A 64-bit prefix keeps the 32-bit system files apart, in syswow64."""
    return (Path(prefix) / "drive_c" / "windows" / "syswow64" / "kernel32.dll").is_file()


def _seal(prefix):
    """Removes every way out of the prefix: z: and links into the home folder."""
    for link in (prefix / "dosdevices").iterdir():
        if link.name != "c:" and link.name.endswith(":"):
            link.unlink()
    users = prefix / "drive_c" / "users"
    for item in users.glob("*/*"):
        if item.is_symlink():
            item.unlink()
            item.mkdir()


def _copy_prefix(src, dst):
    for root, dirs, files in os.walk(src):
        rel = os.path.relpath(root, src)
        target = os.path.join(dst, rel)
        os.makedirs(target, exist_ok=True)
        for name in dirs:
            full = os.path.join(root, name)
            if os.path.islink(full):
                os.symlink(os.readlink(full), os.path.join(target, name))
        for name in files:
            full = os.path.join(root, name)
            out = os.path.join(target, name)
            if os.path.islink(full):
                os.symlink(os.readlink(full), out)
            elif os.path.splitext(name)[1].lower() in LINKED_SUFFIXES:
                os.link(full, out)
            else:
                shutil.copy2(full, out)


class PtySession:
    """The tool under a pseudo-terminal; `screen` is what it showed, escapes stripped."""

    def __init__(self, pid, fd):
        self.pid = pid
        self.fd = fd
        self.raw = b""
        self.rc = None

    @property
    def screen(self):
        # Wine's console moves the cursor over blanks instead of writing them.
        text = CURSOR_FORWARD.sub(lambda m: b" " * int(m.group(1) or 1), self.raw)
        text = ANSI_ESCAPE.sub(b"", text).replace(b"\r", b"")
        return text.decode("latin-1")

    def shows(self, text):
        """Whether `text` is on the screen, blanks and line breaks aside."""
        return _squeeze(text) in _squeeze(self.screen)

    def _pump(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.fd, 65536)
        except OSError:
            data = b""
        if not data:
            self._reap(block=True)
            return False
        self.raw += data
        return True

    def _reap(self, block=False):
        if self.rc is None:
            pid, status = os.waitpid(self.pid, 0 if block else os.WNOHANG)
            if pid:
                self.rc = os.waitstatus_to_exitcode(status)
        return self.rc

    def expect(self, text, timeout=120):
        """Reads until `text` is on the screen; fails after `timeout` seconds."""
        deadline = time.time() + timeout
        while not self.shows(text):
            left = deadline - time.time()
            if left <= 0 or (not self._pump(left) and self.rc is not None):
                raise AssertionError("%r not shown; screen so far:\n%s" % (text, self.screen))
        return self.screen

    def idle(self, seconds):
        """Reads whatever arrives for `seconds`; answers whether the process still runs."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            self._pump(max(0.0, deadline - time.time()))
            if self._reap() is not None:
                return False
        return self._reap() is None

    def send(self, data):
        os.write(self.fd, data)

    def wait(self, timeout=60):
        deadline = time.time() + timeout
        while self._reap() is None:
            if time.time() > deadline:
                os.kill(self.pid, signal.SIGKILL)
                raise WineTimeout("tool still running after %s s; screen:\n%s" % (timeout, self.screen))
            self._pump(0.2)
        while self._pump(0.1):
            pass
        os.close(self.fd)
        return self.rc


class Machine:
    """One throw-away Wine prefix. Use as a context manager."""

    TOOL_DIR = "C:\\tool"

    def __init__(self, version="win7", drives=None, install_tool=True, scenario=DEFAULT_SCENARIO,
                 arch="win32"):
        """`scenario`: what the NETAPI32/SVRAPI stand-ins installed next to the
        tool answer; None installs no stand-ins (Wine's own DLLs are used).
        `arch`: "win64" makes a 64-bit machine, where the tool runs under WoW64."""
        if arch not in ARCHES:
            raise ValueError(arch)
        template = TEMPLATE64 if arch == "win64" else TEMPLATE
        if not (template / "system.reg").is_file() or is_64bit_prefix(template) != (arch == "win64"):
            raise RuntimeError("not a %s template prefix: %s" % (arch, template))
        if version not in VERSIONS:
            raise ValueError(version)
        self.arch = arch
        self.base = Path(tempfile.mkdtemp(prefix="vcure-", dir=WORK))
        self.prefix = self.base / "prefix"
        self.home = self.base / "home"
        self.home.mkdir()
        _copy_prefix(str(template), str(self.prefix))
        self.env = dict(BASE_ENV, WINEPREFIX=str(self.prefix), HOME=str(self.home), WINEARCH=arch)
        self._user_reg = {"Software\\Wine": {"Version": version}}
        self._system_reg = {}
        self._drive_types = {}
        self.version = version
        self._procs = []
        self._started = False
        for letter, kind in (drives or {}).items():
            self.add_drive(letter, kind)
        self.standins = False
        if install_tool:
            self.install(EXE, self.TOOL_DIR)
            if scenario is not None:
                self.install_standins(scenario)

    # --- life cycle -------------------------------------------------------

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        for proc in self._procs:
            if proc.poll() is None:
                proc.kill()
        self._kill_server()
        for proc in self._procs:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        shutil.rmtree(self.base, ignore_errors=True)

    def _kill_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        self._started = False

    def stop(self):
        """Stops the wineserver (it saves the registry to the prefix files)."""
        self._kill_server()

    def _before_start(self):
        if self._started:
            return
        # Registry values are written into the files while no server holds them.
        if self._user_reg:
            with open(self.prefix / "user.reg", "a", encoding="utf-8") as f:
                for key, values in self._user_reg.items():
                    f.write(_reg_section(key, values))
            self._user_reg = {}
        if self._drive_types:
            self._system_reg.setdefault("Software\\Wine\\Drives", {}).update(self._drive_types)
            self._drive_types = {}
        if self._system_reg:
            with open(self.prefix / "system.reg", "a", encoding="utf-8") as f:
                for key, values in self._system_reg.items():
                    f.write(_reg_section(key, values))
            self._system_reg = {}
        # One server for the machine's life, until stop() or close(). Debian's
        # wineserver runs with -p0 unless told otherwise: it exits as its last
        # client does, and a program started at that moment can meet the
        # exiting server and end without running, printing nothing.
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        self._started = True

    def restart(self, timeout=120):
        """A Windows restart: wineboot -r carries out pending renames and WININIT.INI."""
        self._before_start()
        subprocess.run(["wineboot", "-r"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout)
        self._kill_server()

    def set_version(self, version):
        if version not in VERSIONS:
            raise ValueError(version)
        if self._started:
            self.stop()
        self._user_reg.setdefault("Software\\Wine", {})["Version"] = version
        self.version = version

    # --- drives and files -------------------------------------------------

    def add_drive(self, letter, kind="hd", target=None):
        """Maps drive `letter` to a fresh folder (or `target`) with a drive type:
        hd, cdrom, floppy, network or ramdisk. Answers the folder."""
        letter = letter.lower().rstrip(":")
        if self._started:
            self.stop()
        folder = Path(target) if target else self.base / ("drive_" + letter)
        folder.mkdir(parents=True, exist_ok=True)
        link = self.prefix / "dosdevices" / (letter + ":")
        if link.is_symlink():
            link.unlink()
        link.symlink_to(folder)
        self._drive_types[letter + ":"] = kind
        return folder

    def unix(self, winpath):
        """The Linux path of a Windows path on one of this machine's drives."""
        drive, rest = winpath[:2].lower(), winpath[2:].lstrip("\\")
        root = (self.prefix / "dosdevices" / drive).resolve()
        return root.joinpath(*[p for p in rest.split("\\") if p]) if rest else root

    @property
    def windir(self):
        return self.prefix / "drive_c" / "windows"

    def write(self, winpath, data, attrs=None):
        path = self.unix(winpath)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        if attrs is not None:
            self.set_attrs(winpath, attrs)
        return path

    def install(self, source, windir, name=None):
        """Copies a Linux file into a Windows folder of this machine."""
        target = self.unix(windir) / (name or Path(source).name)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target)
        return target

    def set_attrs(self, winpath, attrs):
        self.set_many_attrs({winpath: attrs})

    def set_many_attrs(self, attrs_by_path):
        """Sets the attributes of several files in one probe run."""
        args = [a for path, attrs in attrs_by_path.items() for a in (path, "%x" % attrs)]
        result = self.probe("setattr", *args)
        if result.rc != 0:
            raise AssertionError("cannot set attributes of %s: rc=%s out=%r err=%r"
                                 % (list(attrs_by_path), result.rc, result.out, result.err[-500:]))

    def attrs(self, winpath):
        return int(self.probe("attr", winpath).out.strip(), 16)

    def many_attrs(self, winpaths):
        """The attributes of several files, in one probe run."""
        values = self.probe("attrs", *winpaths).out.split()
        assert len(values) == len(winpaths), values
        return [int(v, 16) for v in values]

    def classify(self, winpath):
        """(ANSI verdict, wide verdict) of the classifier for a file."""
        run = self.probe("classify", winpath)
        m = re.match(r"ansi=(\d+) wide=(\d+)", run.out)
        if not m:
            raise AssertionError("probe classify failed for %s: exit %s, output %r, errors %r"
                                 % (winpath, run.rc, run.out, run.err[-2000:]))
        return int(m.group(1)), int(m.group(2))

    def probe(self, *args, timeout=60):
        return self.wine(str(WIN_BUILD / "tests" / "standins" / "probe.exe"), *args, timeout=timeout)

    # --- stand-ins next to the tool ----------------------------------------

    def install_standins(self, scenario=DEFAULT_SCENARIO, netapi32="netapi32.dll",
                         svrapi="svrapi.dll"):
        """Puts the LAN Manager stand-ins (or variants, by their build names, e.g.
        "netapi32-no-NetUserSetInfo.dll") next to the tool with a scenario."""
        standins = WIN_BUILD / "tests" / "standins"
        self.install(standins / netapi32, self.TOOL_DIR, "netapi32.dll")
        self.install(standins / svrapi, self.TOOL_DIR, "svrapi.dll")
        self.set_scenario(scenario)
        self.standins = True

    def set_scenario(self, scenario):
        """Rewrites the stand-ins' scenario and empties their call log."""
        (self.unix(self.TOOL_DIR) / STANDIN_SCENARIO).write_text(scenario, encoding="utf-8")
        self.clear_standin_calls()

    def clear_standin_calls(self):
        log = self.unix(self.TOOL_DIR) / STANDIN_LOG
        if log.exists():
            log.unlink()

    def standin_calls(self):
        """The stand-ins' call log, one entry per call, in order."""
        log = self.unix(self.TOOL_DIR) / STANDIN_LOG
        return log.read_text(encoding="utf-8").splitlines() if log.exists() else []

    def install_cleaner(self):
        """Puts the stand-in companion "mopup.exe" next to the tool."""
        self.install(WIN_BUILD / "tests" / "standins" / "mopup.exe", self.TOOL_DIR)
        self.clear_cleaner_calls()

    def clear_cleaner_calls(self):
        log = self.unix(self.TOOL_DIR) / CLEANER_LOG
        if log.exists():
            log.unlink()

    def cleaner_calls(self, expected, timeout=30, settle=1.5):
        """The command lines the companion stand-in recorded. The instances run
        on after the tool ends: waits for `expected` of them (or `timeout`),
        then `settle` seconds more so that a surplus one would show."""
        log = self.unix(self.TOOL_DIR) / CLEANER_LOG
        deadline = time.time() + timeout
        lines = []
        while time.time() < deadline:
            lines = log.read_text(encoding="latin-1").splitlines() if log.exists() else []
            if len(lines) >= expected:
                break
            time.sleep(0.1)
        time.sleep(settle)
        return log.read_text(encoding="latin-1").splitlines() if log.exists() else []

    # --- running programs -------------------------------------------------

    def _wine_env(self, extra):
        env = dict(self.env)
        env.update(extra or {})
        return env

    def wine(self, program, *args, stdin=b"", timeout=120, env=None, cwd=None):
        """Runs a Windows program to its end; a hang past `timeout` fails the test."""
        self._before_start()
        # Standard error goes to a file: the wineserver that the first Wine
        # process starts inherits it and would hold a pipe open for seconds.
        with tempfile.TemporaryFile() as errfile:
            proc = subprocess.Popen(["wine", program] + list(args), env=self._wine_env(env),
                                    cwd=str(cwd or self.prefix / "drive_c"), stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=errfile)
            try:
                out, _ = proc.communicate(stdin, timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                self._kill_server()
                proc.communicate()
                raise WineTimeout("%s %s did not end within %s s" % (program, " ".join(args), timeout))
            errfile.seek(0)
            err = errfile.read()
        return RunResult(out, proc.returncode, err)

    def run_tool(self, *args, stdin=b"", timeout=300, env=None, exe=None, cwd=None):
        """Runs veskacure.exe from its folder on C: with no console; the working
        directory is C:\\ unless `cwd` (a Windows path) says otherwise."""
        exe = exe or self.TOOL_DIR + "\\veskacure.exe"
        return self.wine(exe, *args, stdin=stdin, timeout=timeout, env=self._tool_env(env),
                         cwd=self.unix(cwd) if cwd else None)

    def _tool_env(self, env):
        """The stand-ins' override for runs of the tool, unless the test sets its own."""
        merged = {"WINEDLLOVERRIDES": STANDIN_OVERRIDES} if self.standins else {}
        merged.update(env or {})
        return merged

    def spawn(self, program, *args, env=None):
        """Starts a Windows program in the background; it is killed when the machine closes."""
        self._before_start()
        proc = subprocess.Popen(["wine", program] + list(args), env=self._wine_env(env),
                                cwd=str(self.prefix / "drive_c"), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._procs.append(proc)
        return proc

    def run_tool_pty(self, *args, env=None, exe=None):
        """Starts veskacure.exe under a pseudo-terminal, so that it has a console."""
        self._before_start()
        exe = exe or self.TOOL_DIR + "\\veskacure.exe"
        env = self._wine_env(dict(self._tool_env(env), TERM="xterm"))
        pid, fd = pty.fork()
        if pid == 0:
            try:
                os.chdir(str(self.prefix / "drive_c"))
                os.execvpe("wine", ["wine", exe] + list(args), env)
            finally:
                os._exit(127)
        return PtySession(pid, fd)


STEP_HEADING = re.compile(r"\n\n(I|II|III|IV|V|VI)\. {1,3}[A-Z]")


class SharedMachineTest(unittest.TestCase):
    """Test cases that share one machine, made before the first case and
    closed after the last: MACHINE holds Machine's arguments."""

    MACHINE = {}

    @classmethod
    def setUpClass(cls):
        cls.m = Machine(**cls.MACHINE)

    @classmethod
    def tearDownClass(cls):
        cls.m.close()


def section(out, heading):
    """What a run printed under one step: the text after `heading` (as the
    tool prints it, e.g. "\\n\\nII.  Removing shared directories.") up to the
    next step heading or the end."""
    assert out.count(heading) == 1, "heading %r not printed once in:\n%s" % (heading, out)
    rest = out.split(heading, 1)[1]
    m = STEP_HEADING.search(rest)
    return rest[:m.start()] if m else rest


def mkimage(out, kind, *options):
    """Runs the native image builder; `out` is a Linux path."""
    subprocess.run([str(MKIMAGE), kind, str(out)] + [str(o) for o in options], check=True)
    return Path(out)
