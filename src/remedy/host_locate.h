// Windows-free part of host restoration: where the host program starts inside
// an infected file, and the in-place move that puts it back at offset 0.
#ifndef VESKACURE_REMEDY_HOST_LOCATE_H
#define VESKACURE_REMEDY_HOST_LOCATE_H

#include <stdint.h>

// Answers shared with restore_host.
enum {
    HOST_FOUND = 0,       // the host starts after offset 0
    HOST_ABSENT = -2,     // no "MZ" from the search start to size - 4, or only at offset 0
    HOST_NOT_PE = -20     // header rules fail, or the section table cannot give a search start
};

// The search start: PointerToRawData of section-table entry NumberOfSections - 2.
// False when the table has fewer than two entries or the field lies outside the view.
bool read_search_start(const uint8_t *view, uint32_t size, uint32_t e_lfanew, uint32_t *start);

// The first "MZ" at an offset from *start up to size - 4 (every offset, aligned
// or not). Answers HOST_FOUND with *host_start set, or one of the failures.
// Reads only; nothing in the view is changed.
int locate_host(const uint8_t *view, uint32_t size, uint32_t *host_start);

// Moves the size - host_start bytes from host_start to offset 0 (the ranges
// may overlap) and answers the host's length. host_start must be below size.
uint32_t move_host_to_front(uint8_t *view, uint32_t size, uint32_t host_start);

// locate_host, then the move when the host was found; *new_size is set then.
int restore_host_in_view(uint8_t *view, uint32_t size, uint32_t *new_size);

// The whole restoration over a read-write view of a file that was rated
// Infected earlier: the view is rated again first (the file may have been
// replaced since) and anything but Infected answers HOST_ABSENT without a
// write. After the move, the bytes from the host's end to the old end are
// zeroed, so that a file whose cut then fails holds the host and zeros
// instead of the worm's old tail, which could rate Infected again.
int restore_infected_view(uint8_t *view, uint32_t size, uint32_t *new_size);

// How many restorations one file of `size` bytes can genuinely need: every
// worm layer is at least WORM_MIN_SIZE bytes long. A file rated Infected
// again after that many is not peeled any further.
uint64_t max_restorations(uint64_t size);

#endif
