// Disk images opened by the program itself: the partitions of a raw image (or
// the one volume of an unpartitioned one) listed with libblkid, and an NTFS
// partition attached as a loop device over its bytes and mounted with ntfs-3g
// on a private folder, in a mount namespace of this process's own, so that
// nothing stays mounted when it ends, however it ends.
#ifndef VESKACURE_OFFLINE_IMAGE_ATTACH_H
#define VESKACURE_OFFLINE_IMAGE_ATTACH_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "offline/posix_file.h"

// One volume of an image: a partition of its partition table, or (number 0)
// the whole image when it holds a file system without one.
struct ImagePartition {
    int number = 0;
    uint64_t offset = 0;  // bytes
    uint64_t size = 0;    // bytes
    std::string type;     // libblkid's name of its file system ("ntfs", "vfat", ...); empty when none found
    std::string uuid;     // the file system's UUID or serial number, as libblkid reads it
};

// The volumes of the image open as fd (size bytes), extended partitions left
// out (their logical partitions are listed). False with *error when the image
// cannot be probed.
bool image_partitions(int fd, uint64_t size, std::vector<ImagePartition> *partitions, std::string *error);

// Why images cannot be opened on this machine, or "" when they can: root's
// rights, loop devices, FUSE and ntfs-3g are needed.
std::string images_unavailable();

// Enters a mount namespace of this process's own, once; its mounts propagate
// nowhere. False with *error when it cannot.
bool enter_own_mount_namespace(std::string *error);

// Whether the running kernel mounts FAT volumes (vfat in /proc/filesystems).
bool kernel_has_vfat();

// A new folder of this user's alone (mode 0700) under $TMPDIR or /tmp, its
// path without symbolic links in *folder. False with *error otherwise.
bool make_private_folder(std::string *folder, std::string *error);

// A program found on the search path, as execvp will find it.
bool on_path(const char *program);

// Starts a driver that serves folder (ntfs-3g mounting a volume there,
// qemu-storage-daemon exporting a raw view) and waits up to a minute until
// folder is on a volume of its own (above is the folder it lies in). The
// driver runs in a process group of its own, so that a Ctrl+C meant for this
// process (which then takes everything down in order) does not reach it, and
// is ended when this process dies. *pid is the driver while it runs, else -1.
// False with *error ("DRIVER could not DOING it: what it said") otherwise.
bool start_driver(const std::vector<std::string> &argv, const std::string &folder, const std::string &above,
                  const char *doing, pid_t *pid, std::string *error);

// A partition attached and mounted: taken down (unmounted, the driver
// stopped, the loop device detached, the folder removed) when destroyed.
class AttachedVolume {
public:
    AttachedVolume() = default;
    ~AttachedVolume() { detach(); }
    AttachedVolume(const AttachedVolume &) = delete;
    AttachedVolume &operator=(const AttachedVolume &) = delete;

    // Attaches the partition of the image at image_path (read-only unless
    // writable) and mounts it nodev, nosuid, noexec (ro unless writable) on a
    // new private folder. False with *error otherwise, with nothing left
    // attached.
    // The image is the file open as image_fd (the one its partitions were read
    // from), never found again by its name, which someone could have swapped
    // since; image_path only names it.
    bool attach(const std::string &image_path, int image_fd, const ImagePartition &partition, bool writable,
                std::string *error);
    // The folder the volume is mounted on, without symbolic links.
    const std::string &folder() const { return folder_; }
    // Mounted read-only although writable was asked: ntfs-3g does that with a
    // volume Windows left hibernated or not cleanly shut down.
    bool read_only() const { return read_only_; }
    // Takes everything down; false with *error when something could not be.
    bool detach(std::string *error = nullptr);

private:
    std::string top_;     // the private folder made for this volume
    std::string folder_;  // top_/<partition number>, the mount point
    UniqueFd loop_;       // the loop device, detached when closed
    pid_t driver_ = -1;   // ntfs-3g, kept in the foreground as this process's child
    bool mounted_ = false;
    bool read_only_ = false;
};

#endif
