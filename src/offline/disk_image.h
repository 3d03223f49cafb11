// Files that hold a whole volume or disk (an NTFS or FAT image, a disk with a
// partition table): the files in them are not examined unless the image is
// mounted, so such a file is named, not taken for clean.
#ifndef VESKACURE_OFFLINE_DISK_IMAGE_H
#define VESKACURE_OFFLINE_DISK_IMAGE_H

#include <stdint.h>

#include <string>

// The smallest file probed: an image smaller than the smallest worm copy
// cannot hold one.
const uint64_t DISK_IMAGE_MIN_SIZE = 57344;

// True with *what ("NTFS", "FAT", "MBR partition table", ...) when libblkid
// finds a file system or partition table at the start of the open regular
// file fd of size bytes. File systems that are archives to libarchive (ISO
// 9660, UDF) are not looked for here.
bool disk_image(int fd, uint64_t size, std::string *what);

#endif
