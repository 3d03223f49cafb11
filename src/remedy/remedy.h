// File remediation: restoring infected hosts, removing worm copies, and the
// drive sweep that applies both. Each routine exists for 8-bit (char) and
// UTF-16 (wchar_t) paths with the same behaviour.
#ifndef VESKACURE_REMEDY_REMEDY_H
#define VESKACURE_REMEDY_REMEDY_H

#include <wchar.h>

// restore.cpp
// Cuts the worm off the front of an infected program in place.
// 0 restored; -1 cannot be opened; -2 not restorable (see restore.cpp); -20 its section
// table gives no search start.
template <typename Ch>
int restore_host(const Ch *path);

// worm_copy.cpp
// What became of a worm copy.
enum WormRemoval {
    RemovalFailed = 0,     // neither deleted nor scheduled
    RemovedNow = 1,        // deleted at once
    RemovalScheduled = 2   // deleted at the next start (delayed deletion or WININIT.INI)
};
// Deletes a worm copy, or schedules its deletion at the next start. Answers
// the routine's result code; *outcome (may be null) says what became of the file.
template <typename Ch>
int remove_worm_copy(const Ch *path, WormRemoval *outcome);

// sweep.cpp
// Walks `dir` and all its subdirectories: found_any after a completed walk,
// 8 when the directory cannot be listed or its buffer cannot be allocated.
template <typename Ch>
int sweep_directory(const Ch *dir);
// Walks every fixed drive from C: to Z:; always 1.
template <typename Ch>
int sweep_fixed_drives(void);

#endif
