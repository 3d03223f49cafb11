// veskacure-offline: finds the worm PE_VESKA.A on a Windows disk that is not
// running (a mounted volume or any folder tree) and, with --clean, restores
// infected programs in place, deletes worm copies, repairs SYSTEM.INI and, on
// Windows NT, the shell entry and the Guest account in the registry (and with
// --unshare removes network shares); with --quarantine each change can be
// undone later with --undo.
#include <stdio.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "offline/interrupt.h"
#include "offline/quarantine.h"
#include "offline/read_ahead.h"
#include "offline/scan.h"
#include "offline/undo.h"

namespace {

// The help fits 100 columns: CLI11 starts option texts in column 31 and
// indents the lines after a text's first.
const size_t HELP_WIDTH = 100, OPTION_COLUMN = 30;

std::string wrapped(const std::string &text, size_t width = HELP_WIDTH - OPTION_COLUMN)
{
    std::string out, line, word;
    std::istringstream words(text);
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return out + line;
}

// The real path of a folder that may not exist yet: of its nearest existing
// folder, the missing names after it.
std::string real_path_of(std::string head)
{
    while (head.size() > 1 && head.back() == '/')
        head.pop_back();
    std::string tail;
    for (;;) {
        std::unique_ptr<char, void (*)(void *)> real(realpath(head.c_str(), nullptr), free);
        if (real)
            return (std::string(real.get()) == "/" ? "" : real.get()) + tail;
        if (head == "/" || head == ".")
            return tail;
        const size_t slash = head.find_last_of('/');
        tail = "/" + head.substr(slash == std::string::npos ? 0 : slash + 1) + tail;
        head = slash == std::string::npos ? "." : slash == 0 ? "/" : head.substr(0, slash);
    }
}

// A quarantine folder inside a PATH being cleaned would land on the disk
// being cleaned (and its copies in the walk): refused before it is made.
bool quarantine_inside(const std::string &dir, const std::vector<std::string> &paths)
{
    const std::string quarantine = real_path_of(dir);
    for (const std::string &path : paths) {
        std::unique_ptr<char, void (*)(void *)> real(realpath(path.c_str(), nullptr), free);
        const std::string folder = real ? real.get() : "";
        if (!folder.empty() && (quarantine == folder || folder == "/" ||
                                quarantine.compare(0, folder.size() + 1, folder + "/") == 0)) {
            fprintf(stderr, "veskacure-offline: %s: not used as the quarantine: inside %s, which is being cleaned\n",
                    dir.c_str(), path.c_str());
            return true;
        }
    }
    return false;
}

// --clean on a read-only volume would fail at every file: said once, before
// anything is written.
bool read_only(const std::vector<std::string> &paths)
{
    for (const std::string &path : paths) {
        struct statvfs volume;
        if (statvfs(path.c_str(), &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0) {
            fprintf(stderr, "veskacure-offline: %s: read-only file system: nothing cleaned (mount it read-write)\n",
                    path.c_str());
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Finds the worm PE_VESKA.A on a Windows disk that is not running and, with --clean, "
                 "removes it: infected programs are restored in place, worm copies deleted, the worm's "
                 "loader taken out of SYSTEM.INI (on Windows NT: out of the shell entry in the registry), "
                 "and on Windows NT the Guest account taken out of Administrators and disabled. Without "
                 "--clean nothing on disk changes.",
                 "veskacure-offline"};
    bool clean = false, unshare = false, json = false, quiet = false, force = false, no_archives = false;
    bool revert_force = false;
    std::string quarantine_dir, undo_dir, list, list_dir;
    std::vector<std::string> paths, roots;
    CLI::Option *clean_flag =
        app.add_flag("--clean", clean,
                     "Restore infected programs, delete worm copies, repair SYSTEM.INI, the registry's shell "
                     "entry and the Guest account");
    CLI::Option *quarantine_option =
        app.add_option("--quarantine", quarantine_dir,
                       "With --clean: before a file is changed, keep its bytes in DIR (created when missing; "
                       "else a folder of yours that nobody else may write to) and record the change in "
                       "DIR/manifest.jsonl, so that --undo can put it back")
            ->type_name("DIR")
            ->needs(clean_flag);
    CLI::Option *undo =
        app.add_option("--undo", undo_dir,
                       "Put back every file changed by the runs recorded in DIR (with PATHs: those files and "
                       "the files below those folders), newest change first, when it is as the clean left it; "
                       "a file changed since is left alone")
            ->type_name("DIR")
            ->excludes(clean_flag);
    CLI::Option *listing =
        app.add_option("--list", list_dir,
                       "List the changes recorded in DIR (with PATHs: of those files and below those folders): "
                       "when, what, where, and what --undo would do with each now")
            ->type_name("DIR")
            ->excludes(clean_flag)
            ->excludes(undo);
    CLI::Option *root_option =
        app.add_option("--root", roots,
                       "With --undo or --list: the volume cleaned at OLD (a recorded root or a folder above "
                       "one) is now mounted at NEW")
            ->type_name("OLD=NEW")
            ->excludes(clean_flag);
    app.add_flag("--unshare", unshare,
                 "Also find the network shares of Windows NT installations (in every control set of each "
                 "SYSTEM hive) and, with --clean, delete them all, as veskacure.exe /UNSHARE does")
        ->excludes(undo)
        ->excludes(listing);
    CLI::Option *force_flag =
        app.add_flag("--force", force,
                     "With --undo: put back also the files changed since cleaning (what they hold is kept in "
                     "DIR first)")
            ->needs(undo);
    app.add_flag("--revert-force", revert_force,
                 "With --undo: put back instead what earlier --undo --force runs replaced")
        ->needs(undo)
        ->excludes(force_flag);
    CLI::Option *list_option =
        app.add_option("--files-from", list,
                       "Examine each of the NUL-separated paths in FILE (as find -print0 writes them; - for "
                       "standard input) as a PATH")
            ->type_name("FILE")
            ->excludes(undo)
            ->excludes(listing);
    app.add_flag("--json", json,
                 "JSON Lines on standard output: one object per finding and per item not examined "
                 "(with --undo: per change), then a summary object");
    app.add_flag("-q,--quiet", quiet, "No progress line on standard error");
    app.add_flag("--no-archives", no_archives,
                 "Do not look inside archives and CD images (ZIP, tar, ISO 9660, CAB, 7z, RAR, LHA, ...)")
        ->excludes(undo)
        ->excludes(listing);
    unsigned jobs = default_jobs();
    app.add_option("-j,--jobs", jobs,
                   "Read up to N files at once, each by a thread of its own (default: the processors this "
                   "program may run on, at least 4); the output and the changes are those of --jobs 1, which "
                   "reads one file at a time")
        ->type_name("N")
        ->check(CLI::Range(1u, 256u).description(""));
    app.add_option("PATH", paths,
                   "A file, or a folder walked recursively in name order (symbolic links are "
                   "not followed; file systems mounted below it are walked), or a disk image (raw, qcow2, "
                   "VMDK, VHDX, VDI, VHD) whose NTFS volumes are attached and walked (needs root)");
    app.set_version_flag("--version", "veskacure-offline " VESKACURE_VERSION);
    app.footer(wrapped("Exit status: 0 nothing found and everything examined; 1 something found (reported or "
               "cleaned) and no error; 2 an error: an item not examined (a disk image that could not be opened included), a "
               "restoration, deletion or repair that failed, a PATH that does not exist, or bad usage; 130 "
               "interrupted (Ctrl+C; 143 SIGTERM, 129 SIGHUP, 141 standard output closed): the file being "
               "changed was finished first. With --undo: 0 every change put back or needing nothing; 2 any left "
               "alone or failed. With --list: 0 when DIR could be read.", HELP_WIDTH) + "\n\n" +
               wrapped("On Windows NT disks the registry hives met by the walk (config/SOFTWARE, config/SYSTEM, "
               "config/SAM and NTUSER.DAT) are examined once the walk of their PATH ends: the shell entry, the "
               "Guest account and, with --unshare, network shares. A hive not closed cleanly is reported, "
               "never written. Windows 95, 98 and Me keep their shares in SYSTEM.DAT, not handled here: run "
               "veskacure.exe /UNSHARE on that machine for them.", HELP_WIDTH) + "\n\n" +
               "Examples:\n"
               "  veskacure-offline /mnt/win                      report only: nothing on disk changes\n"
               "  veskacure-offline --clean --quarantine /srv/quarantine/win /mnt/win\n"
               "                                                  clean, keeping what changes\n"
               "  veskacure-offline --undo /srv/quarantine/win    put back what that clean changed\n"
               "  veskacure-offline --json -q /mnt/win | jq -r 'select(.kind != \"not-examined\") | .path'\n"
               "                                                  the paths of the findings");
    app.failure_message([](const CLI::App *, const CLI::Error &e) {
        return "veskacure-offline: " + std::string(e.what()) + "\nRun with --help for more information.\n";
    });
    app.description(wrapped(app.get_description(), HELP_WIDTH));
    for (CLI::Option *option : app.get_options())
        option->description(wrapped(option->get_description()));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (paths.empty() && list_option->count() == 0 && undo->count() == 0 && listing->count() == 0) {
        fprintf(stderr, "veskacure-offline: no PATH given\nRun with --help for more information.\n");
        return 2;
    }
    if (root_option->count() != 0 && undo->count() == 0 && listing->count() == 0) {
        fprintf(stderr, "veskacure-offline: --root needs --undo or --list\nRun with --help for more information.\n");
        return 2;
    }

    catch_interrupts();
    if (clean && read_only(paths))
        return 2;
    if (quarantine_option->count() != 0 && quarantine_inside(quarantine_dir, paths))
        return 2;

    Scan scan;
    scan.clean = clean;
    scan.unshare = unshare;
    scan.archives = !no_archives;
    scan.jobs = jobs;
    scan.out.json = json;
    scan.out.undo = undo->count() != 0 || listing->count() != 0;
    scan.out.list = listing->count() != 0;
    scan.out.progress = !quiet && isatty(STDERR_FILENO) && !scan.out.undo;
    scan.out.version = VESKACURE_VERSION;
    Quarantine quarantine;
    std::string error;
    UndoOptions undoing;
    undoing.force = force;
    undoing.revert_force = revert_force;
    undoing.list = scan.out.list;
    undoing.roots = roots;
    if (scan.out.undo)
        undoing.paths.swap(paths);  // the files to put back, not to examine
    const std::string &dir = scan.out.list ? list_dir : undo_dir;
    if (scan.out.undo && !undo_changes(scan.out, dir, undoing, &error)) {
        fprintf(stderr, "veskacure-offline: %s: %s\n", dir.c_str(), error.c_str());
        return 2;
    }
    if (quarantine_option->count() != 0) {
        if (!open_quarantine(quarantine, quarantine_dir, false, &error)) {
            fprintf(stderr, "veskacure-offline: %s: %s\n", quarantine_dir.c_str(), error.c_str());
            return 2;
        }
        scan.quarantine = &quarantine;
    }
    for (size_t i = 0; i < paths.size() && !interrupted(); ++i)
        scan_path(scan, paths[i]);
    if (list_option->count() != 0 && !interrupted())
        scan_list(scan, list);
    // An interrupted run still says what it did.
    const bool stopped = interrupted();
    const bool summary = print_summary(scan.out);
    if (stopped) {
        fputs("Interrupted.\n", stderr);
        return interrupted_status();
    }
    if (!summary) {
        fprintf(stderr, "veskacure-offline: cannot write to standard output\n");
        return 2;
    }
    const Totals &t = scan.out.totals;
    if (scan.out.list)
        return 0;
    if (t.failed != 0 || t.not_examined != 0)
        return 2;
    return found(t) != 0 ? 1 : 0;
}
