// The disk images of virtual machines (qcow2, VMDK, VHDX, VDI, dynamic VHD):
// known by the header QEMU's block layer probes for, and exported by
// qemu-storage-daemon over FUSE as a raw view of the disk, which is then
// opened as a raw image is.
#ifndef VESKACURE_OFFLINE_VM_IMAGE_H
#define VESKACURE_OFFLINE_VM_IMAGE_H

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "offline/posix_file.h"

// The smallest file that holds one of the headers looked for (a VMDK
// descriptor that names its extents is a short text).
const uint64_t VM_IMAGE_MIN_SIZE = 0x44;

// QEMU's name of the format of the open file fd ("qcow2", "vmdk", "vhdx",
// "vdi", "vpc"), or "" for any other file (a raw image among them).
std::string vm_image_format(int fd, uint64_t size);

// The format's name as users know it: "qcow2", "VMDK", "VHDX", "VDI", "VHD".
std::string vm_format_shown(const std::string &format);

// Why a virtual machine's image cannot be opened here, or "": its raw view
// needs qemu-storage-daemon and qemu-img (on top of what raw images need).
std::string vm_images_unavailable();

// Whether the image holds its disk alone, as qemu-img info describes it: no
// backing file, no external data file, and for a VMDK no extent but the
// image file itself. Otherwise false with *error: a crafted
// image could name any file or device of this machine, which --clean would
// then write to.
bool vm_image_alone(const std::string &image_path, const std::string &format, std::string *error);

// A raw view of an image, exported by qemu-storage-daemon on a private file;
// stopped (and the folder removed) when destroyed. In report mode the image
// is opened read-only and its access time put back when the view is stopped.
class ExportedImage {
public:
    ExportedImage() = default;
    ~ExportedImage() { stop(); }
    ExportedImage(const ExportedImage &) = delete;
    ExportedImage &operator=(const ExportedImage &) = delete;

    // image_fd: the image as already opened and examined (its format read
    // from it), which the view is then made of; -1 to open image_path here.
    bool start(const std::string &image_path, int image_fd, const std::string &format, bool writable,
               std::string *error);
    // The raw view: a regular file as long as the virtual disk.
    const std::string &raw() const { return raw_; }
    bool stop(std::string *error = nullptr);

private:
    UniqueFd image_fd_;  // the image, as checked and as the daemon reads it
    std::string top_, raw_;
    pid_t daemon_ = -1;
    bool mounted_ = false;
    bool writable_ = false;
    struct stat before_ = {};
};

#endif
