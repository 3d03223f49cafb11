"""Interrupted runs under Wine. A Ctrl+C byte typed into the terminal never
reaches Wine's console control handlers, but an event that another process of
the same console generates does. So probe.exe ("interrupt") starts the tool as
its child in its own console, a pseudo-terminal, sends Ctrl+C at the moment
the test chooses and reports the tool's exit status."""
import hashlib
import re
import sys
import time
import unittest

import winebed
from winebed import Machine, mkimage, READONLY, HIDDEN, SYSTEM

PROBE = winebed.WIN_BUILD / "tests" / "standins" / "probe.exe"
TOOL = Machine.TOOL_DIR + "\\veskacure.exe"
OUT = "C:\\out.txt"  # the tool's standard output
GO = "C:\\go"        # made by the test: time 0 for the sender
STOPPED = 0xC000013A
INTERRUPTED = "\n\nInterrupted.\n"
REPORT = "C:\\report.txt"  # what probe.exe saw
REPORTED = re.compile(r"exit=([0-9a-f]+) sent=(\d) held=(\S+) elapsed=(\d+)")
TITLE = re.compile(rb"\x1b\]0;([^\x07]*)\x07")


class Interruption:
    """One run of the tool under probe.exe. Ctrl+C goes `delay` ms after time
    0: when `trigger` (a file) changes, GO by default; never with delay -1.
    `watch`: a folder in which a file held open for writing is looked for."""

    def __init__(self, m, args=(), trigger=GO, delay=0, watch="-", out=OUT):
        self.m = m
        self.out = out
        for path in (GO, REPORT):
            if m.unix(path).exists():
                m.unix(path).unlink()
        command = " ".join((TOOL,) + tuple(args))
        self.session = m.run_tool_pty("interrupt", REPORT, out, trigger, str(delay), watch, command,
                                      exe=Machine.TOOL_DIR + "\\probe.exe")

    def output(self):
        path = self.m.unix(self.out)
        return path.read_bytes().replace(b"\r\n", b"\n").decode("latin-1") if path.exists() else ""

    def when_shown(self, text, timeout=60):
        """Time 0 once the tool's output holds `text`."""
        deadline = time.time() + timeout
        while text not in self.output():
            if time.time() > deadline:
                raise AssertionError("%r not shown:\n%s" % (text, self.output()))
            time.sleep(0.05)
        self.m.write(GO, b"")

    def finish(self):
        self.session.wait(timeout=180)
        report = self.m.unix(REPORT)
        match = REPORTED.match(report.read_text() if report.exists() else "")
        if not match:
            raise AssertionError("no report from probe.exe:\n%s" % self.session.screen[-2000:])
        self.exit = int(match.group(1), 16)
        self.sent = match.group(2) == "1"
        self.held = match.group(3) if match.group(3) != "-" else None
        self.elapsed = int(match.group(4))
        return self


class AtOnce(unittest.TestCase):
    """Interruptions while the run waits for the user end it at once."""

    def test_key_pauses_and_guest_prompt(self):
        with Machine("win7") as m:
            m.install(PROBE, Machine.TOOL_DIR)
            first = " \n Press any key for help....\n"
            second = " \n Press any key to continue....\n"
            for keys, shown in ((b"", first), (b"a", second)):
                with self.subTest(pause=shown):
                    run = Interruption(m)
                    run.session.send(keys)
                    run.when_shown(shown)
                    run.finish()
                    self.assertEqual((run.exit, run.sent), (STOPPED, True))
                    self.assertTrue(run.output().endswith(shown + INTERRUPTED), run.output()[-300:])
                    self.assertNotIn("Searching for PE_VESKA.A", run.output())

            # The Guest prompt reads a line of standard input: nothing is locked.
            run = Interruption(m, ["/GUEST"])
            run.session.send(b"ab")
            run.when_shown("\n\tDisable Guest user (Y/N)?")
            run.finish()
            self.assertEqual(run.exit, STOPPED)
            self.assertTrue(run.output().endswith("\n\tDisable Guest user (Y/N)?" + INTERRUPTED))
            self.assertEqual(m.standin_calls(), [])

    def test_close_event_waits_for_the_work_at_hand(self):
        # No platform call makes a close event under Wine: probe.exe hands one
        # to the tool's handler during guarded work of the given length, and
        # tries more work after it. The handler returns (and the platform ends
        # the process) when the work is complete, after 4 s at most; no later
        # work starts.
        with Machine("win7", install_tool=False) as m:
            for work_ms, complete in ((0, 0), (500, 1), (6000, 0)):
                with self.subTest(work_ms=work_ms):
                    out = m.probe("close", str(work_ms)).out.strip()
                    self.assertEqual(out, "complete=%d later=0" % complete)


