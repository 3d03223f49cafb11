// Everything veskacure-offline writes: one line or JSON object per finding or
// item not examined (or, for --undo, per change put back or not), diagnostics
// and the progress line on standard error, the closing summary, and the counts
// behind the exit status.
#ifndef VESKACURE_OFFLINE_REPORT_H
#define VESKACURE_OFFLINE_REPORT_H

#include <stdint.h>

#include <chrono>
#include <string>
#include <vector>

enum class Kind { Infected, WormCopy, SystemIni, NotExamined, ShellEntry, Share, Guest };
enum class Action { Restored, Deleted, Repaired, Reported, Failed, Skipped };

struct Totals {
    uint64_t files = 0;     // regular files met
    uint64_t examined = 0;  // files opened and looked into, each once, and archive members rated
    uint64_t archives = 0;  // archives opened, nested ones included
    uint64_t members = 0;   // file members met in them
    uint64_t infected = 0, worm_copies = 0, system_ini = 0;
    uint64_t shell_entries = 0, shares = 0, guest = 0;  // in registry hives
    uint64_t restored = 0, deleted = 0, repaired = 0, failed = 0, not_examined = 0;
    uint64_t undone = 0;     // --undo: changes put back (failures count in failed); --list: to put back
    uint64_t as_before = 0;  // --undo, --list: changes whose file is already as before them
};

// A volume of a disk image being walked (or undone): its findings are named
// after the image and the partition, not after the folder it is mounted on.
struct ImageName {
    std::string folder;  // where the volume is mounted
    std::string image;   // the image as given
    int partition = 0;   // its number in the partition table; 0: the image holds one volume, no table
};

struct Output {
    bool json = false;
    bool undo = false;      // the run is an --undo or a --list: its own lines and summary
    bool list = false;      // the run is a --list
    bool progress = false;  // standard error is a terminal and --quiet was not given
    std::string version;    // the program's, for the JSON summary
    Totals totals;
    std::vector<ImageName> images;  // the volumes of images attached now
    bool progress_shown = false;
    std::chrono::steady_clock::time_point progress_at{};
};

// What a finding says beyond its path, kind and action, for findings inside a
// file (archive members, registry values) and about a file's other names.
struct Extra {
    std::vector<std::string> member;  // archive members, from the outermost archive in
    std::string key;                  // a registry location, as Windows names it
    std::string detail;               // what exactly was found there
    uint64_t links = 0;               // the file's link count, given when above 1
};

// Everything found, whatever its kind.
uint64_t found(const Totals &t);

// The one place a result about a file or folder is reported and counted.
// error is empty unless action is Failed or Skipped, or, for Reported, says
// what --clean could not do.
void report(Output &out, const std::string &path, Kind kind, Action action, const std::string &error = "",
            const Extra &extra = Extra());

// One change of the manifest that --undo put back (error empty), found
// already as before it (as_before), or left alone (error).
void report_undo(Output &out, const std::string &path, const std::string &error, bool as_before = false);

// One change of the manifest as --list shows it: when and what (the change's
// name), and what --undo would do with it now, as report_undo would say it.
void report_listed(Output &out, const std::string &path, const std::string &time, const std::string &action,
                   const std::string &error, bool as_before);

// A path as the reports show it: on a volume of a disk image, IMAGE » PARTITION » PATH.
std::string shown_path(const Output &out, const std::string &path);

// A diagnostic on standard error that changes no count.
void warn(Output &out, const std::string &path, const std::string &text);

// The progress line, redrawn at most 4 times a second.
void show_progress(Output &out, const std::string &folder);
void clear_progress(Output &out);

// The closing summary; false when standard output could not be written.
bool print_summary(Output &out);

#endif
