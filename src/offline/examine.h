// The shared rules over open files: a rating from one read of the file's
// first bytes, and one restoration through a read-write mapping.
#ifndef VESKACURE_OFFLINE_EXAMINE_H
#define VESKACURE_OFFLINE_EXAMINE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "detect/verdict.h"

// The first bytes of a file, each read once: those the rules rate, which the
// look for an archive starts from.
struct FileHead {
    std::vector<uint8_t> buffer;  // kept from file to file
    size_t length = 0;            // bytes of the file in it: none for a file the rules do not read
};

// Read first: a page, which holds the DOS header, a program's headers and
// what tells every archive format known by its first bytes but ISO 9660.
const size_t FILE_HEAD_FIRST = 4096;

// Reads on from head->length until the head holds the first min(size, want)
// bytes of the open file fd of size bytes. False with *error when they cannot
// be read or the file shrank.
bool read_head_to(int fd, uint64_t size, size_t want, FileHead *head, std::string *error);

// Reads the first page of the open file fd of size bytes into an empty head
// when it is in the page cache: 1. With the head left empty: 0 when reading it
// would wait on the disk, -1 when the file system cannot tell.
int read_first_page_cached(int fd, uint64_t size, FileHead *head);

// The verdict for the open regular file fd of size bytes (any 64-bit size),
// from as many of its first bytes as the rules look at, read into *head
// after what it holds already (from read_first_page_cached, or nothing).
// False with *error when they cannot be read or the file shrank.
bool rate_open_file(int fd, uint64_t size, FileHead *head, ScanVerdict *verdict, std::string *error);

// The same, into a head of its own.
bool rate_open_file(int fd, uint64_t size, ScanVerdict *verdict, std::string *error);

// One restoration of the open read-write file fd of size bytes (below 4 GiB):
// the host moved to offset 0, written back, the file cut to *new_size.
// False with *error otherwise: unchanged when the blocks it writes cannot be
// allocated ("no space left on device"); when the cut fails, the file holds
// the host followed by zeros.
bool restore_open_file(int fd, uint64_t size, uint64_t *new_size, std::string *error);

#endif
