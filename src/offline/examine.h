// The shared rules over open files: a rating that maps only the bytes the
// rules look at, and one restoration through a read-write mapping.
#ifndef VESKACURE_OFFLINE_EXAMINE_H
#define VESKACURE_OFFLINE_EXAMINE_H

#include <stdint.h>

#include <string>

#include "detect/verdict.h"

// The verdict for the open regular file fd of size bytes (any 64-bit size).
// False with *error when the bytes cannot be mapped or the file shrank.
bool rate_open_file(int fd, uint64_t size, ScanVerdict *verdict, std::string *error);

// One restoration of the open read-write file fd of size bytes (below 4 GiB):
// the host moved to offset 0, written back, the file cut to *new_size.
// False with *error otherwise: unchanged when the blocks it writes cannot be
// allocated ("no space left on device"); when the cut fails, the file holds
// the host followed by zeros.
bool restore_open_file(int fd, uint64_t size, uint64_t *new_size, std::string *error);

#endif
