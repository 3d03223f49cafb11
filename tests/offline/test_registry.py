"""veskacure-offline over the registry hives of Windows NT installations: real SAM and SYSTEM hives (see
hives/README.md), SOFTWARE and user hives made from a copy with hivexsh, infected as the worm would leave
them with chntpw's samusrgrp and hivexregedit. chntpw's samusrgrp -L and sampasswd -l read the accounts
back; hivexregedit --export compares everything else."""
import contextlib
import json
import lzma
import os
import resource
import re
import shutil
import struct
import subprocess
import unittest
from pathlib import Path

from test_offline import OfflineTest, manifest, mounted, run, run_json, set_times, state

HIVES = Path(__file__).parent / "hives"
WINLOGON = r"Microsoft\Windows NT\CurrentVersion\Winlogon"
MAPPING = r"Microsoft\Windows NT\CurrentVersion\IniFileMapping\system.ini\boot"
GUEST = r"\SAM\Domains\Account\Users\000001F5"
NOT_CLEAN = "registry hive not closed cleanly (start Windows once and shut it down)"


def unpack(name, path):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(lzma.decompress((HIVES / (name + ".xz")).read_bytes()))
    return path


def tool(*command, **kw):
    """Standard output; chntpw's tools tell on standard error that they grew a hive."""
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw).stdout


def export(hive):
    return tool("hivexregedit", "--export", hive, "\\")


def accounts(sam):
    return tool("samusrgrp", "-L", sam), tool("sampasswd", "-l", sam)


def merge(hive, keys):
    """Sets values: {key: {name: 'hex(t):..' or dword}}, as a .reg file merged by hivexregedit."""
    text = "Windows Registry Editor Version 5.00\n"
    for key, values in keys.items():
        text += "\n[%s]\n" % key + "".join('"%s"=%s\n' % item for item in values.items())
    reg = Path(str(hive) + ".reg")
    reg.write_text(text)
    tool("hivexregedit", "--merge", hive, reg)
    reg.unlink()


def made_hive(path, keys):
    """A hive from a copy of the real SAM with its keys deleted and keys {path: {name: 'string:..'}} added."""
    unpack("SAM", path)
    script, made = "cd SAM\ndel\n", set()
    for key, values in keys.items():
        script += "cd \\ \n"
        parts = key.split("\\")
        for i, part in enumerate(parts):
            if "\\".join(parts[:i + 1]).lower() not in made:
                script += "add %s\n" % part
                made.add("\\".join(parts[:i + 1]).lower())
            script += "cd %s\n" % part
        script += "setval %d\n" % len(values) + "".join("%s\n%s\n" % item for item in values.items())
    tool("hivexsh", "-w", path, input=(script + "commit\n").encode())
    return path


def guest_flags(sam, enable):
    """Guest's value F with the disabled bit cleared (or set)."""
    f = bytearray.fromhex(re.search(rb'"F"=hex\(3\):([0-9a-f,]+)', tool(
        "hivexregedit", "--export", sam, GUEST)).group(1).decode().replace(",", ""))
    f[0x38] = f[0x38] & ~1 if enable else f[0x38] | 1
    merge(sam, {GUEST: {"F": "hex(3):" + ",".join("%02x" % b for b in f)}})


def not_closed_cleanly(hive):
    """The first sequence number one ahead, the header checksum made to match, as after a crash."""
    data = bytearray(hive.read_bytes())
    struct.pack_into("<I", data, 4, struct.unpack_from("<I", data, 4)[0] + 1)
    checksum = 0
    for (word,) in struct.iter_unpack("<I", data[:508]):
        checksum ^= word
    struct.pack_into("<I", data, 508, checksum)
    hive.write_bytes(data)


def software(path, shell, wow_shell=None, mapping="#SYS:" + WINLOGON):
    keys = {MAPPING: {"Shell": "string:" + mapping}, WINLOGON: {"Shell": "string:" + shell}}
    if wow_shell:
        keys.update({"Wow6432Node\\" + MAPPING: {"Shell": "string:" + mapping},
                     "Wow6432Node\\" + WINLOGON: {"Shell": "string:" + wow_shell}})
    return made_hive(path, keys)


@unittest.skipUnless(all(map(shutil.which, ("hivexsh", "hivexregedit", "samusrgrp", "sampasswd"))),
                     "needs libhivex-bin, libwin-hivex-perl and chntpw")
