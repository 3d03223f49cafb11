// Classifying one file on disk, in both text flavours.
#ifndef VESKACURE_DETECT_CLASSIFY_H
#define VESKACURE_DETECT_CLASSIFY_H

#include <wchar.h>

#include "detect/verdict.h"

// classify.cpp
// Maps the file read-only and applies the image rules. Read-only, hidden and
// system files are opened by clearing their attributes, which are put back.
ScanVerdict classify_file(const char *path);
ScanVerdict classify_file(const wchar_t *path);
// The same; when the answer is OpenFailed, *open_error receives the platform's
// error code of the failed open, taken before the attributes are put back.
ScanVerdict classify_file(const char *path, unsigned long *open_error);
ScanVerdict classify_file(const wchar_t *path, unsigned long *open_error);

#endif
