"""Step I under Wine: infected processes found and terminated with the Tool Help
snapshot (2000, 7, 98) and the Process Status library (NT 4.0), the binding of
their entry points, the tool's own process left alone, and programs in the
real system32 of a 64-bit machine.

The infected programs are copies of sleeper.exe (a tiny program that waits)
with the worm's signatures in an appended overlay; they run from D:\\apps, away
from the tool's folder and its working directory. D: is a CD-ROM drive, so that
the sweep of fixed drives later in each run leaves them alone."""
import shutil
import subprocess
import time
import unittest

import winebed
from winebed import SharedMachineTest, Machine, mkimage, CLEAN, INFECTED, WORM_COPY

STANDINS = winebed.WIN_BUILD / "tests" / "standins"

HEADING = "\n\nI.   Searching for PE_VESKA.A in memory."
FOUND = "\n\tPE_VESKA.A FOUND!!!"
NOT_FOUND = "\n\tNot found."
TOOLHELP_TERMINATING = "  \n\t    Terminating process (%s)... "
TOOLHELP_OK = "OK!"
PSAPI_TERMINATING = "\n\t    Terminating process (%s)... "
PSAPI_OK = "OK!\n"

# The stand-in PSAPI.DLL next to the tool is taken instead of Wine's own.
NATIVE_PSAPI = {"WINEDLLOVERRIDES": winebed.STANDIN_OVERRIDES + ";psapi=n,b"}
NO_PSAPI = {"WINEDLLOVERRIDES": winebed.STANDIN_OVERRIDES + ";psapi="}

PSAPI_NAMES = ("EnumProcesses", "EnumProcessModules", "GetModuleBaseNameA", "GetModuleFileNameExA")


def step_one(out):
    """What step I printed: from its heading up to step II's."""
    start = out.index(HEADING) + len(HEADING)
    return out[start:out.index("\n\nII.", start)]


class Bed:
    """One machine with the stand-in programs in D:\\apps, checked by the classifier."""

    def __init__(self, machine):
        self.m = machine
        self.apps = machine.unix("D:\\") / "apps"
        self.apps.mkdir(exist_ok=True)
        self.procs = {}

    def program(self, name, size=None, source="sleeper.exe", expected=None):
        """D:\\apps\\NAME: the stand-in as it is, or with the overlay making it `size` bytes."""
        target = self.apps / name
        if size is None:
            target.write_bytes((STANDINS / source).read_bytes())
        else:
            mkimage(target, "overlay", "--in", STANDINS / source, "--size", size)
        winpath = "D:\\apps\\" + name
        if expected is not None:
            verdicts = self.m.classify(winpath)
            if verdicts != (expected, expected):
                raise AssertionError("%s classified %r, wanted %d" % (name, verdicts, expected))
        return winpath

    def memprobe(self, *args, env=None):
        return self.m.wine(str(STANDINS / "memprobe.exe"), *args, env=env)

    def count(self, name):
        return int(self.memprobe("count", name).out.strip())

    def start(self, name, instances=1, folder="D:\\apps"):
        """Starts FOLDER\\NAME and waits until the snapshot lists it."""
        have = self.count(name)
        for _ in range(instances):
            self.procs.setdefault(name, []).append(self.m.spawn(folder + "\\" + name, "300"))
            have += 1
            deadline = time.time() + 30
            while self.count(name) < have:
                if time.time() > deadline:
                    raise AssertionError("%s did not start" % name)
                time.sleep(0.2)

    def ended(self, name, timeout=15):
        """Whether every started instance of NAME has ended and none is listed."""
        for proc in self.procs.get(name, []):
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                return False
            proc.stdout.close()
        self.procs.pop(name, None)
        return self.count(name) == 0

    def running(self, name):
        return all(p.poll() is None for p in self.procs.get(name, [])) and self.count(name) > 0


