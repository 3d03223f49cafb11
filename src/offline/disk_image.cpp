#include "offline/disk_image.h"

#include <blkid/blkid.h>
#include <string.h>
#include <unistd.h>

#include <memory>

namespace {

// The volumes a Windows disk or a copy of one may hold, and the common Linux
// and Mac ones; each is recognised by a signature at a fixed place, so the
// probe reads a few sectors only.
const char *FILE_SYSTEMS[] = {"ntfs", "vfat", "exfat", "ext2", "ext3", "ext4", "ext4dev", "xfs", "btrfs",
                              "hfs", "hfsplus", "apfs", "refs", nullptr};
// MBR and GPT: the other partition tables libblkid knows are rare and some
// match ordinary bytes.
const char *PARTITION_TABLES[] = {"dos", "gpt", nullptr};

const char *const NAMES[][2] = {
    {"ntfs", "NTFS"},       {"vfat", "FAT"},       {"exfat", "exFAT"},       {"ext2", "ext2"},
    {"ext3", "ext3"},       {"ext4", "ext4"},      {"ext4dev", "ext4"},      {"xfs", "XFS"},
    {"btrfs", "Btrfs"},     {"hfs", "HFS"},        {"hfsplus", "HFS+"},      {"apfs", "APFS"},
    {"refs", "ReFS"},       {"dos", "MBR partition table"},                  {"gpt", "GPT partition table"},
};

std::string shown(const char *type)
{
    for (const auto &name : NAMES)
        if (std::string(name[0]) == type)
            return name[1];
    return type;
}

}  // namespace

bool disk_image(int fd, uint64_t size, std::string *what)
{
    // A volume or disk holds whole sectors, and a program (MZ) is none: the
    // probe, a dozen system calls, is spared nearly every other file.
    char start[2];
    if (size < DISK_IMAGE_MIN_SIZE || size % 512 != 0 || pread(fd, start, sizeof start, 0) != sizeof start ||
        memcmp(start, "MZ", 2) == 0)
        return false;
    std::unique_ptr<blkid_struct_probe, void (*)(blkid_probe)> probe(blkid_new_probe(), blkid_free_probe);
    if (!probe || blkid_probe_set_device(probe.get(), fd, 0, static_cast<blkid_loff_t>(size)) != 0)
        return false;
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_filter_superblocks_type(probe.get(), BLKID_FLTR_ONLYIN, const_cast<char **>(FILE_SYSTEMS));
    blkid_probe_enable_partitions(probe.get(), 1);
    blkid_probe_filter_partitions_type(probe.get(), BLKID_FLTR_ONLYIN, const_cast<char **>(PARTITION_TABLES));
    if (blkid_do_safeprobe(probe.get()) != 0)
        return false;
    const char *type = nullptr;
    if (blkid_probe_lookup_value(probe.get(), "TYPE", &type, nullptr) != 0 &&
        blkid_probe_lookup_value(probe.get(), "PTTYPE", &type, nullptr) != 0)
        return false;
    *what = shown(type);
    return true;
}
