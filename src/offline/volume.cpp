#include "offline/volume.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include <blkid/blkid.h>

#include "offline/posix_file.h"

namespace {

// Inode numbers that name the same file at every mount: NTFS's are MFT record
// numbers, the ext family's, XFS's, Btrfs's, F2FS's and JFS's are on disk.
// FAT and exFAT have none on disk: Linux makes them up at each mount.
const char *const STABLE_INODES[] = {"ntfs", "ext2", "ext3", "ext4", "xfs", "btrfs", "f2fs", "jfs"};

// mountinfo writes a blank, tab, newline and backslash in a field as \ooo.
std::string unescaped(const std::string &field)
{
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        const auto octal = [&](size_t at) { return at < field.size() && field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            text += static_cast<char>((field[i + 1] - '0') << 6 | (field[i + 2] - '0') << 3 | (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// The source of the first mount of dev ("ID PARENT MAJOR:MINOR ROOT POINT
// OPTIONS [TAGS...] - TYPE SOURCE SUPER-OPTIONS"), empty when none is listed.
// A FUSE mount made by another user than root names whatever source its
// maker chose: it has none here.
std::string mount_source(dev_t dev)
{
    std::ifstream mounts("/proc/self/mountinfo");
    const std::string wanted = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;)
            words.push_back(word);
        if (words.size() < 3 || words[2] != wanted)
            continue;
        for (size_t i = 6; i + 2 < words.size(); ++i) {
            if (words[i] != "-")
                continue;
            const bool fuse = words[i + 1].compare(0, 4, "fuse") == 0;
            const std::string options = i + 3 < words.size() ? "," + words[i + 3] + "," : "";
            return fuse && options.find(",user_id=0,") == std::string::npos ? "" : unescaped(words[i + 2]);
        }
        return "";
    }
    return "";
}

}  // namespace

Volume identify_volume(dev_t dev)
{
    Volume volume;
    const std::string source = mount_source(dev);
    // A source that names no file (tmpfs, proc, a FUSE mount's own name) has no identity to read.
    struct stat named, opened;
    if (source.empty() || source[0] != '/' || stat(source.c_str(), &named) != 0 ||
        !(S_ISBLK(named.st_mode) || S_ISREG(named.st_mode)))
        return volume;
    // Opened read-only; a regular image without moving its access time where allowed.
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd(open(source.c_str(), flags | (S_ISREG(named.st_mode) ? O_NOATIME : 0)));
    if (!fd && errno == EPERM)
        fd.reset(open(source.c_str(), flags));
    if (!fd || fstat(fd.get(), &opened) != 0) {
        volume.error = failure("cannot identify the volume");
        return volume;
    }
    if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino ||
        (opened.st_mode & S_IFMT) != (named.st_mode & S_IFMT))
        return volume;
    std::unique_ptr<blkid_struct_probe, void (*)(blkid_probe)> probe(blkid_new_probe(), blkid_free_probe);
    if (!probe || blkid_probe_set_device(probe.get(), fd.get(), 0, 0) != 0 ||
        blkid_probe_enable_superblocks(probe.get(), 1) != 0 ||
        blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_UUID) != 0 ||
        blkid_do_safeprobe(probe.get()) != 0) {
        // 1: no file system recognised (a partition table, nothing); -2: ambivalent.
        return volume;
    }
    const char *type = nullptr, *uuid = nullptr;
    if (blkid_probe_lookup_value(probe.get(), "TYPE", &type, nullptr) != 0 ||
        blkid_probe_lookup_value(probe.get(), "UUID", &uuid, nullptr) != 0 || *type == '\0' || *uuid == '\0')
        return volume;
    volume.type = type;
    volume.uuid = uuid;
    for (const char *stable : STABLE_INODES)
        volume.stable_inodes = volume.stable_inodes || volume.type == stable;
    return volume;
}