class RegistryTest(OfflineTest):
    def make_disk(self):
        """Two installations on one disk; answers {hive: the hive as it was before the worm}."""
        clean = self.tmp / "clean"
        sam, system = self.root / "Windows/System32/config/SAM", self.root / "Windows/System32/config/SYSTEM"
        before = {sam: unpack("SAM", clean / "sam"), system: unpack("SYSTEM", clean / "system")}
        unpack("SAM", sam)
        tool("samusrgrp", "-a", "-u", "0x1f5", "-g", "0x220", sam)
        guest_flags(sam, enable=True)
        unpack("SYSTEM", system)
        for control_set, names in (("ControlSet001", ("Public", "Docs")), ("ControlSet002", ("Public",))):
            shares = "\\%s\\Services\\LanmanServer\\Shares" % control_set
            merge(system, {shares: {name: "hex(7):43,00,3a,00,5c,00,00,00,00,00" for name in names},
                           shares + "\\Security": {name: "hex(3):01,00,04,80" for name in names}})
        # The key's default value is no share: it stays.
        default = system.with_suffix(".reg")
        default.write_text('Windows Registry Editor Version 5.00\n\n[\\ControlSet001\\Services\\LanmanServer'
                           '\\Shares]\n@="no share"\n')
        for hive in (system, before[system]):
            tool("hivexregedit", "--merge", hive, default)
        default.unlink()
        programs = self.root / "Windows/System32/config/SOFTWARE"
        before[programs] = software(clean / "software", "Explorer.exe", "Explorer.exe")
        software(programs, "Explorer.exe load.exe", "explorer.exe c:\\windows\\load.exe")
        # The second one keeps the shell entry with each user, and Guest only in Administrators.
        old = self.root / "WINNT/system32/CONFIG/sam"
        unpack("SAM", old)
        tool("samusrgrp", "-a", "-u", "0x1f5", "-g", "0x220", old)
        tool("samusrgrp", "-r", "-u", "0x1f5", "-g", "0x222", old)
        before[old] = unpack("SAM", clean / "old")
        tool("samusrgrp", "-r", "-u", "0x1f5", "-g", "0x222", before[old])
        software(self.root / "WINNT/system32/CONFIG/software", "ignored", mapping="USR:Software\\" + WINLOGON)
        user = self.root / "Documents and Settings/Preston/NTUSER.DAT"
        before[user] = made_hive(clean / "user", {"Software\\" + WINLOGON: {"Shell": "string:Explorer.exe"}})
        made_hive(user, {"Software\\" + WINLOGON: {"Shell": "expandstring:%SystemRoot%\\load.exe"}})
        set_times(self.root)
        return before

    def test_report_then_clean_leaves_the_hives_as_before_the_worm(self):
        before = self.make_disk()
        infected = state(self.root)
        sam, old = (str(self.root / p) for p in ("Windows/System32/config/SAM", "WINNT/system32/CONFIG/sam"))
        programs, user = str(self.root / "Windows/System32/config/SOFTWARE"), str(
            self.root / "Documents and Settings/Preston/NTUSER.DAT")
        guest_key = "HKLM\\SAM" + GUEST
        shells = {(programs, "shell-entry", "HKLM\\SOFTWARE\\" + WINLOGON + "\\Shell"),
                  (programs, "shell-entry", "HKLM\\SOFTWARE\\Wow6432Node\\" + WINLOGON + "\\Shell"),
                  (user, "shell-entry", "HKU\\%s\\Software\\%s\\Shell" % (user, WINLOGON))}
        guests = {(sam, "guest", guest_key, "in Administrators, enabled"),
                  (old, "guest", guest_key, "in Administrators")}
        system = str(self.root / "Windows/System32/config/SYSTEM")
        shares = {(system, "share", "HKLM\\SYSTEM\\ControlSet00%s\\Services\\LanmanServer\\Shares\\%s" % share)
                  for share in (("1", "Public"), ("1", "Docs"), ("2", "Public"))}

        def found(findings, action):
            return {f[:2] + f[3:] for f in findings if f[2] == action}

        status, findings, summary = run_json([self.root])
        self.assertEqual((status, found(findings, "reported"), len(findings)), (1, shells | guests, 5))
        self.assertEqual((summary["files"], summary["examined"], summary["shell_entries"], summary["shares"],
                          summary["guest"]), (6, 6, 3, 0, 2))
        status, findings, summary = run_json([self.root], "--unshare")
        self.assertEqual((status, found(findings, "reported"), summary["shares"]), (1, shells | guests | shares, 3))
        human = run([self.root]).stdout
        # Hives are examined at the end of their PATH whatever the number of jobs.
        one = run([self.root], "--unshare", "--jobs", "1").stdout
        for jobs in ("8", "2", "8"):
            self.assertEqual(run([self.root], "--unshare", "--jobs", jobs).stdout, one)
        self.assertIn(b"/SAM \xc2\xbb HKLM\\SAM\\SAM\\Domains\\Account\\Users\\000001F5: Guest account (in "
                      b"Administrators, enabled): report only\n", human)
        self.assertEqual(state(self.root), infected)

        quarantine = self.tmp / "q"
        status, findings, summary = run_json([self.root], "--clean", "--unshare", "--quarantine", quarantine)
        self.assertEqual((status, found(findings, "repaired"), found(findings, "deleted")),
                         (1, shells | guests, shares))
        self.assertEqual((summary["repaired"], summary["deleted"], summary["failed"]), (5, 3, 0))
        self.assertEqual([line["action"] for line in manifest(quarantine)[::2]], ["repair-hive"] * 5)
        for hive, was in before.items():
            self.assertEqual(export(hive), export(was), hive)
            self.assertEqual(hive.stat().st_ino, infected[str(hive.relative_to(self.root))][4], hive)
            if hive.name.lower() == "sam":
                self.assertEqual(accounts(hive), accounts(was))
        self.assertIn(b"01f5:Guest:0:8215:", accounts(sam)[1])  # disabled
        self.assertEqual(run_json([self.root], "--unshare")[:2], (0, []))

        self.assertEqual(run_json([], "--undo", quarantine)[::2], (0, {"undone": 5, "as_before": 0, "failed": 0}))
        self.assertEqual({p: e[0] for p, e in state(self.root).items()}, {p: e[0] for p, e in infected.items()})

    def test_hives_that_are_not_written(self):
        sam = unpack("SAM", self.root / "config/SAM")
        tool("samusrgrp", "-a", "-u", "0x1f5", "-g", "0x220", sam)
        not_closed_cleanly(sam)
        system = unpack("SYSTEM", self.root / "config/system")
        os.truncate(system, 9000)
        (self.root / "config/Software").write_bytes(b"regf" + os.urandom(70000))
        (self.root / "config/NTUSER.DAT").write_bytes(b"no hive, and no hive needs it")
        (self.root / "SAM").write_bytes(b"regf: a hive only within a folder named config")
        odd = made_hive(self.root / "other/config/SOFTWARE", {MAPPING: {"Shell": "dword:0x1"}})
        before = state(self.root)
        damaged = "registry hive cannot be read (damaged or cut short)"
        unmapped = (str(odd), "not-examined", "skipped", "HKLM\\SOFTWARE\\%s\\Shell: not a mapping to SYS: or USR:"
                    % MAPPING)
        self.assertEqual(run_json([self.root])[:2], (2, [
            (str(sam), "guest", "reported", "HKLM\\SAM" + GUEST, "in Administrators"),
            (str(self.root / "config/Software"), "not-examined", "skipped", damaged),
            (str(system), "not-examined", "skipped", damaged), unmapped]))
        self.assertEqual(run_json([self.root], "--clean")[:2], (2, [
            (str(sam), "guest", "failed", NOT_CLEAN, "HKLM\\SAM" + GUEST, "in Administrators"),
            (str(self.root / "config/Software"), "not-examined", "skipped", damaged),
            (str(system), "not-examined", "skipped", damaged), unmapped]))
        self.assertEqual(state(self.root), before)

    def test_user_hives_in_many_folders_leave_the_walk_its_descriptors(self):
        for i in range(300):
            (self.root / ("u%03d" % i)).mkdir()
            (self.root / ("u%03d/NTUSER.DAT" % i)).write_bytes(b"regf" + bytes(4))
        sam = unpack("SAM", self.root / "zz/config/SAM")
        tool("samusrgrp", "-a", "-u", "0x1f5", "-g", "0x220", sam)
        limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (200, 200))
        r = run([self.root], "--json", "--jobs", "8", preexec_fn=limit)
        lines = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertNotIn(b"Too many open files", r.stderr)
        # Eight readers share the descriptors: the same as one.
        self.assertEqual(run([self.root], "--json", "--jobs", "1", preexec_fn=limit).stdout, r.stdout)
        # The machine's SAM is examined all the same; user hives past the limit are listed, not held.
        guest = {"path": str(sam), "kind": "guest", "action": "reported", "key": "HKLM\\SAM" + GUEST,
                 "detail": "in Administrators"}
        held_back = [o for o in lines[:-1] if o.get("error") == "registry hive in more than 25 folders of one PATH"]
        self.assertEqual((r.returncode, guest in lines, len(held_back), lines[-1]["summary"]["not_examined"]),
                         (2, True, 275, 275))

    def test_a_deep_key_to_delete_and_the_bytes_after_the_data_area(self):
        # Guest only in Administrators: --clean deletes its alias key, below which a chain of 3,000 keys
        # lies (hivex deletes by recursion: past the stack given here before it is bounded).
        deep, sam = (unpack("SAM", self.root / p / "config/SAM") for p in ("a", "b"))
        for hive in (deep, sam):
            tool("samusrgrp", "-a", "-u", "0x1f5", "-g", "0x220", hive)
            tool("samusrgrp", "-r", "-u", "0x1f5", "-g", "0x222", hive)
        members = r"SAM\Domains\Builtin\Aliases\Members\S-1-5-21-1760460187-1592185332-161725925\000001F5"
        tool("hivexsh", "-w", deep, input=("cd %s\n" % members + "add k\ncd k\n" * 3000 + "commit\n").encode())
        # Windows' SAM runs on past the data area its header gives: mark those bytes.
        data = bytearray(sam.read_bytes())
        end = 4096 + struct.unpack_from("<I", data, 0x28)[0]
        data[end:] = b"slack" * ((len(data) - end) // 5) + bytes((len(data) - end) % 5)
        sam.write_bytes(data)
        small_stack = lambda: resource.setrlimit(resource.RLIMIT_STACK, (256 << 10, 256 << 10))
        self.assertEqual(run_json([self.root / "a", self.root / "b"], "--clean", preexec_fn=small_stack,
                                  timeout=60)[:2], (2, [
            (str(deep), "not-examined", "skipped",
             "registry key to delete more than 512 levels deep or with more than 10000 subkeys"),
            (str(sam), "guest", "repaired", "HKLM\\SAM" + GUEST, "in Administrators")]))
        # hivex adds its pages where the data area ended, as Windows does; what lies beyond them stays.
        after = sam.read_bytes()
        grown = 4096 + struct.unpack_from("<I", after, 0x28)[0]
        self.assertEqual((len(after), after[grown:]), (len(data), data[grown:]))

    @unittest.skipUnless(os.path.exists("/dev/fuse"), "/dev/fuse is missing: no NTFS volume can be mounted here")
    def test_a_hive_on_an_ntfs_volume_is_written_in_place(self):
        """And put back whole by --undo once the volume was unmounted and mounted again (another FUSE
        volume mounted in between, so that its device number differs)."""
        image, volume = self.make_volume()
        other_image, other = self.make_volume("2")
        original = unpack("SAM", self.tmp / "original")
        quarantine = self.tmp / "q"
        with mounted(image, volume):
            sam = unpack("SAM", volume / "Windows/System32/config/SAM")
            tool("samusrgrp", "-a", "-u", "0x1f5", "-g", "0x220", sam)
            guest_flags(sam, enable=True)
            inode = sam.stat().st_ino
            infected = (sam.read_bytes(), 990_000_000_000_000_000)
            os.utime(sam, ns=(1_000_000_000_000_000_000, infected[1]))
            self.assertEqual(run_json([volume], "--clean", "--quarantine", quarantine)[:2], (1, [
                (str(sam), "guest", "repaired", "HKLM\\SAM" + GUEST, "in Administrators, enabled")]))
        with contextlib.ExitStack() as held:
            held.enter_context(mounted(other_image, other))
            self.mount_on_another_device(image, volume, manifest(quarantine)[0]["root_dev"], held)
            self.assertEqual((sam.stat().st_ino, accounts(sam)), (inode, accounts(original)))
            self.assertEqual(run_json([], "--undo", quarantine)[:2], (0, [(str(sam), "undone")]))
            self.assertEqual((sam.stat().st_ino, sam.stat().st_atime_ns), (inode, 1_000_000_000_000_000_000))
            self.assertEqual((sam.read_bytes(), sam.stat().st_mtime_ns), infected)


if __name__ == "__main__":
    unittest.main()
