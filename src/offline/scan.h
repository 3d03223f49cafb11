// The walk over each PATH and what is done with every regular file met.
#ifndef VESKACURE_OFFLINE_SCAN_H
#define VESKACURE_OFFLINE_SCAN_H

#include <string>
#include <vector>

#include "offline/hives.h"
#include "offline/report.h"

struct Quarantine;

struct Scan {
    bool clean = false;                  // restore, delete and repair; otherwise report only
    bool unshare = false;                // look for network shares in SYSTEM hives (and delete them)
    Quarantine *quarantine = nullptr;    // with --clean --quarantine: where each change is recorded first
    Output out;
    std::string absolute;                // the PATH being examined, made absolute for the manifest
    size_t argument_length = 0;          // and the length of the PATH as given
    std::vector<MetHive> hives;          // met in the PATH being examined, handled at its end
};

// Examines PATH: a file, or a folder walked recursively in name order.
// Symbolic links are neither examined nor descended into.
void scan_path(Scan &scan, const std::string &path);

// Examines each PATH of a list of NUL-separated paths (as find -print0 writes
// them), read from the file list or, for "-", from standard input.
void scan_list(Scan &scan, const std::string &list);

#endif