class ToolHelpStrategy(unittest.TestCase):
    """Win9x family and NT from 5.0: the snapshot's bare names, full paths classified."""

    def check_version(self, version):
        with Machine(version, drives={"d": "cdrom"}) as m:
            bed = Bed(m)
            bed.program("infected.exe", 0xF000 + 0x800, expected=INFECTED)
            bed.program("wormcopy.exe", 0xE000, expected=WORM_COPY)
            bed.program("bystander.exe", expected=CLEAN)
            # An infected file of the same name in the tool's working
            # directory (D:\): classifying the snapshot's bare name would
            # open it and end the clean program of that name.
            m.write("D:\\bystander.exe", (bed.apps / "infected.exe").read_bytes())

            # Nothing infected runs yet.
            bed.start("bystander.exe")
            self.assertEqual(step_one(m.run_tool(cwd="D:\\").out), NOT_FOUND)

            # Each source of full image paths names the program's real file.
            paths = bed.memprobe("paths", "bystander.exe").out.split()
            for source in ("query", "psapi", "snapshot", "resolved"):
                self.assertIn("%s=D:\\apps\\bystander.exe" % source, paths)

            bed.start("infected.exe", instances=2)
            bed.start("wormcopy.exe")
            began = time.time()
            out = step_one(m.run_tool(cwd="D:\\").out)
            took = time.time() - began
            self.assertEqual(out, FOUND
                             + TOOLHELP_TERMINATING % "infected.exe" + TOOLHELP_OK
                             + TOOLHELP_TERMINATING % "infected.exe" + TOOLHELP_OK
                             + TOOLHELP_TERMINATING % "wormcopy.exe" + TOOLHELP_OK)
            self.assertTrue(bed.ended("infected.exe"))
            self.assertTrue(bed.ended("wormcopy.exe"))
            self.assertTrue(bed.running("bystander.exe"))
            print("\n%s: run with three terminations took %.2f s" % (version, took))

            # Afterwards nothing is left to find.
            self.assertEqual(step_one(m.run_tool(cwd="D:\\").out), NOT_FOUND)

    def test_windows_7(self):
        self.check_version("win7")

    def test_windows_2000(self):
        self.check_version("win2k")

    def test_windows_98(self):
        self.check_version("win98")


class ProcessStatusStrategy(SharedMachineTest):
    """NT 4.0: PSAPI's full names, its own literals, stand-in libraries."""

    MACHINE = {"version": "nt40", "drives": {"d": "cdrom"}}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bed = Bed(cls.m)
        cls.bed.program("infected.exe", 0x20000, expected=INFECTED)
        cls.bed.program("wormcopy.exe", 0xEFFF, expected=WORM_COPY)
        cls.bed.program("unreadable.exe", 0xF000, expected=INFECTED)
        cls.bed.program("suspended.exe", 0xF000, expected=INFECTED)

    def setUp(self):
        self.standin = self.m.unix("C:\\tool") / "psapi.dll"
        if self.standin.exists():
            self.standin.unlink()

    def test_infected_and_worm_copies_terminated(self):
        bed = self.bed
        bed.start("infected.exe")
        # The second instance is started by a watcher that reports its exit code.
        watcher = self.m.spawn(str(STANDINS / "memprobe.exe"), "watch", "D:\\apps\\infected.exe")
        self.assertEqual(watcher.stdout.readline().strip(), b"started")
        deadline = time.time() + 30
        while bed.count("infected.exe") < 2:
            self.assertLess(time.time(), deadline, "the watched instance is not listed")
            time.sleep(0.2)
        bed.start("wormcopy.exe")
        out = step_one(self.m.run_tool(cwd="D:\\").out)
        self.assertEqual(out, FOUND
                         + PSAPI_TERMINATING % "D:\\apps\\infected.exe" + PSAPI_OK
                         + PSAPI_TERMINATING % "D:\\apps\\infected.exe" + PSAPI_OK
                         + PSAPI_TERMINATING % "D:\\apps\\wormcopy.exe" + PSAPI_OK)
        # Ended with 0, not with the still-active code (259) that this
        # strategy's handle reads before the termination.
        self.assertEqual(watcher.stdout.readline().strip(), b"exit=0")
        watcher.wait()
        watcher.stdout.close()
        self.assertTrue(bed.ended("infected.exe"))
        self.assertTrue(bed.ended("wormcopy.exe"))
        self.assertEqual(step_one(self.m.run_tool(cwd="D:\\").out), NOT_FOUND)

    def test_process_whose_name_cannot_be_read_is_skipped(self):
        bed = self.bed
        self.m.install(STANDINS / "psapi_unreadable.dll", "C:\\tool", name="psapi.dll")
        bed.start("infected.exe")
        bed.start("unreadable.exe")
        out = step_one(self.m.run_tool(env=NATIVE_PSAPI).out)
        self.assertEqual(out, FOUND + PSAPI_TERMINATING % "D:\\apps\\infected.exe" + PSAPI_OK)
        self.assertTrue(bed.ended("infected.exe"))
        # Infected, but never named, so never classified nor terminated.
        self.assertTrue(bed.running("unreadable.exe"))
        self.assertEqual(step_one(self.m.run_tool(env=NATIVE_PSAPI).out), NOT_FOUND)
        self.assertTrue(bed.running("unreadable.exe"))
        # With Wine's own library the same process is named and ended.
        out = step_one(self.m.run_tool(cwd="D:\\").out)
        self.assertEqual(out, FOUND + PSAPI_TERMINATING % "D:\\apps\\unreadable.exe" + PSAPI_OK)
        self.assertTrue(bed.ended("unreadable.exe"))

    def test_process_whose_modules_cannot_be_listed_is_skipped(self):
        bed = self.bed
        # Started suspended, its loader has not run: no module list yet.
        holder = self.m.spawn(str(STANDINS / "memprobe.exe"), "suspended", "D:\\apps\\suspended.exe",
                              "30")
        try:
            self.assertEqual(holder.stdout.readline().strip(), b"started")
            bed.start("wormcopy.exe")
            out = step_one(self.m.run_tool(cwd="D:\\").out)
            self.assertEqual(out, FOUND + PSAPI_TERMINATING % "D:\\apps\\wormcopy.exe" + PSAPI_OK)
            self.assertTrue(bed.ended("wormcopy.exe"))
            self.assertEqual(bed.count("suspended.exe"), 1)
        finally:
            holder.kill()
            holder.wait()
            holder.stdout.close()

    def test_library_lacking_an_entry_point(self):
        bed = self.bed
        self.m.install(STANDINS / "psapi_lacking.dll", "C:\\tool", name="psapi.dll")
        # Every name is looked up, also the one after the missing one.
        bound = bed.memprobe("bind", "C:\\tool\\psapi.dll", *PSAPI_NAMES,
                             env=NATIVE_PSAPI).out.strip()
        self.assertEqual(bound, "all=0 found=1101")
        bound = bed.memprobe("bind", "PSAPI.DLL", *PSAPI_NAMES).out.strip()
        self.assertEqual(bound, "all=1 found=1111")
        bound = bed.memprobe("bind", "KERNEL32.DLL", "Process32First", "Process32Next",
                             "CreateToolhelp32Snapshot").out.strip()
        self.assertEqual(bound, "all=1 found=111")

        bed.start("infected.exe")
        self.assertEqual(step_one(self.m.run_tool(env=NATIVE_PSAPI).out), NOT_FOUND)
        self.assertTrue(bed.running("infected.exe"))
        # A library that cannot be loaded: its error is the answer, no line follows.
        self.assertEqual(step_one(self.m.run_tool(env=NO_PSAPI).out), "")
        self.assertTrue(bed.running("infected.exe"))
        self.assertEqual(step_one(self.m.run_tool(cwd="D:\\").out),
                         FOUND + PSAPI_TERMINATING % "D:\\apps\\infected.exe" + PSAPI_OK)
        self.assertTrue(bed.ended("infected.exe"))


