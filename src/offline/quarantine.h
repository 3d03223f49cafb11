// The quarantine folder of --clean --quarantine DIR and --undo DIR. Before a
// file is changed, its exact bytes are kept as DIR/<sha256>.bin and the change
// is described by a line of DIR/manifest.jsonl, both on disk; after it, a
// second line records the outcome. --undo reads the manifest and records there
// each put-back it begins and ends, so that a killed undo can be run again.
#ifndef VESKACURE_OFFLINE_QUARANTINE_H
#define VESKACURE_OFFLINE_QUARANTINE_H

#include <stdint.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "offline/posix_file.h"
#include "offline/volume.h"

// The changes of --clean, named in the manifest "restore", "delete", "repair",
// "repair-hive", "rewrite".
enum class Change { RestoreHost, DeleteWormCopy, RepairSystemIni, RepairHive, RewriteArchive };
const char *change_name(Change change);

struct Quarantine {
    UniqueFd dir;
    struct stat dir_st = {};  // the walk leaves the folder alone: its copies hold the worm
    UniqueFd manifest;       // DIR/manifest.jsonl, opened for appending
    bool cut_short = false;  // the manifest ends in a line that a failed write left unfinished
    uint64_t copies = 0;     // names this process's temporary files
    // The files this run has kept a copy of (device and inode: path): a file
    // changed again, as each worm layer is peeled, keeps its first copy.
    std::map<std::pair<dev_t, ino_t>, std::string> kept;
    std::map<dev_t, Volume> volumes;  // identified once per device number and run
    // While a volume of a disk image is cleaned: the image file and the
    // partition (number, offset, size, file system and serial), recorded with
    // each change so that --undo can attach it again.
    nlohmann::ordered_json image;
};

// The identity of the volume with device number dev, read once per run.
const Volume &volume_of(Quarantine &q, dev_t dev);

// Where a changed file lies: the folder it was reached from (where the walk
// last entered a volume, or the folder of a PATH that names a file) and the
// names below it, all on that folder's volume. --undo goes down these names
// one folder at a time and no further than that volume. (No root: a change
// found through an older manifest's path alone.)
struct Place {
    std::string path;   // absolute: the root and the names below it, for the reports
    std::string root;   // absolute, without symbolic links
    dev_t root_dev = 0;
    ino_t root_ino = 0;
    std::string below;  // "name/name/...", never "." or ".."
};

// Opens DIR and its manifest, locked: shared by the runs that clean (several
// may use one DIR), exclusive for an undo. For a clean, a missing DIR or
// manifest is created. Since --undo running as root does what the manifest
// says, DIR must be a folder of the effective user that nobody else may write
// to (not a symbolic link), and the manifest a regular file of that user with
// one link.
bool open_quarantine(Quarantine &q, const std::string &dir, bool for_undo, std::string *error);

// A file in DIR opened read-only without following a link or blocking, and
// only when it is a regular file of the effective user with one link that
// nobody else may write to. Answers an invalid descriptor with *error otherwise.
UniqueFd open_kept(const Quarantine &q, const std::string &name, std::string *error);

// The SHA-256 of the bytes of fd from offset 0 to its end, in lowercase hex,
// and their count, read without moving the file's access time where the
// kernel allows it. With copy_to >= 0 the bytes are also written there at the
// same offsets; the holes of a sparse fd are skipped (copy_to must be empty or
// as long) unless fill_holes. A failed write is reported as "cannot_write: reason".
bool hash_file(int fd, std::string *sha256, uint64_t *size, std::string *error, int copy_to = -1,
               const char *cannot_write = "cannot write", bool fill_holes = false);

// Before a change of the file at place, open as fd, that holds size bytes:
// for its first change in this run the copy and the line describing the
// change (mode and times from st, the file as the walk found it), for a later
// one a line saying that the change goes on; flushed to disk. False when
// either could not be written: then the file must not be changed.
bool record_change(Quarantine &q, const Place &place, int fd, uint64_t size, const struct stat &st,
                   Change change, std::string *error);
// The same for a change named action: FORCED_UNDO, a file changed since
// cleaning that --undo --force replaced, kept so that it can be put back too.
const char FORCED_UNDO[] = "undo";
bool record_change(Quarantine &q, const Place &place, int fd, uint64_t size, const struct stat &st,
                   const char *action, std::string *error);

// After the change: done or not (with change_error), and the SHA-256 of the
// bytes of fd now, or null for a file deleted (fd < 0).
bool record_outcome(Quarantine &q, const std::string &path, int fd, bool done, const std::string &change_error,
                    std::string *error);

// A manifest line names its file in "path", and in "path_hex" as well when
// the name's bytes are not UTF-8 (JSON strings cannot carry them); so are
// "root" and "below".
void put_path(nlohmann::ordered_json &line, const std::string &path, const char *key = "path");
bool get_path(const nlohmann::json &line, std::string *path, const char *key = "path");

// Appends one line in a single write (lines of runs sharing DIR do not
// interleave) and flushes it to disk.
bool append_line(Quarantine &q, const nlohmann::ordered_json &line, std::string *error);

#endif
