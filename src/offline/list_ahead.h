// Listing ahead of the walk on a cold disk: a few threads go through the
// folders below a PATH before the walk does, listing each and looking up its
// files, so that what the kernel reads from the disk for that is read on
// several threads at once. They keep nothing and change nothing: the walk
// lists and examines every folder itself, as it would, and finds them in
// memory. On a warm disk they are never started.
#ifndef VESKACURE_OFFLINE_LIST_AHEAD_H
#define VESKACURE_OFFLINE_LIST_AHEAD_H

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "offline/posix_file.h"

class ListAhead;

// For the walk of one PATH: its folder, and how its own listings went.
struct ListAheadStart {
    unsigned jobs = 1;                  // threads, once started (1: never started)
    UniqueFd top;                       // the PATH's folder, a descriptor of its own
    uint8_t recent = 0;                 // the last eight listings, a bit each: 1 for one that waited
    std::shared_ptr<ListAhead> running;  // the threads, once started; stopped with the walk
};

// Ready for the walk of the PATH whose folder is top, with jobs threads. Not
// on a FUSE volume (ntfs-3g, say): its one daemon answers one request at a
// time, and it would be asked for every listing twice.
void prepare_listing_ahead(ListAheadStart &start, unsigned jobs, int top);

// The walk listed a folder of entries names in nanoseconds: once most of the
// recent listings waited on the disk, the threads start at the PATH's folder.
void listed_folder(ListAheadStart &start, size_t entries, uint64_t nanoseconds);

#endif
