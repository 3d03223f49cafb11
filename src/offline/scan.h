// The walk over each PATH and what is done with every regular file met.
#ifndef VESKACURE_OFFLINE_SCAN_H
#define VESKACURE_OFFLINE_SCAN_H

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "detect/verdict.h"
#include "offline/examine.h"
#include "offline/hives.h"
#include "offline/posix_file.h"
#include "offline/report.h"

struct Quarantine;
class ReadAhead;

struct Scan {
    bool clean = false;                  // restore, delete and repair; otherwise report only
    bool unshare = false;                // look for network shares in SYSTEM hives (and delete them)
    bool archives = true;                // look inside archives and CD images
    Quarantine *quarantine = nullptr;    // with --clean --quarantine: where each change is recorded first
    Output out;
    // Where the files being examined lie, for the manifest: the reported paths
    // begin with argument_length bytes that name the folder absolute, and with
    // root_length bytes that name the root, the folder where the walk last
    // entered a volume (or the folder of a PATH that names a file).
    std::string absolute;
    size_t argument_length = 0;
    size_t root_length = 0;
    dev_t root_dev = 0;
    ino_t root_ino = 0;
    UniqueFd folder;         // the folder of the last PATH's last name, reached without links,
    std::string folder_key;  // and the names that led there
    std::vector<MetHive> hives;          // met in the PATH being examined, handled at its end
    size_t hive_folders[2] = {0, 0};     // the folders they keep open: of machine hives, of user hives
    std::set<std::pair<dev_t, ino_t>> walked;  // every folder listed so far (device and inode)
    bool said_no_undo = false;           // --clean without --quarantine: said once, at the first change
    unsigned jobs = 1;                   // files read at once; 1: all by the walk itself
    uint8_t slow_reads = 0;              // the walk's last reads where the page cache could not tell: 1 for one that waited
    uint64_t met = 0;                    // regular files the walk met, examined or not yet
    std::shared_ptr<ReadAhead> reader;   // with jobs above 1: the threads that read ahead of the walk
};

// One regular file as the walk listed it.
struct Listed {
    int dir_fd;               // its folder, or AT_FDCWD for a PATH that names a file
    const char *name;         // within that folder
    const std::string &path;  // as reached from PATH, for the output
    struct stat st;           // from the listing, the link itself not followed
};

// What a file's name and size tell before it is opened.
struct Worth {
    bool ini = false;                // a SYSTEM.INI
    HiveKind hive = HiveKind::None;  // named like a registry hive
    bool archive = false;            // with archives: may be one
    bool read = false;               // process_file opens it: one of those, or large enough for the worm
};

// What is read of a listed file before it is examined, by a reader thread
// ahead of the walk or by the walk itself: nothing is changed by reading.
struct FileRead {
    Worth worth;              // of the file read
    UniqueFd fd;              // open read-only, or none
    struct stat st;           // as opened
    std::string error;        // why it could not be opened, or rated
    bool rated = false;       // the verdict is known (a file of WORM_MIN_SIZE or more)
    bool rate_failed = false; // its bytes could not be read: error says why
    ScanVerdict verdict = Clean;
    FileHead head;            // the bytes rated, which the look for an archive starts from
};

// Whether process_file opens the file: it may hold the worm (by its size),
// or it is a SYSTEM.INI, a registry hive or, with archives, may be an archive.
Worth worth_of(const Listed &file, bool archives);

// Opens the listed file and rates it, when process_file would. With
// cached_only, a file whose first page is not in the page cache is left open
// and unread for rate_read: false. Where the file system cannot tell, it is
// read unless most of the last eight such reads (a bit each in *cached_only,
// 1 for one that waited) waited on the disk.
bool read_listed(const Listed &file, bool archives, FileRead *read, uint8_t *cached_only = nullptr);

// Rates the file read_listed opened, when the rules read it.
void rate_read(FileRead *read);

// Examines one regular file the walk met (scan's root set for it), and
// changes it under --clean; a registry hive is noted for finish_hives.
// read: the file as read_listed left it; none to read it now, when worth
// (if given) is what worth_of told of it.
void process_file(Scan &scan, const Listed &file, FileRead *read = nullptr, const Worth *worth = nullptr);

// Handles the hives noted while a PATH was walked, once its walk ends.
void finish_hives(Scan &scan);

// Examines PATH: a file, or a folder walked in name order, as deep as it goes.
// Symbolic links are neither examined nor descended into, nor followed on the
// way to PATH: a PATH with a link among its folders is not examined.
void scan_path(Scan &scan, const std::string &path);

// Examines each PATH of a list of NUL-separated paths (as find -print0 writes
// them), read from the file list or, for "-", from standard input.
void scan_list(Scan &scan, const std::string &list);

#endif
