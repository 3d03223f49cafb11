// veskacure-offline: finds the worm PE_VESKA.A on a Windows disk that is not
// running (a mounted volume or any folder tree) and, with --clean, restores
// infected programs in place, deletes worm copies, repairs SYSTEM.INI and, on
// Windows NT, the shell entry and the Guest account in the registry (and with
// --unshare removes network shares); with --quarantine each change can be
// undone later with --undo.
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "offline/quarantine.h"
#include "offline/scan.h"
#include "offline/undo.h"

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
        ->excludes(undo);
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
        ->excludes(undo);
    app.add_option("PATH", paths,
                   "A file, or a folder walked recursively in name order (symbolic links are "
                   "not followed; file systems mounted below it are walked)");
    app.set_version_flag("--version", "veskacure-offline " VESKACURE_VERSION);
    app.footer("Exit status: 0 nothing found and everything examined; 1 something found (reported or "
               "cleaned) and no error; 2 an error: an item not examined, a restoration, deletion or "
               "repair that failed, a PATH that does not exist, or bad usage. With --undo: 0 every change put "
               "back or needing nothing; 2 any left alone or failed. With --list: 0 when DIR could be read.\n\n"
               "On Windows NT disks the registry hives met by the walk (config/SOFTWARE, config/SYSTEM, "
               "config/SAM and NTUSER.DAT) are examined once the walk of their PATH ends: the shell entry, the "
               "Guest account and, with --unshare, network shares. A hive not closed cleanly is reported, "
               "never written. Windows 95, 98 and Me keep their shares in SYSTEM.DAT, not handled here: run "
               "veskacure.exe /UNSHARE on that machine for them.");
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

    Scan scan;
    scan.clean = clean;
    scan.unshare = unshare;
    scan.archives = !no_archives;
    scan.out.json = json;
    scan.out.undo = undo->count() != 0 || listing->count() != 0;
    scan.out.list = listing->count() != 0;
    scan.out.progress = !quiet && isatty(STDERR_FILENO) && !scan.out.undo;
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
    for (const std::string &path : paths)
        scan_path(scan, path);
    if (list_option->count() != 0)
        scan_list(scan, list);
    if (!print_summary(scan.out)) {
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