class Wow64(unittest.TestCase):
    """A 64-bit machine: a program started from the real system32 reports that
    path, and is rated by its own file, not by a syswow64 namesake."""

    def test_program_files_in_the_real_system32(self):
        with Machine("win7", drives={"d": "cdrom"}, arch="win64") as m:
            bed = Bed(m)
            bed.program("infected.exe", 0xF000, expected=INFECTED)
            bed.program("clean.exe", expected=CLEAN)
            real, wow = m.unix("C:\\windows\\system32"), m.unix("C:\\windows\\syswow64")
            for name, here, namesake in (("vc-a.exe", "infected.exe", "clean.exe"),
                                         ("vc-b.exe", "clean.exe", "infected.exe")):
                shutil.copy(bed.apps / here, real / name)
                shutil.copy(bed.apps / namesake, wow / name)
                bed.start(name, folder="C:\\windows\\system32")
            self.assertEqual(step_one(m.run_tool(cwd="D:\\").out),
                             FOUND + TOOLHELP_TERMINATING % "vc-a.exe" + TOOLHELP_OK)
            self.assertTrue(bed.ended("vc-a.exe"))
            self.assertTrue(bed.running("vc-b.exe"))


class OwnProcess(unittest.TestCase):
    """A scanning program whose own file is infected ends the others, not itself."""

    def check_version(self, version, expected_line):
        with Machine(version, drives={"d": "cdrom"}, install_tool=False) as m:
            bed = Bed(m)
            selfscan = bed.program("selfscan.exe", 0xF000, source="selfscan.exe", expected=INFECTED)
            bed.program("infected.exe", 0xF000, expected=INFECTED)
            alone = m.wine(selfscan).out
            self.assertEqual(alone, HEADING + "\nanswer=0\n")
            bed.start("infected.exe")
            out = m.wine(selfscan).out
            self.assertEqual(out, HEADING + FOUND + expected_line + "\nanswer=1\n")
            self.assertTrue(bed.ended("infected.exe"))

    def test_tool_help(self):
        self.check_version("win7", TOOLHELP_TERMINATING % "infected.exe" + TOOLHELP_OK)

    def test_process_status(self):
        self.check_version("nt40", PSAPI_TERMINATING % "D:\\apps\\infected.exe" + PSAPI_OK)


if __name__ == "__main__":
    unittest.main()
