// The identity of a volume that survives unmounting and mounting again: its
// file system's type and UUID (or serial number) as libblkid reads them from
// the mount's source, and whether that file system keeps inode numbers across
// mounts. --undo uses it to accept a volume mounted again (with another device
// number, perhaps at another folder) and to refuse another volume put at the
// recorded place.
#ifndef VESKACURE_OFFLINE_VOLUME_H
#define VESKACURE_OFFLINE_VOLUME_H

#include <sys/types.h>

#include <string>

struct Volume {
    std::string type;            // "ntfs", "ext4", "vfat", ...; empty when not known
    std::string uuid;            // empty: nothing to read it from (tmpfs, a FUSE mount without a source)
    bool stable_inodes = false;  // NTFS (its MFT record numbers) and the ext family; not FAT's made-up ones
    std::string error;           // the source exists but could not be read or probed
};

// The volume whose device number is dev: its mount found in /proc/self/mountinfo,
// the source of that mount (a block device, or the image file a FUSE driver
// such as ntfs-3g opened directly) probed with libblkid.
Volume identify_volume(dev_t dev);

#endif
