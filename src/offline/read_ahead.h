// Reading ahead of the walk: a few threads that change nothing open, read and
// rate the files the walk hands them, while the walk's own thread lists the
// folders, examines, changes and reports each file, and says what it has to
// say between them, in the walk's order. The output is what one thread gives.
#ifndef VESKACURE_OFFLINE_READ_AHEAD_H
#define VESKACURE_OFFLINE_READ_AHEAD_H

#include <sys/stat.h>

#include <functional>
#include <string>

struct Scan;

// The number of --jobs when none is given: the processors this process may
// run on, at least 4 (a thread waiting on the disk costs no processor).
unsigned default_jobs();

// The regular file name in the folder dir_fd (its path as reported, st as
// listed), met in walk order. One that is opened (worth_of) is handed to
// a reader and examined once all before it are, where the walk is now (its
// root and PATH), then the progress line shows the folder of folder_length
// bytes of path (none for npos): answers true. Any other file, and every file
// with scan.jobs 1, is examined at once: false.
bool examine_later(Scan &scan, int dir_fd, const char *name, const std::string &path, const struct stat &st,
                   size_t folder_length);

// A step of the walk (a report, the end of a PATH), done after every file
// handed over before it. After an interrupt only steps that must run (always)
// are done; the files still waiting are not examined.
void in_order(Scan &scan, const std::function<void(Scan &)> &step, bool always = false);

// Everything handed over done: before the summary.
void finish_reading(Scan &scan);

#endif
