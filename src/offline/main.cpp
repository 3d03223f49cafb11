// veskacure-offline: finds the worm PE_VESKA.A on a Windows disk that is not
// running (a mounted volume or any folder tree) and, with --clean, restores
// infected programs in place, deletes worm copies and repairs SYSTEM.INI.
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "offline/scan.h"

int main(int argc, char **argv)
{
    CLI::App app{"Finds the worm PE_VESKA.A on a Windows disk that is not running and, with --clean, "
                 "removes it: infected programs are restored in place, worm copies deleted, the worm's "
                 "loader taken out of SYSTEM.INI. Without --clean nothing on disk changes.",
                 "veskacure-offline"};
    bool clean = false, json = false, quiet = false;
    std::vector<std::string> paths;
    app.add_flag("--clean", clean, "Restore infected programs, delete worm copies, repair SYSTEM.INI");
    app.add_flag("--json", json,
                 "JSON Lines on standard output: one object per finding and per item not examined, "
                 "then a summary object");
    app.add_flag("-q,--quiet", quiet, "No progress line on standard error");
    app.add_option("PATH", paths,
                   "A file, or a folder walked recursively in name order (symbolic links are "
                   "not followed; file systems mounted below it are walked)")
        ->required();
    app.set_version_flag("--version", "veskacure-offline " VESKACURE_VERSION);
    app.footer("Exit status: 0 nothing found and everything examined; 1 something found (reported or "
               "cleaned) and no error; 2 an error: an item not examined, a restoration, deletion or "
               "repair that failed, a PATH that does not exist, or bad usage.\n\n"
               "Network shares and the Guest account live in the registry of the installed Windows "
               "and are not touched here: run veskacure.exe on that machine for them.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    Scan scan;
    scan.clean = clean;
    scan.out.json = json;
    scan.out.progress = !quiet && isatty(STDERR_FILENO);
    for (const std::string &path : paths)
        scan_path(scan, path);
    if (!print_summary(scan.out)) {
        fprintf(stderr, "veskacure-offline: cannot write to standard output\n");
        return 2;
    }
    const Totals &t = scan.out.totals;
    if (t.failed != 0 || t.not_examined != 0)
        return 2;
    return t.infected + t.worm_copies + t.system_ini != 0 ? 1 : 0;
}
