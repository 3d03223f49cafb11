// --clean for archives: a ZIP or tar written anew through libarchive with the
// same members in the same order, infected members restored, worm copies left
// out, nested ZIP and tar files rewritten the same way.
#ifndef VESKACURE_OFFLINE_ARCHIVE_REWRITE_H
#define VESKACURE_OFFLINE_ARCHIVE_REWRITE_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "offline/archive_read.h"
#include "offline/posix_file.h"

// A member is known by the positions of the entries that lead to it, from the
// outermost archive in (names may repeat within an archive, positions do not).
using EntryPath = std::vector<uint64_t>;

struct MemberOutcome {
    ScanVerdict found = Clean;  // as rated by the examination: Infected or WormCopy
    uint64_t restorations = 0;  // done on the member
    bool left_out = false;      // a worm copy, or what a restoration left of one
};

// The members to change, and after the rewrite what was done with each.
using RewritePlan = std::map<EntryPath, MemberOutcome>;

// How the examination read each archive holding a member to change, by the
// path of its entry (empty for the file on disk): the entries it met, and
// whether the archive then ended (an end that a tar's parts read on past, or
// damage, is no end). A rewrite that ends elsewhere would lose what follows.
struct ArchiveEnd {
    uint64_t entries = 0;
    bool ended = false;
};
using ArchiveEnds = std::map<EntryPath, ArchiveEnd>;

// Writes the archive read from src (the file on disk, name relative to
// dir_fd) anew into out, which is empty; the plan's members are restored or
// left out. The names of the outermost entries written are added to *names.
// (as name_key gives them).
bool rewrite_archive(Source &src, int out, RewritePlan &plan, const ArchiveEnds &ends, int dir_fd, const char *name,
                     std::vector<NameKey> *names, std::string *error);

// An unnamed file for reading and writing in the folder dir_fd.
UniqueFd temporary_file(int dir_fd, std::string *error);

#endif
