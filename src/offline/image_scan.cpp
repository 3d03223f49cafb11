#include "offline/image_scan.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <iterator>
#include <map>
#include <tuple>

#include <nlohmann/json.hpp>

#include "offline/disk_image.h"
#include "offline/interrupt.h"
#include "offline/quarantine.h"
#include "offline/read_ahead.h"
#include "offline/scan.h"
#include "offline/vm_image.h"

namespace {

const char HIBERNATED[] = "Windows was hibernated or not shut down (start it and shut it down fully)";

std::string real_path(const std::string &path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? real : path;
}

// What the walk keeps between PATHs, put back after a volume of the image is
// walked as a PATH of its own.
struct WalkState {
    std::string absolute;
    size_t argument_length, root_length;
    dev_t root_dev;
    ino_t root_ino;
};

// Names a partition's items while it is not mounted: the key stands for its folder.
std::string partition_key(const std::string &image, int number)
{
    return image + '\n' + std::to_string(number);
}

// One volume: attached, walked, taken down; or named and passed over.
// source is the raw image (or the raw view of a virtual machine's image) the
// volume is attached from, open as source_fd; image_path and format are recorded for --undo.
void scan_partition(Scan &scan, const std::string &argument, const std::string &source, int source_fd,
                    const std::string &image_path, const std::string &format, const ImagePartition &partition)
{
    Output &out = scan.out;
    const std::string key = partition_key(argument, partition.number);
    out.images.push_back(ImageName{key, argument, partition.number});
    if (partition.type != "ntfs" && partition.type != "vfat") {
        const std::string what = partition.type.empty() ? "no file system recognised" : partition.type;
        warn(out, key, what + ", passed over");
        out.images.pop_back();
        return;
    }
    if (partition.type == "vfat" && !kernel_has_vfat()) {
        report(out, key, Kind::NotExamined, Action::Skipped, "FAT volume: this kernel cannot mount FAT (no vfat)");
        out.images.pop_back();
        return;
    }
    AttachedVolume volume;
    std::string error;
    if (!volume.attach(source, source_fd, partition, scan.clean, &error)) {
        report(out, key, Kind::NotExamined, Action::Skipped, error);
        out.images.pop_back();
        return;
    }
    out.images.back().folder = volume.folder();
    // ntfs-3g mounts a volume it must not write read-only: never cleaned, its hibernation file kept.
    if (volume.read_only()) {
        report(out, volume.folder(), Kind::NotExamined, Action::Skipped, HIBERNATED);
    } else {
        if (scan.quarantine != nullptr) {
            nlohmann::ordered_json image;
            image["file"] = image_path;
            if (!format.empty())
                image["format"] = format;
            image["partition"] = partition.number;
            image["offset"] = partition.offset;
            image["size"] = partition.size;
            image["fs_type"] = partition.type;
            image["fs_uuid"] = partition.uuid;
            scan.quarantine->image = image;
        }
        struct stat mounted;
        const bool known = stat(volume.folder().c_str(), &mounted) == 0;
        scan_path(scan, volume.folder());
        if (scan.quarantine != nullptr)
            scan.quarantine->image = nullptr;
        // The next volume mounted may get this one's device number: what is known by it is forgotten.
        for (auto walked = scan.walked.begin(); known && walked != scan.walked.end();)
            walked = walked->first == mounted.st_dev ? scan.walked.erase(walked) : std::next(walked);
        if (known && scan.quarantine != nullptr) {
            scan.quarantine->volumes.erase(mounted.st_dev);
            for (auto kept = scan.quarantine->kept.begin(); kept != scan.quarantine->kept.end();)
                kept = kept->first.first == mounted.st_dev ? scan.quarantine->kept.erase(kept) : std::next(kept);
        }
    }
    // The walk keeps the last folder open for the next PATH: not this one, about to go.
    scan.folder.reset();
    scan.folder_key.clear();
    if (!volume.detach(&error))
        report(out, volume.folder().empty() ? key : volume.folder(), Kind::NotExamined, Action::Failed, error);
    out.images.pop_back();
}

}  // namespace

