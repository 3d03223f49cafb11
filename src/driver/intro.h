// The two intro screens (Windows-free text).
#ifndef VESKACURE_DRIVER_INTRO_H
#define VESKACURE_DRIVER_INTRO_H

// intro.cpp
// Each screen is a null-terminated list of texts written one after another;
// the last text of each is the "Press any key" line.
extern const char *const INTRO_FIRST_SCREEN[];
extern const char *const INTRO_SECOND_SCREEN[];

#endif
