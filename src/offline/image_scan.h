// A PATH that is a disk image: each of its volumes attached, walked as a
// PATH is, and taken down again; and, for --undo and --list, the volumes of
// the images a manifest names attached again where their changes lie.
#ifndef VESKACURE_OFFLINE_IMAGE_SCAN_H
#define VESKACURE_OFFLINE_IMAGE_SCAN_H

#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "offline/image_attach.h"
#include "offline/vm_image.h"
#include "offline/report.h"

struct Scan;

// The regular file argument (st, open as fd) examined as a disk image when
// libblkid finds a partition table or a file system in it: true then, with
// everything found in it reported (or why it was not examined). False for any
// other file, which the caller examines as usual.
bool scan_image(Scan &scan, const std::string &argument, int fd, const struct stat &st);

// The images a manifest's changes lie in, attached again for --undo
// (writable) or --list: each recorded partition whose volume's serial is still
// the recorded one is mounted, and the move from the folder it was cleaned at
// to the folder it is mounted at now is added to moves as "OLD=NEW". A
// partition that cannot be attached is said on standard error (its changes
// are then left alone, their folder being gone).
struct ImagesAttached {
    std::map<std::string, std::unique_ptr<ExportedImage>> views;  // of virtual machines' images, by file
    std::vector<std::unique_ptr<AttachedVolume>> volumes;           // taken down before the views
};
void attach_manifest_images(Output &out, const std::string &manifest_text, bool writable,
                            ImagesAttached *attached, std::vector<std::string> *moves);

#endif
