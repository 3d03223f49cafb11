// Archives and CD images: every member rated by the shared rules, archives
// inside archives read as streams, and under --clean the ZIP and tar files
// written anew without the worm.
#ifndef VESKACURE_OFFLINE_ARCHIVE_H
#define VESKACURE_OFFLINE_ARCHIVE_H

#include <stdint.h>

#include <functional>
#include <string>

#include "offline/report.h"

struct FileHead;

// Whether a file is offered to archive detection: every file the rules open
// (57,344 bytes or more), and a smaller one named like an archive.
bool archive_candidate(const char *name, uint64_t size);
// The same for a name of length bytes.
bool archive_candidate(const char *name, size_t length, uint64_t size);

// An archive on disk.
struct ArchiveFile {
    int fd;                   // open read-only
    uint64_t size;
    const std::string &path;  // for the output
    int dir_fd;               // the folder that holds it
    const char *name;         // its name there
    FileHead *head = nullptr;  // its first bytes as the rules read them (none: read here), read on when needed
};

// Puts the bytes of the open file replacement (size bytes) in place of the
// archive's; false with *error when it could not.
using ReplaceArchive = std::function<bool(int replacement, uint64_t size, std::string *error)>;

// Reads the file as an archive and reports what its members hold, nested
// archives included; counts the archives, members and members examined. With
// replace (--clean), a ZIP or tar holding the worm is written anew into a
// temporary file beside it, checked, and handed to replace. False when the
// file is not an archive: then nothing is reported or counted.
bool examine_archive(Output &out, const ArchiveFile &file, const ReplaceArchive *replace);

// What examine_archive will read of a program not named like an archive past
// its head (the length of its string table, the first bytes after its
// image, the span of a ZIP's end record), asked of the disk now: a reader
// thread does it ahead of the walk, which then finds them in memory.
void read_ahead_of_archive_look(int fd, uint64_t size, const char *name, const FileHead &head);

// The bytes of replacement written over fd from offset 0, fd cut to size.
bool copy_over(int fd, int replacement, uint64_t size, std::string *error);

// What examine_archive would report, without reporting it: for fuzzing.
struct ArchiveSurvey {
    uint64_t archives = 0, members = 0, found = 0, not_examined = 0;
};
bool survey_archive(int fd, uint64_t size, const char *name, ArchiveSurvey *survey);

#endif