bool scan_image(Scan &scan, const std::string &argument, int fd, const struct stat &st)
{
    std::string what, error;
    const bool raw = disk_image(fd, static_cast<uint64_t>(st.st_size), &what);
    const std::string format = raw ? "" : vm_image_format(fd, static_cast<uint64_t>(st.st_size));
    if (!raw && format.empty())
        return false;
    // What the walk read ahead of this PATH is reported first, in order.
    finish_reading(scan);
    const std::string kind = raw ? "disk image (" + what + ")" : "virtual disk image (" + vm_format_shown(format) + ")";
    const std::string unavailable = raw ? images_unavailable() : vm_images_unavailable();
    if (!unavailable.empty()) {
        report(scan.out, argument, Kind::NotExamined, Action::Skipped,
               kind + ": not opened: " + unavailable + " (or mount it and give the mount folder)");
        return true;
    }
    const std::string image_path = real_path(argument);
    // A virtual machine's image is seen through its raw view, as a raw image is.
    ExportedImage exported;
    UniqueFd view;
    struct stat view_st = st;
    if (!raw) {
        if (!exported.start(image_path, fd, format, scan.clean, &error)) {
            report(scan.out, argument, Kind::NotExamined, Action::Skipped, kind + ": " + error);
            return true;
        }
        view.reset(open(exported.raw().c_str(), O_RDONLY | O_CLOEXEC));
        if (!view || fstat(view.get(), &view_st) != 0) {
            report(scan.out, argument, Kind::NotExamined, Action::Skipped, kind + ": " + failure("cannot read its raw view"));
            return true;
        }
    }
    const int disk = raw ? fd : view.get();
    std::vector<ImagePartition> partitions;
    if (!image_partitions(disk, static_cast<uint64_t>(view_st.st_size), &partitions, &error)) {
        report(scan.out, argument, Kind::NotExamined, Action::Skipped, kind + ": " + error);
        return true;
    }
    if (partitions.empty())
        warn(scan.out, argument, kind + ": no volume in it");
    const WalkState before{scan.absolute, scan.argument_length, scan.root_length, scan.root_dev, scan.root_ino};
    for (const ImagePartition &partition : partitions) {
        if (interrupted())
            break;
        scan_partition(scan, argument, raw ? image_path : exported.raw(), disk, image_path, format, partition);
    }
    scan.absolute = before.absolute;
    scan.argument_length = before.argument_length;
    scan.root_length = before.root_length;
    scan.root_dev = before.root_dev;
    scan.root_ino = before.root_ino;
    view.reset();
    if (!exported.stop(&error))
        report(scan.out, argument, Kind::NotExamined, Action::Failed, kind + ": " + error);
    return true;
}

void attach_manifest_images(Output &out, const std::string &manifest_text, bool writable,
                            ImagesAttached *attached, std::vector<std::string> *moves)
{
    // Each partition once, and each folder it was cleaned at (one per run) moved to where it is now.
    std::map<std::tuple<std::string, uint64_t, uint64_t>, AttachedVolume *> by_partition;
    std::map<std::string, bool> roots;
    for (size_t begin = 0; begin < manifest_text.size() && !interrupted();) {
        size_t end = manifest_text.find('\n', begin);
        if (end == std::string::npos)
            end = manifest_text.size();
        const nlohmann::json line = nlohmann::json::parse(manifest_text.begin() + static_cast<long>(begin),
                                                          manifest_text.begin() + static_cast<long>(end), nullptr,
                                                          false);
        begin = end + 1;
        if (!line.is_object() || !line.contains("image") || !line["image"].is_object() || !line.contains("root") ||
            !line["root"].is_string())
            continue;
        const nlohmann::json &image = line["image"];
        const std::string root = line["root"];
        if (roots.count(root) != 0 || !image.contains("file") || !image["file"].is_string() ||
            !image.value("offset", nlohmann::json()).is_number_unsigned() ||
            !image.value("size", nlohmann::json()).is_number_unsigned())
            continue;
        roots[root] = true;
        const std::string file = image["file"];
        const int number = image.value("partition", 0);
        const uint64_t offset = image["offset"], size = image["size"];
        const std::string uuid = image.value("fs_uuid", "");
        const std::string format = image.contains("format") && image["format"].is_string() ? image["format"] : "";
        const std::string key = partition_key(file, number);
        const auto known = by_partition.find({file, offset, size});
        AttachedVolume *volume = known != by_partition.end() ? known->second : nullptr;
        if (known == by_partition.end()) {
            by_partition[{file, offset, size}] = nullptr;
            out.images.push_back(ImageName{key, file, number});
            const std::string unavailable = format.empty() ? images_unavailable() : vm_images_unavailable();
            std::string error, source = file;
            // A virtual machine's image: one raw view for all its partitions.
            if (unavailable.empty() && !format.empty()) {
                auto &view = attached->views[file];
                if (!view) {
                    view.reset(new ExportedImage);
                    if (!view->start(file, -1, format, writable, &error))
                        view->stop();
                }
                source = view->raw();
                if (error.empty() && source.empty())
                    error = "its raw view could not be made";
            }
            UniqueFd fd(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOATIME));
            if (!fd && errno == EPERM)
                fd.reset(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            std::vector<ImagePartition> partitions;
            const ImagePartition *found = nullptr;
            if (!unavailable.empty()) {
                error = "not attached: " + unavailable;
            } else if (!error.empty()) {
            } else if (!fd || fstat(fd.get(), &st) != 0) {
                error = failure("cannot open the image");
            } else if (!image_partitions(fd.get(), static_cast<uint64_t>(st.st_size), &partitions, &error)) {
            } else {
                for (const ImagePartition &p : partitions)
                    if (p.offset == offset && p.size == size)
                        found = &p;
                if (found == nullptr)
                    error = "the image no longer has this partition";
                else if (found->uuid != uuid)
                    error = "not the volume cleaned (serial " + (found->uuid.empty() ? "none" : found->uuid) +
                            ", cleaned: " + uuid + ")";
            }
            std::unique_ptr<AttachedVolume> attaching(new AttachedVolume);
            if (error.empty() && !attaching->attach(source, fd.get(), *found, writable, &error)) {
            } else if (error.empty() && attaching->read_only()) {
                error = HIBERNATED;
            }
            if (!error.empty()) {
                warn(out, key, error);
                out.images.pop_back();
                continue;
            }
            out.images.back().folder = attaching->folder();
            volume = attaching.get();
            by_partition[{file, offset, size}] = volume;
            attached->volumes.push_back(std::move(attaching));
        }
        if (volume != nullptr)
            moves->push_back(root + "=" + volume->folder());
    }
}
