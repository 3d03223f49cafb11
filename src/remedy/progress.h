// The sweep's progress in the console window's title: a whole-disk sweep is
// minutes of silence on standard output, and a title that moves shows that
// the tool is working. Standard output itself is never touched here.
#ifndef VESKACURE_REMEDY_PROGRESS_H
#define VESKACURE_REMEDY_PROGRESS_H

#include <wchar.h>

// progress.cpp
// Saves the title when standard output is a console; otherwise progress stays off.
void progress_start(void);
// One directory entry of `dir` seen (a file when `is_file`); the title shows
// the drive, `dir` and the count of files examined, at most four times a second.
void progress_entry(const char *dir, bool is_file);
void progress_entry(const wchar_t *dir, bool is_file);
// Puts the saved title back. Also called by the thread that stops an
// interrupted run, while the main thread is held out of the title.
void progress_finish(void);

#endif