def digest(data):
    return hashlib.sha1(data).digest()


class FaultInjection(unittest.TestCase):
    """Large infected programs (real ones from system32, some read-only, hidden
    or system, one infected twice) and worm copies held open by other
    processes, so that WININIT.INI is rewritten, on the only fixed drive of a
    Windows 98 machine. Each run is interrupted at another moment of the sweep;
    afterwards every program is exactly its infected self or one of its
    restorations, with its old attributes, every copy is still there and
    WININIT.INI is its old content plus one entry per copy handled."""

    maxDiff = None
    WANTED = 20      # interrupted runs
    MOST_RUNS = 32
    OLD_WININIT = b"[Settings]\r\nKeep=1\r\n[Rename]\r\nNUL=C:\\WINDOWS\\TEMP\\SETUP.TMP\r\n"
    ATTRS = (READONLY, HIDDEN, 0, READONLY | HIDDEN | SYSTEM)
    COPIES = ("p03w.exe", "p07w.exe")

    def make_files(self, m):
        """Answers {winpath: (infected bytes, digests of every whole state, attributes to set)}."""
        system32 = m.unix("C:\\windows\\system32")
        programs = sorted((p.stat().st_size, p) for p in system32.iterdir()
                          if p.suffix in (".exe", ".dll") and 8192 <= p.stat().st_size <= 25000000)
        # The largest programs first, where restorations take longest, and a
        # small host last (one that ends before signature A's offset).
        large = [p for size, p in programs if size > 29913]
        picks = large[-3:] + [large[int(len(large) * f)] for f in (0.99, 0.97, 0.95, 0.9, 0.8)]
        picks.append([p for size, p in programs if size <= 29913][-1])
        e = m.unix("E:\\")
        files = {}
        for i, host in enumerate(picks):
            path = e / ("p%02d.exe" % i)
            states = [host.read_bytes()]
            mkimage(path, "worm", "--host", host)
            if i == 4:  # infected twice
                mkimage(e / "inner.tmp", "worm", "--host", host)
                mkimage(path, "worm", "--host", e / "inner.tmp")
                states.append((e / "inner.tmp").read_bytes())
                (e / "inner.tmp").unlink()
            infected = path.read_bytes()
            files["E:\\" + path.name] = (infected, {digest(s) for s in states + [infected]},
                                         self.ATTRS[i % len(self.ATTRS)])
        return files

    def reset(self, m, files):
        for winpath, (infected, _, _) in files.items():
            path = m.unix(winpath)
            if digest(path.read_bytes()) != digest(infected):
                mode = path.stat().st_mode
                path.chmod(mode | 0o200)
                path.write_bytes(infected)
                path.chmod(mode)
        attrs = {w: a for w, (_, _, a) in files.items()}
        attrs.update({"E:\\" + c: READONLY for c in self.COPIES})
        m.set_many_attrs(attrs)
        (m.windir / "wininit.ini").write_bytes(self.OLD_WININIT)

    def wininit_forms(self):
        """WININIT.INI after 0, 1, 2 ... copies: each entry goes first in the section."""
        head = self.OLD_WININIT.index(b"[Rename]\r\n") + len(b"[Rename]\r\n")
        forms, entries = [], b""
        for copy in (None,) + self.COPIES:
            if copy is not None:
                entries = b"\r\nNUL=E:\\" + copy.encode() + b"\r\n" + entries
            forms.append(self.OLD_WININIT[:head] + entries + self.OLD_WININIT[head:])
        return forms

    def damage(self, m, files, old_attrs, forms):
        """What a run left damaged: programs, WININIT.INI, copies."""
        damaged = []
        paths = list(files)
        for winpath, attrs, old in zip(paths, m.many_attrs(paths), old_attrs):
            if digest(m.unix(winpath).read_bytes()) not in files[winpath][1]:
                damaged.append(winpath)
            elif attrs != old:
                damaged.append("%s attributes %x, not %x" % (winpath, attrs, old))
        if (m.windir / "wininit.ini").read_bytes() not in forms:
            damaged.append("WININIT.INI")
        damaged += ["E:\\" + c for c in self.COPIES if not m.unix("E:\\" + c).exists()]
        return damaged

    def run_once(self, m, delay, out=OUT):
        run = Interruption(m, trigger="E:\\p00.exe", delay=delay, watch="E:\\", out=out)
        run.session.send(b"ab")
        return run.finish()

    def test_interrupted_sweeps_leave_every_file_whole(self):
        with Machine("win98", drives={"e": "hd"}) as m:
            # C: counts as a network drive, so the sweep walks E: alone: time 0
            # (E:\p00.exe's attributes cleared to examine it) starts its work.
            m.add_drive("c", "network", target=m.prefix / "drive_c")
            m.install(PROBE, Machine.TOOL_DIR)
            files = self.make_files(m)
            for copy in self.COPIES:
                mkimage(m.unix("E:\\") / copy, "worm", "--size", 60000)
                holder = m.spawn(str(PROBE), "hold", "E:\\" + copy, "900", "r")
                self.assertEqual(holder.stdout.readline().strip(), b"holding")
                holder.stdout.close()
            forms = self.wininit_forms()
            self.reset(m, files)  # WININIT.INI is written after the wineserver started
            old_attrs = m.many_attrs(list(files))

            # Uninterrupted: every program restored, both entries written.
            calibration = self.run_once(m, -1)
            self.assertEqual(calibration.exit, 0)
            self.assertEqual(self.damage(m, files, old_attrs, forms), [])
            for winpath, (_, _, _) in files.items():
                self.assertLess(m.unix(winpath).stat().st_size, len(files[winpath][0]))
            self.assertEqual((m.windir / "wininit.ini").read_bytes(), forms[-1])
            span = calibration.elapsed * 0.9
            whole_output = calibration.output()

            runs = interrupted = inside = 0
            damaged, problems = [], []
            while interrupted < self.WANTED and runs < self.MOST_RUNS:
                self.reset(m, files)
                delay = int(span * ((runs * 0.618) % 1))
                run = self.run_once(m, delay)
                runs += 1
                output = run.output()
                # An event sent as the tool was already ending (its last line
                # written, the process exiting) reaches no handler: the run is
                # whole, exactly as the uninterrupted one. Aim earlier.
                late = run.sent and run.exit == 0 and output == whole_output
                if run.sent and not late:
                    interrupted += 1
                    inside += run.held is not None
                    if run.exit != STOPPED or not output.endswith(INTERRUPTED):
                        problems.append("run %d (%d ms): exit %x, output ends %r"
                                        % (runs, delay, run.exit, output[-120:]))
                else:
                    span *= 0.8  # the sweep ended before the event: aim earlier
                damaged += ["run %d (%d ms): %s" % (runs, delay, d) for d in self.damage(m, files, old_attrs, forms)]

            # Once more with the output on the console: the sweep's title is put back.
            self.reset(m, files)
            run = self.run_once(m, int(span / 2), out="-")
            titles = TITLE.findall(run.session.raw)
            after = run.session.screen.rsplit("Interrupted.", 1)
            if not run.sent or run.exit != STOPPED or len(after) < 2 or "Found" in after[1]:
                problems.append("console run: exit %x, screen ends %r" % (run.exit, run.session.screen[-300:]))
            if len(titles) < 2 or titles[-1] != b"":  # the empty title the run began with
                problems.append("console run: titles %r" % titles[-3:])
            damaged += ["console run: %s" % d for d in self.damage(m, files, old_attrs, forms)]

            print("\nfault injection: %d runs, %d interrupted, %d inside a restoration, "
                  "%d files damaged" % (runs, interrupted, inside, len(damaged)), file=sys.stderr)
            self.assertEqual(damaged, [])
            self.assertEqual(problems, [])
            self.assertGreaterEqual(interrupted, self.WANTED)
            self.assertGreater(inside, interrupted // 2, "most interruptions land inside a restoration")

if __name__ == "__main__":
    unittest.main()
