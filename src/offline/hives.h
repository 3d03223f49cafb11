// The registry hives of Windows NT installations met by the walk. A PATH's
// hives are handled when its walk ends, all of them then: a SOFTWARE hive may
// send the shell entry to the user hives (NTUSER.DAT) met anywhere in the same
// walk on the same disk. Each hive is read once and, with --clean, written
// once, in place, with every repair it needs.
#ifndef VESKACURE_OFFLINE_HIVES_H
#define VESKACURE_OFFLINE_HIVES_H

#include <stdint.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "offline/posix_file.h"
#include "offline/report.h"

enum class HiveKind { None, Software, System, Sam, User };

struct MetHive {
    std::string path;  // as the walk reached it
    struct stat st;    // as the walk listed it
    HiveKind kind;
    // Where the walk met it, filled in by the walk: its folder, held open so
    // that the hive is reached again without following its path, its name
    // there, and the root its changes are recorded below.
    std::shared_ptr<UniqueFd> folder = nullptr;  // shared by the hives of one folder
    dev_t folder_dev = 0;
    ino_t folder_ino = 0;
    std::string name = "";
    size_t root_length = 0;
    dev_t root_dev = 0;
    ino_t root_ino = 0;
};

// What a file's name says it is: SOFTWARE, SYSTEM or SAM in a folder named
// config, or NTUSER.DAT anywhere (names in any case).
HiveKind hive_named(const std::string &path);

// A file of such a name that starts with "regf" is kept in met, and answers
// true; a user hive answers false all the same, since the walk rates it too.
bool note_hive(std::vector<MetHive> &met, const std::string &path, const struct stat &st, HiveKind kind, int fd);

// A hive's bytes as read and as the repairs left them, in memory files.
struct HiveEdit {
    int before;
    uint64_t before_size;
    int after;
    uint64_t after_size;
};

// What the hive work needs of the walk: a met hive opened again, read-only,
// only while it is the same file; and its new bytes written through the
// quarantine, as every change of --clean is.
struct HiveAccess {
    std::function<UniqueFd(const MetHive &, std::string *error)> open;
    std::function<bool(const MetHive &, const HiveEdit &, std::string *error)> write;
};

struct HiveOptions {
    bool clean = false;    // repair; otherwise report only
    bool unshare = false;  // find (and with clean delete) network shares
};

// Examines and, with clean, repairs every hive of met; met is emptied.
void handle_hives(Output &out, std::vector<MetHive> &met, const HiveOptions &options, const HiveAccess &access);

// Writes the repaired hive over the open file fd, in place, and flushes it;
// false ("changed while cleaning") when fd no longer holds the bytes read.
bool write_hive(int fd, const HiveEdit &edit, std::string *error);

#endif
